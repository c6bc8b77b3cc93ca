#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace sceneflow::exporting {

// Each writer goes through a temporary file renamed into place and throws InputError with the
// path when the file cannot be written.

// A binary little-endian PLY point cloud with one vertex per non-zero pixel of `mask`, row by
// row: float x, y, z from `points` (CV_64FC3), uchar red, green, blue from `colour` (BGR), and,
// when `motion` (CV_64FC3) is not empty, the per-vertex properties float U, V, W.
void WritePly(const std::string& path, const cv::Mat& points, const cv::Mat& colour, const cv::Mat& mask,
              const cv::Mat& motion);

// Middlebury optical flow (.flo): the float 202021.25 ("PIEH"), int32 width and height, then u, v
// of every pixel row by row as float32, little-endian. Undefined flow (NaN) is written as 1e10,
// which readers of the format take as unknown.
void WriteFlo(const std::string& path, const cv::Mat& flow);

// A one-channel PFM: "Pf", width and height, scale −1 (little-endian), then float32 rows from the
// bottom row up, as the format stores them.
void WritePfm(const std::string& path, const cv::Mat& field);

// KITTI disparity PNG: 16-bit grey, value = round(256·d) clamped to 1..65535 where d is finite and
// above 0, else 0 (invalid). `disparity` is CV_32F.
void WriteKittiDisparity(const std::string& path, const cv::Mat& disparity);

// KITTI flow PNG: 16-bit, red = u·64 + 2^15, green = v·64 + 2^15 (rounded, clamped to 0..65535)
// and blue = 1 where the flow is defined (finite), else all three 0. `flow` is CV_32FC2.
void WriteKittiFlow(const std::string& path, const cv::Mat& flow);

}  // namespace sceneflow::exporting
