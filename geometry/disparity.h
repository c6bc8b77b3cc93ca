#pragma once

#include <opencv2/core.hpp>

namespace sceneflow {

// Overwrites the outermost rows and columns of a full-size disparity (CV_32F or CV_64F) with the
// adjacent inner ones: first columns 0 and W-1 on rows 1..H-2, then row 0, then row H-1. A
// disparity narrower or lower than 3 pixels has no inner neighbours and stays as it is.
void ReplicateBorder(cv::Mat& disparity);

// Depth from disparity with Z = b/d (b = Tx·f0ku), clamped to maxZ where |d| <= |b/maxZ|; pixels
// without disparity (d = 0) get 1.05·maxZ. The disparity is CV_32F or CV_64F; the depth takes its
// type, computed in double precision either way.
void DisparityToDepth(const cv::Mat& disparity, double b, double maxZ, cv::Mat& depth);

}  // namespace sceneflow
