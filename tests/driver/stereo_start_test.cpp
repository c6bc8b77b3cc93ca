// Runs the estimator's external-stereo start path end to end: the bundled matcher on a rendered
// rectified pair with known disparity, then the conversion of its result into a start depth.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "io/text_matrix.h"
#include "tests/support/run_program.h"
#include "tests/support/scene_files.h"
#include "tests/support/temp_dir.h"

namespace sceneflow {
namespace {

using testing::ProgramResult;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;
using testing::WriteSmallRun;

const std::string kBin = SCENEFLOW_BIN_DIR;
const cv::Size kSize(160, 120);
const cv::Rect kNear(60, 40, 50, 40);  // disparity 16 inside, 8 on the background

// Left and right images of a textured background plane with a nearer textured rectangle.
void RenderPair(const std::string& left_path, const std::string& right_path) {
  cv::RNG rng(7);
  cv::Mat background(kSize.height, kSize.width + 40, CV_8U);
  cv::Mat foreground(kNear.height, kNear.width + 40, CV_8U);
  rng.fill(background, cv::RNG::UNIFORM, 0, 256);
  rng.fill(foreground, cv::RNG::UNIFORM, 0, 256);
  cv::GaussianBlur(background, background, cv::Size(3, 3), 0);
  cv::GaussianBlur(foreground, foreground, cv::Size(3, 3), 0);
  cv::Mat left(kSize, CV_8U), right(kSize, CV_8U);
  for (int y = 0; y < kSize.height; ++y) {
    for (int x = 0; x < kSize.width; ++x) {
      // A left pixel x shows texture column x + 20; the right camera sees it at x - disparity.
      left.at<uchar>(y, x) = kNear.contains({x, y}) ? foreground.at<uchar>(y - kNear.y, x - kNear.x + 20)
                                                    : background.at<uchar>(y, x + 20);
      const cv::Point near_source(x + 16, y);
      right.at<uchar>(y, x) = kNear.contains(near_source)
                                  ? foreground.at<uchar>(y - kNear.y, x + 16 - kNear.x + 20)
                                  : background.at<uchar>(y, x + 8 + 20 < background.cols ? x + 8 + 20 : background.cols - 1);
    }
  }
  cv::imwrite(left_path, left);
  cv::imwrite(right_path, right);
}

// A single-level run whose start depth comes from the stereo program named in `executable`.
void WriteStereoRun(const TempDir& dir, const std::string& executable) {
  WriteSmallRun(dir, kSize, 2,
                "PyramidLevelsSF = 1\nPyramidLevelsFlow = 1\nMaxIterOuter = 0\n"
                "f0ku = 100\nTx = -2\nInitStereo = 1\nInitStereoBP = 1\n"
                "StereoExecutable = " + executable + "\n"
                "Il0_FileName = left view.png\nIr0_FileName = right view.png\n"
                "[Stereo]\nST_D0_Init_Middlebury_FileName = disparity.png\n");
  RenderPair(dir / "left view.png", dir / "right view.png");
}

TEST(StereoStartTest, BundledMatcherGivesTheStartDepthWithinAFewPercent) {
  TempDir dir;
  WriteStereoRun(dir, kBin + "/sceneflow-stereo");
  const ProgramResult result = testing::RunProgram(kBin + "/sceneflow", {"run.ini"}, dir.path());
  ASSERT_TRUE(std::filesystem::exists(dir / "results/Z0_start.txt")) << result.err;
  EXPECT_NE(ReadFile(dir / "run.log").find("** Initialization: external command \"" + kBin +
                                           "/sceneflow-stereo 'left view.png' 'right view.png' "
                                           "disparity.png\"\n"),
            std::string::npos);
  cv::Mat depth(kSize, CV_32F);
  ASSERT_TRUE(ReadTextMatrix((dir / "results/Z0_start.txt").c_str(), depth));
  // Z = -Tx·f0ku / disparity: 25 on the background, 12.5 on the rectangle.
  int checked = 0, close = 0;
  for (int y = 10; y < kSize.height - 10; ++y) {
    for (int x = 20; x < kSize.width - 10; ++x) {
      const cv::Rect edges(kNear.x - 3, kNear.y - 3, kNear.width + 22, kNear.height + 6);
      if (edges.contains({x, y}) && !cv::Rect(kNear.x + 3, kNear.y + 3, kNear.width - 6,
                                              kNear.height - 6).contains({x, y})) {
        continue;  // occlusion and depth edges
      }
      const double truth = kNear.contains({x, y}) ? 12.5 : 25.0;
      ++checked;
      close += std::abs(depth.at<float>(y, x) - truth) <= 0.05 * truth;
    }
  }
  EXPECT_GT(close, 0.9 * checked) << close << " of " << checked;
}

TEST(StereoStartTest, FailingProgramEndsTheRunWithItsCommandLine) {
  TempDir dir;
  WriteFile(dir / "fails.sh", "#!/bin/sh\necho 'no luck' >&2\nexit 2\n");
  std::filesystem::permissions(dir / "fails.sh", std::filesystem::perms::owner_all);
  WriteStereoRun(dir, "./fails.sh");
  const ProgramResult result = testing::RunProgram(kBin + "/sceneflow", {"run.ini"}, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "no luck\nError: command \"./fails.sh 'left view.png' 'right view.png' "
                        "disparity.png\" failed\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "results/Z0_start.txt"));
}

}  // namespace
}  // namespace sceneflow
