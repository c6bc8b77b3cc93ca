#include "tools/eval/run_folder.h"

#include <cmath>
#include <filesystem>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "tools/common/stereo_geometry.h"
#include "tools/eval/field_files.h"

namespace sceneflow::eval {
namespace {

namespace fs = std::filesystem;

constexpr double kUnknown = std::numeric_limits<double>::quiet_NaN();

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

RunEstimate LoadEstimate(const RunFolder& run, const std::string& name, const fs::path& folder,
                         const char* z, const char* u, const char* v, const char* w) {
  RunEstimate estimate;
  estimate.name = name;
  const cv::Mat depth = ReadTextField((folder / z).string());
  estimate.stored_size = depth.size();
  estimate.fields.Z = FieldAtSize(depth, run.prepared.size);
  if (u == nullptr) {
    estimate.fields.U = cv::Mat::zeros(run.prepared.size, CV_64F);
    estimate.fields.V = cv::Mat::zeros(run.prepared.size, CV_64F);
    estimate.fields.W = cv::Mat::zeros(run.prepared.size, CV_64F);
  } else {
    estimate.fields.U = FieldAtSize(ReadTextField((folder / u).string()), run.prepared.size);
    estimate.fields.V = FieldAtSize(ReadTextField((folder / v).string()), run.prepared.size);
    estimate.fields.W = FieldAtSize(ReadTextField((folder / w).string()), run.prepared.size);
  }
  return estimate;
}

cv::Mat ToOriginalSize(const RunFolder& run, const cv::Mat& map) {
  if (map.size() == run.prepared.original_size) return map;
  cv::Mat resized;
  cv::resize(map, resized, run.prepared.original_size, 0, 0, cv::INTER_LINEAR);
  return resized;
}

}  // namespace

RunFolder ReadRunFolder(const std::string& folder) {
  RunFolder run;
  run.folder = folder;
  run.prepared = tools::ReadPreparedFile((fs::path(folder) / tools::kPreparedFile).string());
  return run;
}

std::optional<RunEstimate> LoadStartEstimate(const RunFolder& run) {
  const fs::path start = fs::path(run.folder) / "start";
  if (!fs::exists(start / "Z0.txt")) return std::nullopt;
  return LoadEstimate(run, "start", start, "Z0.txt", nullptr, nullptr, nullptr);
}

std::optional<RunEstimate> LoadPipelineEstimate(const RunFolder& run) {
  const fs::path start = fs::path(run.folder) / "start";
  if (!AllExist(start, {"Z0.txt", "U.txt", "V.txt", "W.txt"})) return std::nullopt;
  return LoadEstimate(run, "pipeline", start, "Z0.txt", "U.txt", "V.txt", "W.txt");
}

std::optional<RunEstimate> LoadResultEstimate(const RunFolder& run, const std::string& results) {
  const fs::path folder = results.empty() ? fs::path(run.folder) / "results" : fs::path(results);
  if (!AllExist(folder, {"Z0_final.txt", "U_final.txt", "V_final.txt", "W_final.txt"})) return std::nullopt;
  return LoadEstimate(run, "result", folder, "Z0_final.txt", "U_final.txt", "V_final.txt", "W_final.txt");
}

ReferenceIntrinsics RunIntrinsics(const RunFolder& run) {
  ReferenceIntrinsics camera;
  camera.fu = camera.fv = run.prepared.focal;
  camera.u0 = run.prepared.cx;
  camera.v0 = run.prepared.cy;
  return camera;
}

cv::Mat EstimatedDisparity(const RunFolder& run, const SceneFlowFields& fields) {
  cv::Mat disparity(fields.Z.size(), CV_64F);
  const double numerator = run.prepared.focal / run.prepared.scale * run.prepared.baseline;
  for (int y = 0; y < disparity.rows; ++y) {
    const double* z = fields.Z.ptr<double>(y);
    double* d = disparity.ptr<double>(y);
    for (int x = 0; x < disparity.cols; ++x) {
      d[x] = z[x] > 0 && std::isfinite(z[x]) ? tools::DisparityOfDepth(numerator, z[x], run.prepared.doffs) : kUnknown;
    }
  }
  return ToOriginalSize(run, disparity);
}

cv::Mat EstimatedFlow(const RunFolder& run, const SceneFlowFields& fields) {
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
      cv::Vec2d moved;
      if (!std::isfinite(z[x] + w[x]) || !ImpliedFlow(camera, x, y, z[x], cv::Vec3d(u[x], v[x], w[x]), moved)) {
        out[x] = cv::Vec2d(kUnknown, kUnknown);
        continue;
      }
      out[x] = moved / run.prepared.scale;
    }
  }
  return ToOriginalSize(run, flow);
}

}  // namespace sceneflow::eval
