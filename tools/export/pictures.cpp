#include "tools/export/pictures.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace sceneflow::exporting {
namespace {

// The flow colour wheel of Baker et al. (Middlebury): 55 hues in six bands, red → yellow → green
// → cyan → blue → magenta → red, with the number of steps per band chosen for perceptual balance.
std::vector<cv::Vec3d> ColourWheel() {
  constexpr std::array<int, 6> kSteps = {15, 6, 4, 11, 13, 6};  // RY, YG, GC, CB, BM, MR
  std::vector<cv::Vec3d> wheel;  // RGB in 0..1
  for (int i = 0; i < kSteps[0]; ++i) wheel.emplace_back(1, double(i) / kSteps[0], 0);
  for (int i = 0; i < kSteps[1]; ++i) wheel.emplace_back(1 - double(i) / kSteps[1], 1, 0);
  for (int i = 0; i < kSteps[2]; ++i) wheel.emplace_back(0, 1, double(i) / kSteps[2]);
  for (int i = 0; i < kSteps[3]; ++i) wheel.emplace_back(0, 1 - double(i) / kSteps[3], 1);
  for (int i = 0; i < kSteps[4]; ++i) wheel.emplace_back(double(i) / kSteps[4], 0, 1);
  for (int i = 0; i < kSteps[5]; ++i) wheel.emplace_back(1, 0, 1 - double(i) / kSteps[5]);
  return wheel;
}

constexpr int kLegendMinWidth = 64;
constexpr int kLegendMinHeight = 48;

}  // namespace

std::pair<double, double> RobustRange(const cv::Mat& field, const cv::Mat& mask, double percent) {
  cv::Mat values;
  field.convertTo(values, CV_64F);
  std::vector<double> selected;
  for (int y = 0; y < values.rows; ++y) {
    const double* v = values.ptr<double>(y);
    for (int x = 0; x < values.cols; ++x) {
      if ((mask.empty() || mask.at<uint8_t>(y, x) != 0) && std::isfinite(v[x])) selected.push_back(v[x]);
    }
  }
  if (selected.empty()) return {0, 0};
  auto at = [&](double fraction) {
    const size_t index = static_cast<size_t>(std::lround(fraction * (selected.size() - 1)));
    std::nth_element(selected.begin(), selected.begin() + index, selected.end());
    return selected[index];
  };
  return {at(percent / 100.0), at(1.0 - percent / 100.0)};
}

cv::Vec3b FlowColour(double u, double v, double max_length) {
  static const std::vector<cv::Vec3d> wheel = ColourWheel();
  const int count = static_cast<int>(wheel.size());
  const double length = max_length > 0 ? std::hypot(u, v) / max_length : 0;
  const double angle = std::atan2(-v, -u) / std::numbers::pi;  // −1..1
  const double position = (angle + 1) / 2 * (count - 1);
  const int k0 = static_cast<int>(std::floor(position)) % count;
  const int k1 = (k0 + 1) % count;
  const double blend = position - std::floor(position);
  cv::Vec3b bgr;
  for (int channel = 0; channel < 3; ++channel) {
    double c = (1 - blend) * wheel[k0][channel] + blend * wheel[k1][channel];
    c = length <= 1 ? 1 - length * (1 - c) : c * 0.75;  // saturate with length; darken beyond the rim
    bgr[2 - channel] = static_cast<uint8_t>(std::lround(255 * c));
  }
  return bgr;
}

cv::Mat RenderFlowPicture(const cv::Mat& flow) {
  CV_Assert(flow.type() == CV_32FC2);
  std::vector<cv::Mat> components;
  cv::split(flow, components);
  cv::Mat length;
  cv::magnitude(components[0], components[1], length);
  const double max_length = std::max(RobustRange(length, cv::Mat(), 5.0).second, 1e-6);

  cv::Mat picture(flow.size(), CV_8UC3);
  for (int y = 0; y < flow.rows; ++y) {
    const cv::Vec2f* f = flow.ptr<cv::Vec2f>(y);
    cv::Vec3b* out = picture.ptr<cv::Vec3b>(y);
    for (int x = 0; x < flow.cols; ++x) {
      const bool defined = std::isfinite(f[x][0]) && std::isfinite(f[x][1]);
      out[x] = defined ? FlowColour(f[x][0], f[x][1], max_length) : cv::Vec3b(0, 0, 0);
    }
  }
  if (flow.cols < kLegendMinWidth || flow.rows < kLegendMinHeight) return picture;

  // Legend: the wheel as a disc on a white square, its rim standing for max_length pixels.
  const int radius = std::clamp(std::min(flow.cols, flow.rows) / 10, 12, 40);
  const int side = 2 * radius + 3;
  const int label_height = 12;
  cv::rectangle(picture, cv::Rect(0, 0, std::max(side, 60), side + label_height), cv::Scalar::all(255),
                cv::FILLED);
  for (int dy = -radius; dy <= radius; ++dy) {
    for (int dx = -radius; dx <= radius; ++dx) {
      if (dx * dx + dy * dy > radius * radius) continue;
      picture.at<cv::Vec3b>(radius + 1 + dy, radius + 1 + dx) = FlowColour(dx, dy, radius);
    }
  }
  char text[64];
  std::snprintf(text, sizeof text, "%.3g px", max_length);
  cv::putText(picture, text, cv::Point(1, side + label_height - 3), cv::FONT_HERSHEY_SIMPLEX, 0.33,
              cv::Scalar(0, 0, 0), 1, cv::LINE_AA);
  return picture;
}

}  // namespace sceneflow::exporting
