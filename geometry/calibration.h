#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace sceneflow {

// The calibration of every view, as three parallel arrays indexed by view: intrinsic matrices C
// (3×3), rotations R (3×3) and translations T (3×1), all CV_64F. A reference-frame point P lies at
// R·P + T in a view's camera frame.
struct CalibrationSet {
  std::vector<cv::Mat> C;
  std::vector<cv::Mat> R;
  std::vector<cv::Mat> T;
};

}  // namespace sceneflow
