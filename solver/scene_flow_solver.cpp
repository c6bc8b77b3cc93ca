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

}  // namespace

void SceneFlowSolver(const ParameterSet& p, const SolverRun& run) {
  const int views = p.NumOfViews;
  const bool depth_estimated = !run.depth_fixed;
  double level_factor = LevelFactor(p.PyramidEta, run.start_level);
  SmoothWeights weights = LevelSmoothWeights(p, level_factor);
  // Building a level's projection matrices writes 1/LevelFactor into C(2,2) of every view.
  CalibrationSet calibration = CopyCalibration(run.calibration);
  std::vector<cv::Mat> projection_matrices;
  BuildProjectionMatrices(calibration, views, level_factor, projection_matrices);
  const std::vector<cv::Mat> view_centres =
      ComputeViewCentres(calibration.R, calibration.T, CentreOfProjection(p), views);
  const ReferenceIntrinsics intrinsics = ReferenceIntrinsicsOf(p);

  Estimate e{run.start.U.clone(), run.start.V.clone(), run.start.W.clone(), run.start.Z.clone()};
  PhaseClock clock(run.phase_times);

  for (int level = run.start_level; level >= run.final_level; --level) {
    const cv::Mat& reference = run.time0[0][level - 1];
    LevelState st;
    SetUpLevel(level, reference.size(), views, depth_estimated, run.h, st);
    if (run.counts != nullptr) ++run.counts->levels;
    if (depth_estimated && p.SF_D0_FileName && !SaveFalseColourImage(e.Z, *p.SF_D0_FileName)) {
      throw InputError("Error: could not write colour image " + *p.SF_D0_FileName);
    }
    const LevelGeometry geometry{calibration, view_centres, intrinsics, level_factor,
                                 st.gridX, st.gridY};
    bool stopped_before_solving = false;
    const bool start_depth_prior = run.start_depth_prior && depth_estimated;
    if (start_depth_prior) SetUpStartDepthPrior(run.start.Z, st);
    if (run.rigid_background != nullptr) SetUpMotionPrior(*run.rigid_background, st);

    double outer_change = 0;
    for (int outer = 0;
         outer < 2 || (outer_change > p.EpsilonOuter && outer <= p.MaxIterOuter); ++outer) {
      const SceneFields fields{e.U, e.V, e.W, e.Z};
      clock.Charge(&PhaseTimes::other);
      WarpViewsOntoReference(p, geometry, run.time0, run.timet, run.black_line, level, fields,
                             run.depth_fixed, st.warping);
      clock.Charge(&PhaseTimes::warping);
      AssembleTerms(e.U, e.V, e.W, e.Z, projection_matrices, level_factor, intrinsics, st);
      if (start_depth_prior) UpdateStartDepthPrior(e.Z, views, st);
      if (run.rigid_background != nullptr) {
        UpdateMotionTargets(run.rigid_background->motion, st.motion_prior,
                            st.warping.estimate.RefPointX, st.warping.estimate.RefPointY, e.Z,
                            st.RayX, st.RayY, projection_matrices, st.motion_targets);
      }
      clock.Charge(&PhaseTimes::term_assembly);
      ZeroIncrements(st);
      if (run.counts != nullptr) ++run.counts->outer_iterations;

      double inner_change = 0;
      int inner = 0;
      do {
        if (run.observer != nullptr) {
          run.observer->Iteration({level, reference.size(), outer, inner, run.depth_fixed});
        }
        const SceneFields increments{st.dU, st.dV, st.dW,
                                     depth_estimated ? st.dZ : cv::Mat()};
        clock.Charge(&PhaseTimes::other);
        ProjectEstimate(geometry, views, fields, &increments, st.incremented);
        clock.Charge(&PhaseTimes::projection);
        AssembleLinearSystem(st, reference, e.U, e.V, e.W, e.Z, weights, p);
        clock.Charge(&PhaseTimes::system_assembly);
        if (run.counts != nullptr) ++run.counts->inner_iterations;
        if (inner == 0 && outer == 0) {
          WriteEnergyReport(run.log, st, reference, e.U, e.V, e.W, e.Z, weights, p);
          clock.Charge(&PhaseTimes::energy_report);
        }
        if (p.MaxIterOuter == 0) {
          stopped_before_solving = true;
          break;
        }
        SolveSOR(st, p, run.sor);
        clock.Charge(&PhaseTimes::sor);
        st.dU.copyTo(st.PrevdU);
        st.dV.copyTo(st.PrevdV);
        st.dW.copyTo(st.PrevdW);
        if (depth_estimated) st.dZ.copyTo(st.PrevdZ);
        UnpackIncrements(st);
        inner_change = IncrementChange(st);
        ++inner;
      } while (inner_change > p.EpsilonInner && inner <= p.MaxIterInner);
      if (stopped_before_solving) break;

      outer_change = AddIncrements(st, e);
    }
    if (stopped_before_solving) break;
    clock.Charge(&PhaseTimes::other);
    WriteEnergyReport(run.log, st, reference, e.U, e.V, e.W, e.Z, weights, p);
    clock.Charge(&PhaseTimes::energy_report);

    if (level != run.final_level) {
      const cv::Size finer = run.time0[0][level - 2].size();
      for (cv::Mat* field : {&e.U, &e.V, &e.W, &e.Z}) ResizeBilinear(*field, finer);
      level_factor = FinerLevelFactor(level_factor, p.PyramidEta);
      weights.SmoothWeightUV /= p.PyramidEta;
      weights.SmoothWeightW /= p.PyramidEta;
      weights.SmoothWeightZ /= p.PyramidEta;
      BuildProjectionMatrices(calibration, views, level_factor, projection_matrices);
    }
  }

  CopyOut(e.U, run.U_out);
  CopyOut(e.V, run.V_out);
  CopyOut(e.W, run.W_out);
  CopyOut(e.Z, run.Z_out);
  clock.Charge(&PhaseTimes::other);
}

