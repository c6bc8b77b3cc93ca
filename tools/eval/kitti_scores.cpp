#include "tools/eval/kitti_scores.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sceneflow::eval {
namespace {

// The benchmark's outlier thresholds: an error counts when it exceeds both.
constexpr double kOutlierPixels = 3.0;
constexpr double kOutlierShare = 0.05;

bool Known(double disparity) { return !std::isnan(disparity); }
bool Known(const cv::Vec2d& flow) { return !std::isnan(flow[0]) && !std::isnan(flow[1]); }

double Smaller(double a, double b) { return std::min(a, b); }
cv::Vec2d Smaller(const cv::Vec2d& a, const cv::Vec2d& b) {
  return cv::Vec2d(std::min(a[0], b[0]), std::min(a[1], b[1]));
}

// Each run of invalid pixels of a row that has a valid pixel on both sides takes the smaller of
// the two.
template <typename Pixel>
void FillInnerRuns(Pixel* row, int width) {
  int run = 0;
  for (int u = 0; u < width; ++u) {
    if (!Known(row[u])) {
      ++run;
      continue;
    }
    const int first = u - run;
    if (run > 0 && first > 0) {
      const Pixel value = Smaller(row[first - 1], row[u]);
      std::fill(row + first, row + u, value);
    }
    run = 0;
  }
}

// Along a line of `length` pixels `step` apart: the pixels before the first valid one take its
// value, the pixels after the last valid one take that. A line without a valid pixel stays as it is.
template <typename Pixel>
void ExtendEnds(Pixel* line, int length, int step) {
  int first = 0;
  while (first < length && !Known(line[first * step])) ++first;
  if (first == length) return;
  int last = length - 1;
  while (!Known(line[last * step])) --last;
  for (int i = 0; i < first; ++i) line[i * step] = line[first * step];
  for (int i = last + 1; i < length; ++i) line[i * step] = line[last * step];
}

template <typename Pixel>
void FillBackground(cv::Mat& field) {
  CV_Assert(field.type() == cv::traits::Type<Pixel>::value);
  if (field.empty()) return;
  for (int y = 0; y < field.rows; ++y) {
    Pixel* row = field.ptr<Pixel>(y);
    FillInnerRuns(row, field.cols);
    ExtendEnds(row, field.cols, 1);
  }
  const int row_step = static_cast<int>(field.step / sizeof(Pixel));
  for (int x = 0; x < field.cols; ++x) ExtendEnds(field.ptr<Pixel>(0) + x, field.rows, row_step);
  // Still invalid: the rows without a valid pixel that lie between rows with one, or everything.
  field.forEach<Pixel>([](Pixel& pixel, const int*) {
    if (!Known(pixel)) pixel = Pixel{};
  });
}

bool DisparityOutlier(double estimate, double truth) {
  const double error = std::abs(estimate - truth);
  return error > kOutlierPixels && error > kOutlierShare * std::abs(truth);
}

bool FlowOutlier(double end_point_error, const cv::Vec2d& truth) {
  return end_point_error > kOutlierPixels && end_point_error > kOutlierShare * cv::norm(truth);
}

void Count(OutlierCount& count, bool outlier) {
  ++count.pixels;
  count.outliers += outlier;
}

double Percent(int count, int total) { return 100.0 * count / total; }

KittiDensity DensityOf(const KittiFrame& estimate) {
  int known_0 = 0, known_1 = 0, known_flow = 0, known_all = 0;
  for (int y = 0; y < estimate.flow.rows; ++y) {
    const double* d0 = estimate.disparity_0.ptr<double>(y);
    const double* d1 = estimate.disparity_1.ptr<double>(y);
    const cv::Vec2d* f = estimate.flow.ptr<cv::Vec2d>(y);
    for (int x = 0; x < estimate.flow.cols; ++x) {
      known_0 += Known(d0[x]);
      known_1 += Known(d1[x]);
      known_flow += Known(f[x]);
      known_all += Known(d0[x]) && Known(d1[x]) && Known(f[x]);
    }
  }
  const int pixels = static_cast<int>(estimate.flow.total());
  return {Percent(known_0, pixels), Percent(known_1, pixels), Percent(known_flow, pixels),
          Percent(known_all, pixels)};
}

// The errors of an estimate that is valid everywhere.
KittiErrors ErrorsAgainst(const KittiFrame& filled, const KittiFrame& truth) {
  KittiErrors errors;
  double epe_sum = 0;
  for (int y = 0; y < truth.flow.rows; ++y) {
    const double* e0 = filled.disparity_0.ptr<double>(y);
    const double* e1 = filled.disparity_1.ptr<double>(y);
    const cv::Vec2d* ef = filled.flow.ptr<cv::Vec2d>(y);
    const double* t0 = truth.disparity_0.ptr<double>(y);
    const double* t1 = truth.disparity_1.ptr<double>(y);
    const cv::Vec2d* tf = truth.flow.ptr<cv::Vec2d>(y);
    for (int x = 0; x < truth.flow.cols; ++x) {
      const bool outlier_0 = Known(t0[x]) && DisparityOutlier(e0[x], t0[x]);
      const bool outlier_1 = Known(t1[x]) && DisparityOutlier(e1[x], t1[x]);
      bool outlier_flow = false;
      if (Known(t0[x])) Count(errors.d1, outlier_0);
      if (Known(t1[x])) Count(errors.d2, outlier_1);
      if (Known(tf[x])) {
        const double end_point_error = cv::norm(ef[x] - tf[x]);
        epe_sum += end_point_error;
        outlier_flow = FlowOutlier(end_point_error, tf[x]);
        Count(errors.fl, outlier_flow);
      }
      if (Known(t0[x]) && Known(t1[x]) && Known(tf[x])) Count(errors.sf, outlier_0 || outlier_1 || outlier_flow);
    }
  }
  errors.flow_epe = errors.fl.pixels > 0 ? epe_sum / errors.fl.pixels : std::numeric_limits<double>::quiet_NaN();
  return errors;
}

void CheckSizes(const KittiFrame& frame, cv::Size size) {
  CV_Assert(frame.disparity_0.type() == CV_64F && frame.disparity_1.type() == CV_64F &&
            frame.flow.type() == CV_64FC2);
  CV_Assert(frame.disparity_0.size() == size && frame.disparity_1.size() == size && frame.flow.size() == size);
}

}  // namespace

double OutlierCount::Percent() const {
  return pixels > 0 ? 100.0 * outliers / pixels : std::numeric_limits<double>::quiet_NaN();
}

void FillDisparityBackground(cv::Mat& disparity) { FillBackground<double>(disparity); }

void FillFlowBackground(cv::Mat& flow) { FillBackground<cv::Vec2d>(flow); }

KittiFrameScore ScoreKittiFrame(const KittiFrame& estimate, const KittiFrame& truth_occ,
                                const KittiFrame& truth_noc) {
  const cv::Size size = estimate.flow.size();
  CheckSizes(estimate, size);
  CheckSizes(truth_occ, size);
  CheckSizes(truth_noc, size);
  KittiFrameScore score;
  score.density = DensityOf(estimate);
  KittiFrame filled{estimate.disparity_0.clone(), estimate.disparity_1.clone(), estimate.flow.clone()};
  FillDisparityBackground(filled.disparity_0);
  FillDisparityBackground(filled.disparity_1);
  FillFlowBackground(filled.flow);
  score.occ = ErrorsAgainst(filled, truth_occ);
  score.noc = ErrorsAgainst(filled, truth_noc);
  return score;
}

}  // namespace sceneflow::eval
