#include "tools/export/file_formats.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "config/input_error.h"
#include "io/atomic_file.h"
#include "io/image_file.h"

namespace sceneflow::exporting {
namespace {

static_assert(std::endian::native == std::endian::little, "the binary formats are written little-endian");

constexpr float kFloTag = 202021.25f;
constexpr float kFloUnknown = 1e10f;

template <typename T>
void Put(FILE* stream, T value) {
  std::fwrite(&value, sizeof value, 1, stream);
}

void WriteBinary(const std::string& path, const std::function<void(FILE*)>& write) {
  if (!WriteFileAtomically(path, "wb", write)) throw InputError("Error: cannot write " + path);
}

void WritePng16(const std::string& path, const cv::Mat& image) {
  if (!SaveImageAtomically(path, image, {cv::IMWRITE_PNG_COMPRESSION, 3})) throw InputError("Error: cannot write " + path);
}

uint16_t Saturate16(double value) {
  return static_cast<uint16_t>(std::lround(std::clamp(value, 0.0, 65535.0)));
}

}  // namespace

void WritePly(const std::string& path, const cv::Mat& points, const cv::Mat& colour, const cv::Mat& mask,
              const cv::Mat& motion) {
  CV_Assert(points.type() == CV_64FC3 && colour.type() == CV_8UC3 && mask.type() == CV_8U);
  CV_Assert(colour.size() == points.size() && mask.size() == points.size());
  CV_Assert(motion.empty() || (motion.type() == CV_64FC3 && motion.size() == points.size()));
  WriteBinary(path, [&](FILE* stream) {
    std::fprintf(stream,
                 "ply\nformat binary_little_endian 1.0\ncomment sceneflow reference surface\n"
                 "element vertex %d\nproperty float x\nproperty float y\nproperty float z\n"
                 "property uchar red\nproperty uchar green\nproperty uchar blue\n",
                 cv::countNonZero(mask));
    if (!motion.empty()) std::fputs("property float U\nproperty float V\nproperty float W\n", stream);
    std::fputs("end_header\n", stream);
    for (int y = 0; y < points.rows; ++y) {
      const cv::Vec3d* p = points.ptr<cv::Vec3d>(y);
      const cv::Vec3b* c = colour.ptr<cv::Vec3b>(y);
      const uint8_t* m = mask.ptr<uint8_t>(y);
      for (int x = 0; x < points.cols; ++x) {
        if (m[x] == 0) continue;
        for (int axis = 0; axis < 3; ++axis) Put(stream, static_cast<float>(p[x][axis]));
        for (int channel = 2; channel >= 0; --channel) Put(stream, c[x][channel]);
        if (motion.empty()) continue;
        const cv::Vec3d& d = motion.ptr<cv::Vec3d>(y)[x];
        for (int axis = 0; axis < 3; ++axis) Put(stream, static_cast<float>(d[axis]));
      }
    }
  });
}

void WriteFlo(const std::string& path, const cv::Mat& flow) {
  CV_Assert(flow.type() == CV_32FC2);
  WriteBinary(path, [&](FILE* stream) {
    Put(stream, kFloTag);
    Put(stream, static_cast<int32_t>(flow.cols));
    Put(stream, static_cast<int32_t>(flow.rows));
    for (int y = 0; y < flow.rows; ++y) {
      const cv::Vec2f* f = flow.ptr<cv::Vec2f>(y);
      for (int x = 0; x < flow.cols; ++x) {
        const bool known = std::isfinite(f[x][0]) && std::isfinite(f[x][1]);
        Put(stream, known ? f[x][0] : kFloUnknown);
        Put(stream, known ? f[x][1] : kFloUnknown);
      }
    }
  });
}

void WritePfm(const std::string& path, const cv::Mat& field) {
  CV_Assert(field.channels() == 1);
  cv::Mat values;
  field.convertTo(values, CV_32F);
  WriteBinary(path, [&](FILE* stream) {
    std::fprintf(stream, "Pf\n%d %d\n-1.0\n", values.cols, values.rows);
    for (int y = values.rows - 1; y >= 0; --y) {
      std::fwrite(values.ptr<float>(y), sizeof(float), values.cols, stream);
    }
  });
}

void WriteKittiDisparity(const std::string& path, const cv::Mat& disparity) {
  CV_Assert(disparity.type() == CV_32F);
  cv::Mat image(disparity.size(), CV_16U);
  for (int y = 0; y < image.rows; ++y) {
    const float* d = disparity.ptr<float>(y);
    uint16_t* out = image.ptr<uint16_t>(y);
    for (int x = 0; x < image.cols; ++x) {
      out[x] = std::isfinite(d[x]) && d[x] > 0 ? std::max<uint16_t>(1, Saturate16(256.0 * d[x])) : 0;
    }
  }
  WritePng16(path, image);
}

void WriteKittiFlow(const std::string& path, const cv::Mat& flow) {
  CV_Assert(flow.type() == CV_32FC2);
  cv::Mat image(flow.size(), CV_16UC3);  // OpenCV's channel order: blue (validity), green, red
  for (int y = 0; y < image.rows; ++y) {
    const cv::Vec2f* f = flow.ptr<cv::Vec2f>(y);
    cv::Vec<uint16_t, 3>* out = image.ptr<cv::Vec<uint16_t, 3>>(y);
    for (int x = 0; x < image.cols; ++x) {
      if (std::isfinite(f[x][0]) && std::isfinite(f[x][1])) {
        out[x] = cv::Vec<uint16_t, 3>(1, Saturate16(64.0 * f[x][1] + 32768.0), Saturate16(64.0 * f[x][0] + 32768.0));
      } else {
        out[x] = cv::Vec<uint16_t, 3>(0, 0, 0);
      }
    }
  }
  WritePng16(path, image);
}

}  // namespace sceneflow::exporting
