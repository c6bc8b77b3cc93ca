#include "geometry/disparity.h"

#include <cmath>

namespace sceneflow {
namespace {

template <typename T>
void ReplicateBorderOf(cv::Mat& D) {
  const int last_row = D.rows - 1;
  const int last_col = D.cols - 1;
  for (int r = 1; r < last_row; ++r) {
    T* row = D.ptr<T>(r);
    row[0] = row[1];
    row[last_col] = row[last_col - 1];
  }
  D.row(1).copyTo(D.row(0));
  D.row(last_row - 1).copyTo(D.row(last_row));
}

template <typename T>
void DisparityToDepthOf(const cv::Mat& disparity, double b, double maxZ, cv::Mat& depth) {
  const double threshold = std::fabs(b / maxZ);
  for (int r = 0; r < disparity.rows; ++r) {
    const T* d = disparity.ptr<T>(r);
    T* z = depth.ptr<T>(r);
    for (int c = 0; c < disparity.cols; ++c) {
      const double value = d[c];
      if (value == 0) {
        z[c] = static_cast<T>(1.05 * maxZ);
      } else if (std::fabs(value) > threshold) {
        z[c] = static_cast<T>(b / value);
      } else {
        z[c] = static_cast<T>(maxZ);
      }
    }
  }
}

}  // namespace

void ReplicateBorder(cv::Mat& disparity) {
  CV_Assert(disparity.type() == CV_32F || disparity.type() == CV_64F);
  if (disparity.rows < 3 || disparity.cols < 3) return;
  if (disparity.type() == CV_32F) {
    ReplicateBorderOf<float>(disparity);
  } else {
    ReplicateBorderOf<double>(disparity);
  }
}

void DisparityToDepth(const cv::Mat& disparity, double b, double maxZ, cv::Mat& depth) {
  CV_Assert(disparity.type() == CV_32F || disparity.type() == CV_64F);
  depth.create(disparity.size(), disparity.type());
  if (disparity.type() == CV_32F) {
    DisparityToDepthOf<float>(disparity, b, maxZ, depth);
  } else {
    DisparityToDepthOf<double>(disparity, b, maxZ, depth);
  }
}

}  // namespace sceneflow
