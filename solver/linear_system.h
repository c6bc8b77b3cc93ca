#pragma once

#include <algorithm>

#include <opencv2/core.hpp>

#include "solver/level_state.h"
#include "solver/smoothness.h"
#include "solver/sor_options.h"

namespace sceneflow {

// Largest magnitude of one motion increment (dU, dV, dW) and of one depth increment (dZ).
constexpr double kMotionIncrementLimit = 5;
constexpr double kDepthIncrementLimit = 20;

// value limited to [-limit, limit].
inline double Clamp(double value, double limit) { return std::min(std::max(value, -limit), limit); }

// Builds the linear system of one inner iteration. System row i = (y·cols + x)·k + j belongs to
// pixel (y, x) and unknown j (dU, dV, dW, dZ); SystemMatrix has k + 4 columns: the pixel's own k
// unknowns, then the same unknown at the upper, lower, left and right neighbour. Computes the
// increment gradients and the diffusivities, writes the frame rows (the unknown equals its inward
// neighbour: vertical for the first and last image row, corners included, horizontal for the
// first and last column), and for every interior pixel the smoothness rows plus the data terms.
// May write the codes 127 and 191 into the activity masks. U, V, W, Z are the current fields (Z is
// read only when depth is estimated); I_ref is the reference time-0 image of the level.
void AssembleLinearSystem(LevelState& state, const cv::Mat& I_ref, const cv::Mat& U,
                          const cv::Mat& V, const cv::Mat& W, const cv::Mat& Z,
                          const SmoothWeights& weights, const SmoothnessOptions& options);

// Solves the assembled system by successive over-relaxation into IncrementVector, starting from
// zero. Each iteration runs four sweeps (image rows top to bottom with system rows ascending, then
// bottom to top descending, top to bottom descending, bottom to top ascending), each update
// relaxed by OmegaSOR and limited to ±5 (±20 for the depth row of an interior pixel). Iterates
// until the relative change of the vector falls below EpsilonSOR or MaxIterSOR iterations have
// run; the first iteration always runs. A row whose diagonal is 0 keeps its value. The default
// method gives exactly the result of that sequential order for any thread count; kParallel runs
// the red-black solver of sor_parallel.h instead.
enum class SorMethod { kExact, kParallel };
void SolveSOR(LevelState& state, const SorOptions& options, SorMethod method = SorMethod::kExact);

// Copies IncrementVector into dU, dV, dW (limited to ±5) and, with depth estimated, dZ (±20).
void UnpackIncrements(LevelState& state);

}  // namespace sceneflow
