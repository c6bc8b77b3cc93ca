#pragma once

// Hand-made solver levels for the numeric core's tests and benchmark: every field of a LevelState
// filled without the warping and term assembly that normally produce them.

#include <opencv2/core.hpp>

#include "solver/gradient.h"
#include "solver/level_state.h"

namespace sceneflow::testing {

inline cv::Mat Constant(cv::Size size, float value) {
  return cv::Mat(size, CV_32F, cv::Scalar(value));
}

// A level whose views see the reference image unchanged: every warped image is the constant 100
// with zero derivatives, every warp is the identity (Jacobian 1 0 / 0 1, dx/dU = dy/dV = 1, all
// other projection derivatives 0), the maps of the current estimate are the pixel grid itself,
// every mask is 0 and every increment and field gradient is 0.
inline LevelState NeutralLevel(cv::Size size, int views, bool depth_estimated) {
  LevelState st;
  st.level = 1;
  st.size = size;
  st.depth_estimated = depth_estimated;
  st.k = depth_estimated ? 4 : 3;
  st.h = 1.0;
  st.gridX.create(size, CV_32F);
  st.gridY.create(size, CV_32F);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      st.gridX.at<float>(y, x) = static_cast<float>(x);
      st.gridY.at<float>(y, x) = static_cast<float>(y);
    }
  }
  for (auto* list :
       {&st.warping.estimate.MapX0, &st.warping.estimate.MapY0, &st.warping.estimate.MapXt, &st.warping.estimate.MapYt, &st.warping.StereoMask0, &st.warping.ViewMaskT,
        &st.warping.ViewMaskTCopy, &st.warping.Warped0, &st.warping.WarpedT, &st.warping.Warped0Dx, &st.warping.Warped0Dy, &st.warping.WarpedTDx,
        &st.warping.WarpedTDy, &st.incremented.MapX0, &st.incremented.MapY0, &st.incremented.MapXt, &st.incremented.MapYt, &st.JacXx0,
        &st.JacXy0, &st.JacYx0, &st.JacYy0, &st.DxDZ0, &st.DyDZ0, &st.DxDU, &st.DxDV, &st.DxDW,
        &st.DyDU, &st.DyDV, &st.DyDW, &st.JacXxT, &st.JacXyT, &st.JacYxT, &st.JacYyT, &st.DxDZT,
        &st.DyDZT}) {
    list->assign(views, cv::Mat());
  }
  st.warping.RefFlowMask = cv::Mat::zeros(size, CV_8U);
  for (int i = 0; i < views; ++i) {
    st.warping.WarpedT[i] = Constant(size, 100);
    st.warping.WarpedTDx[i] = Constant(size, 0);
    st.warping.WarpedTDy[i] = Constant(size, 0);
    st.JacXxT[i] = Constant(size, 1);
    st.JacXyT[i] = Constant(size, 0);
    st.JacYxT[i] = Constant(size, 0);
    st.JacYyT[i] = Constant(size, 1);
    st.DxDU[i] = Constant(size, 1);
    st.DxDV[i] = Constant(size, 0);
    st.DxDW[i] = Constant(size, 0);
    st.DyDU[i] = Constant(size, 0);
    st.DyDV[i] = Constant(size, 1);
    st.DyDW[i] = Constant(size, 0);
    if (depth_estimated) {
      st.DxDZT[i] = Constant(size, 0);
      st.DyDZT[i] = Constant(size, 0);
    }
    st.incremented.MapXt[i] = st.gridX.clone();
    st.incremented.MapYt[i] = st.gridY.clone();
    if (i == 0) continue;
    st.warping.Warped0[i] = Constant(size, 100);
    st.warping.Warped0Dx[i] = Constant(size, 0);
    st.warping.Warped0Dy[i] = Constant(size, 0);
    st.JacXx0[i] = Constant(size, 1);
    st.JacXy0[i] = Constant(size, 0);
    st.JacYx0[i] = Constant(size, 0);
    st.JacYy0[i] = Constant(size, 1);
    if (depth_estimated) {
      st.DxDZ0[i] = Constant(size, 0);
      st.DyDZ0[i] = Constant(size, 0);
      st.warping.StereoMask0[i] = cv::Mat::zeros(size, CV_8U);
    }
    st.incremented.MapX0[i] = st.gridX.clone();
    st.incremented.MapY0[i] = st.gridY.clone();
    st.warping.ViewMaskT[i] = cv::Mat::zeros(size, CV_8U);
    st.warping.ViewMaskTCopy[i] = cv::Mat::zeros(size, CV_8U);
  }
  for (cv::Mat* field : {&st.dU, &st.dV, &st.dW, &st.Ux, &st.Uy, &st.Vx, &st.Vy, &st.Wx, &st.Wy,
                         &st.Zx, &st.Zy}) {
    *field = Constant(size, 0);
  }
  if (depth_estimated) st.dZ = Constant(size, 0);
  return st;
}

