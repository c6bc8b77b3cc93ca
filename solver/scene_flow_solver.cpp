#include "solver/scene_flow_solver.h"

#include <algorithm>

#include <opencv2/imgproc.hpp>

#include "config/input_error.h"
#include "geometry/camera.h"
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
  std::vector<cv::Mat> projection_matrices;
  BuildProjectionMatrices(run.calibration, views, level_factor, projection_matrices);
  const std::vector<cv::Mat> view_centres =
      ComputeViewCentres(run.calibration.R, run.calibration.T, CentreOfProjection(p), views);
  const ReferenceIntrinsics intrinsics = ReferenceIntrinsicsOf(p);

  Estimate e{run.U_in.clone(), run.V_in.clone(), run.W_in.clone(), run.Z_in.clone()};

  for (int level = run.start_level; level >= run.final_level; --level) {
    const cv::Mat& reference = run.time0[0][level - 1];
    LevelState st;
    SetUpLevel(level, reference.size(), views, depth_estimated, run.h, st);
    if (run.counts != nullptr) ++run.counts->levels;
    if (depth_estimated && p.SF_D0_FileName && !SaveFalseColourImage(e.Z, *p.SF_D0_FileName)) {
      throw InputError("Error: could not write colour image " + *p.SF_D0_FileName);
    }
    const LevelGeometry geometry{run.calibration, view_centres, intrinsics, level_factor,
                                 st.gridX, st.gridY};
    bool stopped_before_solving = false;

    double outer_change = 0;
    for (int outer = 0;
         outer < 2 || (outer_change > p.EpsilonOuter && outer <= p.MaxIterOuter); ++outer) {
      const SceneFields fields{e.U, e.V, e.W, e.Z};
      WarpViewsOntoReference(p, geometry, run.time0, run.timet, level, fields, run.depth_fixed,
                             st.warping);
      AssembleTerms(e.U, e.V, e.W, e.Z, projection_matrices, level_factor, intrinsics, st);
      ZeroIncrements(st);
      if (run.counts != nullptr) ++run.counts->outer_iterations;

      double inner_change = 0;
      int inner = 0;
      do {
        const SceneFields increments{st.dU, st.dV, st.dW,
                                     depth_estimated ? st.dZ : cv::Mat()};
        ProjectEstimate(geometry, views, fields, &increments, st.incremented);
        AssembleLinearSystem(st, reference, e.U, e.V, e.W, e.Z, weights, p);
        if (run.counts != nullptr) ++run.counts->inner_iterations;
        if (inner == 0 && outer == 0) {
          WriteEnergyReport(run.log, st, reference, e.U, e.V, e.W, e.Z, weights, p);
        }
        if (p.MaxIterOuter == 0) {
          stopped_before_solving = true;
          break;
        }
        SolveSOR(st, p);
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
    WriteEnergyReport(run.log, st, reference, e.U, e.V, e.W, e.Z, weights, p);

    if (level != run.final_level) {
      const cv::Size finer = run.time0[0][level - 2].size();
      for (cv::Mat* field : {&e.U, &e.V, &e.W, &e.Z}) ResizeBilinear(*field, finer);
      level_factor = FinerLevelFactor(level_factor, p.PyramidEta);
      weights.SmoothWeightUV /= p.PyramidEta;
      weights.SmoothWeightW /= p.PyramidEta;
      weights.SmoothWeightZ /= p.PyramidEta;
      BuildProjectionMatrices(run.calibration, views, level_factor, projection_matrices);
    }
  }

  CopyOut(e.U, run.U_out);
  CopyOut(e.V, run.V_out);
  CopyOut(e.W, run.W_out);
  CopyOut(e.Z, run.Z_out);
}

}  // namespace sceneflow
