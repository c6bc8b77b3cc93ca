#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace sceneflow {

// The intrinsics that define the reference frame: a reference pixel with depth Z is lifted to a
// 3D point with these, never with C of view 0. Focal lengths and principal point in pixels of the
// full-size image.
struct ReferenceIntrinsics {
  double f0ku = 0;
  double f0kv = 0;
  double u0 = 0;
  double v0 = 0;
};

// LevelFactor s of level `level` (1 = full size): PyramidEta multiplied level - 1 times into 1.0,
// the same factor the pyramid sizes come from. Pixel coordinates, focal lengths and principal
// points at the level are full-size values times s.
double LevelFactor(double eta, int level);

// LevelFactor of the next finer level: s divided by PyramidEta, as the solver steps down a level.
double FinerLevelFactor(double level_factor, double eta);

// Pixel grids of one level: gridX(y, x) = x and gridY(y, x) = y, 32-bit floats.
void MakePixelGrids(cv::Size size, cv::Mat& gridX, cv::Mat& gridY);

// Lifts every reference pixel with its depth to the 3D point (RefPointX, RefPointY, Z):
//   RefPointX = (gridX - s·u0)·Z·(1/(s·f0ku)),  RefPointY = (gridY - s·v0)·Z·(1/(s·f0kv)).
// The differences are whole fields (rounded to the fields' element type) before the product,
// which is formed in double precision. Fields are CV_32F or CV_64F, all of one type and size;
// RefPointX and RefPointY are (re)allocated to that size and type.
void BackProjectReference(const cv::Mat& Z, const cv::Mat& gridX, const cv::Mat& gridY,
                          double level_factor, const ReferenceIntrinsics& intrinsics,
                          cv::Mat& RefPointX, cv::Mat& RefPointY);

// Fills the 3×4 ProjectionMatrix C·[R | T] of one view at the level with factor s. First writes
// 1/s into C(2,2) of the view's own intrinsic matrix, so that the homogeneous image point
// ProjectionMatrix·(P, 1) = (fx·p.x + cx·p.z, fy·p.y + cy·p.z, p.z/s) divides out to the pixel
// (u, v) of the level. Forward projection never reads C(2,2); every solver run rewrites it.
// C, R, T and the matrix may each be CV_32F or CV_64F; the product is formed in double precision.
void BuildProjectionMatrix(cv::Mat& C, const cv::Mat& R, const cv::Mat& T, double level_factor,
                           cv::Mat& projection_matrix);

// ViewCentre of every view, 3×1 CV_64F: (0, 0, 0) for view 0, R_i⁻¹·(COP - T_i) for the others,
// the reference-frame position of the point at COP in camera i's frame (with COP = 0 the optical
// centre). R_i is inverted by LU decomposition, not transposed; a singular R_i has no inverse and
// yields the zero matrix, so its centre is the origin (finite, never NaN).
std::vector<cv::Mat> ComputeViewCentres(const std::vector<cv::Mat>& R, const std::vector<cv::Mat>& T,
                                        const cv::Vec3d& cop, int view_count);

}  // namespace sceneflow
