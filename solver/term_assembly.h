#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "geometry/camera.h"
#include "solver/level_state.h"

namespace sceneflow {

// Derivatives of the back-projection X = (x - s·u0)·Z/(s·f0ku), Y = (y - s·v0)·Z/(s·f0kv) along
// the grid, with Z varying as its gradient (Zx, Zy) says, and the viewing ray (RayX, RayY): the
// change of X and Y per unit of depth. Per pixel in double precision, stored as CV_32F.
void SurfaceDerivatives(const cv::Mat& gridX, const cv::Mat& gridY, const cv::Mat& Z,
                        const cv::Mat& Zx, const cv::Mat& Zy, double level_factor,
                        const ReferenceIntrinsics& intrinsics, cv::Mat& RayX, cv::Mat& RayY,
                        cv::Mat& DXdx, cv::Mat& DXdy, cv::Mat& DYdx, cv::Mat& DYdy);

// The derivative fields of one outer iteration, from the current fields (without increments) and
// the time-0 and moved points of the warping: gradients of U, V, W, Z; the surface derivatives;
// for views 1..N-1 the time-0 point's Jacobians (and depth derivatives when depth is estimated);
// for views 0..N-1 the moved point's derivatives per unit of U, V, W, its Jacobians (and depth
// derivatives). Reads RefPointX, RefPointY, MovedPointX/Y/Z and gridX, gridY from the state.
void AssembleTerms(const cv::Mat& U, const cv::Mat& V, const cv::Mat& W, const cv::Mat& Z,
                   const std::vector<cv::Mat>& projection_matrices, double level_factor,
                   const ReferenceIntrinsics& intrinsics, LevelState& state);

}  // namespace sceneflow
