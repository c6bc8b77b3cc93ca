#include "solver/data_term.h"

namespace sceneflow {

namespace {

const float* RowOf(const cv::Mat& field, int y) {
  CV_Assert(field.type() == CV_32F);
  return field.ptr<float>(y);
}

std::uint8_t* MaskRowOf(cv::Mat& mask, int y) {
  CV_Assert(mask.type() == CV_8U);
  return mask.ptr<std::uint8_t>(y);
}

// The safe area of a projected position: columns and rows from L = 4h up to (cols − 5)h and
// (rows − 5)h, the upper limits excluded. Whether the lower limit itself belongs to the area
// differs between the checks, per coordinate.
struct SafeArea {
  double L, X5, Y5;
  bool Inside(double x, double y, bool x_from_L, bool y_from_L) const {
    const bool x_ok = (x_from_L ? L <= x : L < x) && x < X5;
    const bool y_ok = (y_from_L ? L <= y : L < y) && y < Y5;
    return x_ok && y_ok;
  }
};

inline bool PositionInside(const SafeArea& area, const WarpedImageRow& image, int x,
                           bool x_from_L, bool y_from_L) {
  return area.Inside(image.mapX[x], image.mapY[x], x_from_L, y_from_L);
}

// Switches a term off if it is still on, writing its code into its mask.
inline void SwitchOff(std::uint8_t& flag, std::uint8_t& mask, std::uint8_t code) {
  if (flag) {
    flag = 0;
    mask = code;
  }
}

inline double Dot(const double* J, const double* d, int k) {
  double s = J[0] * d[0] + J[1] * d[1] + J[2] * d[2];
  if (k == 4) s += J[3] * d[3];
  return s;
}

// The flow term of view i: time t against time 0 of the same view.
inline void AddFlowTerm(const Linearisation& t, const Linearisation& zero, const double* d,
                        PixelEquations& e) {
  const int k = e.k;
  const double dZ = k == 4 ? d[3] : 0;
  const double r = k == 4 ? Dot(t.J, d, k) + t.w - (zero.J[3] * dZ + zero.w)
                          : Dot(t.J, d, k) + t.w - zero.w;
  const double J[4] = {t.J[0], t.J[1], t.J[2], t.J[3] - zero.J[3]};
  AddDataTerm(r, J, t.w - zero.w, e);
}

// The stereo term at time 0 of view i: view i's time-0 image against the reference image.
inline void AddStereo0Term(const Linearisation& zero, double I_ref, const double* d,
                           PixelEquations& e) {
  const double r = zero.J[3] * d[3] + zero.w - I_ref;
  const double J[4] = {0, 0, 0, zero.J[3]};
  AddDataTerm(r, J, zero.w - I_ref, e);
}

// The stereo term at time t of view i: view i against the reference view, both at time t.
inline void AddStereoTTerm(const Linearisation& t, const Linearisation& ref_t, const double* d,
                           PixelEquations& e) {
  const int k = e.k;
  const double r = Dot(t.J, d, k) + t.w - (Dot(ref_t.J, d, k) + ref_t.w);
  const double J[4] = {t.J[0] - ref_t.J[0], t.J[1] - ref_t.J[1], t.J[2] - ref_t.J[2],
                       t.J[3] - ref_t.J[3]};
  AddDataTerm(r, J, t.w - ref_t.w, e);
}

// The reference-flow term: the reference view at time t against the reference image.
inline void AddReferenceFlowTerm(const Linearisation& ref_t, double I_ref, const double* d,
                                 PixelEquations& e) {
  const double r = Dot(ref_t.J, d, e.k) + ref_t.w - I_ref;
  AddDataTerm(r, ref_t.J, ref_t.w - I_ref, e);
}

// Linearises the reference view at time t when the reference-flow term or a stereo term at time t
// needs it. An ill-conditioned warp switches all of those terms off, marking 191.
void LineariseReferenceAtTimeT(DataTermRow& row, int x, bool depth_estimated, std::uint8_t& ref,
                               Linearisation& ref_t) {
  bool any_stereoT = false;
  for (int i = 1; i < row.views; ++i) any_stereoT = any_stereoT || row.stereoT[i];
  if ((ref || any_stereoT) && !LineariseTimeT(row.timeT[0], x, depth_estimated, ref_t)) {
    SwitchOff(ref, row.RefFlowMask[x], kMaskIllConditioned);
    for (int i = 1; i < row.views; ++i) {
      SwitchOff(row.stereoT[i], row.ViewMaskTCopy[i][x], kMaskIllConditioned);
    }
  }
}

// Linearises view i at time t when its stereo term at time t or its flow term needs it; an
// ill-conditioned warp switches both off, marking 191.
void LineariseViewAtTimeT(DataTermRow& row, int i, int x, bool depth_estimated, Linearisation& t) {
  if ((row.stereoT[i] || row.flow[i]) && !LineariseTimeT(row.timeT[i], x, depth_estimated, t)) {
    SwitchOff(row.stereoT[i], row.ViewMaskTCopy[i][x], kMaskIllConditioned);
    SwitchOff(row.flow[i], row.ViewMaskT[i][x], kMaskIllConditioned);
  }
}

// The start-depth prior of pixel x: StartDepthWeight·(Z + dZ − Z_start)², whose gradient in dZ
// adds the weight to the diagonal and weight·(Z − Z_start) to the right-hand side. A pixel whose
// depth no view observes (every flow and stereo term of every view off: outside the other views,
// hidden, ill-conditioned) keeps its depth: its dZ equation becomes dZ = 0, so that smoothing
// alone does not move depth where there is no evidence for it.
void AddStartDepthPrior(const DataTermRow& row, int x, PixelEquations& e) {
  bool depth_observed = false;
  for (int i = 1; i < row.views; ++i) {
    depth_observed = depth_observed || row.flow[i] || row.stereo0[i] || row.stereoT[i];
  }
  if (!depth_observed) {
    for (int m = 0; m < 4; ++m) e.A[3][m] = 0;
    for (int q = 0; q < 4; ++q) e.neighbour[3][q] = 0;
    e.A[3][3] = 1;
    e.b[3] = 0;
    return;
  }
  const double weight = row.StartDepthWeight[x];
  e.A[3][3] += weight;
  e.b[3] -= weight * row.DepthFromStart[x];
}

// The motion prior of pixel x: in every view, the moved point is held near its target (where the
// camera's motion carries a static pixel's point, or where its start motion moves any other). The
// distance r (pixels of the level, with the lagged increments) enters with the weight
// kMotionPriorWeight / (1 + r²/kMotionPriorScale²), so that the data can carry a pixel away.
void AddMotionPrior(const DataTermRow& row, int x, const double* d, PixelEquations& e) {
  const int k = e.k;
  const double scale2 = kMotionPriorScale * kMotionPriorScale;
  for (int i = 0; i < row.views; ++i) {
    const WarpedImageRow& t = row.timeT[i];
    const double Jx[4] = {t.DxDU[x], t.DxDV[x], t.DxDW[x],
                          k == 4 ? t.DxDZ[x] - row.TargetDxDZ[i][x] : 0.0};
    const double Jy[4] = {t.DyDU[x], t.DyDV[x], t.DyDW[x],
                          k == 4 ? t.DyDZ[x] - row.TargetDyDZ[i][x] : 0.0};
    const double cx = row.MovedMapX[i][x] - row.TargetX[i][x];
    const double cy = row.MovedMapY[i][x] - row.TargetY[i][x];
    const double rx = cx + Dot(Jx, d, k), ry = cy + Dot(Jy, d, k);
    const double psi = kMotionPriorWeight / (1.0 + (rx * rx + ry * ry) / scale2);
    for (int j = 0; j < k; ++j) {
      for (int m = 0; m < k; ++m) e.A[j][m] += psi * (Jx[j] * Jx[m] + Jy[j] * Jy[m]);
      e.b[j] -= psi * (cx * Jx[j] + cy * Jy[j]);
    }
  }
}

// Order of work with depth estimated: all four kinds of term, three safe-area checks per view.
void AccumulateDepthEstimated(DataTermRow& row, int x, PixelEquations& e) {
  const int N = row.views;
  const SafeArea area{4 * row.h, (row.cols - 5) * row.h, (row.rows - 5) * row.h};
  std::uint8_t ref = row.RefFlowMask[x] == 0;
  for (int i = 1; i < N; ++i) {
    row.flow[i] = row.ViewMaskT[i][x] == 0;
    row.stereoT[i] = row.ViewMaskTCopy[i][x] == 0;
    row.stereo0[i] = row.StereoMask0[i][x] == 0;
  }

  for (int i = 1; i < N; ++i) {
    // A: the reference view at time t.
    if ((ref || row.stereoT[i]) && !PositionInside(area, row.timeT[0], x, true, true)) {
      SwitchOff(ref, row.RefFlowMask[x], kMaskOutsideSafeArea);
      SwitchOff(row.stereoT[i], row.ViewMaskTCopy[i][x], kMaskOutsideSafeArea);
    }
    // B: view i at time 0.
    if ((row.stereo0[i] || row.flow[i]) && !PositionInside(area, row.time0[i], x, false, false)) {
      SwitchOff(row.stereo0[i], row.StereoMask0[i][x], kMaskOutsideSafeArea);
      SwitchOff(row.flow[i], row.ViewMaskT[i][x], kMaskOutsideSafeArea);
    }
    // C: view i at time t.
    if ((row.stereoT[i] || row.flow[i]) && !PositionInside(area, row.timeT[i], x, false, true)) {
      SwitchOff(row.stereoT[i], row.ViewMaskTCopy[i][x], kMaskOutsideSafeArea);
      SwitchOff(row.flow[i], row.ViewMaskT[i][x], kMaskOutsideSafeArea);
    }
  }

  const double d[4] = {row.dU[x], row.dV[x], row.dW[x], row.dZ[x]};
  const double I_ref = row.I_ref[x];
  Linearisation ref_t;
  LineariseReferenceAtTimeT(row, x, true, ref, ref_t);

  for (int i = 1; i < N; ++i) {
    Linearisation& zero = row.linear0[i];
    Linearisation& t = row.linearT[i];
    if ((row.flow[i] || row.stereo0[i]) && !LineariseTime0(row.time0[i], x, true, zero)) {
      SwitchOff(row.stereo0[i], row.StereoMask0[i][x], kMaskIllConditioned);
      SwitchOff(row.flow[i], row.ViewMaskT[i][x], kMaskIllConditioned);
    }
    LineariseViewAtTimeT(row, i, x, true, t);
    if (row.flow[i]) AddFlowTerm(t, zero, d, e);
    if (row.stereo0[i]) AddStereo0Term(zero, I_ref, d, e);
    if (row.stereoT[i]) AddStereoTTerm(t, ref_t, d, e);
  }
  if (ref) AddReferenceFlowTerm(ref_t, I_ref, d, e);
  if (row.StartDepthWeight != nullptr) AddStartDepthPrior(row, x, e);
  if (row.motion_prior) AddMotionPrior(row, x, d, e);
}

// Order of work with depth fixed: no stereo-0 term; the reference view's check touches only the
// reference-flow term, and only views whose flow term is on are checked at all.
void AccumulateDepthFixed(DataTermRow& row, int x, PixelEquations& e) {
  const int N = row.views;
  const SafeArea area{4 * row.h, (row.cols - 5) * row.h, (row.rows - 5) * row.h};
  std::uint8_t ref = row.RefFlowMask[x] == 0;
  for (int i = 1; i < N; ++i) {
    row.flow[i] = row.ViewMaskT[i][x] == 0;
    row.stereoT[i] = row.ViewMaskTCopy[i][x] == 0;
  }

  if (ref && !PositionInside(area, row.timeT[0], x, true, true)) {
    SwitchOff(ref, row.RefFlowMask[x], kMaskOutsideSafeArea);
  }
  for (int i = 1; i < N; ++i) {
    if (!row.flow[i]) continue;
    // Time 0 leaves the area: both terms of the view go off, the flow mask records it.
    if (!PositionInside(area, row.time0[i], x, false, false)) {
      row.flow[i] = 0;
      row.stereoT[i] = 0;
      row.ViewMaskT[i][x] = kMaskOutsideSafeArea;
    }
    // Time t leaves the area: both go off, the stereo-t mask records it.
    if (!PositionInside(area, row.timeT[i], x, false, false)) {
      row.flow[i] = 0;
      row.stereoT[i] = 0;
      row.ViewMaskTCopy[i][x] = kMaskOutsideSafeArea;
    }
  }

  const double d[4] = {row.dU[x], row.dV[x], row.dW[x], 0};
  const double I_ref = row.I_ref[x];
  Linearisation ref_t;
  LineariseReferenceAtTimeT(row, x, false, ref, ref_t);

  for (int i = 1; i < N; ++i) {
    Linearisation& zero = row.linear0[i];
    Linearisation& t = row.linearT[i];
    if (row.flow[i]) {
      // Only the determinant of the time-0 warp matters: the time-0 point has no unknowns here.
      // LineariseTime0 reads wi0 as well.
      if (!LineariseTime0(row.time0[i], x, false, zero)) {
        SwitchOff(row.flow[i], row.ViewMaskT[i][x], kMaskIllConditioned);
      }
    }
    LineariseViewAtTimeT(row, i, x, false, t);
    if (row.flow[i]) AddFlowTerm(t, zero, d, e);
    if (row.stereoT[i]) AddStereoTTerm(t, ref_t, d, e);
  }
  if (ref) AddReferenceFlowTerm(ref_t, I_ref, d, e);
  if (row.motion_prior) AddMotionPrior(row, x, d, e);
}

// Row y of the fields the motion prior reads, for views 0..N-1.
void BindMotionPriorRows(const LevelState& state, int y, int N, DataTermRow& row) {
  const MotionTargets& targets = state.motion_targets;
  const EstimateProjection& moved = state.warping.estimate;
  for (auto* list : {&row.MovedMapX, &row.MovedMapY, &row.TargetX, &row.TargetY,
                     &row.TargetDxDZ, &row.TargetDyDZ}) {
    list->assign(N, nullptr);
  }
  for (int i = 0; i < N; ++i) {
    row.MovedMapX[i] = RowOf(moved.MapXt[i], y);
    row.MovedMapY[i] = RowOf(moved.MapYt[i], y);
    row.TargetX[i] = RowOf(targets.MapX[i], y);
    row.TargetY[i] = RowOf(targets.MapY[i], y);
    if (state.depth_estimated) {
      row.TargetDxDZ[i] = RowOf(targets.DxDZ[i], y);
      row.TargetDyDZ[i] = RowOf(targets.DyDZ[i], y);
    }
  }
}

// The fields of one warped image: the image, its derivatives, the Jacobian of its warp and where
// the reference pixels land in the view.
struct WarpedImageFields {
  const cv::Mat &value, &dx, &dy, &a11, &a12, &a21, &a22, &mapX, &mapY;
};

void BindWarpedImageRow(const WarpedImageFields& fields, int y, WarpedImageRow& row) {
  row.value = ImageRow(fields.value, y);
  row.dx = RowOf(fields.dx, y);
  row.dy = RowOf(fields.dy, y);
  row.a11 = RowOf(fields.a11, y);
  row.a12 = RowOf(fields.a12, y);
  row.a21 = RowOf(fields.a21, y);
  row.a22 = RowOf(fields.a22, y);
  row.mapX = RowOf(fields.mapX, y);
  row.mapY = RowOf(fields.mapY, y);
}

// Row y of view i's warped images, their derivatives and masks: at time t for every view, at
// time 0 for views 1..N-1.
void BindViewRows(LevelState& state, int y, int i, DataTermRow& row) {
  const ViewWarping& warping = state.warping;
  WarpedImageRow& t = row.timeT[i];
  BindWarpedImageRow({warping.WarpedT[i], warping.WarpedTDx[i], warping.WarpedTDy[i],
                      state.JacXxT[i], state.JacXyT[i], state.JacYxT[i], state.JacYyT[i],
                      state.incremented.MapXt[i], state.incremented.MapYt[i]},
                     y, t);
  t.DxDU = RowOf(state.DxDU[i], y);
  t.DxDV = RowOf(state.DxDV[i], y);
  t.DxDW = RowOf(state.DxDW[i], y);
  t.DyDU = RowOf(state.DyDU[i], y);
  t.DyDV = RowOf(state.DyDV[i], y);
  t.DyDW = RowOf(state.DyDW[i], y);
  if (state.depth_estimated) {
    t.DxDZ = RowOf(state.DxDZT[i], y);
    t.DyDZ = RowOf(state.DyDZT[i], y);
  }
  if (i == 0) return;

  WarpedImageRow& zero = row.time0[i];
  BindWarpedImageRow({warping.Warped0[i], warping.Warped0Dx[i], warping.Warped0Dy[i],
                      state.JacXx0[i], state.JacXy0[i], state.JacYx0[i], state.JacYy0[i],
                      state.incremented.MapX0[i], state.incremented.MapY0[i]},
                     y, zero);
  if (state.depth_estimated) {
    zero.DxDZ = RowOf(state.DxDZ0[i], y);
    zero.DyDZ = RowOf(state.DyDZ0[i], y);
    row.StereoMask0[i] = MaskRowOf(state.warping.StereoMask0[i], y);
  }
  row.ViewMaskT[i] = MaskRowOf(state.warping.ViewMaskT[i], y);
  row.ViewMaskTCopy[i] = MaskRowOf(state.warping.ViewMaskTCopy[i], y);
}

}  // namespace

void BindDataTermRow(LevelState& state, const cv::Mat& I_ref, int y, DataTermRow& row) {
  const int N = static_cast<int>(state.warping.WarpedT.size());
  CV_Assert(N >= 1);
  row.k = state.k;
  row.depth_estimated = state.depth_estimated;
  row.views = N;
  row.cols = state.size.width;
  row.rows = state.size.height;
  row.h = state.h;
  row.I_ref = ImageRow(I_ref, y);
  row.dU = RowOf(state.dU, y);
  row.dV = RowOf(state.dV, y);
  row.dW = RowOf(state.dW, y);
  row.dZ = state.depth_estimated ? RowOf(state.dZ, y) : nullptr;
  row.RefFlowMask = MaskRowOf(state.warping.RefFlowMask, y);
  row.StartDepthWeight = nullptr;
  row.DepthFromStart = nullptr;
  if (state.depth_estimated && !state.StartDepthWeight.empty()) {
    row.StartDepthWeight = RowOf(state.StartDepthWeight, y);
    row.DepthFromStart = RowOf(state.DepthFromStart, y);
  }

  row.motion_prior = !state.motion_prior.StaticPixels.empty();
  if (row.motion_prior) BindMotionPriorRows(state, y, N, row);
  row.timeT.resize(N);
  row.time0.resize(N);
  row.ViewMaskT.assign(N, nullptr);
  row.ViewMaskTCopy.assign(N, nullptr);
  row.StereoMask0.assign(N, nullptr);
  row.flow.assign(N, 0);
  row.stereo0.assign(N, 0);
  row.stereoT.assign(N, 0);
  row.linear0.resize(N);
  row.linearT.resize(N);

  for (int i = 0; i < N; ++i) BindViewRows(state, y, i, row);
}

void AccumulateDataTerms(DataTermRow& row, int x, PixelEquations& equations) {
  if (row.depth_estimated) {
    AccumulateDepthEstimated(row, x, equations);
  } else {
    AccumulateDepthFixed(row, x, equations);
  }
}

}  // namespace sceneflow
