#include "stereo/dense_stereo.h"

#include <algorithm>
#include <cmath>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

namespace sceneflow {
namespace {

// Matching window: small, since the scenes are textured and larger windows blur depth edges.
constexpr int kBlockSize = 3;
// Smoothness penalties per channel and window pixel, for disparity steps of 1 and of more.
constexpr int kSmallStepPenalty = 8;
constexpr int kLargeStepPenalty = 32;
constexpr int kUniquenessPercent = 10;
constexpr int kSpeckleWindow = 100;
constexpr int kSpeckleRange = 2;
constexpr int kPrefilterCap = 63;
// Largest disagreement, in pixels, between the left and the right match of a pixel.
constexpr double kConsistencyTolerance = 1.0;
constexpr int kFillMedianSize = 5;
constexpr float kInvalid = -1.0f;

// The matcher's number of disparities: the range 0..max_disparity rounded up to a multiple of 16.
int NumDisparities(int max_disparity) { return (max_disparity + 1 + 15) / 16 * 16; }

// Semi-global matching of `reference` against `other`, where a point at column x of the reference
// appears at column x − d of the other. Returns fixed-point disparities (CV_16S, 16 per pixel),
// negative where the matcher left a pixel undecided. The matcher never decides the first
// num_disparities columns, so both images are widened by that many replicated columns on the
// left and the result is cropped back.
cv::Mat MatchAgainst(const cv::Mat& reference, const cv::Mat& other, int num_disparities) {
  const int channels = reference.channels();
  const int window_area = kBlockSize * kBlockSize;
  const cv::Ptr<cv::StereoSGBM> matcher = cv::StereoSGBM::create(
      0, num_disparities, kBlockSize, kSmallStepPenalty * channels * window_area,
      kLargeStepPenalty * channels * window_area, -1, kPrefilterCap, kUniquenessPercent,
      kSpeckleWindow, kSpeckleRange, cv::StereoSGBM::MODE_SGBM_3WAY);
  cv::Mat wide_reference, wide_other, wide_disparity;
  cv::copyMakeBorder(reference, wide_reference, 0, 0, num_disparities, 0, cv::BORDER_REPLICATE);
  cv::copyMakeBorder(other, wide_other, 0, 0, num_disparities, 0, cv::BORDER_REPLICATE);
  matcher->compute(wide_reference, wide_other, wide_disparity);
  CV_Assert(wide_disparity.type() == CV_16S);
  return wide_disparity(cv::Rect(num_disparities, 0, reference.cols, reference.rows)).clone();
}

// Disparities of the right image's pixels (a point at column x of the right image appears at
// x + d in the left): the same matcher run on both images mirrored, left and right exchanged.
cv::Mat MatchRightView(const cv::Mat& left, const cv::Mat& right, int num_disparities) {
  cv::Mat mirrored_left, mirrored_right, mirrored_disparity, disparity;
  cv::flip(left, mirrored_left, 1);
  cv::flip(right, mirrored_right, 1);
  mirrored_disparity = MatchAgainst(mirrored_right, mirrored_left, num_disparities);
  cv::flip(mirrored_disparity, disparity, 1);
  return disparity;
}

// Left disparities in pixels (CV_32F) where the right view's match of the corresponding pixel
// agrees within the tolerance; kInvalid elsewhere.
cv::Mat ConsistentDisparity(const cv::Mat& left_fixed, const cv::Mat& right_fixed) {
  const double scale = 1.0 / static_cast<int>(cv::StereoMatcher::DISP_SCALE);
  cv::Mat disparity(left_fixed.size(), CV_32F);
  for (int y = 0; y < left_fixed.rows; ++y) {
    const short* left_row = left_fixed.ptr<short>(y);
    const short* right_row = right_fixed.ptr<short>(y);
    float* out = disparity.ptr<float>(y);
    for (int x = 0; x < left_fixed.cols; ++x) {
      out[x] = kInvalid;
      if (left_row[x] < 0) continue;
      const double d = left_row[x] * scale;
      const int x_right = x - static_cast<int>(std::lround(d));
      if (x_right < 0 || right_row[x_right] < 0) continue;
      if (std::abs(d - right_row[x_right] * scale) > kConsistencyTolerance) continue;
      out[x] = static_cast<float>(d);
    }
  }
  return disparity;
}

// Fills each run of invalid pixels on a row with the smaller disparity of the valid pixels that
// bound it (the only one at a row end; 0 on a row without any). At an occlusion the hidden
// pixels belong to the farther surface, which has the smaller disparity.
void FillFromRowNeighbours(cv::Mat& disparity) {
  for (int y = 0; y < disparity.rows; ++y) {
    float* row = disparity.ptr<float>(y);
    const int cols = disparity.cols;
    int x = 0;
    while (x < cols) {
      if (row[x] != kInvalid) {
        ++x;
        continue;
      }
      const int start = x;
      while (x < cols && row[x] == kInvalid) ++x;
      const float before = start > 0 ? row[start - 1] : kInvalid;
      const float after = x < cols ? row[x] : kInvalid;
      float fill = 0.0f;
      if (before != kInvalid && after != kInvalid)
        fill = std::min(before, after);
      else if (before != kInvalid)
        fill = before;
      else if (after != kInvalid)
        fill = after;
      std::fill(row + start, row + x, fill);
    }
  }
}

}  // namespace

int DefaultMaxDisparity(int image_width) {
  return std::clamp(image_width / 4, 15, kLargestMaxDisparity);
}

cv::Mat DenseDisparity(const cv::Mat& left, const cv::Mat& right, int max_disparity,
                       double* consistent_share) {
  CV_Assert(left.size() == right.size() && left.type() == right.type());
  CV_Assert(left.depth() == CV_8U && (left.channels() == 1 || left.channels() == 3));
  CV_Assert(max_disparity >= 1 && max_disparity <= kLargestMaxDisparity);
  const int num_disparities = NumDisparities(max_disparity);

  cv::Mat disparity = ConsistentDisparity(MatchAgainst(left, right, num_disparities),
                                          MatchRightView(left, right, num_disparities));
  // Disparities beyond the requested range count as undecided.
  disparity.setTo(kInvalid, disparity > max_disparity);
  const cv::Mat filled_pixels = disparity == kInvalid;
  if (consistent_share != nullptr) {
    *consistent_share = 1.0 - static_cast<double>(cv::countNonZero(filled_pixels)) / disparity.total();
  }

  FillFromRowNeighbours(disparity);
  // The row-wise fill leaves streaks; a median over the filled pixels evens them out, while
  // matched pixels keep their own values.
  cv::Mat smoothed;
  cv::medianBlur(disparity, smoothed, kFillMedianSize);
  smoothed.copyTo(disparity, filled_pixels);
  return disparity;
}

cv::Mat BestDenseDisparity(const cv::Mat& left, const cv::Mat& right, int max_disparity) {
  if (left.channels() == 1) return DenseDisparity(left, right, max_disparity);
  double colour_share = 0, grey_share = 0;
  cv::Mat colour = DenseDisparity(left, right, max_disparity, &colour_share);
  cv::Mat left_grey, right_grey;
  cv::cvtColor(left, left_grey, cv::COLOR_BGR2GRAY);
  cv::cvtColor(right, right_grey, cv::COLOR_BGR2GRAY);
  cv::Mat grey = DenseDisparity(left_grey, right_grey, max_disparity, &grey_share);
  return grey_share > colour_share ? grey : colour;
}

cv::Mat EncodeDisparity(const cv::Mat& disparity) {
  cv::Mat encoded;
  disparity.convertTo(encoded, CV_8U, 2.0);
  return encoded;
}

}  // namespace sceneflow
