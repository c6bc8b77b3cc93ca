#include "tools/export/viewer_page.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "config/input_error.h"
#include "generated/viewer_files.h"
#include "io/atomic_file.h"
#include "tools/export/pictures.h"
#include "tools/export/scene_geometry.h"

namespace sceneflow::exporting {
namespace {

static_assert(std::endian::native == std::endian::little, "the page's arrays are little-endian");

// Positions and motion travel as int16 in ±32767 steps of their scale.
constexpr double kQuantisedMax = 32767;

// The page's sample of the reference surface. A point is centre + half_extent · q / 32767 per
// axis for its quantised position q, its motion motion_scale · q / 32767.
struct PageSample {
  int stride = 1;          // every stride-th pixel of every stride-th row of the grid
  int segment_stride = 1;  // motion segments likewise, a multiple of `stride`
  int points = 0;
  cv::Vec3d centre, half_extent;
  double motion_scale = 1;
  std::vector<int16_t> positions;  // x, y, z per point
  std::vector<int16_t> motion;     // U, V, W per point
  std::vector<uint8_t> colours;    // red, green, blue per point
  std::vector<uint32_t> segments;  // the points that carry a motion segment
};

// The PLY's points whose motion is defined, so that they can be shown at time t as well.
cv::Mat ShownSurface(const RunResults& run) {
  cv::Mat mask = SurfaceMask(run);
  for (int y = 0; y < mask.rows; ++y) {
    const double *u = run.U.ptr<double>(y), *v = run.V.ptr<double>(y), *w = run.W.ptr<double>(y);
    uint8_t* keep = mask.ptr<uint8_t>(y);
    for (int x = 0; x < mask.cols; ++x) {
      if (!std::isfinite(u[x]) || !std::isfinite(v[x]) || !std::isfinite(w[x])) keep[x] = 0;
    }
  }
  return mask;
}

std::vector<cv::Point> SampledPixels(const cv::Mat& mask, int stride) {
  std::vector<cv::Point> pixels;
  for (int y = 0; y < mask.rows; y += stride) {
    const uint8_t* keep = mask.ptr<uint8_t>(y);
    for (int x = 0; x < mask.cols; x += stride) {
      if (keep[x] != 0) pixels.emplace_back(x, y);
    }
  }
  return pixels;
}

int16_t Quantised(double value, double scale) {
  return static_cast<int16_t>(std::lround(std::clamp(value / scale, -1.0, 1.0) * kQuantisedMax));
}

// Centre and half extent of the box around the pixels' points (a flat side counts as 1 wide).
void BoundingBox(const cv::Mat& points, const std::vector<cv::Point>& pixels, PageSample& sample) {
  cv::Vec3d low(0, 0, 0), high(0, 0, 0);
  for (size_t i = 0; i < pixels.size(); ++i) {
    const cv::Vec3d& p = points.at<cv::Vec3d>(pixels[i]);
    for (int axis = 0; axis < 3; ++axis) {
      low[axis] = i == 0 ? p[axis] : std::min(low[axis], p[axis]);
      high[axis] = i == 0 ? p[axis] : std::max(high[axis], p[axis]);
    }
  }
  for (int axis = 0; axis < 3; ++axis) {
    sample.centre[axis] = (low[axis] + high[axis]) / 2;
    sample.half_extent[axis] = high[axis] > low[axis] ? (high[axis] - low[axis]) / 2 : 1;
  }
}

double LargestMotionComponent(const RunResults& run, const std::vector<cv::Point>& pixels) {
  double largest = 0;
  for (const cv::Point& pixel : pixels) {
    for (const cv::Mat* field : {&run.U, &run.V, &run.W}) largest = std::max(largest, std::abs(field->at<double>(pixel)));
  }
  return largest > 0 ? largest : 1;
}

PageSample SampleSurface(const RunResults& run, const cv::Mat& surface) {
  PageSample sample;
  sample.stride = SubsampleStride(surface.size(), kViewerMaxPoints);
  const cv::Size sampled_grid((surface.cols + sample.stride - 1) / sample.stride,
                              (surface.rows + sample.stride - 1) / sample.stride);
  const int segment_step = SubsampleStride(sampled_grid, kViewerMaxSegments);
  sample.segment_stride = sample.stride * segment_step;

  const cv::Mat points = ReferencePoints(run);
  const std::vector<cv::Point> pixels = SampledPixels(surface, sample.stride);
  sample.points = static_cast<int>(pixels.size());
  BoundingBox(points, pixels, sample);
  sample.motion_scale = LargestMotionComponent(run, pixels);
  for (size_t i = 0; i < pixels.size(); ++i) {
    const cv::Point& pixel = pixels[i];
    const cv::Vec3d& p = points.at<cv::Vec3d>(pixel);
    const cv::Vec3d motion(run.U.at<double>(pixel), run.V.at<double>(pixel), run.W.at<double>(pixel));
    for (int axis = 0; axis < 3; ++axis) {
      sample.positions.push_back(Quantised(p[axis] - sample.centre[axis], sample.half_extent[axis]));
      sample.motion.push_back(Quantised(motion[axis], sample.motion_scale));
    }
    const cv::Vec3b& bgr = run.colour.at<cv::Vec3b>(pixel);
    sample.colours.insert(sample.colours.end(), {bgr[2], bgr[1], bgr[0]});
    if (pixel.x % sample.segment_stride == 0 && pixel.y % sample.segment_stride == 0) {
      sample.segments.push_back(static_cast<uint32_t>(i));
    }
  }
  return sample;
}

// Length of the motion (U, V, W) per pixel.
cv::Mat MotionLength(const RunResults& run) {
  cv::Mat squared = run.U.mul(run.U) + run.V.mul(run.V) + run.W.mul(run.W);
  cv::Mat length;
  cv::sqrt(squared, length);
  return length;
}

template <typename T>
std::string Base64(const std::vector<T>& values) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto* bytes = reinterpret_cast<const uint8_t*>(values.data());
  const size_t size = values.size() * sizeof(T);
  std::string text;
  text.reserve((size + 2) / 3 * 4);
  for (size_t i = 0; i < size; i += 3) {
    const uint32_t triple = (uint32_t{bytes[i]} << 16) | (i + 1 < size ? uint32_t{bytes[i + 1]} << 8 : 0) |
                            (i + 2 < size ? uint32_t{bytes[i + 2]} : 0);
    text += kAlphabet[(triple >> 18) & 63];
    text += kAlphabet[(triple >> 12) & 63];
    text += i + 1 < size ? kAlphabet[(triple >> 6) & 63] : '=';
    text += i + 2 < size ? kAlphabet[triple & 63] : '=';
  }
  return text;
}

// A JSON string that may stand inside an HTML script element: no "</script" can arise.
std::string JsonString(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20 || c == '<' || c == '>' || c == '&') {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(c));
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string HtmlText(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    switch (c) {
      case '&': escaped += "&amp;"; break;
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '"': escaped += "&quot;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

std::string NumberList(std::initializer_list<double> values) {
  std::string list = "[";
  for (const double value : values) {
    if (list.size() > 1) list += ',';
    list += Number(value);
  }
  return list + "]";
}

std::string PageTitle(const std::string& folder) {
  const std::string name = std::filesystem::path(folder).filename().string();
  return (name.empty() ? folder : name) + " · scene flow in 3D";
}

// The scene's description and data, as the page's script reads them.
std::string SceneJson(const RunResults& run, const std::string& folder) {
  const cv::Mat surface = ShownSurface(run);
  const PageSample sample = SampleSurface(run, surface);
  const auto [depth_low, depth_high] = RobustRange(run.Z, surface, kColourRangeClipPercent);
  const double motion_top = RobustRange(MotionLength(run), surface, kColourRangeClipPercent).second;
  const RunUnits units = UnitsOf(run.prepared ? run.prepared->form : std::string());
  const ReferenceIntrinsics& k = run.intrinsics;
  const double fov_x = 2 * std::atan(run.full_size.width / 2.0 / k.f0ku);
  const double fov_y = 2 * std::atan(run.full_size.height / 2.0 / k.f0kv);

  std::map<std::string, std::string> fields = {
      {"folder", JsonString(folder)},
      {"units", JsonString(units.name)},
      {"unitSymbol", JsonString(units.symbol)},
      {"imageWidth", Number(run.full_size.width)},
      {"imageHeight", Number(run.full_size.height)},
      {"gridWidth", Number(run.Z.cols)},
      {"gridHeight", Number(run.Z.rows)},
      {"fieldOfView", NumberList({std::abs(fov_x), std::abs(fov_y)})},
      {"stride", Number(sample.stride)},
      {"maxPoints", Number(kViewerMaxPoints)},
      {"farLimit", Number(0.95 * run.parameters.maxZ)},
      {"segmentStride", Number(sample.segment_stride)},
      {"points", Number(sample.points)},
      {"centre", NumberList({sample.centre[0], sample.centre[1], sample.centre[2]})},
      {"halfExtent", NumberList({sample.half_extent[0], sample.half_extent[1], sample.half_extent[2]})},
      {"motionScale", Number(sample.motion_scale)},
      {"depthRange", NumberList({depth_low, depth_high})},
      {"motionLengthTop", Number(motion_top)},
      {"positions", JsonString(Base64(sample.positions))},
      {"motion", JsonString(Base64(sample.motion))},
      {"colours", JsonString(Base64(sample.colours))},
      {"segments", JsonString(Base64(sample.segments))},
  };
  std::string json = "{";
  for (const auto& [key, value] : fields) {
    json += json.size() > 1 ? ",\n" : "\n";
    json += JsonString(key) + ":" + value;
  }
  return json + "\n}";
}

// The template with each {{name}} replaced by its value; the values themselves are not searched.
std::string FillTemplate(std::string_view page, const std::map<std::string, std::string>& values) {
  std::string filled;
  size_t from = 0;
  for (size_t open = page.find("{{"); open != std::string_view::npos; open = page.find("{{", from)) {
    const size_t close = page.find("}}", open);
    if (close == std::string_view::npos) throw std::logic_error("the viewer page's template has an open {{");
    const auto value = values.find(std::string(page.substr(open + 2, close - open - 2)));
    if (value == values.end()) throw std::logic_error("the viewer page's template has an unknown place holder");
    filled.append(page.substr(from, open - from)).append(value->second);
    from = close + 2;
  }
  return filled.append(page.substr(from));
}

}  // namespace

int SubsampleStride(cv::Size size, int limit) {
  int stride = 1;
  auto count = [&](int k) { return int64_t{(size.width + k - 1) / k} * ((size.height + k - 1) / k); };
  while (count(stride) > limit) ++stride;
  return stride;
}

RunUnits UnitsOf(const std::string& form) {
  if (form == "kitti") return {"metres", "m"};
  if (form == "pair") return {"units of the baseline", ""};
  return {"units of the scene", ""};
}

std::string ViewerPage(const RunResults& run, const std::string& folder) {
  return FillTemplate(viewer::ViewerHtml(), {{"title", HtmlText(PageTitle(folder))},
                                             {"style", std::string(viewer::ViewerCss())},
                                             {"script", std::string(viewer::ViewerJs())},
                                             {"scene", SceneJson(run, folder)}});
}

void WriteViewerPage(const std::string& path, const RunResults& run, const std::string& folder) {
  const std::string page = ViewerPage(run, folder);
  const bool written = WriteFileAtomically(path, "wb", [&](FILE* stream) {
    std::fwrite(page.data(), 1, page.size(), stream);
  });
  if (!written) throw InputError("Error: cannot write " + path);
}

}  // namespace sceneflow::exporting
