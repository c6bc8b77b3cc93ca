#include "geometry/calibration_files.h"

#include <cmath>
#include <string>

#include "config/input_error.h"
#include "io/text_matrix.h"

namespace sceneflow {
namespace {

// Reads a calibration matrix strictly: exactly rows·cols finite numbers, laid out in any lines.
cv::Mat ReadCalibrationMatrix(const std::string& prefix, int view, int rows, int cols) {
  const std::string path = prefix + std::to_string(view) + ".txt";
  cv::Mat matrix(rows, cols, CV_64F, cv::Scalar(0));
  if (!ReadTextMatrix(path.c_str(), matrix, TextMatrixReading::kStrict)) {
    throw InputError("Error: could not read calibration file " + path);
  }
  return matrix;
}

}  // namespace

CalibrationSet ReadCalibrationSet(const CalibrationFiles& files) {
  CalibrationSet calibration;
  for (int view = 0; view < files.views; ++view) {
    calibration.C.push_back(ReadCalibrationMatrix(files.C, view, 3, 3));
    const cv::Mat& C = calibration.C.back();
    if (C.at<double>(0, 0) == 0 || C.at<double>(1, 1) == 0) {
      throw InputError("Error: intrinsic matrix " + files.C + std::to_string(view) +
                       ".txt has a focal length of 0");
    }
    calibration.R.push_back(ReadCalibrationMatrix(files.R, view, 3, 3));
    // A rotation has determinant 1; one near 0 cannot be inverted to place the view's centre.
    if (std::fabs(cv::determinant(calibration.R.back())) < 1e-6) {
      throw InputError("Error: rotation " + files.R + std::to_string(view) +
                       ".txt is singular");
    }
    calibration.T.push_back(ReadCalibrationMatrix(files.T, view, 3, 1));
  }
  return calibration;
}

}  // namespace sceneflow
