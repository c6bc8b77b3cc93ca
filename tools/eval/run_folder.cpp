#include "tools/eval/run_folder.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include <opencv2/imgproc.hpp>

#include "config/input_error.h"
#include "tools/eval/field_files.h"

namespace sceneflow::eval {
namespace {

namespace fs = std::filesystem;

constexpr double kUnknown = std::numeric_limits<double>::quiet_NaN();

double NumberOf(const PreparedRun& run, const std::string& key, std::optional<double> fallback) {
  const auto found = run.keys.find(key);
  if (found == run.keys.end()) {
    if (fallback) return *fallback;
    throw InputError("Error: " + run.folder + "/prepared.txt has no " + key);
  }
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(found->second.c_str(), &end);
  if (found->second.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(value)) {
    throw InputError("Error: " + run.folder + "/prepared.txt: " + key + " \"" + found->second +
                     "\" is not a number");
  }
  return value;
}

// A whole number of pixels from prepared.txt (an image side).
int PixelCount(const PreparedRun& run, const std::string& key, std::optional<double> fallback) {
  const double value = NumberOf(run, key, fallback);
  if (!(value >= 1 && value <= 1e6)) {
    throw InputError("Error: " + run.folder + "/prepared.txt: " + key + " must be from 1 to 1000000 pixels");
  }
  return static_cast<int>(std::lround(value));
}

// A field at the size of images/: a single value fills it, another size is resized bilinearly.
cv::Mat FieldAtSize(cv::Mat field, cv::Size size) {
  if (field.size() == size) return field;
  if (field.total() == 1) return cv::Mat(size, CV_64F, cv::Scalar(field.at<double>(0, 0)));
  cv::Mat resized;
  cv::resize(field, resized, size, 0, 0, cv::INTER_LINEAR);
  return resized;
}

bool AllExist(const fs::path& folder, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (!fs::exists(folder / name)) return false;
  }
  return true;
}

RunEstimate LoadEstimate(const PreparedRun& run, const std::string& name, const fs::path& folder,
                         const char* z, const char* u, const char* v, const char* w) {
  RunEstimate estimate;
  estimate.name = name;
  const cv::Mat depth = ReadTextField((folder / z).string());
  estimate.stored_size = depth.size();
  estimate.fields.Z = FieldAtSize(depth, run.size);
  if (u == nullptr) {
    estimate.fields.U = cv::Mat::zeros(run.size, CV_64F);
    estimate.fields.V = cv::Mat::zeros(run.size, CV_64F);
    estimate.fields.W = cv::Mat::zeros(run.size, CV_64F);
  } else {
    estimate.fields.U = FieldAtSize(ReadTextField((folder / u).string()), run.size);
    estimate.fields.V = FieldAtSize(ReadTextField((folder / v).string()), run.size);
    estimate.fields.W = FieldAtSize(ReadTextField((folder / w).string()), run.size);
  }
  return estimate;
}

cv::Mat ToOriginalSize(const PreparedRun& run, const cv::Mat& map) {
  if (map.size() == run.original_size) return map;
  cv::Mat resized;
  cv::resize(map, resized, run.original_size, 0, 0, cv::INTER_LINEAR);
  return resized;
}

}  // namespace

PreparedRun ReadPreparedRun(const std::string& folder) {
  PreparedRun run;
  run.folder = folder;
  const fs::path path = fs::path(folder) / "prepared.txt";
  std::ifstream file(path);
  if (!file) throw InputError("Error: cannot read " + path.string() + " (not a folder made by sceneflow-prepare?)");
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream words(line);
    std::string key, value;
    if (!(words >> key) || key[0] == '#') continue;
    words >> value;
    run.keys[key] = value;
  }
  const auto text = [&run](const std::string& key) {
    const auto found = run.keys.find(key);
    return found == run.keys.end() ? std::string() : found->second;
  };
  run.form = text("form");
  run.init = text("init");
  run.size = cv::Size(PixelCount(run, "width", std::nullopt), PixelCount(run, "height", std::nullopt));
  run.scale = NumberOf(run, "scale", 1.0);
  if (!(run.scale > 0)) throw InputError("Error: " + path.string() + ": scale must be above 0");
  run.original_size = cv::Size(PixelCount(run, "original_width", std::round(run.size.width / run.scale)),
                               PixelCount(run, "original_height", std::round(run.size.height / run.scale)));
  run.focal = NumberOf(run, "focal", std::nullopt);
  if (!(run.focal > 0)) throw InputError("Error: " + path.string() + ": focal must be above 0");
  run.cx = NumberOf(run, "cx", run.size.width / 2.0);
  run.cy = NumberOf(run, "cy", run.size.height / 2.0);
  run.baseline = NumberOf(run, "baseline", 0.0);
  run.doffs = NumberOf(run, "doffs", 0.0);
  return run;
}

