#include "tools/eval/field_files.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "config/input_error.h"

namespace sceneflow::eval {
namespace {

std::string SizeText(const cv::Mat& m) { return std::to_string(m.cols) + "x" + std::to_string(m.rows); }

}  // namespace

cv::Mat ReadTextField(const std::string& path) {
  std::ifstream stream(path);
  if (!stream) throw InputError("Error: cannot read " + path);
  std::vector<std::vector<double>> rows;
  std::string line;
  int line_number = 0;
  while (std::getline(stream, line)) {
    ++line_number;
    std::istringstream tokens(line);
    std::vector<double> values;
    std::string token;
    while (tokens >> token) {
      char* end = nullptr;
      errno = 0;
      const double value = std::strtod(token.c_str(), &end);
      if (*end != '\0' || errno == ERANGE || !std::isfinite(value)) {
        throw InputError("Error: " + path + " line " + std::to_string(line_number) + ": \"" + token +
                         "\" is not a number");
      }
      values.push_back(value);
    }
    if (values.empty()) continue;
    if (!rows.empty() && values.size() != rows.front().size()) {
      throw InputError("Error: " + path + " is not a rectangular text matrix (line " +
                       std::to_string(line_number) + " has " + std::to_string(values.size()) +
                       " values, the first line " + std::to_string(rows.front().size()) + ")");
    }
    rows.push_back(std::move(values));
  }
  if (rows.empty()) throw InputError("Error: " + path + " holds no values");
  cv::Mat field(static_cast<int>(rows.size()), static_cast<int>(rows.front().size()), CV_64F);
  for (int r = 0; r < field.rows; ++r) {
    double* out = field.ptr<double>(r);
    for (int c = 0; c < field.cols; ++c) out[c] = rows[r][c];
  }
  return field;
}

std::string TruthFolder(const std::string& folder) {
  namespace fs = std::filesystem;
  if (fs::exists(fs::path(folder) / "Z.txt")) return folder;
  if (fs::exists(fs::path(folder) / "truth" / "Z.txt")) return (fs::path(folder) / "truth").string();
  throw InputError("Error: no ground truth in " + folder + " (Z.txt not found there or in its truth folder)");
}

SceneFlowFields ReadFields(const std::string& folder, const std::string& z_name, const std::string& suffix) {
  namespace fs = std::filesystem;
  auto read = [&](const std::string& name) { return ReadTextField((fs::path(folder) / name).string()); };
  SceneFlowFields fields;
  fields.Z = read(z_name);
  fields.U = read("U" + suffix);
  fields.V = read("V" + suffix);
  fields.W = read("W" + suffix);
  for (const cv::Mat* component : {&fields.U, &fields.V, &fields.W}) {
    if (component->size() != fields.Z.size()) {
      throw InputError("Error: the fields in " + folder + " differ in size (" + z_name + " is " +
                       SizeText(fields.Z) + ", a motion field is " + SizeText(*component) + ")");
    }
  }
  return fields;
}

ReferenceIntrinsics ReadIntrinsics(const std::string& path) {
  const cv::Mat values = ReadTextField(path);
  if (values.total() != 4) throw InputError("Error: " + path + " must hold the 4 values f0ku f0kv u0 v0");
  ReferenceIntrinsics camera;
  camera.fu = values.at<double>(0);
  camera.fv = values.at<double>(1);
  camera.u0 = values.at<double>(2);
  camera.v0 = values.at<double>(3);
  if (camera.fu == 0 || camera.fv == 0) throw InputError("Error: " + path + " has a zero focal length");
  return camera;
}

cv::Mat DepthFromDisparityImage(const cv::Mat& grey, double b, double max_z, int d_scale) {
  CV_Assert(grey.type() == CV_8U);
  cv::Mat d(grey.size(), CV_64F);
  for (int y = 0; y < grey.rows; ++y) {
    for (int x = 0; x < grey.cols; ++x) {
      const double g = grey.at<uint8_t>(y, x);
      d.at<double>(y, x) = d_scale != 0 ? -g / d_scale : -0.5 * g;
    }
  }
  const int w = d.cols, h = d.rows;
  if (w >= 3 && h >= 3) {
    for (int r = 1; r <= h - 2; ++r) {
      d.at<double>(r, 0) = d.at<double>(r, 1);
      d.at<double>(r, w - 1) = d.at<double>(r, w - 2);
    }
    for (int c = 0; c < w; ++c) d.at<double>(0, c) = d.at<double>(1, c);
    for (int c = 0; c < w; ++c) d.at<double>(h - 1, c) = d.at<double>(h - 2, c);
  }
  cv::Mat z(d.size(), CV_64F);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const double disparity = d.at<double>(y, x);
      double depth;
      if (disparity == 0) {
        depth = 1.05 * max_z;
      } else if (std::abs(disparity) > std::abs(b / max_z)) {
        depth = b / disparity;
      } else {
        depth = max_z;
      }
      z.at<double>(y, x) = depth;
    }
  }
  return z;
}

}  // namespace sceneflow::eval
