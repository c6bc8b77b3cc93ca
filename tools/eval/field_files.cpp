#include "tools/eval/field_files.h"

#include <filesystem>

#include "config/input_error.h"
#include "geometry/disparity.h"
#include "io/image_file.h"
#include "io/text_matrix.h"

namespace sceneflow::eval {

cv::Mat ReadTextField(const std::string& path) {
  cv::Mat field;
  if (!ReadTextMatrix(path.c_str(), field, TextMatrixReading::kStrict)) {
    throw InputError("Error: cannot read " + path);
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
                       SizeText(fields.Z.size()) + ", a motion field is " + SizeText(component->size()) + ")");
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
  ReplicateBorder(d);
  cv::Mat z;
  DisparityToDepth(d, b, max_z, z);
  return z;
}

}  // namespace sceneflow::eval
