#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "config/parameter_set.h"
#include "geometry/calibration.h"
#include "io/pyramid.h"
#include "io/run_log.h"

namespace sceneflow {

// Iteration counts of one solver run, for callers that want to see how much work was done.
struct SolverCounts {
  int levels = 0;             // levels set up
  int outer_iterations = 0;   // over all levels
  int inner_iterations = 0;   // over all levels and outer iterations
};

// What one solver run borrows from its caller. Start fields have the reference time-0 image's size
// at the start level; outputs (each may be null) receive the results at the final level's size.
// The intrinsic matrices of `calibration` are the one input the solver changes: the projection
// matrix of every level writes 1/LevelFactor into C(2,2).
struct SolverRun {
  const std::vector<ImagePyramid>& time0;
  const RunLog& log;
  const std::vector<ImagePyramid>& timet;
  int start_level;  // coarsest level processed, 1-based
  const cv::Mat& U_in;
  const cv::Mat& V_in;
  const cv::Mat& W_in;
  const cv::Mat& Z_in;
  int final_level;  // finest level processed, 1-based
  cv::Mat* U_out;
  cv::Mat* V_out;
  cv::Mat* W_out;
  cv::Mat* Z_out;
  CalibrationSet& calibration;
  bool depth_fixed;  // true: Z held fixed, U, V, W estimated (k = 3); false: all four (k = 4)
  double h = 1.0;    // grid spacing
  SolverCounts* counts = nullptr;
};

// Refines U, V, W (and Z unless depth is fixed) coarse-to-fine from the start level down to the
// final level: per level an outer loop re-warps the views and rebuilds the linearisation, an inner
// loop solves the linearised equations for increments by SOR, and the increments are added after
// the inner loop. Reads the remaining settings (NumOfViews, PyramidEta, weights, iteration limits,
// file names) from the parameter set, whose derived defaults must already be applied.
void SceneFlowSolver(const ParameterSet& parameters, const SolverRun& run);

}  // namespace sceneflow
