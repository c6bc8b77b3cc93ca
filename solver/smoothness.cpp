#include "solver/smoothness.h"

#include <cmath>

#include "parallel/worker_pool.h"
#include "solver/gradient.h"

namespace sceneflow {

namespace {

constexpr double kDiffusivityEpsilon = 1e-6;

inline double Diffusivity(double s) { return 1.0 / std::sqrt(s + kDiffusivityEpsilon); }

// Which fields share a robust function in the diffusivities: the first coupling key that is set,
// DIV_UVWZ and DIV_UV_ZW only while depth is estimated.
enum class Coupling { kUVWZ, kUVW, kUV_ZW, kNone };

Coupling DiffusivityCoupling(const SmoothnessOptions& options, bool depth) {
  if (options.DIV_UVWZ != 0 && depth) return Coupling::kUVWZ;
  if (options.DIV_UVW != 0) return Coupling::kUVW;
  if (options.DIV_UV_ZW != 0 && depth) return Coupling::kUV_ZW;
  return Coupling::kNone;
}

}  // namespace

SmoothWeights LevelSmoothWeights(const SmoothnessOptions& options, double level_factor) {
  const double f = level_factor;
  SmoothWeights weights;
  weights.SmoothWeightUV = options.AlphaSF * f;
  if (options.DIV_UVWZ != 0) {
    weights.SmoothWeightW = options.AlphaSF * f;
    weights.SmoothWeightZ = options.AlphaSF * f;
  } else if (options.DIV_UVW != 0) {
    weights.SmoothWeightW = options.AlphaSF * f;
    weights.SmoothWeightZ = options.AlphaZ * f;
  } else if (options.DIV_UV_ZW != 0) {
    weights.SmoothWeightW = options.AlphaZ * f;
    weights.SmoothWeightZ = options.AlphaZ * f;
  } else {
    weights.SmoothWeightW = options.AlphaW * f;
    weights.SmoothWeightZ = options.AlphaZ * f;
  }
  return weights;
}

EquationWeights SmoothnessEquationWeights(const SmoothWeights& weights,
                                          const SmoothnessOptions& options, double h) {
  const double four_h2 = 4 * h * h;
  EquationWeights e;
  e.w[0] = weights.SmoothWeightUV * options.MuU / four_h2;
  e.w[1] = weights.SmoothWeightUV * options.MuV / four_h2;
  e.w[2] = weights.SmoothWeightW * options.MuW / four_h2;
  e.w[3] = weights.SmoothWeightZ * options.MuZ / four_h2;
  return e;
}

void ComputeIncrementGradients(LevelState& state) {
  CentralGradient(state.dU, state.dUx, state.dUy);
  CentralGradient(state.dV, state.dVx, state.dVy);
  CentralGradient(state.dW, state.dWx, state.dWy);
  if (state.depth_estimated) CentralGradient(state.dZ, state.dZx, state.dZy);
}

void ComputeDiffusivities(LevelState& state, const SmoothnessOptions& options) {
  const bool depth = state.depth_estimated;
  const cv::Size size = state.dUx.size();
  CV_Assert(state.Ux.size() == size && state.dWy.size() == size);
  CV_Assert(!depth || (state.Zx.size() == size && state.dZy.size() == size));
  state.DiffusivityUV.create(size, CV_32F);
  state.DiffusivityW.create(size, CV_32F);
  state.DiffusivityZ.create(size, CV_32F);

  const double MuU = options.MuU, MuV = options.MuV;
  const double MuW = options.MuW, MuZ = options.MuZ;
  const Coupling coupling = DiffusivityCoupling(options, depth);

  ParallelRows(size.height, [&](int begin, int end) {
    for (int y = begin; y < end; ++y) {
      const float *ux = state.Ux.ptr<float>(y), *uy = state.Uy.ptr<float>(y);
      const float *vx = state.Vx.ptr<float>(y), *vy = state.Vy.ptr<float>(y);
      const float *wx = state.Wx.ptr<float>(y), *wy = state.Wy.ptr<float>(y);
      const float *dux = state.dUx.ptr<float>(y), *duy = state.dUy.ptr<float>(y);
      const float *dvx = state.dVx.ptr<float>(y), *dvy = state.dVy.ptr<float>(y);
      const float *dwx = state.dWx.ptr<float>(y), *dwy = state.dWy.ptr<float>(y);
      const float *zx = nullptr, *zy = nullptr, *dzx = nullptr, *dzy = nullptr;
      if (depth) {
        zx = state.Zx.ptr<float>(y), zy = state.Zy.ptr<float>(y);
        dzx = state.dZx.ptr<float>(y), dzy = state.dZy.ptr<float>(y);
      }
      float* diffusivity_uv = state.DiffusivityUV.ptr<float>(y);
      float* diffusivity_w = state.DiffusivityW.ptr<float>(y);
      float* diffusivity_z = state.DiffusivityZ.ptr<float>(y);
      for (int x = 0; x < size.width; ++x) {
        // Squared gradient norms of the updated fields F + dF.
        const double Ux = static_cast<double>(ux[x]) + dux[x];
        const double Uy = static_cast<double>(uy[x]) + duy[x];
        const double Vx = static_cast<double>(vx[x]) + dvx[x];
        const double Vy = static_cast<double>(vy[x]) + dvy[x];
        const double Wx = static_cast<double>(wx[x]) + dwx[x];
        const double Wy = static_cast<double>(wy[x]) + dwy[x];
        const double GU = Ux * Ux + Uy * Uy;
        const double GV = Vx * Vx + Vy * Vy;
        const double GW = Wx * Wx + Wy * Wy;
        double GZ = 0;
        if (depth) {
          const double Zx = static_cast<double>(zx[x]) + dzx[x];
          const double Zy = static_cast<double>(zy[x]) + dzy[x];
          GZ = Zx * Zx + Zy * Zy;
        }
        double sUV, sW, sZ;
        switch (coupling) {
          case Coupling::kUVWZ: {
            const double S3 = MuU * GU + MuV * GV + MuW * GW;
            sUV = sW = sZ = S3 + MuZ * GZ;
            break;
          }
          case Coupling::kUVW:
            sUV = sW = MuU * GU + MuV * GV + MuW * GW;
            sZ = depth ? MuZ * GZ : 0;
            break;
          case Coupling::kUV_ZW:
            sUV = GU + GV;
            sW = sZ = MuW * GW + MuZ * GZ;
            break;
          default:
            sUV = GU + GV;
            sW = MuW * GW;
            sZ = depth ? MuZ * GZ : 0;
            break;
        }
        diffusivity_uv[x] = static_cast<float>(Diffusivity(sUV));
        diffusivity_w[x] = static_cast<float>(Diffusivity(sW));
        diffusivity_z[x] = static_cast<float>(Diffusivity(sZ));
      }
    }
  });
}

NeighbourAverages AverageToNeighbours(const cv::Mat& d, int x, int y) {
  CV_Assert(d.type() == CV_32F || d.type() == CV_64F);
  CV_Assert(x >= 1 && x <= d.cols - 2 && y >= 1 && y <= d.rows - 2);
  const auto at = [&d](int row, int col) -> double {
    return d.type() == CV_32F ? d.at<float>(row, col) : d.at<double>(row, col);
  };
  const double centre = at(y, x);
  NeighbourAverages a;
  a.right = (centre + at(y, x + 1)) / 2;
  a.left = (centre + at(y, x - 1)) / 2;
  a.down = (centre + at(y + 1, x)) / 2;
  a.up = (centre + at(y - 1, x)) / 2;
  return a;
}

SmoothnessRows BindSmoothnessRows(const LevelState& state, const cv::Mat& U, const cv::Mat& V,
                                  const cv::Mat& W, const cv::Mat& Z,
                                  const EquationWeights& weights, int y) {
  SmoothnessRows rows;
  rows.k = state.k;
  rows.weights = weights;
  const cv::Mat* fields[4] = {&U, &V, &W, &Z};
  const cv::Mat* diffusivities[4] = {&state.DiffusivityUV, &state.DiffusivityUV,
                                     &state.DiffusivityW, &state.DiffusivityZ};
  for (int j = 0; j < rows.k; ++j) {
    CV_Assert(fields[j]->type() == CV_32F && fields[j]->size() == state.size);
    for (int r = 0; r < 3; ++r) {
      rows.field[j][r] = fields[j]->ptr<float>(y - 1 + r);
      rows.diffusivity[j][r] = diffusivities[j]->ptr<float>(y - 1 + r);
    }
  }
  return rows;
}

}  // namespace sceneflow
