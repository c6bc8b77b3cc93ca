#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "io/run_log.h"
#include "solver/level_state.h"
#include "solver/smoothness.h"

namespace sceneflow {

// The energy of the current estimate at one level. Per-view sums are indexed by view number and
// sized by the view count; entry 0 holds nothing.
struct EnergyTotals {
  double Edata = 0;       // total robust data energy
  double Esmooth = 0;     // total weighted robust smoothness energy
  double E_ref_flow = 0;  // reference-flow term, counted once per view pass
  std::vector<double> E_flow, E_Stere0, E_Stereo_t;
  double Eintensity = 0;  // squared residuals of every counted data term
  double flow = 0;        // unweighted smoothness of the motion (and the fields coupled to it)
  double surface = 0;     // unweighted smoothness of the depth
};

// Robust data energy sqrt(r² + 1) per active term and view, from the warped images and masks of
// the current outer iteration, and the robust smoothness energy of U, V, W (and Z when depth is
// estimated) weighted by the Mu weights and the level smoothness weights. Coupling keys count as
// set when they are not 0.
EnergyTotals ComputeEnergy(const LevelState& state, const cv::Mat& I_ref, const cv::Mat& U,
                           const cv::Mat& V, const cv::Mat& W, const cv::Mat& Z,
                           const SmoothWeights& weights, const SmoothnessOptions& options);

// Writes the report lines of one level: resolution, totals per pixel, per-view breakdown and the
// raw sums.
void WriteEnergyLines(const RunLog& log, int level, cv::Size size, const EnergyTotals& totals,
                      const SmoothWeights& weights);

// The energy report of a level, at its start or end: computed and written only when the log is
// present.
void WriteEnergyReport(const RunLog& log, const LevelState& state, const cv::Mat& I_ref,
                       const cv::Mat& U, const cv::Mat& V, const cv::Mat& W, const cv::Mat& Z,
                       const SmoothWeights& weights, const SmoothnessOptions& options);

}  // namespace sceneflow
