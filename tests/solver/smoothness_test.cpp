#include "solver/smoothness.h"

#include <cmath>

#include <gtest/gtest.h>

#include "tests/solver/synthetic_level.h"

namespace sceneflow {
namespace {

using testing::Constant;
using testing::NeutralLevel;

SmoothnessOptions Weights(double alpha_sf, double alpha_w, double alpha_z) {
  SmoothnessOptions p;
  p.AlphaSF = alpha_sf;
  p.AlphaW = alpha_w;
  p.AlphaZ = alpha_z;
  return p;
}

TEST(LevelSmoothWeightsTest, FirstNonZeroKeyChoosesTheAlphas) {
  SmoothnessOptions p = Weights(2, 3, 5);
  SmoothWeights w = LevelSmoothWeights(p, 0.5);
  EXPECT_DOUBLE_EQ(w.SmoothWeightUV, 1);
  EXPECT_DOUBLE_EQ(w.SmoothWeightW, 1.5);
  EXPECT_DOUBLE_EQ(w.SmoothWeightZ, 2.5);

  p.DIV_UV_ZW = 1;
  w = LevelSmoothWeights(p, 0.5);
  EXPECT_DOUBLE_EQ(w.SmoothWeightW, 2.5);
  EXPECT_DOUBLE_EQ(w.SmoothWeightZ, 2.5);

  p.DIV_UVW = 1;  // takes precedence over DIV_UV_ZW
  w = LevelSmoothWeights(p, 0.5);
  EXPECT_DOUBLE_EQ(w.SmoothWeightW, 1);
  EXPECT_DOUBLE_EQ(w.SmoothWeightZ, 2.5);

  p.DIV_UVWZ = 7;  // any non-zero value counts, and it comes first
  w = LevelSmoothWeights(p, 0.5);
  EXPECT_DOUBLE_EQ(w.SmoothWeightUV, 1);
  EXPECT_DOUBLE_EQ(w.SmoothWeightW, 1);
  EXPECT_DOUBLE_EQ(w.SmoothWeightZ, 1);
}

TEST(SmoothnessEquationWeightsTest, MuWeightsOverFourHSquared) {
  SmoothnessOptions p;
  p.MuU = 2;
  p.MuV = 3;
  p.MuW = 4;
  p.MuZ = 5;
  const EquationWeights e = SmoothnessEquationWeights({8, 16, 32}, p, 2.0);
  EXPECT_DOUBLE_EQ(e.w[0], 8 * 2 / 16.0);
  EXPECT_DOUBLE_EQ(e.w[1], 8 * 3 / 16.0);
  EXPECT_DOUBLE_EQ(e.w[2], 16 * 4 / 16.0);
  EXPECT_DOUBLE_EQ(e.w[3], 32 * 5 / 16.0);
}

// A level whose field and increment gradients are constants: Ux + dUx = 1 + 2, Uy + dUy = 0 + 1,
// so G_U = 10; G_V = 4; G_W = 9; G_Z = 1.
LevelState GradientLevel(bool depth_estimated) {
  const cv::Size size(4, 3);
  LevelState st = NeutralLevel(size, 2, depth_estimated);
  st.Ux = Constant(size, 1);
  st.Uy = Constant(size, 0);
  st.Vy = Constant(size, 2);
  st.Wx = Constant(size, 3);
  st.Zy = Constant(size, -1);
  st.dUx = Constant(size, 2);
  st.dUy = Constant(size, 1);
  for (cv::Mat* m : {&st.dVx, &st.dVy, &st.dWx, &st.dWy, &st.dZx, &st.dZy}) *m = Constant(size, 0);
  return st;
}

double D(double s) { return static_cast<float>(1.0 / std::sqrt(s + 1e-6)); }

struct Diffusivities {
  double uv, w, z;
};

Diffusivities Compute(bool depth_estimated, const SmoothnessOptions& p) {
  LevelState st = GradientLevel(depth_estimated);
  ComputeDiffusivities(st, p);
  EXPECT_EQ(st.DiffusivityUV.type(), CV_32F);
  // Constant inputs give constant diffusivities, frame included.
  EXPECT_EQ(cv::countNonZero(st.DiffusivityUV != st.DiffusivityUV.at<float>(0, 0)), 0);
  return {st.DiffusivityUV.at<float>(2, 3), st.DiffusivityW.at<float>(0, 0),
          st.DiffusivityZ.at<float>(1, 1)};
}

TEST(ComputeDiffusivitiesTest, FlatFieldsGiveOneThousand) {
  for (bool depth : {false, true}) {
    for (int key = 0; key < 4; ++key) {
      LevelState st = NeutralLevel(cv::Size(5, 4), 2, depth);
      SmoothnessOptions p;
      p.DIV_UVWZ = key == 1;
      p.DIV_UVW = key == 2;
      p.DIV_UV_ZW = key == 3;
      testing::SetFieldGradients(st, Constant(st.size, 1), Constant(st.size, 2),
                                 Constant(st.size, 3), Constant(st.size, 400));
      ComputeIncrementGradients(st);
      ComputeDiffusivities(st, p);
      for (const cv::Mat* d : {&st.DiffusivityUV, &st.DiffusivityW, &st.DiffusivityZ}) {
        EXPECT_EQ(cv::countNonZero(*d != 1000.f), 0) << "depth " << depth << " key " << key;
      }
    }
  }
}

TEST(ComputeDiffusivitiesTest, NoKeyLeavesMuUMuVOutOfTheMotionDiffusivity) {
  SmoothnessOptions p;
  p.MuU = 2;
  p.MuV = 3;
  p.MuW = 5;
  p.MuZ = 7;
  const Diffusivities d = Compute(true, p);
  EXPECT_DOUBLE_EQ(d.uv, D(10 + 4));
  EXPECT_DOUBLE_EQ(d.w, D(5 * 9));
  EXPECT_DOUBLE_EQ(d.z, D(7 * 1));
  const Diffusivities fixed = Compute(false, p);
  EXPECT_DOUBLE_EQ(fixed.uv, D(10 + 4));
  EXPECT_DOUBLE_EQ(fixed.z, 1000);
}

TEST(ComputeDiffusivitiesTest, CouplingKeys) {
  SmoothnessOptions p;
  p.MuU = 2;
  p.MuV = 3;
  p.MuW = 5;
  p.MuZ = 7;
  const double S3 = 2 * 10 + 3 * 4 + 5 * 9;

  p.DIV_UVW = 1;
  Diffusivities d = Compute(true, p);
  EXPECT_DOUBLE_EQ(d.uv, D(S3));
  EXPECT_DOUBLE_EQ(d.w, D(S3));
  EXPECT_DOUBLE_EQ(d.z, D(7));
  d = Compute(false, p);
  EXPECT_DOUBLE_EQ(d.w, D(S3));
  EXPECT_DOUBLE_EQ(d.z, 1000);

  p.DIV_UVW = 0;
  p.DIV_UVWZ = 1;
  d = Compute(true, p);
  EXPECT_DOUBLE_EQ(d.uv, D(S3 + 7));
  EXPECT_DOUBLE_EQ(d.w, D(S3 + 7));
  EXPECT_DOUBLE_EQ(d.z, D(S3 + 7));
  // Depth fixed: DIV_UVWZ does not apply; without other keys the plain rule holds.
  d = Compute(false, p);
  EXPECT_DOUBLE_EQ(d.uv, D(14));
  EXPECT_DOUBLE_EQ(d.w, D(45));
  EXPECT_DOUBLE_EQ(d.z, 1000);
  // ... and with DIV_UVW as well, the DIV_UVW rule.
  p.DIV_UVW = 1;
  d = Compute(false, p);
  EXPECT_DOUBLE_EQ(d.uv, D(S3));

  p.DIV_UVW = 0;
  p.DIV_UVWZ = 0;
  p.DIV_UV_ZW = 1;
  d = Compute(true, p);
  EXPECT_DOUBLE_EQ(d.uv, D(14));
  EXPECT_DOUBLE_EQ(d.w, D(45 + 7));
  EXPECT_DOUBLE_EQ(d.z, D(45 + 7));
  d = Compute(false, p);
  EXPECT_DOUBLE_EQ(d.w, D(45));
  EXPECT_DOUBLE_EQ(d.z, 1000);
}

TEST(ComputeDiffusivitiesTest, DoublingMuUChangesTheMotionDiffusivityOnlyWhenCoupled) {
  SmoothnessOptions p;
  const Diffusivities plain = Compute(true, p);
  p.MuU = 2;
  EXPECT_DOUBLE_EQ(Compute(true, p).uv, plain.uv);
  p.DIV_UVW = 1;
  const double coupled_double = Compute(true, p).uv;
  p.MuU = 1;
  EXPECT_NE(Compute(true, p).uv, coupled_double);
}

TEST(AverageToNeighboursTest, RightLeftDownUpForFloatAndDouble) {
  cv::Mat d = (cv::Mat_<float>(3, 3) << 0, 10, 0, 20, 2, 40, 0, 80, 0);
  for (int type : {CV_32F, CV_64F}) {
    cv::Mat typed;
    d.convertTo(typed, type);
    const NeighbourAverages a = AverageToNeighbours(typed, 1, 1);
    EXPECT_DOUBLE_EQ(a.right, 21);
    EXPECT_DOUBLE_EQ(a.left, 11);
    EXPECT_DOUBLE_EQ(a.down, 41);
    EXPECT_DOUBLE_EQ(a.up, 6);
  }
}

TEST(AddSmoothnessTermsTest, DiffusionSumOfTheCurrentField) {
  const cv::Size size(3, 3);
  LevelState st = NeutralLevel(size, 1, false);
  st.DiffusivityUV = (cv::Mat_<float>(3, 3) << 0, 4, 0, 6, 2, 10, 0, 8, 0);
  st.DiffusivityW = Constant(size, 1);
  st.DiffusivityZ = Constant(size, 1);
  const cv::Mat U = (cv::Mat_<float>(3, 3) << 0, 1, 0, 2, 5, 3, 0, 4, 0);
  const cv::Mat flat = Constant(size, 0);
  EquationWeights weights;
  weights.w[0] = 0.5;
  weights.w[1] = 2;
  weights.w[2] = 1;
  const SmoothnessRows rows = BindSmoothnessRows(st, U, flat, flat, flat, weights, 1);
  PixelEquations e;
  AddSmoothnessTerms(rows, 1, e);
  // Averages: right (2+10)/2 = 6, left 4, down 5, up 3; sum 18.
  EXPECT_DOUBLE_EQ(e.A[0][0], 0.5 * 18);
  EXPECT_DOUBLE_EQ(e.neighbour[0][0], -0.5 * 3);  // up
  EXPECT_DOUBLE_EQ(e.neighbour[0][1], -0.5 * 5);  // down
  EXPECT_DOUBLE_EQ(e.neighbour[0][2], -0.5 * 4);  // left
  EXPECT_DOUBLE_EQ(e.neighbour[0][3], -0.5 * 6);  // right
  EXPECT_DOUBLE_EQ(e.b[0], 0.5 * (6 * 3 + 4 * 2 + 5 * 4 + 3 * 1 - 18 * 5));
  // V shares the diffusivity, with its own weight.
  EXPECT_DOUBLE_EQ(e.A[1][1], 2 * 18);
  EXPECT_DOUBLE_EQ(e.A[2][2], 4);
}

}  // namespace
}  // namespace sceneflow
