#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "geometry/calibration.h"
#include "geometry/camera.h"
#include "geometry/view_warping.h"
#include "io/pyramid.h"
#include "io/run_log.h"
#include "solver/linear_system.h"
#include "solver/rigid_background.h"
#include "solver/smoothness.h"
#include "solver/solver_observer.h"
#include "solver/sor_options.h"

namespace sceneflow {

// What a solver run reads of the configuration, built once by the driver from the parameter set
// with its derived defaults applied; the fields are named after the keys they come from.
struct SolverOptions {
  double PyramidEta = 0.9;  // each level is PyramidEta times the size of the next finer one
  // Outer iterations per level: at least two, then while the fields change by more than
  // EpsilonOuter, up to MaxIterOuter + 1. MaxIterOuter 0 stops the run after the first energy
  // report, before anything is solved.
  int MaxIterOuter = 2;
  double EpsilonOuter = 0.01;
  // Inner iterations per outer one: while the increments change by more than EpsilonInner, up to
  // MaxIterInner + 1.
  int MaxIterInner = 15;
  double EpsilonInner = 0.05;
  // When set, the colour picture of the depth at the start of every level in which depth is
  // estimated.
  std::optional<std::string> SF_D0_FileName;
  ReferenceIntrinsics intrinsics;            // f0ku, f0kv, u0, v0
  cv::Vec3d centre_of_projection{0, 0, 0};  // COPX, COPY, COPZ (ComputeViewCentres)
  WarpOptions warp;                          // NumOfViews, the masks' maxZ and the saved images
  SmoothnessOptions smoothness;
  SorOptions sor;
};

// Iteration counts of one solver run, for callers that want to see how much work was done.
struct SolverCounts {
  int levels = 0;             // levels set up
  int outer_iterations = 0;   // over all levels
  int inner_iterations = 0;   // over all levels and outer iterations
};

// Wall time spent in each phase of the solver, summed over a run; filled only when the caller
// asks for it (SolverRun::phase_times), so that normal runs do not read the clock.
struct PhaseTimes {
  double warping = 0;          // warping the views onto the reference, with the masks
  double term_assembly = 0;    // derivative fields of an outer iteration
  double projection = 0;       // projecting estimate plus increments, every inner iteration
  double system_assembly = 0;  // the linear system, data terms included
  double sor = 0;              // solving it
  double energy_report = 0;
  double other = 0;            // increments, change measures, passage to the next level
};

// Weight of the start-depth prior (SolverRun::start_depth_prior) per squared pixel of shift in the
// view that a change of depth moves most, in squared grey levels: holding a pixel's match one
// pixel away from where the start depth puts it costs as much as a residual of about 17 grey
// levels. Chosen on the Middlebury static pairs (Cones, Teddy, Motorcycle): 30 or 100 still let
// the refinement worsen Motorcycle's depth, 1000 holds depth so firmly that it gains nothing.
constexpr double kStartDepthPriorWeight = 300;

// What one solver run borrows from its caller, filled by name:
//   SceneFlowSolver(options, {.time0 = ..., .timet = ..., .log = ..., .calibration = ...,
//                       .start_level = ..., .final_level = ..., .start = {U, V, W, Z},
//                       .U_out = &U, ..., .depth_fixed = true});
// The start fields have the reference time-0 image's size at the start level (the solver copies
// them); outputs (each may be null) receive the results at the final level's size. The
// calibration is only read: the solver scales a copy of it to every level.
struct SolverRun {
  const std::vector<ImagePyramid>& time0;
  const std::vector<ImagePyramid>& timet;
  const RunLog& log;
  const CalibrationSet& calibration;
  int start_level = 0;  // coarsest level processed, 1-based
  int final_level = 0;  // finest level processed, 1-based
  SceneFields start;    // U, V, W, Z at the start level
  // The black-line image (8-bit, any size) when BLACK_LINE is set, read once by the caller; view
  // 1's time-t mask starts from it at every outer iteration. Empty otherwise.
  cv::Mat black_line{};
  cv::Mat* U_out = nullptr;
  cv::Mat* V_out = nullptr;
  cv::Mat* W_out = nullptr;
  cv::Mat* Z_out = nullptr;
  bool depth_fixed = false;  // true: Z held fixed, U, V, W estimated (k = 3); false: all four (k = 4)
  double h = 1.0;            // grid spacing
  SorMethod sor = SorMethod::kExact;
  // True: depth is held near the start depth wherever the views observe it (the energy gains the
  // start-depth prior, see LevelState::StartDepth) and kept at it where none does. Only while
  // depth is estimated.
  bool start_depth_prior = false;
  // The camera's motion and the static pixels of the run (PrepareRigidBackground): the energy
  // gains the rigid prior, which holds static pixels on the camera's motion. Null: no prior.
  const RigidBackground* rigid_background = nullptr;
  SolverCounts* counts = nullptr;
  PhaseTimes* phase_times = nullptr;
  SolverObserver* observer = nullptr;  // told before every inner iteration (a progress line)
};

// Refines U, V, W (and Z unless depth is fixed) coarse-to-fine from the start level down to the
// final level: per level an outer loop re-warps the views and rebuilds the linearisation, an inner
// loop solves the linearised equations for increments by SOR, and the increments are added after
// the inner loop.
void SceneFlowSolver(const SolverOptions& options, const SolverRun& run);

// The rigid background of a run, from its start values at `run.start_level` (FitCameraMotion,
// then ChooseStaticPixels, which gives the camera's motion to the static pixels of `start`).
// Nothing when no camera motion fits the start.
std::optional<RigidBackground> PrepareRigidBackground(const SolverOptions& options,
                                                      const SolverRun& run, SceneFields& start);

// StartCensusMisfit of a run's start values (run.start) at `run.start_level`.
double StartCensusMisfit(const SolverOptions& options, const SolverRun& run);

}  // namespace sceneflow
