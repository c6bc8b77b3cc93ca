#include "python/arrays.h"

#include <cstring>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace sceneflow::python {
namespace {

// numpy's own conversion, so that lists and numpy scalars count too; anything else is refused.
py::array AsArray(const py::handle& value, const std::string& name) {
  py::array array = py::array::ensure(value);
  if (!array) throw py::value_error(name + " must be a numpy array");
  return array;
}

bool IsReal(const py::array& array) {
  const char kind = array.dtype().kind();
  return kind == 'i' || kind == 'u' || kind == 'f';
}

std::string DtypeText(const py::array& array) { return py::str(array.dtype()).cast<std::string>(); }

// The array's elements, C-contiguous, as T.
template <typename T>
py::array_t<T, py::array::c_style | py::array::forcecast> Contiguous(const py::array& array) {
  return py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(array);
}

// A rows × cols matrix of `channels` channels holding a copy of contiguous elements of type T.
template <typename T>
cv::Mat CopyToMatrix(const py::array& array, int rows, int cols, int channels, int depth) {
  const auto elements = Contiguous<T>(array);
  cv::Mat matrix(rows, cols, CV_MAKETYPE(depth, channels));
  std::memcpy(matrix.data, elements.data(), matrix.total() * matrix.elemSize());
  return matrix;
}

}  // namespace

std::string ShapeText(const py::array& array) {
  std::string text = "(";
  for (py::ssize_t axis = 0; axis < array.ndim(); ++axis) {
    text += (axis > 0 ? ", " : "") + std::to_string(array.shape(axis));
  }
  return text + (array.ndim() == 1 ? ",)" : ")");
}

cv::Mat GreyImage(const py::handle& value, const std::string& name) {
  const py::array array = AsArray(value, name);
  const bool channels_last = array.ndim() == 3 &&
                             (array.shape(2) == 1 || array.shape(2) == 3 || array.shape(2) == 4);
  if (array.ndim() != 2 && !channels_last) {
    throw py::value_error(name + " has shape " + ShapeText(array) +
                          "; an image is (H, W), (H, W, 3) RGB or (H, W, 4) RGBA");
  }
  if (array.shape(0) == 0 || array.shape(1) == 0) throw py::value_error(name + " is empty");
  const bool bytes = array.dtype().kind() == 'u' && array.itemsize() == 1;
  if (!bytes && array.dtype().kind() != 'f') {
    throw py::value_error(name + " has dtype " + DtypeText(array) +
                          "; images are uint8 or float (grey levels 0 to 255)");
  }
  const int rows = static_cast<int>(array.shape(0));
  const int cols = static_cast<int>(array.shape(1));
  const int channels = array.ndim() == 3 ? static_cast<int>(array.shape(2)) : 1;
  cv::Mat image = bytes ? CopyToMatrix<uint8_t>(array, rows, cols, channels, CV_8U)
                        : CopyToMatrix<float>(array, rows, cols, channels, CV_32F);
  if (channels == 3) cv::cvtColor(image, image, cv::COLOR_RGB2GRAY);
  if (channels == 4) cv::cvtColor(image, image, cv::COLOR_RGBA2GRAY);
  if (!bytes && !cv::checkRange(image)) {
    throw py::value_error(name + " holds a value that is not a finite number");
  }
  return image;
}

cv::Mat StoredImage(const py::handle& value, const std::string& name) {
  const py::array array = AsArray(value, name);
  const bool channels_last = array.ndim() == 3 && (array.shape(2) == 3 || array.shape(2) == 4);
  if ((array.ndim() != 2 && !channels_last) || array.size() == 0) {
    throw py::value_error(name + " has shape " + ShapeText(array) +
                          "; an image is (H, W), (H, W, 3) RGB or (H, W, 4) RGBA");
  }
  const bool bytes = array.dtype().kind() == 'u' && array.itemsize() == 1;
  const bool words = array.dtype().kind() == 'u' && array.itemsize() == 2;
  if (!bytes && !words) {
    throw py::value_error(name + " has dtype " + DtypeText(array) + "; uint8 or uint16 is needed");
  }
  const int rows = static_cast<int>(array.shape(0));
  const int cols = static_cast<int>(array.shape(1));
  const int channels = array.ndim() == 3 ? static_cast<int>(array.shape(2)) : 1;
  cv::Mat image = bytes ? CopyToMatrix<uint8_t>(array, rows, cols, channels, CV_8U)
                        : CopyToMatrix<uint16_t>(array, rows, cols, channels, CV_16U);
  if (channels == 3) cv::cvtColor(image, image, cv::COLOR_RGB2BGR);
  if (channels == 4) cv::cvtColor(image, image, cv::COLOR_RGBA2BGRA);
  return image;
}

