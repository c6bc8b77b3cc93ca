// The file formats of sceneflow-export (writers) and sceneflow-eval (readers) and the pictures of
// both for Python: the same code, with arrays in and out. Flow is (H, W, 2) float32 (u, v), fields (H, W) float32; NaN marks
// what is unknown or invalid, in reading and in writing.

#include <cmath>
#include <filesystem>
#include <limits>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <pybind11/stl/filesystem.h>

#include "config/input_error.h"
#include "io/false_colour.h"
#include "io/image_file.h"
#include "python/arrays.h"
#include "python/bindings.h"
#include "tools/eval/truth_files.h"
#include "tools/export/file_formats.h"
#include "tools/export/pictures.h"

namespace sceneflow::python {
namespace {

using Path = std::filesystem::path;

constexpr float kInvalid = std::numeric_limits<float>::quiet_NaN();

py::array Float32(const cv::Mat& matrix) {
  cv::Mat single;
  matrix.convertTo(single, CV_32F);
  return ToArray(single);
}

// Where a flow is not finite in both components: false; elsewhere true.
cv::Mat FiniteFlow(const cv::Mat& flow) {
  cv::Mat valid(flow.size(), CV_8U);
  for (int y = 0; y < flow.rows; ++y) {
    const cv::Vec2f* f = flow.ptr<cv::Vec2f>(y);
    for (int x = 0; x < flow.cols; ++x) {
      valid.at<uint8_t>(y, x) = std::isfinite(f[x][0]) && std::isfinite(f[x][1]) ? 1 : 0;
    }
  }
  return valid;
}

void WriteKittiFlow(const Path& path, const py::handle& flow_array, const py::handle& valid) {
  cv::Mat flow = RealMatrix(flow_array, "flow", -1, -1, 2, CV_32F);
  if (!valid.is_none()) {
    const cv::Mat mask = Mask(valid, "valid");
    if (mask.size() != flow.size()) {
      throw py::value_error("valid is " + std::to_string(mask.cols) + "x" +
                            std::to_string(mask.rows) + " pixels, flow is " +
                            std::to_string(flow.cols) + "x" + std::to_string(flow.rows));
    }
    flow.setTo(cv::Scalar(kInvalid, kInvalid), mask == 0);
  }
  exporting::WriteKittiFlow(path.string(), flow);
}

py::tuple ReadKittiFlow(const Path& path) {
  cv::Mat flow;
  eval::ReadKittiFlow(path.string()).convertTo(flow, CV_32F);
  cv::Mat valid = FiniteFlow(flow);
  return py::make_tuple(ToArray(flow), ToArray(valid).attr("astype")("bool"));
}

void WritePly(const Path& path, const py::handle& points_array, const py::handle& colours_array,
              const py::handle& mask_array, const py::handle& motion_array) {
  const cv::Mat points = RealMatrix(points_array, "points", -1, -1, 3, CV_64F);
  const int rows = points.rows;
  const int cols = points.cols;
  cv::Mat colours(points.size(), CV_8UC3, cv::Scalar(255, 255, 255));
  if (!colours_array.is_none()) {
    RealMatrix(colours_array, "colours", rows, cols, 3, CV_64F).convertTo(colours, CV_8UC3);
    cv::cvtColor(colours, colours, cv::COLOR_RGB2BGR);
  }
  cv::Mat mask;
  if (mask_array.is_none()) {
    mask = cv::Mat(points.size(), CV_8U);
    for (int y = 0; y < rows; ++y) {
      const cv::Vec3d* p = points.ptr<cv::Vec3d>(y);
      for (int x = 0; x < cols; ++x) {
        mask.at<uint8_t>(y, x) =
            std::isfinite(p[x][0]) && std::isfinite(p[x][1]) && std::isfinite(p[x][2]) ? 255 : 0;
      }
    }
  } else {
    mask = Mask(mask_array, "mask");
    if (mask.size() != points.size()) throw py::value_error("mask and points differ in size");
  }
  const cv::Mat motion = motion_array.is_none()
                             ? cv::Mat()
                             : RealMatrix(motion_array, "motion", rows, cols, 3, CV_64F);
  exporting::WritePly(path.string(), points, colours, mask, motion);
}

// A BGR picture as an RGB array.
py::array RgbArray(const cv::Mat& picture) {
  cv::Mat rgb;
  cv::cvtColor(picture, rgb, cv::COLOR_BGR2RGB);
  return ToArray(rgb);
}

void WriteImage(const Path& path, const py::handle& image_array) {
  const cv::Mat image = StoredImage(image_array, "image");
  if (!SaveImageAtomically(path.string(), image)) throw InputError("Error: cannot write image " + path.string());
}

py::array FalseColourPicture(const py::handle& field, const py::object& lo, const py::object& hi) {
  const cv::Mat values = RealMatrix(field, "field", -1, -1, 1, CV_64F);
  if (lo.is_none() != hi.is_none()) throw py::value_error("lo and hi go together");
  if (lo.is_none()) return RgbArray(RenderFalseColourImage(values));
  return RgbArray(RenderFalseColourImage(values, lo.cast<double>(), hi.cast<double>()));
}

}  // namespace

void AddFileFunctions(py::module_& m) {
  m.def("write_image", &WriteImage, py::arg("path"), py::arg("image"),
        "Writes an (H, W), (H, W, 3) RGB or (H, W, 4) RGBA image of uint8 or uint16; the format\n"
        "follows the extension.");
  m.def("false_colour_picture", &FalseColourPicture, py::arg("field"), py::arg("lo") = py::none(),
        py::arg("hi") = py::none(),
        "The estimator's false-colour picture of an (H, W) field, (H, W, 3) uint8 RGB: hue from red\n"
        "(lo) to magenta (hi), default the field's range, with a legend.");
  m.def("flow_picture",
        [](const py::handle& flow) {
          return RgbArray(exporting::RenderFlowPicture(RealMatrix(flow, "flow", -1, -1, 2, CV_32F)));
        },
        py::arg("flow"),
        "sceneflow-export's colour-wheel picture of (H, W, 2) flow, (H, W, 3) uint8 RGB; NaN black.");
  m.def("read_flo", [](const Path& path) { return Float32(eval::ReadFlo(path.string())); },
        py::arg("path"),
        "Reads a Middlebury .flo file: (H, W, 2) float32 u, v; NaN where unknown.");
  m.def("write_flo",
        [](const Path& path, const py::handle& flow) {
          exporting::WriteFlo(path.string(), RealMatrix(flow, "flow", -1, -1, 2, CV_32F));
        },
        py::arg("path"), py::arg("flow"),
        "Writes (H, W, 2) flow as a Middlebury .flo file; NaN is written as unknown (1e10).");
  m.def("read_pfm", [](const Path& path) { return Float32(eval::ReadPfm(path.string())); },
        py::arg("path"), "Reads a PFM file (its first channel) as (H, W) float32, top row first.");
  m.def("write_pfm",
        [](const Path& path, const py::handle& field) {
          exporting::WritePfm(path.string(), RealMatrix(field, "field", -1, -1, 1, CV_32F));
        },
        py::arg("path"), py::arg("field"), "Writes an (H, W) field as a one-channel PFM file.");
  m.def("read_kitti_disparity",
        [](const Path& path) { return Float32(eval::ReadKittiDisparity(path.string())); },
        py::arg("path"),
        "Reads a KITTI disparity PNG (16-bit, value/256) as (H, W) float32; NaN where invalid.");
  m.def("write_kitti_disparity",
        [](const Path& path, const py::handle& disparity) {
          exporting::WriteKittiDisparity(path.string(),
                                         RealMatrix(disparity, "disparity", -1, -1, 1, CV_32F));
        },
        py::arg("path"), py::arg("disparity"),
        "Writes (H, W) disparity as a KITTI PNG; NaN and values not above 0 are invalid.");
  m.def("read_kitti_flow", &ReadKittiFlow, py::arg("path"),
        "Reads a KITTI flow PNG: ((H, W, 2) float32 flow, NaN where invalid; (H, W) bool valid).");
  m.def("write_kitti_flow", &WriteKittiFlow, py::arg("path"), py::arg("flow"),
        py::arg("valid") = py::none(),
        "Writes (H, W, 2) flow as a KITTI PNG, valid where `valid` (default: where finite).");
  m.def("write_ply", &WritePly, py::arg("path"), py::arg("points"), py::arg("colours") = py::none(),
        py::arg("mask") = py::none(), py::arg("motion") = py::none(),
        "Writes (H, W, 3) points as a binary PLY cloud, with (H, W, 3) uint8 RGB colours (default\n"
        "white), only where `mask` (default: where finite), and (H, W, 3) motion U, V, W per\n"
        "vertex when given.");
}

}  // namespace sceneflow::python
