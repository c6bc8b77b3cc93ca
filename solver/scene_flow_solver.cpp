#include "solver/scene_flow_solver.h"

#include <algorithm>
#include <chrono>

#include <opencv2/imgproc.hpp>

#include "config/input_error.h"
#include "geometry/camera.h"
#include "geometry/masks.h"
#include "geometry/view_warping.h"
#include "io/false_colour.h"
#include "solver/energy.h"
#include "solver/level_state.h"
#include "solver/linear_system.h"
#include "solver/smoothness.h"
#include "solver/term_assembly.h"

namespace sceneflow {
namespace {

// The estimate of the run: replaced by larger fields at every passage to a finer level.
struct Estimate {
  cv::Mat U, V, W, Z;
};

// Charges the wall time since the previous charge to one phase of PhaseTimes; does nothing, and
// reads no clock, when no times are wanted.
class PhaseClock {
 public:
  explicit PhaseClock(PhaseTimes* times) : times_(times) {
    if (times_ != nullptr) last_ = Clock::now();
  }
  void Charge(double PhaseTimes::*phase) {
    if (times_ == nullptr) return;
    const Clock::time_point now = Clock::now();
    times_->*phase += std::chrono::duration<double>(now - last_).count();
    last_ = now;
  }

 private:
  using Clock = std::chrono::steady_clock;
  PhaseTimes* times_;
  Clock::time_point last_;
};

// A deep copy, so that scaling the intrinsics to a level leaves the caller's calibration alone.
CalibrationSet CopyCalibration(const CalibrationSet& calibration) {
  CalibrationSet copy;
  for (const cv::Mat& C : calibration.C) copy.C.push_back(C.clone());
  for (const cv::Mat& R : calibration.R) copy.R.push_back(R.clone());
  for (const cv::Mat& T : calibration.T) copy.T.push_back(T.clone());
  return copy;
}

// Relative L2 change between an old and a new field: |old - new| / |new|.
double RelativeChange(const cv::Mat& previous, const cv::Mat& current) {
  return cv::norm(previous, current, cv::NORM_RELATIVE | cv::NORM_L2);
}

void ResizeBilinear(cv::Mat& field, cv::Size size) {
  cv::Mat resized;
  cv::resize(field, resized, size, 0, 0, cv::INTER_LINEAR);
  field = resized;
}

void BuildProjectionMatrices(CalibrationSet& calibration, int views, double level_factor,
                             std::vector<cv::Mat>& projection_matrices) {
  projection_matrices.resize(views);
  for (cv::Mat& matrix : projection_matrices) matrix.create(3, 4, CV_64F);
  for (int i = 0; i < views; ++i) {
    BuildProjectionMatrix(calibration.C[i], calibration.R[i], calibration.T[i], level_factor,
                          projection_matrices[i]);
  }
}

// Allocates every per-level field once, so that the loops of the level only overwrite them.
void SetUpLevel(int level, cv::Size size, int views, bool depth_estimated, double h,
                LevelState& st) {
  st.level = level;
  st.size = size;
  st.depth_estimated = depth_estimated;
  st.k = depth_estimated ? 4 : 3;
  st.h = h;
  MakePixelGrids(size, st.gridX, st.gridY);
  for (std::vector<cv::Mat>* list :
       {&st.JacXx0, &st.JacXy0, &st.JacYx0, &st.JacYy0, &st.DxDZ0, &st.DyDZ0, &st.DxDU, &st.DxDV, &st.DxDW,
        &st.DyDU, &st.DyDV, &st.DyDW, &st.JacXxT, &st.JacXyT, &st.JacYxT, &st.JacYyT, &st.DxDZT,
        &st.DyDZT}) {
    list->assign(views, cv::Mat());
  }
  for (cv::Mat* field : {&st.dU, &st.dV, &st.dW, &st.PrevdU, &st.PrevdV, &st.PrevdW}) {
    field->create(size, CV_32F);
  }
  if (depth_estimated) {
    st.dZ.create(size, CV_32F);
    st.PrevdZ.create(size, CV_32F);
  }
  const int unknowns = size.area() * st.k;
  st.SystemMatrix.create(unknowns, st.k + 4, CV_32F);
  st.RightHandSide.create(unknowns, 1, CV_32F);
  st.IncrementVector.create(unknowns, 1, CV_32F);
}

void ZeroIncrements(LevelState& st) {
  st.dU.setTo(0);
  st.dV.setTo(0);
  st.dW.setTo(0);
  if (st.depth_estimated) st.dZ.setTo(0);
}

// Largest relative change of the increments of one inner iteration.
double IncrementChange(const LevelState& st) {
  double change = std::max({RelativeChange(st.PrevdU, st.dU), RelativeChange(st.PrevdV, st.dV),
                            RelativeChange(st.PrevdW, st.dW)});
  if (st.depth_estimated) change = std::max(change, RelativeChange(st.PrevdZ, st.dZ));
  return change;
}

// Adds the increments to the fields and returns the largest relative change of a field.
double AddIncrements(LevelState& st, Estimate& e) {
  double change = 0;
  const auto update = [&](cv::Mat& field, const cv::Mat& increment, cv::Mat& previous) {
    field.copyTo(previous);
    cv::add(field, increment, field);
    change = std::max(change, RelativeChange(previous, field));
  };
  update(e.U, st.dU, st.PrevU);
  update(e.V, st.dV, st.PrevV);
  update(e.W, st.dW, st.PrevW);
  if (st.depth_estimated) update(e.Z, st.dZ, st.PrevZ);
  return change;
}

// The start depth of the run on the level's grid (bilinear when the level is finer).
void SetUpStartDepthPrior(const cv::Mat& start_depth, LevelState& st) {
  if (start_depth.size() == st.size) {
    start_depth.copyTo(st.StartDepth);
  } else {
    cv::resize(start_depth, st.StartDepth, st.size, 0, 0, cv::INTER_LINEAR);
  }
  st.StartDepthWeight.create(st.size, CV_32F);
  st.DepthFromStart.create(st.size, CV_32F);
}

// The prior's weight for the current outer iteration: kStartDepthPriorWeight times the largest
// squared shift per unit of depth of the time-0 point over views 1..N-1, and Z − StartDepth.
void UpdateStartDepthPrior(const cv::Mat& Z, int views, LevelState& st) {
  st.StartDepthWeight.setTo(0);
  cv::Mat shift;
  for (int i = 1; i < views; ++i) {
    cv::magnitude(st.DxDZ0[i], st.DyDZ0[i], shift);
    cv::max(st.StartDepthWeight, shift.mul(shift), st.StartDepthWeight);
  }
  st.StartDepthWeight *= kStartDepthPriorWeight;
  cv::subtract(Z, st.StartDepth, st.DepthFromStart);
}

// The run's static pixels and start motion on the level's grid.
void SetUpMotionPrior(const RigidBackground& background, LevelState& st) {
  MotionPriorLevel& level = st.motion_prior;
  cv::resize(background.static_pixels, level.StaticPixels, st.size, 0, 0, cv::INTER_NEAREST);
  cv::resize(background.U, level.StartU, st.size, 0, 0, cv::INTER_LINEAR);
  cv::resize(background.V, level.StartV, st.size, 0, 0, cv::INTER_LINEAR);
  cv::resize(background.W, level.StartW, st.size, 0, 0, cv::INTER_LINEAR);
}

void CopyOut(const cv::Mat& field, cv::Mat* out) {
  if (out == nullptr) return;
  if (out->empty() || out->size() == field.size()) {
    field.copyTo(*out);
  } else {
    // Only a run stopped before its solve (MaxIterOuter 0) ends at another size than its outputs.
    cv::resize(field, *out, out->size(), 0, 0, cv::INTER_LINEAR);
  }
}

// One solver run coarse-to-fine: what lasts across its levels (the estimate, the calibration and
// smoothness weights of the current level) and the steps of a level, in the order they run.
class CoarseToFine {
 public:
  CoarseToFine(const SolverOptions& options, const SolverRun& run)
      : options_(options),
        run_(run),
        views_(options.warp.NumOfViews),
        depth_estimated_(!run.depth_fixed),
        level_factor_(LevelFactor(options.PyramidEta, run.start_level)),
        weights_(LevelSmoothWeights(options.smoothness, level_factor_)),
        // Building a level's projection matrices writes 1/LevelFactor into C(2,2) of every view.
        calibration_(CopyCalibration(run.calibration)),
        view_centres_(BuildViewCentres()),
        e_{run.start.U.clone(), run.start.V.clone(), run.start.W.clone(), run.start.Z.clone()},
        clock_(run.phase_times) {}

