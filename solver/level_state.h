#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "geometry/view_warping.h"
#include "solver/rigid_background.h"

namespace sceneflow {

// The three smoothness weights of the current level: the Alpha weights chosen by the coupling keys,
// times LevelFactor; divided by PyramidEta with it at every passage to a finer level.
struct SmoothWeights {
  double SmoothWeightUV = 0;
  double SmoothWeightW = 0;
  double SmoothWeightZ = 0;
};

// Everything the solver keeps for one pyramid level: created when the level starts, reused by
// every outer and inner iteration of the level, dropped when it ends. Unless noted, fields are
// CV_32F of the level size (cols × rows); per-view arrays are indexed by view number and sized
// NumOfViews, entries that a view does not have (view 0 of the time-0 arrays) stay empty.
struct LevelState {
  int level = 0;                 // 1-based level number
  cv::Size size;                 // cols × rows
  bool depth_estimated = false;  // k = 4 unknowns per pixel when true, 3 when depth is fixed
  int k = 3;
  double h = 1.0;  // grid spacing

  cv::Mat gridX, gridY;

  // Warping of the current outer iteration: the time-0 and moved points, their maps, the masks
  // of every data term and the warped images with their derivatives.
  ViewWarping warping;

  // Projection of the current estimate plus increments, refreshed every inner iteration.
  EstimateProjection incremented;

  // Term assembly of the current outer iteration.
  cv::Mat Ux, Uy, Vx, Vy, Wx, Wy, Zx, Zy;
  cv::Mat RayX, RayY, DXdx, DXdy, DYdx, DYdy;
  cv::Mat Zeros, Ones;  // constant fields, directions of the unit motions
  cv::Mat MovedDXdx, MovedDXdy, MovedDYdx, MovedDYdy, MovedDZdx, MovedDZdy;
  std::vector<cv::Mat> JacXx0, JacXy0, JacYx0, JacYy0;  // views 1..N-1
  std::vector<cv::Mat> DxDZ0, DyDZ0;                    // views 1..N-1, depth estimated only
  std::vector<cv::Mat> DxDU, DxDV, DxDW, DyDU, DyDV, DyDW;  // views 0..N-1
  std::vector<cv::Mat> JacXxT, JacXyT, JacYxT, JacYyT;      // views 0..N-1
  std::vector<cv::Mat> DxDZT, DyDZT;                        // views 0..N-1, depth estimated only

  // Increments of the inner iteration, their gradients and the diffusivities.
  cv::Mat dU, dV, dW, dZ;  // dZ only when depth is estimated
  cv::Mat dUx, dUy, dVx, dVy, dWx, dWy, dZx, dZy;
  cv::Mat DiffusivityUV, DiffusivityW, DiffusivityZ;

  // The start-depth prior, only while depth is estimated and the run asks for it (empty, and not
  // applied at all, otherwise): the energy gains StartDepthWeight·(Z + dZ − StartDepth)², where
  // StartDepth is the run's start depth resized to the level and StartDepthWeight is
  // kStartDepthPriorWeight times the squared shift, in level pixels, that a unit of depth causes
  // in the view it moves most (so the prior costs the same per pixel of shift at any depth unit).
  // DepthFromStart is Z − StartDepth of the current outer iteration.
  cv::Mat StartDepth, StartDepthWeight, DepthFromStart;

  // The motion prior, only when the run has a rigid background (empty otherwise): the static
  // pixels and start motion of the run on the level's grid and, per outer iteration, the targets
  // of every pixel's moved point in every view.
  MotionPriorLevel motion_prior;
  MotionTargets motion_targets;

  // The linear system of one inner iteration: N = rows·cols·k rows, k + 4 coefficients per row.
  cv::Mat SystemMatrix;    // N × (k + 4)
  cv::Mat RightHandSide;   // N × 1
  cv::Mat IncrementVector;  // N × 1
  cv::Mat PreviousIncrementVector;  // N × 1, the vector of the previous SOR iteration
  std::vector<double> Relaxation;   // N: OmegaSOR divided by each row's diagonal
  // The exact solver's copy of the system for its vector path (bands of four image rows).
  std::vector<float> BandedCopy;
  // The parallel solver's copy of the system, arranged by pixel colour, and its per-row sums.
  std::vector<float> ColouredCopy;
  std::vector<double> RowDifference, RowMagnitude;

  // Copies for the change measures of the loops.
  cv::Mat PrevU, PrevV, PrevW, PrevZ;
  cv::Mat PrevdU, PrevdV, PrevdW, PrevdZ;
};

}  // namespace sceneflow
