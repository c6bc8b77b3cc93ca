#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace sceneflow::eval {

// Accuracy of a disparity map against ground truth over the pixels where the truth is known (not
// NaN) and `mask` (optional, CV_8U) is non-zero. An estimate that is unknown (NaN) at such a pixel
// counts as wrong and enters the mean with the truth's value as its error.
struct DisparityMetrics {
  int pixels = 0;
  double bad1_percent = 0;  // |error| > 1 px
  double bad2_percent = 0;  // |error| > 2 px
  double mean_abs = 0;      // mean |error|, px
  double d1_percent = 0;    // KITTI D1: |error| > 3 px and > 5 % of the true disparity
  double median_signed = 0; // median of estimate − truth over the pixels with both known (the upper
                            // one of an even count), px
};
DisparityMetrics CompareDisparity(const cv::Mat& estimate, const cv::Mat& truth, const cv::Mat& mask = cv::Mat());

// Accuracy of an optical flow (CV_64FC2) against ground truth over the pixels where the truth is
// known; an unknown estimate counts as zero flow.
struct FlowMetrics {
  int pixels = 0;
  double epe_mean = 0;    // mean end-point error, px
  double fl_percent = 0;  // KITTI Fl: end-point error > 3 px and > 5 % of the true flow's length
};
FlowMetrics CompareFlow(const cv::Mat& estimate, const cv::Mat& truth, const cv::Mat& mask = cv::Mat());

// Mean length of a flow (CV_64FC2) over its known pixels; NaN when none is known.
double MeanFlowLength(const cv::Mat& flow);

// A rigid motion q = R·p + T fitted to point pairs.
struct RigidMotion {
  cv::Matx33d R = cv::Matx33d::eye();
  cv::Vec3d T;
};

// Weighted least-squares rigid motion (Kabsch) carrying `from` onto `to` over the given indices
// (all when empty), each pair weighted by weight[i] (1 when `weight` is empty). Needs at least
// three points that are not on one line for a unique answer.
RigidMotion FitRigidMotion(const std::vector<cv::Vec3d>& from, const std::vector<cv::Vec3d>& to,
                           const std::vector<int>& indices = {}, const std::vector<double>& weight = {});

// Robust rigid fit: RANSAC over minimal samples of three pairs, then a least-squares refit on the
// inliers of the best sample weighted by 1/tolerance² (so that pairs known less precisely count
// less), repeated while the inlier set grows. A pair is an inlier when |R·from + T − to| ≤
// tolerance[i]. Deterministic for a given seed.
struct RobustRigidFit {
  RigidMotion motion;
  std::vector<unsigned char> inlier;  // one per pair
  int inliers = 0;
};
RobustRigidFit FitRigidMotionRansac(const std::vector<cv::Vec3d>& from, const std::vector<cv::Vec3d>& to,
                                    const std::vector<double>& tolerance, int iterations = 500,
                                    unsigned seed = 1);

// Median of the values (NaN when empty).
double Median(std::vector<double> values);

}  // namespace sceneflow::eval