  // Every level from the start level down to the final one, then the estimate to the outputs.
  void Run() {
    for (int level = run_.start_level; level >= run_.final_level; --level) {
      if (!SolveLevel(level)) break;
      if (level != run_.final_level) PassToFinerLevel(level);
    }
    CopyOut(e_.U, run_.U_out);
    CopyOut(e_.V, run_.V_out);
    CopyOut(e_.W, run_.W_out);
    CopyOut(e_.Z, run_.Z_out);
    clock_.Charge(&PhaseTimes::other);
  }

 private:
  std::vector<cv::Mat> BuildViewCentres() {
    BuildProjectionMatrices(calibration_, views_, level_factor_, projection_matrices_);
    return ComputeViewCentres(calibration_.R, calibration_.T, options_.centre_of_projection,
                              views_);
  }

  // The outer iterations of one level, each followed by the increments' addition, and the level's
  // closing energy report. False when the run stops before solving (MaxIterOuter 0).
  bool SolveLevel(int level) {
    const cv::Mat& reference = run_.time0[0][level - 1];
    LevelState st;
    SetUpLevel(level, reference.size(), views_, depth_estimated_, run_.h, st);
    if (run_.counts != nullptr) ++run_.counts->levels;
    SaveDepthImage();
    const LevelGeometry geometry{calibration_, view_centres_, options_.intrinsics, level_factor_,
                                 st.gridX, st.gridY};
    const bool start_depth_prior = run_.start_depth_prior && depth_estimated_;
    if (start_depth_prior) SetUpStartDepthPrior(run_.start.Z, st);
    if (run_.rigid_background != nullptr) SetUpMotionPrior(*run_.rigid_background, st);

    double outer_change = 0;
    for (int outer = 0; outer < 2 || (outer_change > options_.EpsilonOuter &&
                                      outer <= options_.MaxIterOuter);
         ++outer) {
      const SceneFields fields{e_.U, e_.V, e_.W, e_.Z};
      Linearise(geometry, level, fields, start_depth_prior, st);
      if (!SolveIncrements(geometry, reference, outer, fields, st)) return false;
      outer_change = AddIncrements(st, e_);
    }
    clock_.Charge(&PhaseTimes::other);
    WriteEnergyReport(run_.log, st, reference, e_.U, e_.V, e_.W, e_.Z, weights_,
                      options_.smoothness);
    clock_.Charge(&PhaseTimes::energy_report);
    return true;
  }

