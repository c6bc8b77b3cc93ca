#pragma once

#include <string>

#include <opencv2/core.hpp>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace sceneflow::python {

namespace py = pybind11;

// Conversions between numpy arrays and OpenCV matrices at the module's boundary. Every reader of
// an argument checks its shape and dtype and raises ValueError naming `name` (the argument as the
// caller wrote it, "images_0[1]" say); every matrix it returns is a copy the caller owns.

// A grey image from an (H, W) array, or an (H, W, 3) RGB or (H, W, 4) RGBA one converted with
// OpenCV's weights; uint8 gives CV_8U, float32 or float64 CV_32F (grey levels, not 0..1).
cv::Mat GreyImage(const py::handle& value, const std::string& name);

// An image to be written as it is: (H, W), (H, W, 3) RGB or (H, W, 4) RGBA, uint8 or uint16, as
// a matrix in OpenCV's channel order (BGR, BGRA).
cv::Mat StoredImage(const py::handle& value, const std::string& name);

// An (H, W) array of real numbers, all finite, as CV_32F.
cv::Mat FiniteField(const py::handle& value, const std::string& name);

// An array of real numbers with exactly this shape (channels last when `channels` > 1; an
// (H, W) array stands for one channel), as a matrix of `depth` (CV_32F or CV_64F). `rows` or
// `cols` -1: any.
cv::Mat RealMatrix(const py::handle& value, const std::string& name, int rows, int cols,
                   int channels, int depth);

// An (H, W) array of booleans (or numbers, non-zero meaning true) as CV_8U holding 0 or 255.
cv::Mat Mask(const py::handle& value, const std::string& name);

// A copy of a matrix as an array: (rows, cols) for one channel, (rows, cols, channels) otherwise,
// with the element type's dtype.
py::array ToArray(const cv::Mat& matrix);

// The text of the argument's shape, "(48, 64, 3)", for messages.
std::string ShapeText(const py::array& array);

}  // namespace sceneflow::python
