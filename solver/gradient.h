#pragma once

#include <opencv2/core.hpp>

namespace sceneflow {

// x and y differences of a CV_32F field: half the difference of the two neighbours inside, the
// plain one-sided difference on the first and last column (row), 0 for a field of one column
// (row). No division by the grid spacing. Fx and Fy are (re)allocated to F's size.
void CentralGradient(const cv::Mat& F, cv::Mat& Fx, cv::Mat& Fy);

}  // namespace sceneflow
