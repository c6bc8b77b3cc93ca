#include "solver/energy.h"

#include <cmath>
#include <cstdint>

#include "solver/data_term.h"
#include "solver/gradient.h"

namespace sceneflow {

namespace {

constexpr double kSmoothnessEpsilon = 1e-6;

// Adds one data term's robust value and squared residual.
inline void AddResidual(double r, double& energy, double& intensity) {
  energy += std::sqrt(r * r + 1);
  intensity += r * r;
}

void AddDataEnergy(const LevelState& state, const cv::Mat& I_ref, EnergyTotals& totals) {
  const int N = static_cast<int>(state.warping.WarpedT.size());
  const bool depth = state.depth_estimated;
  const int cols = state.size.width, rows = state.size.height;
  std::vector<ImageRow> warped0(N), warpedT(N);
  std::vector<const std::uint8_t*> flow_mask(N), stereo0_mask(N), stereoT_mask(N);
  for (int y = 0; y < rows; ++y) {
    const ImageRow reference(I_ref, y);
    const std::uint8_t* ref_mask = state.warping.RefFlowMask.ptr<std::uint8_t>(y);
    for (int i = 0; i < N; ++i) {
      warpedT[i] = ImageRow(state.warping.WarpedT[i], y);
      if (i == 0) continue;
      warped0[i] = ImageRow(state.warping.Warped0[i], y);
      flow_mask[i] = state.warping.ViewMaskT[i].ptr<std::uint8_t>(y);
      stereoT_mask[i] = state.warping.ViewMaskTCopy[i].ptr<std::uint8_t>(y);
      stereo0_mask[i] = depth ? state.warping.StereoMask0[i].ptr<std::uint8_t>(y) : nullptr;
    }
    for (int x = 0; x < cols; ++x) {
      for (int i = 1; i < N; ++i) {
        const double a = reference[x];
        const double b0 = warped0[i][x];
        const double t0 = warpedT[0][x];
        const double ti = warpedT[i][x];
        if (ref_mask[x] == 0) AddResidual(t0 - a, totals.E_ref_flow, totals.Eintensity);
        if (flow_mask[i][x] == 0) AddResidual(ti - b0, totals.E_flow[i], totals.Eintensity);
        if (depth && stereo0_mask[i][x] == 0) {
          AddResidual(b0 - a, totals.E_Stere0[i], totals.Eintensity);
        }
        if (stereoT_mask[i][x] == 0) AddResidual(ti - t0, totals.E_Stereo_t[i], totals.Eintensity);
      }
    }
  }
}

inline double SquaredNorm(float dx, float dy) {
  return static_cast<double>(dx) * dx + static_cast<double>(dy) * dy;
}

void AddSmoothnessEnergy(const LevelState& state, const cv::Mat& U, const cv::Mat& V,
                         const cv::Mat& W, const cv::Mat& Z, const SmoothWeights& weights,
                         const SmoothnessOptions& options, EnergyTotals& totals) {
  const bool depth = state.depth_estimated;
  cv::Mat Ux, Uy, Vx, Vy, Wx, Wy, Zx, Zy;
  CentralGradient(U, Ux, Uy);
  CentralGradient(V, Vx, Vy);
  CentralGradient(W, Wx, Wy);
  if (depth) CentralGradient(Z, Zx, Zy);
  const bool uvwz = options.DIV_UVWZ != 0;
  const bool uvw = options.DIV_UVW != 0;
  const bool uv_zw = options.DIV_UV_ZW != 0;
  const double e = kSmoothnessEpsilon;
  for (int y = 0; y < U.rows; ++y) {
    const float *ux = Ux.ptr<float>(y), *uy = Uy.ptr<float>(y);
    const float *vx = Vx.ptr<float>(y), *vy = Vy.ptr<float>(y);
    const float *wx = Wx.ptr<float>(y), *wy = Wy.ptr<float>(y);
    const float* zx = depth ? Zx.ptr<float>(y) : nullptr;
    const float* zy = depth ? Zy.ptr<float>(y) : nullptr;
    for (int x = 0; x < U.cols; ++x) {
      const double S_UV = options.MuU * SquaredNorm(ux[x], uy[x]) +
                          options.MuV * SquaredNorm(vx[x], vy[x]);
      const double S_W = options.MuW * SquaredNorm(wx[x], wy[x]);
      const double S_Z = depth ? options.MuZ * SquaredNorm(zx[x], zy[x]) : 0;
      double E_s;
      if (uvwz && depth) {
        const double s = std::sqrt(S_UV + S_W + S_Z + e);
        E_s = weights.SmoothWeightUV * s;
        totals.flow += s;
      } else if (uvw) {
        const double s = std::sqrt(S_UV + S_W + e);
        E_s = weights.SmoothWeightUV * s;
        totals.flow += s;
      } else {
        const double s = std::sqrt(S_UV + e);
        E_s = weights.SmoothWeightUV * s;
        totals.flow += s;
        if (!(uv_zw && depth)) {
          const double s_w = std::sqrt(S_W + e);
          E_s += weights.SmoothWeightW * s_w;
          totals.flow += s_w;
        }
      }
      if (depth && !uvwz) {
        double t = S_Z;
        if (uv_zw) t += S_W;
        const double s_z = std::sqrt(t + e);
        E_s += weights.SmoothWeightZ * s_z;
        totals.surface += s_z;
      }
      totals.Esmooth += E_s;
    }
  }
}

}  // namespace

EnergyTotals ComputeEnergy(const LevelState& state, const cv::Mat& I_ref, const cv::Mat& U,
                           const cv::Mat& V, const cv::Mat& W, const cv::Mat& Z,
                           const SmoothWeights& weights, const SmoothnessOptions& options) {
  const int N = static_cast<int>(state.warping.WarpedT.size());
  CV_Assert(N >= 1 && I_ref.size() == state.size && U.size() == state.size);
  EnergyTotals totals;
  totals.E_flow.assign(N, 0.0);
  totals.E_Stere0.assign(N, 0.0);
  totals.E_Stereo_t.assign(N, 0.0);
  AddDataEnergy(state, I_ref, totals);
  AddSmoothnessEnergy(state, U, V, W, Z, weights, options, totals);
  totals.Edata = totals.E_ref_flow;
  for (int i = 1; i < N; ++i) {
    totals.Edata += totals.E_flow[i] + totals.E_Stere0[i] + totals.E_Stereo_t[i];
  }
  return totals;
}

void WriteEnergyLines(const RunLog& log, int level, cv::Size size, const EnergyTotals& totals,
                      const SmoothWeights& weights) {
  const double WH = static_cast<double>(size.width) * size.height;
  log.Line("** LEVEL %d resolution %d x %d\n", level, size.width, size.height);
  log.Line("* final energy:\n");
  log.Line("Edata = %g Esmooth = %g (alpha=%g) (alpha_w=%g) (alpha_z=%g)\n", totals.Edata / WH,
           totals.Esmooth / WH, weights.SmoothWeightUV, weights.SmoothWeightW,
           weights.SmoothWeightZ);
  for (size_t i = 1; i < totals.E_flow.size(); ++i) {
    log.Line("View = %d: E_flow = %g E_Stere0 = %g E_Stereo_t = %g\n", static_cast<int>(i),
             totals.E_flow[i] / WH, totals.E_Stere0[i] / WH, totals.E_Stereo_t[i] / WH);
  }
  log.Line("E_ref_flow  = %g\n", totals.E_ref_flow);
  log.Line("Edata breakdown (squared): Eintensity = %g \n", totals.Eintensity);
  log.Line("Esmooth breakdown (squared): flow = %g , surface = %g\n", totals.flow,
           totals.surface);
}

void WriteEnergyReport(const RunLog& log, const LevelState& state, const cv::Mat& I_ref,
                       const cv::Mat& U, const cv::Mat& V, const cv::Mat& W, const cv::Mat& Z,
                       const SmoothWeights& weights, const SmoothnessOptions& options) {
  if (log.stream() == nullptr) return;
  const EnergyTotals totals = ComputeEnergy(state, I_ref, U, V, W, Z, weights, options);
  WriteEnergyLines(log, state.level, state.size, totals, weights);
}

}  // namespace sceneflow
