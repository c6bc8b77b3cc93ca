#include "tools/eval/metrics.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sceneflow::eval {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kRadiansToDegrees = 180.0 / 3.14159265358979323846;

Metrics UndefinedMetrics() {
  Metrics m;
  m.z_rms = m.z_mean_abs = m.z_nrms_percent = kNaN;
  m.u_rms = m.v_rms = m.w_rms = kNaN;
  m.epe_mean = m.epe_rms = m.motion_nrms_percent = kNaN;
  m.angular_mean_degrees = m.flow2d_epe_mean = m.flow2d_epe_rms = kNaN;
  m.outliers_z_percent = m.outliers_motion_percent = m.outliers_percent = kNaN;
  return m;
}

double Percent(double value, double range) { return range > 0 ? 100.0 * value / range : kNaN; }

// The truth's ranges over the evaluated pixels, which the relative measures need.
struct TruthRanges {
  int pixels = 0;
  double z_lo = std::numeric_limits<double>::infinity(), z_hi = -std::numeric_limits<double>::infinity();
  double motion_max = 0, motion_mean = 0;
};

TruthRanges TruthRangesOf(const SceneFlowFields& truth, const cv::Mat& mask) {
  TruthRanges ranges;
  double motion_sum = 0;
  for (int y = 0; y < mask.rows; ++y) {
    for (int x = 0; x < mask.cols; ++x) {
      if (mask.at<uint8_t>(y, x) == 0) continue;
      const double z = truth.Z.at<double>(y, x);
      ranges.z_lo = std::min(ranges.z_lo, z);
      ranges.z_hi = std::max(ranges.z_hi, z);
      const double magnitude =
          cv::norm(cv::Vec3d(truth.U.at<double>(y, x), truth.V.at<double>(y, x), truth.W.at<double>(y, x)));
      ranges.motion_max = std::max(ranges.motion_max, magnitude);
      motion_sum += magnitude;
      ++ranges.pixels;
    }
  }
  if (ranges.pixels > 0) ranges.motion_mean = motion_sum / ranges.pixels;
  return ranges;
}

// Sums of the errors over the evaluated pixels.
struct ErrorSums {
  double z2 = 0, z1 = 0, u2 = 0, v2 = 0, w2 = 0, epe1 = 0, epe2 = 0, angle = 0, flow1 = 0, flow2 = 0;
  int flow_count = 0, flow_undefined = 0, outliers_z = 0, outliers_motion = 0, outliers = 0;
};

ErrorSums ErrorSumsOf(const SceneFlowFields& estimate, const SceneFlowFields& truth, const cv::Mat& mask,
                      const ReferenceIntrinsics& camera, double motion_mean) {
  ErrorSums e;
  for (int y = 0; y < mask.rows; ++y) {
    for (int x = 0; x < mask.cols; ++x) {
      if (mask.at<uint8_t>(y, x) == 0) continue;
      const double zt = truth.Z.at<double>(y, x), ze = estimate.Z.at<double>(y, x);
      const cv::Vec3d mt(truth.U.at<double>(y, x), truth.V.at<double>(y, x), truth.W.at<double>(y, x));
      const cv::Vec3d me(estimate.U.at<double>(y, x), estimate.V.at<double>(y, x),
                         estimate.W.at<double>(y, x));
      const double dz = ze - zt;
      const cv::Vec3d dm = me - mt;
      e.z2 += dz * dz;
      e.z1 += std::abs(dz);
      e.u2 += dm[0] * dm[0];
      e.v2 += dm[1] * dm[1];
      e.w2 += dm[2] * dm[2];
      const double epe = cv::norm(dm);
      e.epe1 += epe;
      e.epe2 += epe * epe;

      const cv::Vec4d at(mt[0], mt[1], mt[2], 1.0), ae(me[0], me[1], me[2], 1.0);
      const double cosine = std::clamp(at.dot(ae) / (cv::norm(at) * cv::norm(ae)), -1.0, 1.0);
      e.angle += std::acos(cosine) * kRadiansToDegrees;

      cv::Vec2d flow_truth, flow_estimate;
      const bool flow_defined = ImpliedFlow(camera, x, y, zt, mt, flow_truth) &&
                                ImpliedFlow(camera, x, y, ze, me, flow_estimate);
      if (flow_defined) {
        const double error = cv::norm(flow_estimate - flow_truth);
        e.flow1 += error;
        e.flow2 += error * error;
        ++e.flow_count;
      } else {
        ++e.flow_undefined;
      }

      const bool bad_z = std::abs(dz) > 0.05 * std::abs(zt);
      const bool bad_motion = epe > 0.25 * std::max(cv::norm(mt), motion_mean);
      e.outliers_z += bad_z;
      e.outliers_motion += bad_motion;
      e.outliers += bad_z || bad_motion || !flow_defined;
    }
  }
  return e;
}

}  // namespace

