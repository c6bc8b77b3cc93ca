#pragma once

#include <opencv2/core.hpp>

namespace sceneflow {

// The projection module: carries 3D points given in the reference frame into the pixel grid of
// one view at one pyramid level. Misuse is reported through OpenCV's error mechanism: a
// cv::Exception with an OpenCV status code, one of the messages below and the function name
// "cvProjectPoints2". Nothing is written to the output when an error is raised.

// A view's camera in double precision, checked once: rotation matrix, translation and the four
// intrinsic entries that take part in projection.
struct ViewCamera {
  double R[9] = {};
  double T[3] = {};
  double fx = 0;
  double fy = 0;
  double cx = 0;
  double cy = 0;
};

// Checks and converts the rotation (3×3 matrix, or 1×3/3×1 rotation vector), the translation
// (1×3 or 3×1) and the intrinsics (3×3), each CV_32F or CV_64F. A rotation matrix is used as
// given, without orthonormalisation; a rotation vector goes through Rodrigues' formula. Only
// C(0,0), C(1,1), C(0,2), C(1,2) are read; when aspect_ratio exceeds the single-precision
// epsilon, fx becomes fy·aspect_ratio. Raises, in this order of checks:
//   StsBadArg "One of required arguments is not a valid matrix" (an empty matrix),
//   StsBadArg "Rotation must be represented by 1x3 or 3x1 floating-point rotation vector, or 3x3 rotation matrix",
//   StsBadArg "Translation vector must be 1x3 or 3x1 floating-point vector",
//   StsBadArg "Instrinsic parameters must be 3x3 floating-point matrix",
//   StsBackTrace "Inner function failed." (a conversion that OpenCV refuses).
ViewCamera PrepareViewCamera(const cv::Mat& rotation, const cv::Mat& translation,
                             const cv::Mat& intrinsics, double aspect_ratio);

// Pixel (u, v) of point (X, Y, Z) at the level with factor s: with p = R·P + T,
// u = fx·(p.x·k) + s·cx and v = fy·(p.y·k) + s·cy, where k = s/p.z, or k = s when p.z is 0.
// No lens distortion; a point behind the camera takes the same formula.
inline void ProjectPoint(const ViewCamera& camera, double X, double Y, double Z, double s,
                         double& u, double& v) {
  const double* R = camera.R;
  const double x = R[0] * X + R[1] * Y + R[2] * Z + camera.T[0];
  const double y = R[3] * X + R[4] * Y + R[5] * Z + camera.T[1];
  const double z = R[6] * X + R[7] * Y + R[8] * Z + camera.T[2];
  const double k = z != 0 ? s / z : s;
  u = camera.fx * (x * k) + s * camera.cx;
  v = camera.fy * (y * k) + s * camera.cy;
}

// Projects N points into one view at the level with factor s (N = the larger of the rows and
// columns of object_points). Accepted point layouts, CV_32F or CV_64F: 1×N or N×1 with 2, 3 or 4
// channels, N×d or d×N single-channel with d = 2, 3 or 4 (2D points get z = 1, 4D points are
// divided by their last coordinate). A continuous CV_64F matrix with 1 row and 3 channels, or
// with N rows and channels × columns = 3, is read in place, one point per row (so a 3×3 CV_64F
// matrix holds one point per row, while a 3×3 CV_32F one is converted, one point per column).
// image_points receives (u, v) in any layout of N points of dimension 2 (or 3, the third
// coordinate then 1). Raises the errors of PrepareViewCamera, and StsBackTrace "Inner function
// failed." for points that cannot be read; the checks run in the order: all five matrices valid,
// points, output, rotation, translation, intrinsics. An output that cannot take N points raises
// the point converter's own error under "cvConvertPointsHomogeneous".
void ProjectPointsScaled(const cv::Mat& object_points, const cv::Mat& rotation,
                         const cv::Mat& translation, const cv::Mat& intrinsics,
                         cv::Mat& image_points, double level_factor, double aspect_ratio);

// Projects the per-pixel point field (PX, PY, PZ) of one level into one view: MapX(r, c) and
// MapY(r, c) are the column and row at which the point of reference pixel (r, c) lands, in pixels
// of the level. The view's R, T and C are checked once per call (same errors as
// ProjectPointsScaled); the rows are then projected without further checks or allocation.
// PX, PY, PZ are CV_32F of one size; MapX and MapY are (re)allocated to that size as CV_32F.
void ProjectFieldsIntoView(const cv::Mat& PX, const cv::Mat& PY, const cv::Mat& PZ,
                           const cv::Mat& R, const cv::Mat& T, const cv::Mat& C,
                           double level_factor, cv::Mat& MapX, cv::Mat& MapY);

// Copies the first src.cols elements of row src_row of src into row dst_row of dst. Elements are
// 8-bit unsigned, 32-bit float or 64-bit float (single channel); for any other element type
// nothing is copied. dst must have src's type and at least as many columns.
void CopyMatrixRow(const cv::Mat& src, int src_row, cv::Mat& dst, int dst_row);

}  // namespace sceneflow
