#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace sceneflow::eval {

// Depth and motion of the reference view on one grid, each a single-channel CV_64F matrix.
struct SceneFlowFields {
  cv::Mat Z, U, V, W;
};

// Reference intrinsics: a pixel (x, y) with depth Z is the point ((x-u0)·Z/fu, (y-v0)·Z/fv, Z).
struct ReferenceIntrinsics {
  double fu = 1000, fv = 1000, u0 = 0, v0 = 0;
};

// Accuracy of an estimate against the truth over the evaluated pixels. Errors are in scene units
// unless named otherwise; NaN where a value is undefined (no pixels, or a truth range of 0).
struct Metrics {
  int pixels = 0;
  double z_rms = 0, z_mean_abs = 0, z_nrms_percent = 0;
  double u_rms = 0, v_rms = 0, w_rms = 0;
  double epe_mean = 0, epe_rms = 0, motion_nrms_percent = 0;
  double angular_mean_degrees = 0;
  double flow2d_epe_mean = 0, flow2d_epe_rms = 0;  // pixels of view 0
  int flow2d_undefined = 0;  // pixels whose estimated point lies at or behind the camera plane at time t
  double outliers_z_percent = 0, outliers_motion_percent = 0, outliers_percent = 0;
};

// Displacement in view 0 of the point seen at (x, y) with depth z moving by m; false when the
// moved point is not in front of the camera.
bool ImpliedFlow(const ReferenceIntrinsics& camera, double x, double y, double z, const cv::Vec3d& m,
                 cv::Vec2d& flow);

// The pixels to evaluate: non-zero in `valid` (or every pixel when `valid` is empty) and at least
// `border` pixels away from the image edge. CV_8U, 255 for evaluated pixels.
cv::Mat EvaluationMask(const cv::Mat& valid, cv::Size size, int border);

// Computes every metric over the non-zero pixels of `mask`.
//   NRMS of depth: Z RMS error in percent of the truth's depth range (max − min).
//   NRMS of motion: RMS 3D end-point error in percent of the largest true motion magnitude.
//   Angular error: angle between (U, V, W, 1) of estimate and truth.
//   2D flow: the displacement in view 0 of the pixel's point from time 0 to time t, each side
//     computed from its own depth and motion.
//   Outliers: depth error above 5 % of the true depth (Z), 3D end-point error above 25 % of
//     max(|true motion|, mean |true motion|) (motion); a pixel is an outlier if either holds, or
//     if its 2D flow is undefined.
Metrics ComputeMetrics(const SceneFlowFields& estimate, const SceneFlowFields& truth,
                       const cv::Mat& mask, const ReferenceIntrinsics& camera);

// Names and values of the metrics in table order, for printing and JSON.
struct MetricEntry {
  const char* key;    // JSON key
  const char* label;  // table label
  double value;
};
std::vector<MetricEntry> MetricEntries(const Metrics& metrics);

}  // namespace sceneflow::eval
