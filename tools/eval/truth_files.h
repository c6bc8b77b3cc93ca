#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace sceneflow::eval {

// Ground truth of real data sets, read into CV_64F matrices with NaN where the truth is unknown.

// Reads a disparity map by its format:
//   .pfm                     float disparity, non-finite values unknown (Middlebury 2014);
//   16-bit PNG               value / 256, 0 unknown (KITTI);
//   8-bit PNG (or any image) value / png_scale, 0 unknown (Middlebury 2003: png_scale 4).
// A png_scale of 0 means the format's own (256 for 16-bit, 4 for 8-bit images).
// Throws InputError when the file cannot be read.
cv::Mat ReadDisparityTruth(const std::string& path, double png_scale = 0);

// Reads an optical flow as CV_64FC2 (u, v) with NaN in both channels where unknown:
//   .flo                     Middlebury: float tag 202021.25, int32 width, height, then interleaved
//                            float u, v per pixel; |value| > 1e9 or non-finite unknown;
//   PNG                      KITTI: 16-bit, channels R = 64·u + 2^15, G = 64·v + 2^15, B = valid.
cv::Mat ReadFlowTruth(const std::string& path);

// The KITTI formats alone, for files that must be in them (a benchmark submission and its truth):
// a 16-bit one-channel disparity PNG (value / 256, 0 invalid) and a 16-bit three-channel flow PNG.
// Any other image throws InputError naming the file and the format it should have.
cv::Mat ReadKittiDisparity(const std::string& path);
cv::Mat ReadKittiFlow(const std::string& path);

// Reads a Middlebury .flo file as ReadFlowTruth does, whatever the file's name.
cv::Mat ReadFlo(const std::string& path);

// Reads a one-channel PFM file ("Pf") as CV_64F, rows top to bottom; a three-channel one ("PF")
// gives its first channel.
cv::Mat ReadPfm(const std::string& path);

}  // namespace sceneflow::eval
