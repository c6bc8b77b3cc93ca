#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "geometry/masks.h"  // the mask codes the data terms write: 127 and 191
#include "solver/level_state.h"
#include "solver/smoothness.h"

namespace sceneflow {

// Warps whose Jacobian determinant is not above this value are ill-conditioned.
constexpr double kMinWarpDeterminant = 0.01;

// One row of a single-channel image (8-bit, 32-bit float or 64-bit float) read as doubles.
class ImageRow {
 public:
  ImageRow() = default;
  ImageRow(const cv::Mat& image, int y) : data_(image.ptr(y)), depth_(image.depth()) {
    CV_Assert(image.channels() == 1 &&
              (depth_ == CV_8U || depth_ == CV_32F || depth_ == CV_64F));
  }
  double operator[](int x) const {
    if (depth_ == CV_8U) return data_[x];
    if (depth_ == CV_32F) return reinterpret_cast<const float*>(data_)[x];
    return reinterpret_cast<const double*>(data_)[x];
  }

 private:
  const std::uint8_t* data_ = nullptr;
  int depth_ = CV_8U;
};

// Row y of one warped image and of everything that linearises it: its derivatives on the
// reference grid, the Jacobian of its warp (a11 = JacXx, a12 = JacXy, a21 = JacYx, a22 = JacYy),
// the projection derivatives of its point with respect to U, V, W (time t only) and Z (depth
// estimated only), and where the point of the current estimate projects (IncMap).
struct WarpedImageRow {
  ImageRow value;
  const float *dx = nullptr, *dy = nullptr;
  const float *a11 = nullptr, *a12 = nullptr, *a21 = nullptr, *a22 = nullptr;
  const float *DxDU = nullptr, *DxDV = nullptr, *DxDW = nullptr;
  const float *DyDU = nullptr, *DyDV = nullptr, *DyDW = nullptr;
  const float *DxDZ = nullptr, *DyDZ = nullptr;
  const float *mapX = nullptr, *mapY = nullptr;
};

// A warped image linearised at one pixel: its value w and its gradient J with respect to the
// increments (dU, dV, dW, dZ). A time-0 image only has the Z entry.
struct Linearisation {
  double w = 0;
  double J[4] = {};
};

// What the data terms of image row y read and write, plus the per-pixel activity flags of every
// view. Bound once per image row; the vectors are sized by the view count and reused.
struct DataTermRow {
  int k = 3;
  bool depth_estimated = false;
  int views = 1;
  int cols = 0, rows = 0;
  double h = 1.0;
  ImageRow I_ref;
  const float *dU = nullptr, *dV = nullptr, *dW = nullptr, *dZ = nullptr;
  std::uint8_t* RefFlowMask = nullptr;
  // The start-depth prior (LevelState::StartDepthWeight): null unless it is on.
  const float *StartDepthWeight = nullptr, *DepthFromStart = nullptr;
  // The motion prior (LevelState::motion_prior): off unless `motion_prior`. Per view, the outer
  // iteration's position of the moved point and its target with the target's depth derivative.
  bool motion_prior = false;
  std::vector<const float*> MovedMapX, MovedMapY, TargetX, TargetY, TargetDxDZ, TargetDyDZ;
  std::vector<WarpedImageRow> timeT;  // WarpedT of views 0..N-1
  std::vector<WarpedImageRow> time0;  // Warped0 of views 1..N-1 (entry 0 unused)
  std::vector<std::uint8_t*> ViewMaskT, ViewMaskTCopy, StereoMask0;  // views 1..N-1
  // Per-pixel scratch: which terms of each view are still active, and its linearisations.
  std::vector<std::uint8_t> flow, stereo0, stereoT;
  std::vector<Linearisation> linear0, linearT;
};

// Binds row y of the level state (masks writable) and the reference image I_ref.
void BindDataTermRow(LevelState& state, const cv::Mat& I_ref, int y, DataTermRow& row);

// Linearises a time-t warped image at column x. False when its warp is ill-conditioned.
inline bool LineariseTimeT(const WarpedImageRow& image, int x, bool depth_estimated,
                           Linearisation& out) {
  const double a11 = image.a11[x], a12 = image.a12[x], a21 = image.a21[x], a22 = image.a22[x];
  const double det = a11 * a22 - a12 * a21;
  // Written as "not above" so that a determinant that is not a number counts as ill-conditioned.
  if (!(det > kMinWarpDeterminant)) return false;
  const double gx = image.dx[x], gy = image.dy[x];
  // Image gradient in the view's own pixel coordinates.
  const double Ix = (gx * a22 - a21 * gy) / det;
  const double Iy = (a11 * gy - a12 * gx) / det;
  out.w = image.value[x];
  out.J[0] = Ix * image.DxDU[x] + Iy * image.DyDU[x];
  out.J[1] = Ix * image.DxDV[x] + Iy * image.DyDV[x];
  out.J[2] = Ix * image.DxDW[x] + Iy * image.DyDW[x];
  out.J[3] = depth_estimated ? Ix * image.DxDZ[x] + Iy * image.DyDZ[x] : 0;
  return true;
}

// Linearises a time-0 warped image at column x: only its depth entry J[3] (0 with depth fixed).
inline bool LineariseTime0(const WarpedImageRow& image, int x, bool depth_estimated,
                           Linearisation& out) {
  const double a11 = image.a11[x], a12 = image.a12[x], a21 = image.a21[x], a22 = image.a22[x];
  const double det = a11 * a22 - a12 * a21;
  if (!(det > kMinWarpDeterminant)) return false;
  out.w = image.value[x];
  out.J[0] = out.J[1] = out.J[2] = out.J[3] = 0;
  if (depth_estimated) {
    const double gx = image.dx[x], gy = image.dy[x];
    const double Ix = (gx * a22 - a21 * gy) / det;
    const double Iy = (a11 * gy - a12 * gx) / det;
    out.J[3] = Ix * image.DxDZ[x] + Iy * image.DyDZ[x];
  }
  return true;
}

// Adds one robustly weighted linearised term with lagged residual r, gradient J and constant part
// c: A += psi·J·Jᵀ, b −= psi·c·J, psi = 1/sqrt(r² + 1).
inline void AddDataTerm(double r, const double* J, double c, PixelEquations& equations) {
  const double psi = 1.0 / std::sqrt(r * r + 1.0);
  const int k = equations.k;
  for (int j = 0; j < k; ++j) {
    for (int m = 0; m < k; ++m) equations.A[j][m] += psi * J[j] * J[m];
  }
  for (int j = 0; j < k; ++j) equations.b[j] -= psi * c * J[j];
}

// Adds every usable data term of interior pixel x of the bound row to its equations: checks the
// safe areas and warp determinants (switching terms off and writing 127 or 191 into their masks),
// linearises the warped images, and accumulates the reference-flow, flow, stereo-0 and stereo-t
// terms, then the start-depth prior and the motion prior when the level has them. Depth estimated or fixed as the row
// was bound.
void AccumulateDataTerms(DataTermRow& row, int x, PixelEquations& equations);

}  // namespace sceneflow
