#pragma once

#include <opencv2/core.hpp>

namespace sceneflow {

// Largest disparity the output image can hold: 2·d must fit 8 bits.
constexpr int kLargestMaxDisparity = 127;

// Search range used when the caller names none: a quarter of the image width, at least 15 and at
// most kLargestMaxDisparity.
int DefaultMaxDisparity(int image_width);

// Dense disparity of a rectified pair, for every pixel of the left image: d = x_left − x_right,
// from 0 to max_disparity (1..kLargestMaxDisparity), with sub-pixel precision. Both images are
// 8-bit, of the same size and channel count (1 or 3). Semi-global matching of the left image
// against the right and of the right against the left; pixels where the two disagree by more
// than one pixel, or that either match leaves undecided (occlusions, untextured spots), take the
// smaller of the disparities of their nearest valid neighbours on the row (the background side
// of an occlusion), smoothed by a 5×5 median over the filled pixels.
// When given, `consistent_share` receives the share of pixels whose left and right matches
// agreed before the filling: the matcher's own measure of how well the pair matched.
cv::Mat DenseDisparity(const cv::Mat& left, const cv::Mat& right, int max_disparity,
                       double* consistent_share = nullptr);

// DenseDisparity of a colour pair and of its grey version, keeping the one whose left and right
// matches agree at more pixels (the colour one on a tie): colour helps where the colours are
// clean and hurts where the sensor's colour noise is strong, and the consistency of the two
// matches tells which holds for the pair at hand. A grey pair is matched once.
cv::Mat BestDenseDisparity(const cv::Mat& left, const cv::Mat& right, int max_disparity);

// The disparity as an 8-bit grey image: 2·d rounded to the nearest integer, clamped to 0..255.
cv::Mat EncodeDisparity(const cv::Mat& disparity);

}  // namespace sceneflow