  // The colour picture of the depth at the start of a level (SF_D0_FileName), while depth is
  // estimated.
  void SaveDepthImage() const {
    const std::optional<std::string>& file = options_.SF_D0_FileName;
    if (depth_estimated_ && file && !SaveFalseColourImage(e_.Z, *file)) {
      throw InputError("Error: could not write colour image " + *file);
    }
  }

  // The start of an outer iteration: the views warped onto the reference with their masks, the
  // derivative fields of the linearisation and the priors' targets; the increments start at 0.
  void Linearise(const LevelGeometry& geometry, int level, const SceneFields& fields,
                 bool start_depth_prior, LevelState& st) {
    clock_.Charge(&PhaseTimes::other);
    WarpViewsOntoReference(options_.warp, geometry, run_.time0, run_.timet, run_.black_line, level,
                           fields, run_.depth_fixed, st.warping);
    clock_.Charge(&PhaseTimes::warping);
    AssembleTerms(e_.U, e_.V, e_.W, e_.Z, projection_matrices_, level_factor_, options_.intrinsics,
                  st);
    if (start_depth_prior) UpdateStartDepthPrior(e_.Z, views_, st);
    if (run_.rigid_background != nullptr) {
      UpdateMotionTargets(run_.rigid_background->motion, st.motion_prior,
                          st.warping.estimate.RefPointX, st.warping.estimate.RefPointY, e_.Z,
                          st.RayX, st.RayY, projection_matrices_, st.motion_targets);
    }
    clock_.Charge(&PhaseTimes::term_assembly);
    ZeroIncrements(st);
    if (run_.counts != nullptr) ++run_.counts->outer_iterations;
  }

  // The inner iterations of one outer iteration: each projects the estimate plus the increments,
  // assembles the linear system and solves it by SOR for new increments, until they settle. The
  // level's first system is followed by the level's opening energy report. False when the run
  // stops there, before solving (MaxIterOuter 0).
  bool SolveIncrements(const LevelGeometry& geometry, const cv::Mat& reference, int outer,
                       const SceneFields& fields, LevelState& st) {
    double inner_change = 0;
    int inner = 0;
    do {
      if (run_.observer != nullptr) {
        run_.observer->Iteration({st.level, reference.size(), outer, inner, run_.depth_fixed});
      }
      const SceneFields increments{st.dU, st.dV, st.dW, depth_estimated_ ? st.dZ : cv::Mat()};
      clock_.Charge(&PhaseTimes::other);
      ProjectEstimate(geometry, views_, fields, &increments, st.incremented);
      clock_.Charge(&PhaseTimes::projection);
      AssembleLinearSystem(st, reference, e_.U, e_.V, e_.W, e_.Z, weights_, options_.smoothness);
      clock_.Charge(&PhaseTimes::system_assembly);
      if (run_.counts != nullptr) ++run_.counts->inner_iterations;
      if (inner == 0 && outer == 0) {
        WriteEnergyReport(run_.log, st, reference, e_.U, e_.V, e_.W, e_.Z, weights_,
                          options_.smoothness);
        clock_.Charge(&PhaseTimes::energy_report);
      }
      if (options_.MaxIterOuter == 0) return false;
      SolveSOR(st, options_.sor, run_.sor);
      clock_.Charge(&PhaseTimes::sor);
      KeepIncrements(st);
      UnpackIncrements(st);
      inner_change = IncrementChange(st);
      ++inner;
    } while (inner_change > options_.EpsilonInner && inner <= options_.MaxIterInner);
    return true;
  }

