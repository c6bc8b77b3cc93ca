#pragma once

#include <optional>
#include <string>

#include <opencv2/core.hpp>

namespace sceneflow {

// Resamples a view's image onto the reference grid and takes its derivatives:
//  1. warped(y, x) = bilinear sample of view_image at (MapX(y, x), MapY(y, x)); samples whose
//     neighbours fall outside the image take 0 for them (a source wholly outside gives 0);
//  2. warped is smoothed in place with a 3×3 Gaussian (sigma from the aperture, replicated border);
//  3. when save_prefix is set, warped is saved as "<prefix><view>.<image_type>" (SaveMatrixImage);
//  4. warped_dx, warped_dy = Scharr x and y derivatives (replicated border) divided by 32, new
//     CV_32F fields. For 8-bit images the Scharr result passes through `scratch` (16-bit signed,
//     reused between calls); float images are differentiated straight into the output.
// view_image is CV_8UC1 or CV_32FC1; warped takes its element type and the maps' size (the
// caller's matrix is reused when it already has them). Throws InputError when a requested save
// fails or image_type (the key IMG_TYPE) is not set.
void WarpViewImage(const cv::Mat& view_image, const cv::Mat& MapX, const cv::Mat& MapY,
                   const std::optional<std::string>& save_prefix, int view,
                   const std::optional<std::string>& image_type,
                   cv::Mat& warped, cv::Mat& warped_dx, cv::Mat& warped_dy, cv::Mat& scratch);

// Saves a matrix as an image file. 8-bit images with one or three channels are written as they
// are; any other matrix is first converted to 8 bits per element (rounded, saturated to 0..255).
// Throws InputError naming the file when it cannot be written.
void SaveMatrixImage(const std::string& file_name, const cv::Mat& matrix);

}  // namespace sceneflow
