#pragma once

#include <opencv2/core.hpp>

namespace sceneflow {

// Where a solver run stands: the level (1-based, 1 = full size) and its grid, the outer iteration
// and the inner iteration within it (both counted from 0), and whether depth is held fixed (the
// flow stage of a two-stage schedule).
struct SolverPosition {
  int level = 0;
  cv::Size size;
  int outer = 0;
  int inner = 0;
  bool depth_fixed = false;
};

// Told by the solver before each inner iteration, on the solver's thread, so that a caller can
// show how far a run has come. It only watches: nothing it does reaches the solver's results.
class SolverObserver {
 public:
  virtual ~SolverObserver() = default;
  virtual void Iteration(const SolverPosition& position) = 0;
};

}  // namespace sceneflow