namespace {

// Calls `use` with the geometry of a run's start level and the views' images there.
template <typename Use>
auto AtStartLevel(const ParameterSet& p, const SolverRun& run, const Use& use) {
  const int views = p.NumOfViews;
  CalibrationSet calibration = CopyCalibration(run.calibration);
  const std::vector<cv::Mat> view_centres =
      ComputeViewCentres(calibration.R, calibration.T, CentreOfProjection(p), views);
  cv::Mat gridX, gridY;
  MakePixelGrids(run.start.Z.size(), gridX, gridY);
  const LevelGeometry geometry{calibration, view_centres, ReferenceIntrinsicsOf(p),
                               LevelFactor(p.PyramidEta, run.start_level), gridX, gridY};
  std::vector<cv::Mat> time0_images, time_t_images;
  for (int view = 0; view < views; ++view) {
    time0_images.push_back(run.time0[view][run.start_level - 1]);
    time_t_images.push_back(run.timet[view][run.start_level - 1]);
  }
  return use(geometry, time0_images, time_t_images);
}

}  // namespace

std::optional<RigidBackground> PrepareRigidBackground(const ParameterSet& p, const SolverRun& run,
                                                      SceneFields& start) {
  return AtStartLevel(p, run, [&](const LevelGeometry& geometry,
                                  const std::vector<cv::Mat>& time0_images,
                                  const std::vector<cv::Mat>& time_t_images)
                                  -> std::optional<RigidBackground> {
    const double far_depth = kFarDepthShare * p.maxZ;
    const std::optional<CameraMotion> motion = FitCameraMotion(geometry, start, far_depth);
    if (!motion) return std::nullopt;
    RigidBackground background;
    background.motion = *motion;
    background.static_pixels = ChooseStaticPixels(*motion, geometry, p.NumOfViews, time0_images,
                                                  time_t_images, far_depth, start);
    background.U = start.U;
    background.V = start.V;
    background.W = start.W;
    return background;
  });
}

double StartCensusMisfit(const ParameterSet& p, const SolverRun& run) {
  return AtStartLevel(p, run, [&](const LevelGeometry& geometry,
                                  const std::vector<cv::Mat>& time0_images,
                                  const std::vector<cv::Mat>& time_t_images) {
    return StartCensusMisfit(geometry, p.NumOfViews, run.start, time0_images, time_t_images);
  });
}

}  // namespace sceneflow