  // The increments of the last inner iteration, kept to measure the change of the next.
  void KeepIncrements(LevelState& st) const {
    st.dU.copyTo(st.PrevdU);
    st.dV.copyTo(st.PrevdV);
    st.dW.copyTo(st.PrevdW);
    if (depth_estimated_) st.dZ.copyTo(st.PrevdZ);
  }

  // The estimate resized to the next finer level, with that level's factor, smoothness weights
  // and projection matrices.
  void PassToFinerLevel(int level) {
    const cv::Size finer = run_.time0[0][level - 2].size();
    for (cv::Mat* field : {&e_.U, &e_.V, &e_.W, &e_.Z}) ResizeBilinear(*field, finer);
    level_factor_ = FinerLevelFactor(level_factor_, options_.PyramidEta);
    weights_.SmoothWeightUV /= options_.PyramidEta;
    weights_.SmoothWeightW /= options_.PyramidEta;
    weights_.SmoothWeightZ /= options_.PyramidEta;
    BuildProjectionMatrices(calibration_, views_, level_factor_, projection_matrices_);
  }

  const SolverOptions& options_;
  const SolverRun& run_;
  const int views_;
  const bool depth_estimated_;
  double level_factor_;
  SmoothWeights weights_;
  CalibrationSet calibration_;
  std::vector<cv::Mat> projection_matrices_;
  const std::vector<cv::Mat> view_centres_;
  Estimate e_;
  PhaseClock clock_;
};

}  // namespace

void SceneFlowSolver(const SolverOptions& options, const SolverRun& run) {
  CoarseToFine(options, run).Run();
}

namespace {

// Calls `use` with the geometry of a run's start level and the views' images there.
template <typename Use>
auto AtStartLevel(const SolverOptions& options, const SolverRun& run, const Use& use) {
  const int views = options.warp.NumOfViews;
  CalibrationSet calibration = CopyCalibration(run.calibration);
  const std::vector<cv::Mat> view_centres =
      ComputeViewCentres(calibration.R, calibration.T, options.centre_of_projection, views);
  cv::Mat gridX, gridY;
  MakePixelGrids(run.start.Z.size(), gridX, gridY);
  const LevelGeometry geometry{calibration, view_centres, options.intrinsics,
                               LevelFactor(options.PyramidEta, run.start_level), gridX, gridY};
  std::vector<cv::Mat> time0_images, time_t_images;
  for (int view = 0; view < views; ++view) {
    time0_images.push_back(run.time0[view][run.start_level - 1]);
    time_t_images.push_back(run.timet[view][run.start_level - 1]);
  }
  return use(geometry, time0_images, time_t_images);
}

}  // namespace

std::optional<RigidBackground> PrepareRigidBackground(const SolverOptions& options,
                                                      const SolverRun& run, SceneFields& start) {
  return AtStartLevel(options, run, [&](const LevelGeometry& geometry,
                                  const std::vector<cv::Mat>& time0_images,
                                  const std::vector<cv::Mat>& time_t_images)
                                  -> std::optional<RigidBackground> {
    const double far_depth = kFarDepthShare * options.warp.occlusion.maxZ;
    const std::optional<CameraMotion> motion = FitCameraMotion(geometry, start, far_depth);
    if (!motion) return std::nullopt;
    RigidBackground background;
    background.motion = *motion;
    background.static_pixels = ChooseStaticPixels(*motion, geometry, options.warp.NumOfViews,
                                                  time0_images, time_t_images, far_depth, start);
    background.U = start.U;
    background.V = start.V;
    background.W = start.W;
    return background;
  });
}

double StartCensusMisfit(const SolverOptions& options, const SolverRun& run) {
  return AtStartLevel(options, run, [&](const LevelGeometry& geometry,
                                  const std::vector<cv::Mat>& time0_images,
                                  const std::vector<cv::Mat>& time_t_images) {
    return StartCensusMisfit(geometry, options.warp.NumOfViews, run.start, time0_images,
                             time_t_images);
  });
}

}  // namespace sceneflow