cv::Mat RealMatrix(const py::handle& value, const std::string& name, int rows, int cols,
                   int channels, int depth) {
  const py::array array = AsArray(value, name);
  if (!IsReal(array)) {
    throw py::value_error(name + " has dtype " + DtypeText(array) + "; real numbers are needed");
  }
  // A vector stands for a column; an (H, W) array for one channel.
  const bool column = array.ndim() == 1 && cols == 1;
  const int expected_ndim = channels > 1 ? 3 : 2;
  const auto fits = [&](py::ssize_t axis, int wanted) {
    return wanted < 0 || array.shape(axis) == wanted;
  };
  const bool shaped = column ? fits(0, rows)
                             : array.ndim() == expected_ndim && fits(0, rows) && fits(1, cols) &&
                                   (channels == 1 || array.shape(2) == channels);
  if (!shaped) {
    std::string wanted = "(" + (rows < 0 ? std::string("H") : std::to_string(rows)) + ", " +
                         (cols < 0 ? std::string("W") : std::to_string(cols));
    if (channels > 1) wanted += ", " + std::to_string(channels);
    throw py::value_error(name + " has shape " + ShapeText(array) + ", not " + wanted + ")");
  }
  const int matrix_rows = static_cast<int>(array.shape(0));
  const int matrix_cols = column ? 1 : static_cast<int>(array.shape(1));
  return depth == CV_64F ? CopyToMatrix<double>(array, matrix_rows, matrix_cols, channels, CV_64F)
                         : CopyToMatrix<float>(array, matrix_rows, matrix_cols, channels, CV_32F);
}

cv::Mat FiniteField(const py::handle& value, const std::string& name) {
  cv::Mat field = RealMatrix(value, name, -1, -1, 1, CV_32F);
  if (!cv::checkRange(field)) {
    throw py::value_error(name + " holds a value that is not a finite number");
  }
  return field;
}

cv::Mat Mask(const py::handle& value, const std::string& name) {
  const py::array array = AsArray(value, name);
  if (array.ndim() != 2) {
    throw py::value_error(name + " has shape " + ShapeText(array) + ", not (H, W)");
  }
  if (array.dtype().kind() != 'b' && !IsReal(array)) {
    throw py::value_error(name + " has dtype " + DtypeText(array) + "; a mask is bool");
  }
  const auto truth = py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(array);
  cv::Mat mask(static_cast<int>(array.shape(0)), static_cast<int>(array.shape(1)), CV_8U);
  const bool* in = truth.data();
  for (size_t i = 0; i < mask.total(); ++i) mask.data[i] = in[i] ? 255 : 0;
  return mask;
}

py::array ToArray(const cv::Mat& matrix) {
  py::dtype dtype;
  switch (matrix.depth()) {
    case CV_8U: dtype = py::dtype::of<uint8_t>(); break;
    case CV_16U: dtype = py::dtype::of<uint16_t>(); break;
    case CV_32F: dtype = py::dtype::of<float>(); break;
    case CV_64F: dtype = py::dtype::of<double>(); break;
    default: throw std::logic_error("ToArray: no dtype for this matrix");
  }
  std::vector<py::ssize_t> shape{matrix.rows, matrix.cols};
  if (matrix.channels() > 1) shape.push_back(matrix.channels());
  py::array array(dtype, shape);
  const size_t row_bytes = matrix.cols * matrix.elemSize();
  auto* out = static_cast<uint8_t*>(array.mutable_data());
  for (int row = 0; row < matrix.rows; ++row) {
    std::memcpy(out + row * row_bytes, matrix.ptr(row), row_bytes);
  }
  return array;
}

}  // namespace sceneflow::python
