#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/prepare/photometric.h"
#include "tools/prepare/run_folder.h"

namespace sceneflow::prepare {

// What the user asked for: the form, its positional arguments and the flags.
struct PrepareOptions {
  std::string form;                     // kitti, pair, mono or views
  std::vector<std::string> inputs;      // the form's inputs, without OUT_DIR
  std::string out_dir;
  std::optional<double> focal, baseline, cx, cy;
  double doffs = 0;
  std::string calib_file;               // kitti: --calib
  std::string init;                     // stereo, pipeline or none; empty: the form's default
  Photometric photometric = Photometric::kMatch;
  double scale = 1;
  int max_disparity = 0;                // 0: a quarter of the image width
  // Overrides of the derived settings.
  std::optional<double> alpha_sf, alpha_w, alpha_z, max_z, eta;
  std::optional<int> levels, sf_level, outer, inner, sor;
};

// Reads the user's images and calibration, computes the start values and the settings.
// Throws InputError on any problem with the input.
PreparedFolder Prepare(const PrepareOptions& options);

}  // namespace sceneflow::prepare
