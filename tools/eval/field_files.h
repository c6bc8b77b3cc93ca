#pragma once

#include <string>

#include <opencv2/core.hpp>

#include "tools/eval/metrics.h"

namespace sceneflow::eval {

// Reads a text matrix whose shape follows from its layout: one line per row, the same number of
// values on every line. Returns a CV_64F matrix. Throws InputError when the file cannot be read,
// is empty, is not rectangular or holds text that is not a number.
cv::Mat ReadTextField(const std::string& path);

// The folder that holds Z.txt, U.txt, V.txt, W.txt of the truth: `folder` itself, or its `truth`
// subfolder (a scene folder written by sceneflow-synth). Throws InputError when neither has Z.txt.
std::string TruthFolder(const std::string& folder);

// Reads `<folder>/<z_name>` and `<folder>/<axis><suffix>` for U, V, W; all four must share one size.
SceneFlowFields ReadFields(const std::string& folder, const std::string& z_name, const std::string& suffix);

// Reads the reference intrinsics from a 1×4 text matrix "f0ku f0kv u0 v0".
ReferenceIntrinsics ReadIntrinsics(const std::string& path);

// Depth from an 8-bit disparity image as the estimator's stereo start computes it: disparity
// d = −0.5·grey (−grey/d_scale when d_scale is not 0), outer rows and columns replaced by their
// inner neighbours, then Z = b/d with b = Tx·f0ku, Z = 1.05·maxZ where d = 0, and Z = maxZ where
// the depth would reach maxZ in magnitude.
cv::Mat DepthFromDisparityImage(const cv::Mat& grey, double b, double max_z, int d_scale);

}  // namespace sceneflow::eval