// Gradients of the fields as the term assembly leaves them.
inline void SetFieldGradients(LevelState& st, const cv::Mat& U, const cv::Mat& V, const cv::Mat& W,
                              const cv::Mat& Z) {
  CentralGradient(U, st.Ux, st.Uy);
  CentralGradient(V, st.Vx, st.Vy);
  CentralGradient(W, st.Wx, st.Wy);
  CentralGradient(Z, st.Zx, st.Zy);
}

// A busy level for timing and for whole-system checks: smooth random images and fields, warps
// near the identity with random projection derivatives, maps near the grid, 8-bit images.
struct BusyLevel {
  LevelState state;
  cv::Mat I_ref, U, V, W, Z;
};

inline cv::Mat SmoothRandom(cv::Size size, cv::RNG& rng, double low, double high) {
  cv::Mat coarse(cv::Size(size.width / 8 + 2, size.height / 8 + 2), CV_32F);
  rng.fill(coarse, cv::RNG::UNIFORM, low, high);
  cv::Mat fine(size, CV_32F);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      const float fx = x / 8.f, fy = y / 8.f;
      const int x0 = static_cast<int>(fx), y0 = static_cast<int>(fy);
      const float ax = fx - x0, ay = fy - y0;
      fine.at<float>(y, x) = (1 - ay) * ((1 - ax) * coarse.at<float>(y0, x0) +
                                         ax * coarse.at<float>(y0, x0 + 1)) +
                             ay * ((1 - ax) * coarse.at<float>(y0 + 1, x0) +
                                   ax * coarse.at<float>(y0 + 1, x0 + 1));
    }
  }
  return fine;
}

inline cv::Mat Image8(const cv::Mat& field) {
  cv::Mat image;
  field.convertTo(image, CV_8U);
  return image;
}

inline BusyLevel MakeBusyLevel(cv::Size size, int views, bool depth_estimated, unsigned seed) {
  cv::RNG rng(seed);
  BusyLevel level;
  LevelState& st = level.state;
  st = NeutralLevel(size, views, depth_estimated);
  const cv::Mat base = SmoothRandom(size, rng, 20, 230);
  level.I_ref = Image8(base);
  const auto noisy = [&](float centre, float spread) {
    cv::Mat m = SmoothRandom(size, rng, -spread, spread);
    return m + centre;
  };
  for (int i = 0; i < views; ++i) {
    st.warping.WarpedT[i] = Image8(base + SmoothRandom(size, rng, -10, 10));
    st.warping.WarpedTDx[i] = noisy(0, 8);
    st.warping.WarpedTDy[i] = noisy(0, 8);
    st.JacXxT[i] = noisy(1, 0.2f);
    st.JacXyT[i] = noisy(0, 0.1f);
    st.JacYxT[i] = noisy(0, 0.1f);
    st.JacYyT[i] = noisy(1, 0.2f);
    st.DxDU[i] = noisy(1, 0.3f);
    st.DxDV[i] = noisy(0, 0.1f);
    st.DxDW[i] = noisy(0, 0.2f);
    st.DyDU[i] = noisy(0, 0.1f);
    st.DyDV[i] = noisy(1, 0.3f);
    st.DyDW[i] = noisy(0, 0.2f);
    if (depth_estimated) {
      st.DxDZT[i] = noisy(0, 0.2f);
      st.DyDZT[i] = noisy(0, 0.2f);
    }
    st.incremented.MapXt[i] = st.gridX + noisy(0, 3);
    st.incremented.MapYt[i] = st.gridY + noisy(0, 3);
    if (i == 0) continue;
    st.warping.Warped0[i] = Image8(base + SmoothRandom(size, rng, -10, 10));
    st.warping.Warped0Dx[i] = noisy(0, 8);
    st.warping.Warped0Dy[i] = noisy(0, 8);
    st.JacXx0[i] = noisy(1, 0.2f);
    st.JacXy0[i] = noisy(0, 0.1f);
    st.JacYx0[i] = noisy(0, 0.1f);
    st.JacYy0[i] = noisy(1, 0.2f);
    if (depth_estimated) {
      st.DxDZ0[i] = noisy(0, 0.2f);
      st.DyDZ0[i] = noisy(0, 0.2f);
    }
    st.incremented.MapX0[i] = st.gridX + noisy(0, 3);
    st.incremented.MapY0[i] = st.gridY + noisy(0, 3);
  }
  level.U = noisy(0, 1);
  level.V = noisy(0, 1);
  level.W = noisy(0, 1);
  level.Z = noisy(500, 50);
  SetFieldGradients(st, level.U, level.V, level.W, level.Z);
  return level;
}

}  // namespace sceneflow::testing