std::optional<RunEstimate> LoadStartEstimate(const PreparedRun& run) {
  const fs::path start = fs::path(run.folder) / "start";
  if (!fs::exists(start / "Z0.txt")) return std::nullopt;
  return LoadEstimate(run, "start", start, "Z0.txt", nullptr, nullptr, nullptr);
}

std::optional<RunEstimate> LoadPipelineEstimate(const PreparedRun& run) {
  const fs::path start = fs::path(run.folder) / "start";
  if (!AllExist(start, {"Z0.txt", "U.txt", "V.txt", "W.txt"})) return std::nullopt;
  return LoadEstimate(run, "pipeline", start, "Z0.txt", "U.txt", "V.txt", "W.txt");
}

std::optional<RunEstimate> LoadResultEstimate(const PreparedRun& run, const std::string& results) {
  const fs::path folder = results.empty() ? fs::path(run.folder) / "results" : fs::path(results);
  if (!AllExist(folder, {"Z0_final.txt", "U_final.txt", "V_final.txt", "W_final.txt"})) return std::nullopt;
  return LoadEstimate(run, "result", folder, "Z0_final.txt", "U_final.txt", "V_final.txt", "W_final.txt");
}

ReferenceIntrinsics RunIntrinsics(const PreparedRun& run) {
  ReferenceIntrinsics camera;
  camera.fu = camera.fv = run.focal;
  camera.u0 = run.cx;
  camera.v0 = run.cy;
  return camera;
}

cv::Mat EstimatedDisparity(const PreparedRun& run, const SceneFlowFields& fields) {
  cv::Mat disparity(fields.Z.size(), CV_64F);
  const double numerator = run.focal / run.scale * run.baseline;
  for (int y = 0; y < disparity.rows; ++y) {
    const double* z = fields.Z.ptr<double>(y);
    double* d = disparity.ptr<double>(y);
    for (int x = 0; x < disparity.cols; ++x) d[x] = z[x] > 0 && std::isfinite(z[x]) ? numerator / z[x] - run.doffs : kUnknown;
  }
  return ToOriginalSize(run, disparity);
}

cv::Mat EstimatedFlow(const PreparedRun& run, const SceneFlowFields& fields) {
  const ReferenceIntrinsics camera = RunIntrinsics(run);
  cv::Mat flow(fields.Z.size(), CV_64FC2);
  for (int y = 0; y < flow.rows; ++y) {
    const double* z = fields.Z.ptr<double>(y);
    const double* u = fields.U.ptr<double>(y);
    const double* v = fields.V.ptr<double>(y);
    const double* w = fields.W.ptr<double>(y);
    cv::Vec2d* out = flow.ptr<cv::Vec2d>(y);
    for (int x = 0; x < flow.cols; ++x) {
      // The point seen at (x, y) at time 0, moved by (U, V, W) and projected again.
      const double px = (x - camera.u0) * z[x] / camera.fu;
      const double py = (y - camera.v0) * z[x] / camera.fv;
      const double zt = z[x] + w[x];
      if (!(zt > 1e-9) || !std::isfinite(zt)) {
        out[x] = cv::Vec2d(kUnknown, kUnknown);
        continue;
      }
      out[x] = cv::Vec2d(camera.fu * (px + u[x]) / zt + camera.u0 - x, camera.fv * (py + v[x]) / zt + camera.v0 - y) /
               run.scale;
    }
  }
  return ToOriginalSize(run, flow);
}

}  // namespace sceneflow::eval
