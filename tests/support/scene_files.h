#pragma once

#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "tests/support/temp_dir.h"

namespace sceneflow::testing {

// Writes a small run into `dir`: random grey images i0_<v>.png and it_<v>.png of the given size for
// every view, identity calibration files C<v>.txt, R<v>.txt, T<v>.txt (view v shifted by v along
// x), a results folder "results", and run.ini naming them. `extra` is appended to run.ini's
// [Global] section.
inline void WriteSmallRun(const TempDir& dir, cv::Size size, int views, const std::string& extra = "") {
  cv::RNG rng(size.width * 31 + views);
  for (int v = 0; v < views; ++v) {
    for (const char* prefix : {"i0_", "it_"}) {
      cv::Mat image(size, CV_8U);
      rng.fill(image, cv::RNG::UNIFORM, 0, 256);
      cv::imwrite(dir / (prefix + std::to_string(v) + ".png"), image);
    }
    const std::string n = std::to_string(v);
    WriteFile(dir / ("C" + n + ".txt"), "100 0 " + std::to_string(size.width / 2) + "\n0 100 " +
                                             std::to_string(size.height / 2) + "\n0 0 1\n");
    WriteFile(dir / ("R" + n + ".txt"), "1 0 0\n0 1 0\n0 0 1\n");
    WriteFile(dir / ("T" + n + ".txt"), std::to_string(-v) + "\n0\n0\n");
  }
  std::filesystem::create_directory(dir / "results");
  WriteFile(dir / "run.ini",
            "[Global]\nNumOfViews = " + std::to_string(views) +
                "\nImg_0_FileName = i0_\nImg_t_FileName = it_\nImgPrefix = png\n"
                "CMat_FileName = C\nRMat_FileName = R\nTMat_FileName = T\n"
                "TxtResultsDir = results\nLogFile = run.log\n" + extra);
}

}  // namespace sceneflow::testing
