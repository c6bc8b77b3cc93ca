#include "tools/eval/truth_files.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <vector>

#include "config/input_error.h"
#include "io/image_file.h"

namespace sceneflow::eval {
namespace {

constexpr double kUnknown = std::numeric_limits<double>::quiet_NaN();

bool EndsWith(const std::string& text, const std::string& suffix) {
  if (text.size() < suffix.size()) return false;
  std::string tail = text.substr(text.size() - suffix.size());
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == suffix;
}

bool LittleEndianMachine() {
  const uint16_t probe = 1;
  uint8_t first = 0;
  std::memcpy(&first, &probe, 1);
  return first == 1;
}

float SwapBytes(float value) {
  uint8_t bytes[4];
  std::memcpy(bytes, &value, 4);
  std::swap(bytes[0], bytes[3]);
  std::swap(bytes[1], bytes[2]);
  std::memcpy(&value, bytes, 4);
  return value;
}

cv::Mat ReadImageUnchanged(const std::string& path) {
  const cv::Mat image = LoadImageQuietly(path, cv::IMREAD_UNCHANGED);
  if (image.empty()) throw InputError("Error: cannot read image " + path);
  return image;
}

// Bytes of the file from `position` to its end; 0 when its size cannot be told.
uintmax_t BytesFrom(const std::string& path, uintmax_t position) {
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(path, error);
  return error || size < position ? 0 : size - position;
}

}  // namespace

cv::Mat ReadFlo(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw InputError("Error: cannot read " + path);
  float tag = 0;
  int32_t width = 0, height = 0;
  file.read(reinterpret_cast<char*>(&tag), 4);
  file.read(reinterpret_cast<char*>(&width), 4);
  file.read(reinterpret_cast<char*>(&height), 4);
  if (!file || tag != 202021.25f) throw InputError("Error: " + path + " is not a .flo file (no 202021.25 tag)");
  if (width <= 0 || height <= 0 || width > 100000 || height > 100000) {
    throw InputError("Error: " + path + " has a meaningless size " + std::to_string(width) + "x" +
                     std::to_string(height));
  }
  // The header's size is checked against the file's before anything is allocated for it.
  const uintmax_t needed = static_cast<uintmax_t>(width) * static_cast<uintmax_t>(height) * 8;
  if (needed > BytesFrom(path, 12)) {
    throw InputError("Error: " + path + " is shorter than its " + std::to_string(width) + "x" +
                     std::to_string(height) + " flow");
  }
  std::vector<float> values(static_cast<size_t>(width) * height * 2);
  file.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(values.size() * 4));
  if (!file) throw InputError("Error: " + path + " is shorter than its " + std::to_string(width) + "x" +
                              std::to_string(height) + " flow");
  cv::Mat flow(height, width, CV_64FC2);
  for (int y = 0; y < height; ++y) {
    cv::Vec2d* row = flow.ptr<cv::Vec2d>(y);
    for (int x = 0; x < width; ++x) {
      const float u = values[2 * (static_cast<size_t>(y) * width + x)];
      const float v = values[2 * (static_cast<size_t>(y) * width + x) + 1];
      const bool known = std::isfinite(u) && std::isfinite(v) && std::abs(u) <= 1e9f && std::abs(v) <= 1e9f;
      row[x] = known ? cv::Vec2d(u, v) : cv::Vec2d(kUnknown, kUnknown);
    }
  }
  return flow;
}

namespace {

// Disparity from a PNG's values: value / scale, 0 unknown.
cv::Mat DisparityFromPng(const cv::Mat& image, double scale) {
  cv::Mat stored;
  image.convertTo(stored, CV_64F);
  cv::Mat disparity = stored / scale;
  disparity.setTo(kUnknown, stored == 0);
  return disparity;
}

}  // namespace

