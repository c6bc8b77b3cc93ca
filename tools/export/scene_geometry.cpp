#include "tools/export/scene_geometry.h"

#include <cmath>
#include <limits>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tools/common/stereo_geometry.h"

namespace sceneflow::exporting {
namespace {

constexpr float kUndefined = std::numeric_limits<float>::quiet_NaN();

}  // namespace

cv::Mat ReferencePoints(const RunResults& run) {
  const double s = run.level_factor;
  const ReferenceIntrinsics& k = run.intrinsics;
  cv::Mat points(run.Z.size(), CV_64FC3);
  for (int y = 0; y < run.Z.rows; ++y) {
    const double* z = run.Z.ptr<double>(y);
    cv::Vec3d* out = points.ptr<cv::Vec3d>(y);
    for (int x = 0; x < run.Z.cols; ++x) {
      out[x] = cv::Vec3d((x - s * k.u0) * z[x] / (s * k.f0ku), (y - s * k.v0) * z[x] / (s * k.f0kv), z[x]);
    }
  }
  return points;
}

cv::Mat SurfaceMask(const RunResults& run) {
  const double far = 0.95 * run.parameters.maxZ;
  cv::Mat mask(run.Z.size(), CV_8U);
  for (int y = 0; y < run.Z.rows; ++y) {
    const double* z = run.Z.ptr<double>(y);
    uint8_t* out = mask.ptr<uint8_t>(y);
    for (int x = 0; x < run.Z.cols; ++x) out[x] = std::isfinite(z[x]) && z[x] > 0 && z[x] < far ? 255 : 0;
  }
  return mask;
}

cv::Mat ReferenceFlow(const RunResults& run) {
  const double s = run.level_factor;
  cv::Matx33d C(run.C0.ptr<double>());
  const cv::Matx33d R(run.R0.ptr<double>());
  // As the estimator's level projection: C(2,2) becomes 1/s, whatever the file holds there.
  C(2, 2) = 1.0 / s;
  const cv::Vec3d T(run.T0.ptr<double>());
  const cv::Mat points = ReferencePoints(run);
  cv::Mat flow(run.Z.size(), CV_32FC2);
  for (int y = 0; y < flow.rows; ++y) {
    const cv::Vec3d* p = points.ptr<cv::Vec3d>(y);
    const double *u = run.U.ptr<double>(y), *v = run.V.ptr<double>(y), *w = run.W.ptr<double>(y);
    cv::Vec2f* out = flow.ptr<cv::Vec2f>(y);
    for (int x = 0; x < flow.cols; ++x) {
      const cv::Vec3d image = C * (R * (p[x] + cv::Vec3d(u[x], v[x], w[x])) + T);
      if (!(image[2] > 0)) {
        out[x] = cv::Vec2f(kUndefined, kUndefined);
        continue;
      }
      out[x] = cv::Vec2f(static_cast<float>(image[0] / image[2] - x), static_cast<float>(image[1] / image[2] - y));
    }
  }
  return flow;
}

cv::Mat ReferenceDisparity(const RunResults& run, bool at_time_t) {
  const tools::PreparedFile& prepared = *run.prepared;
  const double factor = prepared.focal / prepared.scale * prepared.baseline;
  cv::Mat disparity(run.Z.size(), CV_32F);
  for (int y = 0; y < disparity.rows; ++y) {
    const double *z = run.Z.ptr<double>(y), *w = run.W.ptr<double>(y);
    float* out = disparity.ptr<float>(y);
    for (int x = 0; x < disparity.cols; ++x) {
      const double depth = at_time_t ? z[x] + w[x] : z[x];
      out[x] = depth > 0 ? static_cast<float>(tools::DisparityOfDepth(factor, depth, prepared.doffs)) : kUndefined;
    }
  }
  return disparity;
}

cv::Mat ResizeWithUndefined(const cv::Mat& field, cv::Size size) {
  CV_Assert(field.depth() == CV_32F || field.depth() == CV_64F);
  if (field.size() == size) return field.clone();
  if (field.channels() > 1) {
    std::vector<cv::Mat> channels;
    cv::split(field, channels);
    for (cv::Mat& channel : channels) channel = ResizeWithUndefined(channel, size);
    cv::Mat merged;
    cv::merge(channels, merged);
    return merged;
  }
  // Normalised bilinear interpolation: the defined values weighted by the defined pixels' share,
  // so a constant field stays exactly constant next to undefined pixels.
  const cv::Mat defined = field == field;  // false exactly where NaN
  cv::Mat filled, weight;
  field.convertTo(filled, CV_64F);
  filled.setTo(0, ~defined);
  defined.convertTo(weight, CV_64F, 1.0 / 255);
  cv::Mat resized_values, resized_weight, resized_defined;
  cv::resize(filled, resized_values, size, 0, 0, cv::INTER_LINEAR);
  cv::resize(weight, resized_weight, size, 0, 0, cv::INTER_LINEAR);
  cv::resize(defined, resized_defined, size, 0, 0, cv::INTER_NEAREST);
  cv::Mat resized(size, field.type());
  for (int y = 0; y < size.height; ++y) {
    const double *value = resized_values.ptr<double>(y), *w = resized_weight.ptr<double>(y);
    const uint8_t* keep = resized_defined.ptr<uint8_t>(y);
    for (int x = 0; x < size.width; ++x) {
      const double v = keep[x] != 0 && w[x] > 0 ? value[x] / w[x] : kUndefined;
      if (field.depth() == CV_64F) {
        resized.ptr<double>(y)[x] = v;
      } else {
        resized.ptr<float>(y)[x] = static_cast<float>(v);
      }
    }
  }
  return resized;
}

}  // namespace sceneflow::exporting
