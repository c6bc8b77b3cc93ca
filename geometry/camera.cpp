#include "geometry/camera.h"

#include "io/pyramid.h"

namespace sceneflow {
namespace {

// Reads element (row, col) of a single-channel CV_32F or CV_64F matrix as a double.
double ElementAsDouble(const cv::Mat& matrix, int row, int col) {
  return matrix.depth() == CV_32F ? matrix.at<float>(row, col) : matrix.at<double>(row, col);
}

void SetElement(cv::Mat& matrix, int row, int col, double value) {
  if (matrix.depth() == CV_32F) {
    matrix.at<float>(row, col) = static_cast<float>(value);
  } else {
    matrix.at<double>(row, col) = value;
  }
}

bool IsFloatingMatrix(const cv::Mat& matrix) {
  return matrix.channels() == 1 && (matrix.depth() == CV_32F || matrix.depth() == CV_64F);
}

// One back-projected coordinate row: out = T(grid - offset)·Z·inverse_focal, T the field type.
template <typename T>
void BackProjectRow(const T* grid, const T* Z, double offset, double inverse_focal, int count,
                    T* out) {
  for (int x = 0; x < count; ++x) {
    const T difference = static_cast<T>(grid[x] - offset);
    out[x] = static_cast<T>(static_cast<double>(difference) * Z[x] * inverse_focal);
  }
}

template <typename T>
void BackProjectFields(const cv::Mat& Z, const cv::Mat& gridX, const cv::Mat& gridY,
                       double offset_x, double offset_y, double inverse_fx, double inverse_fy,
                       cv::Mat& RefPointX, cv::Mat& RefPointY) {
  for (int y = 0; y < Z.rows; ++y) {
    BackProjectRow(gridX.ptr<T>(y), Z.ptr<T>(y), offset_x, inverse_fx, Z.cols,
                   RefPointX.ptr<T>(y));
    BackProjectRow(gridY.ptr<T>(y), Z.ptr<T>(y), offset_y, inverse_fy, Z.cols,
                   RefPointY.ptr<T>(y));
  }
}

}  // namespace

double LevelFactor(double eta, int level) { return AccumulatedFactor(eta, level); }

double FinerLevelFactor(double level_factor, double eta) { return level_factor / eta; }

void MakePixelGrids(cv::Size size, cv::Mat& gridX, cv::Mat& gridY) {
  gridX.create(size, CV_32F);
  gridY.create(size, CV_32F);
  for (int y = 0; y < size.height; ++y) {
    float* column = gridX.ptr<float>(y);
    float* row = gridY.ptr<float>(y);
    for (int x = 0; x < size.width; ++x) {
      column[x] = static_cast<float>(x);
      row[x] = static_cast<float>(y);
    }
  }
}

void BackProjectReference(const cv::Mat& Z, const cv::Mat& gridX, const cv::Mat& gridY,
                          double level_factor, const ReferenceIntrinsics& intrinsics,
                          cv::Mat& RefPointX, cv::Mat& RefPointY) {
  CV_Assert(IsFloatingMatrix(Z) && gridX.type() == Z.type() && gridY.type() == Z.type());
  CV_Assert(gridX.size() == Z.size() && gridY.size() == Z.size());
  RefPointX.create(Z.size(), Z.type());
  RefPointY.create(Z.size(), Z.type());
  const double s = level_factor;
  const double inverse_fx = 1.0 / (s * intrinsics.f0ku);
  const double inverse_fy = 1.0 / (s * intrinsics.f0kv);
  if (Z.depth() == CV_32F) {
    BackProjectFields<float>(Z, gridX, gridY, s * intrinsics.u0, s * intrinsics.v0, inverse_fx,
                             inverse_fy, RefPointX, RefPointY);
  } else {
    BackProjectFields<double>(Z, gridX, gridY, s * intrinsics.u0, s * intrinsics.v0, inverse_fx,
                              inverse_fy, RefPointX, RefPointY);
  }
}

void BuildProjectionMatrix(cv::Mat& C, const cv::Mat& R, const cv::Mat& T, double level_factor,
                           cv::Mat& projection_matrix) {
  CV_Assert(IsFloatingMatrix(C) && C.rows == 3 && C.cols == 3);
  CV_Assert(IsFloatingMatrix(R) && R.rows == 3 && R.cols == 3);
  CV_Assert(IsFloatingMatrix(T) && T.total() == 3);
  CV_Assert(IsFloatingMatrix(projection_matrix) && projection_matrix.rows == 3 &&
            projection_matrix.cols == 4);
  const cv::Mat translation = T.reshape(1, 3);
  double RT[3][4];
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) RT[r][c] = ElementAsDouble(R, r, c);
    RT[r][3] = ElementAsDouble(translation, r, 0);
  }
  SetElement(C, 2, 2, 1.0 / level_factor);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) {
      double sum = 0;
      for (int k = 0; k < 3; ++k) sum += ElementAsDouble(C, r, k) * RT[k][c];
      SetElement(projection_matrix, r, c, sum);
    }
  }
}

std::vector<cv::Mat> ComputeViewCentres(const std::vector<cv::Mat>& R, const std::vector<cv::Mat>& T,
                                        const cv::Vec3d& cop, int view_count) {
  CV_Assert(view_count >= 1 && static_cast<int>(R.size()) >= view_count &&
            static_cast<int>(T.size()) >= view_count);
  std::vector<cv::Mat> centres;
  centres.push_back(cv::Mat::zeros(3, 1, CV_64F));
  for (int view = 1; view < view_count; ++view) {
    cv::Mat rotation;
    R[view].convertTo(rotation, CV_64F);
    cv::Mat translation;
    T[view].reshape(1, 3).convertTo(translation, CV_64F);
    const cv::Mat d = cv::Mat(cop) - translation;
    cv::Mat inverse;
    // LU leaves the zero matrix behind when R is singular: the centre then falls on the origin.
    cv::invert(rotation, inverse, cv::DECOMP_LU);
    centres.push_back(inverse * d);
  }
  return centres;
}

}  // namespace sceneflow
