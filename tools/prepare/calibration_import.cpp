#include "tools/prepare/calibration_import.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "config/input_error.h"
#include "io/text_matrix.h"

namespace sceneflow::prepare {
namespace {

namespace fs = std::filesystem;

// The 12 numbers of a "NAME: ..." line of a KITTI calibration file, as a 3×4 matrix.
bool FindProjection(const std::string& path, const std::string& name, cv::Matx34d& projection) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind(name + ":", 0) != 0) continue;
    std::istringstream values(line.substr(name.size() + 1));
    for (int i = 0; i < 12; ++i) {
      if (!(values >> projection.val[i])) return false;
    }
    return true;
  }
  return false;
}

bool IsNumber(const std::string& token) {
  char* end = nullptr;
  std::strtod(token.c_str(), &end);
  return end != token.c_str() && *end == '\0';
}

std::string Resolve(const fs::path& folder, const std::string& name) {
  const fs::path path(name);
  return path.is_absolute() ? name : (folder / path).string();
}

// A calibration matrix from a text matrix file; the file must hold rows·cols numbers.
cv::Mat ReadMatrixFile(const std::string& path, int rows, int cols, const std::string& where) {
  std::ifstream file(path);
  if (!file) throw InputError("Error: cannot read " + path + " (" + where + ")");
  cv::Mat matrix(rows, cols, CV_64F);
  for (int i = 0; i < rows * cols; ++i) {
    if (!(file >> matrix.at<double>(i))) {
      throw InputError("Error: " + path + " holds fewer than " + std::to_string(rows * cols) +
                       " numbers (" + where + ")");
    }
  }
  return matrix;
}

}  // namespace

std::vector<ViewCamera> PairCameras(const RectifiedPair& pair) {
  ViewCamera left, right;
  left.C = cv::Matx33d(pair.focal, 0, pair.cx, 0, pair.focal, pair.cy, 0, 0, 1);
  right.C = cv::Matx33d(pair.focal, 0, pair.cx + pair.doffs, 0, pair.focal, pair.cy, 0, 0, 1);
  // The right camera's centre is at (+baseline, 0, 0): T = −R·centre.
  right.T = cv::Vec3d(-pair.baseline, 0, 0);
  return {left, right};
}

RectifiedPair ReadKittiCalibration(const std::string& path) {
  if (!std::ifstream(path)) throw InputError("Error: cannot read calibration file " + path);
  cv::Matx34d left, right;
  if (!FindProjection(path, "P_rect_02", left) || !FindProjection(path, "P_rect_03", right)) {
    throw InputError("Error: calibration file " + path + " lacks P_rect_02 or P_rect_03");
  }
  RectifiedPair pair;
  pair.focal = left(0, 0);
  pair.cx = left(0, 2);
  pair.cy = left(1, 2);
  if (!(pair.focal > 0)) throw InputError("Error: P_rect_02 in " + path + " has no positive focal length");
  // P_rect_0k(0,3) = fx·(offset of camera k along x, negated); the pair's baseline is their difference.
  pair.baseline = (left(0, 3) - right(0, 3)) / pair.focal;
  if (!(pair.baseline > 0)) {
    throw InputError("Error: P_rect_02 and P_rect_03 in " + path + " give no positive baseline");
  }
  return pair;
}

std::string FindKittiCalibration(const std::string& kitti_dir, const std::string& frame,
                                 const std::string& explicit_file) {
  if (!explicit_file.empty()) return explicit_file;
  const fs::path root(kitti_dir);
  for (const fs::path& candidate : {root / "calib_cam_to_cam" / (frame + ".txt"),
                                    root / "calib_cam_to_cam.txt"}) {
    if (fs::is_regular_file(candidate)) return candidate.string();
  }
  throw InputError("Error: no calibration in " + kitti_dir + " (calib_cam_to_cam/" + frame +
                   ".txt or calib_cam_to_cam.txt); name one with --calib FILE");
}

std::vector<ListedView> ReadViewList(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw InputError("Error: cannot read view list " + path);
  const fs::path folder = fs::path(path).parent_path();
  std::vector<ListedView> views;
  std::string line;
  int line_number = 0;
  while (std::getline(file, line)) {
    ++line_number;
    std::istringstream tokens(line);
    std::vector<std::string> words;
    for (std::string word; tokens >> word;) words.push_back(word);
    if (words.empty() || words[0][0] == '#') continue;
    const std::string where = path + " line " + std::to_string(line_number);
    ListedView view;
    if (words.size() == 5 && !IsNumber(words[2])) {
      view.camera.C = cv::Matx33d(ReadMatrixFile(Resolve(folder, words[2]), 3, 3, where));
      view.camera.R = cv::Matx33d(ReadMatrixFile(Resolve(folder, words[3]), 3, 3, where));
      view.camera.T = cv::Vec3d(ReadMatrixFile(Resolve(folder, words[4]), 3, 1, where));
    } else if (words.size() == 23) {
      double numbers[21];
      for (int i = 0; i < 21; ++i) {
        if (!IsNumber(words[2 + i])) throw InputError("Error: " + where + ": \"" + words[2 + i] + "\" is not a number");
        numbers[i] = std::strtod(words[2 + i].c_str(), nullptr);
      }
      view.camera.C = cv::Matx33d(numbers);
      view.camera.R = cv::Matx33d(numbers + 9);
      view.camera.T = cv::Vec3d(numbers[18], numbers[19], numbers[20]);
    } else {
      throw InputError("Error: " + where +
                       ": expected IMAGE_0 IMAGE_T and C R T files, or IMAGE_0 IMAGE_T and 21 numbers");
    }
    if (!(view.camera.C(0, 0) > 0 && view.camera.C(1, 1) > 0)) {
      throw InputError("Error: " + where + ": the focal lengths in C must be positive");
    }
    if (std::fabs(cv::determinant(view.camera.R) - 1.0) > 1e-3) {
      throw InputError("Error: " + where + ": R is not a rotation (determinant " +
                       std::to_string(cv::determinant(view.camera.R)) + ")");
    }
    view.image_time0 = Resolve(folder, words[0]);
    view.image_timet = Resolve(folder, words[1]);
    views.push_back(view);
  }
  if (views.empty()) throw InputError("Error: view list " + path + " names no view");
  return views;
}

std::vector<ViewCamera> RelativeToReference(const std::vector<ViewCamera>& cameras) {
  std::vector<ViewCamera> relative = cameras;
  const cv::Matx33d R0 = cameras[0].R;
  const cv::Vec3d T0 = cameras[0].T;
  for (ViewCamera& camera : relative) {
    camera.R = camera.R * R0.t();
    camera.T = camera.T - camera.R * T0;
  }
  relative[0].R = cv::Matx33d::eye();
  relative[0].T = cv::Vec3d();
  return relative;
}

}  // namespace sceneflow::prepare