bool ImpliedFlow(const ReferenceIntrinsics& camera, double x, double y, double z, const cv::Vec3d& m,
                 cv::Vec2d& flow) {
  const double px = (x - camera.u0) * z / camera.fu;
  const double py = (y - camera.v0) * z / camera.fv;
  const double zt = z + m[2];
  if (!(zt > 1e-9)) return false;
  flow[0] = camera.fu * (px + m[0]) / zt + camera.u0 - x;
  flow[1] = camera.fv * (py + m[1]) / zt + camera.v0 - y;
  return true;
}

cv::Mat EvaluationMask(const cv::Mat& valid, cv::Size size, int border) {
  cv::Mat mask = cv::Mat::zeros(size, CV_8U);
  for (int y = border; y < size.height - border; ++y) {
    uint8_t* row = mask.ptr<uint8_t>(y);
    const uint8_t* valid_row = valid.empty() ? nullptr : valid.ptr<uint8_t>(y);
    for (int x = border; x < size.width - border; ++x) {
      row[x] = (valid_row == nullptr || valid_row[x] != 0) ? 255 : 0;
    }
  }
  return mask;
}

Metrics ComputeMetrics(const SceneFlowFields& estimate, const SceneFlowFields& truth,
                       const cv::Mat& mask, const ReferenceIntrinsics& camera) {
  const TruthRanges ranges = TruthRangesOf(truth, mask);
  if (ranges.pixels == 0) return UndefinedMetrics();
  const ErrorSums e = ErrorSumsOf(estimate, truth, mask, camera, ranges.motion_mean);
  Metrics m;
  m.pixels = ranges.pixels;
  m.flow2d_undefined = e.flow_undefined;
  const double n = m.pixels;
  m.z_rms = std::sqrt(e.z2 / n);
  m.z_mean_abs = e.z1 / n;
  m.z_nrms_percent = Percent(m.z_rms, ranges.z_hi - ranges.z_lo);
  m.u_rms = std::sqrt(e.u2 / n);
  m.v_rms = std::sqrt(e.v2 / n);
  m.w_rms = std::sqrt(e.w2 / n);
  m.epe_mean = e.epe1 / n;
  m.epe_rms = std::sqrt(e.epe2 / n);
  m.motion_nrms_percent = Percent(m.epe_rms, ranges.motion_max);
  m.angular_mean_degrees = e.angle / n;
  m.flow2d_epe_mean = e.flow_count > 0 ? e.flow1 / e.flow_count : kNaN;
  m.flow2d_epe_rms = e.flow_count > 0 ? std::sqrt(e.flow2 / e.flow_count) : kNaN;
  m.outliers_z_percent = 100.0 * e.outliers_z / n;
  m.outliers_motion_percent = 100.0 * e.outliers_motion / n;
  m.outliers_percent = 100.0 * e.outliers / n;
  return m;
}

std::vector<MetricEntry> MetricEntries(const Metrics& m) {
  return {
      {"z_rms", "Z RMS error", m.z_rms},
      {"z_mean_abs", "Z mean absolute error", m.z_mean_abs},
      {"z_nrms_percent", "Z NRMS (% of depth range)", m.z_nrms_percent},
      {"u_rms", "U RMS error", m.u_rms},
      {"v_rms", "V RMS error", m.v_rms},
      {"w_rms", "W RMS error", m.w_rms},
      {"epe_mean", "3D end-point error, mean", m.epe_mean},
      {"epe_rms", "3D end-point error, RMS", m.epe_rms},
      {"motion_nrms_percent", "motion NRMS (% of largest motion)", m.motion_nrms_percent},
      {"angular_mean_degrees", "angular error of (U,V,W,1), deg", m.angular_mean_degrees},
      {"flow2d_epe_mean", "2D flow end-point error, mean px", m.flow2d_epe_mean},
      {"flow2d_epe_rms", "2D flow end-point error, RMS px", m.flow2d_epe_rms},
      {"outliers_z_percent", "depth outliers (%, >5% of Z)", m.outliers_z_percent},
      {"outliers_motion_percent", "motion outliers (%, >25% of |m|)", m.outliers_motion_percent},
      {"outliers_percent", "outliers, either kind (%)", m.outliers_percent},
  };
}

}  // namespace sceneflow::eval