cv::Mat ReadPfm(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw InputError("Error: cannot read " + path);
  std::string kind;
  long width = 0, height = 0;
  double scale = 0;
  file >> kind >> width >> height >> scale;
  if (!file || (kind != "Pf" && kind != "PF") || width <= 0 || height <= 0 || width > 100000 ||
      height > 100000 || scale == 0) {
    throw InputError("Error: " + path + " is not a PFM file");
  }
  file.get();  // the single white-space character that ends the header
  const int channels = kind == "PF" ? 3 : 1;
  const std::streamoff data_start = file.tellg();
  const uintmax_t needed = static_cast<uintmax_t>(width) * static_cast<uintmax_t>(height) * channels * 4;
  if (!file || data_start < 0 || needed > BytesFrom(path, static_cast<uintmax_t>(data_start))) {
    throw InputError("Error: " + path + " is shorter than its header says");
  }
  std::vector<float> values(static_cast<size_t>(width) * height * channels);
  file.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(values.size() * 4));
  if (!file) throw InputError("Error: " + path + " is shorter than its header says");
  // A negative scale marks little-endian data; rows are stored bottom to top.
  const bool swap = (scale < 0) != LittleEndianMachine();
  cv::Mat field(static_cast<int>(height), static_cast<int>(width), CV_64F);
  for (int y = 0; y < field.rows; ++y) {
    double* row = field.ptr<double>(field.rows - 1 - y);
    for (int x = 0; x < field.cols; ++x) {
      const float value = values[(static_cast<size_t>(y) * width + x) * channels];
      row[x] = swap ? SwapBytes(value) : value;
    }
  }
  return field;
}

cv::Mat ReadDisparityTruth(const std::string& path, double png_scale) {
  if (EndsWith(path, ".pfm")) {
    cv::Mat disparity = ReadPfm(path);
    disparity.forEach<double>([](double& d, const int*) {
      if (!std::isfinite(d)) d = kUnknown;
    });
    return disparity;
  }
  const cv::Mat image = ReadImageUnchanged(path);
  if (image.channels() != 1) throw InputError("Error: " + path + " is not a one-channel disparity image");
  const bool sixteen_bit = image.depth() == CV_16U;
  if (!sixteen_bit && image.depth() != CV_8U) {
    throw InputError("Error: " + path + " is neither an 8-bit nor a 16-bit disparity image");
  }
  return DisparityFromPng(image, png_scale > 0 ? png_scale : (sixteen_bit ? 256.0 : 4.0));
}

cv::Mat ReadKittiDisparity(const std::string& path) {
  const cv::Mat image = ReadImageUnchanged(path);
  if (image.depth() != CV_16U || image.channels() != 1) {
    throw InputError("Error: " + path + " is not a KITTI disparity image (16-bit, 1 channel)");
  }
  return DisparityFromPng(image, 256.0);
}

cv::Mat ReadKittiFlow(const std::string& path) {
  const cv::Mat image = ReadImageUnchanged(path);
  if (image.depth() != CV_16U || image.channels() != 3) {
    throw InputError("Error: " + path + " is not a KITTI flow image (16-bit, 3 channels)");
  }
  cv::Mat flow(image.size(), CV_64FC2);
  for (int y = 0; y < image.rows; ++y) {
    const cv::Vec3w* in = image.ptr<cv::Vec3w>(y);  // OpenCV's channel order: B, G, R
    cv::Vec2d* out = flow.ptr<cv::Vec2d>(y);
    for (int x = 0; x < image.cols; ++x) {
      out[x] = in[x][0] == 0 ? cv::Vec2d(kUnknown, kUnknown)
                             : cv::Vec2d((in[x][2] - 32768.0) / 64.0, (in[x][1] - 32768.0) / 64.0);
    }
  }
  return flow;
}

cv::Mat ReadFlowTruth(const std::string& path) {
  if (EndsWith(path, ".flo")) return ReadFlo(path);
  return ReadKittiFlow(path);
}

}  // namespace sceneflow::eval
