#include "solver/data_term.h"

#include <cmath>

#include <gtest/gtest.h>

#include "tests/solver/synthetic_level.h"

namespace sceneflow {
namespace {

using testing::Constant;
using testing::NeutralLevel;

// 16 × 14: the safe area is 4 <= x < 11, 4 <= y < 9 (bounds inclusive or not per check).
const cv::Size kSize(16, 14);
const int kY = 6, kX = 7;

PixelEquations Accumulate(LevelState& st, const cv::Mat& I_ref, int y = kY, int x = kX) {
  DataTermRow row;
  BindDataTermRow(st, I_ref, y, row);
  PixelEquations e;
  e.k = st.k;
  AccumulateDataTerms(row, x, e);
  return e;
}

void Set(cv::Mat& field, float value, int y = kY, int x = kX) { field.at<float>(y, x) = value; }

struct Codes {
  int ref, flow, stereo0, stereoT;
};

Codes MaskCodes(const LevelState& st, int y = kY, int x = kX) {
  return {st.warping.RefFlowMask.at<uchar>(y, x), st.warping.ViewMaskT[1].at<uchar>(y, x),
          st.depth_estimated ? st.warping.StereoMask0[1].at<uchar>(y, x) : -1,
          st.warping.ViewMaskTCopy[1].at<uchar>(y, x)};
}

// Runs the pixel once with one map value changed and returns the mask codes.
Codes Moved(bool depth, std::vector<cv::Mat> EstimateProjection::*maps, int view, float value) {
  LevelState st = NeutralLevel(kSize, 2, depth);
  Set((st.incremented.*maps)[view], value);
  Accumulate(st, Constant(kSize, 100));
  return MaskCodes(st);
}

void ExpectEq(Codes c, Codes expected, const char* what) {
  EXPECT_EQ(c.ref, expected.ref) << what;
  EXPECT_EQ(c.flow, expected.flow) << what;
  EXPECT_EQ(c.stereo0, expected.stereo0) << what;
  EXPECT_EQ(c.stereoT, expected.stereoT) << what;
}

void ExpectCodes(const LevelState& st, Codes expected, const char* what) {
  ExpectEq(MaskCodes(st), expected, what);
}

TEST(SafeAreaTest, BoundsOfTheThreeChecksWithDepthEstimated) {
  using S = EstimateProjection;
  const int O = kMaskOutsideSafeArea;
  ExpectEq(Moved(true, &S::MapXt, 0, 5.5f), {0, 0, 0, 0}, "inside everywhere stays active");
  // x exactly 4h: passes A, fails B and C.
  ExpectEq(Moved(true, &S::MapXt, 0, 4), {0, 0, 0, 0}, "A at x = 4");
  ExpectEq(Moved(true, &S::MapX0, 1, 4), {0, O, O, 0}, "B at x = 4");
  ExpectEq(Moved(true, &S::MapXt, 1, 4), {0, O, 0, O}, "C at x = 4");
  ExpectEq(Moved(true, &S::MapXt, 1, 4.0001f), {0, 0, 0, 0}, "C just above x = 4");
  // y exactly 4h: passes A and C, fails B.
  ExpectEq(Moved(true, &S::MapYt, 0, 4), {0, 0, 0, 0}, "A at y = 4");
  ExpectEq(Moved(true, &S::MapY0, 1, 4), {0, O, O, 0}, "B at y = 4");
  ExpectEq(Moved(true, &S::MapYt, 1, 4), {0, 0, 0, 0}, "C at y = 4");
  ExpectEq(Moved(true, &S::MapYt, 0, 3.999f), {O, 0, 0, O}, "A below y = 4");
  // (cols - 5)h = 11 and (rows - 5)h = 9 always fail; just below passes.
  ExpectEq(Moved(true, &S::MapXt, 0, 11), {O, 0, 0, O}, "A at x = 11");
  ExpectEq(Moved(true, &S::MapXt, 0, 10.999f), {0, 0, 0, 0}, "A below x = 11");
  ExpectEq(Moved(true, &S::MapX0, 1, 11), {0, O, O, 0}, "B at x = 11");
  ExpectEq(Moved(true, &S::MapXt, 1, 11), {0, O, 0, O}, "C at x = 11");
  ExpectEq(Moved(true, &S::MapYt, 0, 9), {O, 0, 0, O}, "A at y = 9");
  ExpectEq(Moved(true, &S::MapY0, 1, 9), {0, O, O, 0}, "B at y = 9");
  ExpectEq(Moved(true, &S::MapYt, 1, 9), {0, O, 0, O}, "C at y = 9");
  ExpectEq(Moved(true, &S::MapYt, 1, 8.999f), {0, 0, 0, 0}, "C below y = 9");
}

TEST(SafeAreaTest, OnlyActiveTermsAreSwitchedOffAndMarked) {
  LevelState st = NeutralLevel(kSize, 2, true);
  st.warping.RefFlowMask.at<uchar>(kY, kX) = 100;
  st.warping.ViewMaskTCopy[1].at<uchar>(kY, kX) = 150;
  Set(st.incremented.MapXt[0], 2);  // fails A, but both of its terms are already off
  Accumulate(st, Constant(kSize, 100));
  ExpectCodes(st, {100, 0, 0, 150}, "codes kept");
}

TEST(SafeAreaTest, DepthFixedChecks) {
  using S = EstimateProjection;
  const int O = kMaskOutsideSafeArea;
  // The reference view's check touches only the reference-flow term.
  ExpectEq(Moved(false, &S::MapXt, 0, 11), {O, 0, -1, 0}, "reference at x = 11");
  ExpectEq(Moved(false, &S::MapXt, 0, 4), {0, 0, -1, 0}, "reference at x = 4");
  // Time 0 of view 1 fails: the flow mask records it; time t fails: the stereo-t mask records it.
  ExpectEq(Moved(false, &S::MapX0, 1, 4), {0, O, -1, 0}, "time 0 at x = 4");
  ExpectEq(Moved(false, &S::MapYt, 1, 4), {0, 0, -1, O}, "time t at y = 4 (strict)");
  ExpectEq(Moved(false, &S::MapYt, 1, 4.0001f), {0, 0, -1, 0}, "time t above y = 4");
}

// A pixel whose view-1 time-t image has a gradient, so that an active stereo-t term adds to the
// block.
LevelState StereoTPixel(bool depth) {
  LevelState st = NeutralLevel(kSize, 2, depth);
  Set(st.warping.WarpedTDx[1], 10);
  return st;
}

TEST(SafeAreaTest, DepthFixedTimeZeroFailureDropsStereoTForThisPixelOnly) {
  LevelState st = StereoTPixel(false);
  Set(st.incremented.MapX0[1], 3);
  PixelEquations e = Accumulate(st, Constant(kSize, 100));
  EXPECT_EQ(e.A[0][0], 0);  // neither flow nor stereo-t entered
  ExpectCodes(st, {0, kMaskOutsideSafeArea, -1, 0}, "only the flow mask written");
  // The next inner iteration: the flow term stays off, so view 1 gets no check and its stereo-t
  // term, whose mask is still 0, comes back.
  e = Accumulate(st, Constant(kSize, 100));
  EXPECT_DOUBLE_EQ(e.A[0][0], 100);
}

TEST(SafeAreaTest, DepthFixedViewWithFlowOffIsNotChecked) {
  LevelState st = StereoTPixel(false);
  st.warping.ViewMaskT[1].at<uchar>(kY, kX) = 100;
  Set(st.incremented.MapXt[1], 1);
  const PixelEquations e = Accumulate(st, Constant(kSize, 100));
  EXPECT_DOUBLE_EQ(e.A[0][0], 100);
  ExpectCodes(st, {0, 100, -1, 0}, "no check");
}

// Jacobian entries whose determinant a11·a22 − a12·a21 is exactly 0.01 in double precision.
constexpr float kA11 = 0x1.00001p+0f, kA22 = 0x1.47aep-7f, kA12 = -0x1.47bp-47f, kA21 = 1.0f;

void SetJacobian(cv::Mat& a11, cv::Mat& a12, cv::Mat& a21, cv::Mat& a22, float v11, float v12,
                 float v21, float v22) {
  Set(a11, v11);
  Set(a12, v12);
  Set(a21, v21);
  Set(a22, v22);
}

TEST(DeterminantTest, ExactlyOneHundredthIsIllConditioned) {
  ASSERT_EQ(static_cast<double>(kA11) * kA22 - static_cast<double>(kA12) * kA21, 0.01);
  const int I = kMaskIllConditioned;
  for (bool depth : {true, false}) {
    const int s0 = depth ? 0 : -1;
    const int s0_ill = depth ? I : -1;
    {
      LevelState st = NeutralLevel(kSize, 2, depth);
      SetJacobian(st.JacXxT[0], st.JacXyT[0], st.JacYxT[0], st.JacYyT[0], kA11, kA12, kA21, kA22);
      Accumulate(st, Constant(kSize, 100));
      ExpectCodes(st, {I, 0, s0, I}, "reference view at time t");
    }
    {
      LevelState st = NeutralLevel(kSize, 2, depth);
      SetJacobian(st.JacXx0[1], st.JacXy0[1], st.JacYx0[1], st.JacYy0[1], kA11, kA12, kA21, kA22);
      Accumulate(st, Constant(kSize, 100));
      ExpectCodes(st, {0, I, s0_ill, 0}, "view 1 at time 0");
    }
    {
      LevelState st = NeutralLevel(kSize, 2, depth);
      SetJacobian(st.JacXxT[1], st.JacXyT[1], st.JacYxT[1], st.JacYyT[1], kA11, kA12, kA21, kA22);
      Accumulate(st, Constant(kSize, 100));
      ExpectCodes(st, {0, I, s0, I}, "view 1 at time t");
    }
    {
      // Negative: a mirrored warp.
      LevelState st = NeutralLevel(kSize, 2, depth);
      Set(st.JacXxT[1], -1);
      Accumulate(st, Constant(kSize, 100));
      ExpectCodes(st, {0, I, s0, I}, "negative determinant");
    }
    {
      // Just above 0.01 passes.
      LevelState st = NeutralLevel(kSize, 2, depth);
      SetJacobian(st.JacXxT[1], st.JacXyT[1], st.JacYxT[1], st.JacYyT[1], 1, 0, 0,
                  0x1.47ae16p-7f);
      Accumulate(st, Constant(kSize, 100));
      ExpectCodes(st, {0, 0, s0, 0}, "determinant above 0.01");
    }
  }
}

TEST(DeterminantTest, TermSwitchedOffStaysOffInTheNextInnerIteration) {
  LevelState st = StereoTPixel(true);
  Set(st.JacXxT[1], 0);
  Accumulate(st, Constant(kSize, 100));
  Set(st.JacXxT[1], 1);  // well conditioned again
  const PixelEquations e = Accumulate(st, Constant(kSize, 100));
  EXPECT_EQ(e.A[0][0], 0);
  ExpectCodes(st, {0, kMaskIllConditioned, 0, kMaskIllConditioned}, "codes persist");
}

// A pixel where every term has a distinct gradient. Reference view at time t: value 110, image
// gradient (2, 0) → J0t = (2, 0, 0, 1). View 1 at time t: 120, gradient (0, 4), dy/dW 0.5,
// dy/dZ 0.25 → Jit = (0, 4, 2, 1). View 1 at time 0: 105, gradient (3, 0), dx/dZ 1 → Ji0 = 3.
// Reference image 100. Increments d = (0.5, 0.25, -0.5, 2).
struct RichPixel {
  LevelState st;
  cv::Mat I_ref;
};

RichPixel MakeRichPixel(bool depth, int image_type) {
  RichPixel r{NeutralLevel(kSize, 2, depth), Constant(kSize, 100)};
  LevelState& st = r.st;
  Set(st.warping.WarpedT[0], 110);
  Set(st.warping.WarpedTDx[0], 2);
  Set(st.warping.WarpedT[1], 120);
  Set(st.warping.WarpedTDy[1], 4);
  Set(st.DyDW[1], 0.5f);
  Set(st.warping.Warped0[1], 105);
  Set(st.warping.Warped0Dx[1], 3);
  if (depth) {
    Set(st.DxDZT[0], 0.5f);
    Set(st.DyDZT[1], 0.25f);
    Set(st.DxDZ0[1], 1);
    Set(st.dZ, 2);
  }
  Set(st.dU, 0.5f);
  Set(st.dV, 0.25f);
  Set(st.dW, -0.5f);
  if (image_type != CV_32F) {
    for (cv::Mat* m : {&st.warping.WarpedT[0], &st.warping.WarpedT[1], &st.warping.Warped0[1], &r.I_ref}) {
      m->convertTo(*m, image_type);
    }
  }
  return r;
}

// The expected block of one term: psi·J·Jᵀ and −psi·c·J.
void ExpectTerm(const PixelEquations& e, double r, std::initializer_list<double> J_list,
                double c) {
  const double psi = 1 / std::sqrt(r * r + 1);
  const std::vector<double> J(J_list);
  for (int j = 0; j < e.k; ++j) {
    for (int m = 0; m < e.k; ++m) EXPECT_DOUBLE_EQ(e.A[j][m], psi * J[j] * J[m]) << j << m;
    EXPECT_DOUBLE_EQ(e.b[j], -psi * c * J[j]) << j;
  }
}

// Leaves only the named term active at the rich pixel.
void OnlyTerm(LevelState& st, bool ref, bool flow, bool stereo0, bool stereoT) {
  st.warping.RefFlowMask.at<uchar>(kY, kX) = ref ? 0 : 100;
  st.warping.ViewMaskT[1].at<uchar>(kY, kX) = flow ? 0 : 100;
  if (st.depth_estimated) st.warping.StereoMask0[1].at<uchar>(kY, kX) = stereo0 ? 0 : 100;
  st.warping.ViewMaskTCopy[1].at<uchar>(kY, kX) = stereoT ? 0 : 100;
}

TEST(AccumulateDataTermsTest, FourKindsOfTermWithDepthEstimated) {
  for (int type : {CV_32F, CV_8U}) {
    RichPixel p = MakeRichPixel(true, type);
    OnlyTerm(p.st, true, false, false, false);
    // r = J0t·d + w0t − I_ref = 1 + 2 + 110 − 100
    ExpectTerm(Accumulate(p.st, p.I_ref), 13, {2, 0, 0, 1}, 10);

    p = MakeRichPixel(true, type);
    OnlyTerm(p.st, false, true, false, false);
    // r = Jit·d + wit − (Ji0·dZ + wi0) = (1 − 1 + 2) + 120 − (6 + 105); J_Z = 1 − 3: the depth row
    // receives the flow term's depth entry without any stereo-0 term.
    ExpectTerm(Accumulate(p.st, p.I_ref), 11, {0, 4, 2, -2}, 15);

    p = MakeRichPixel(true, type);
    OnlyTerm(p.st, false, false, true, false);
    ExpectTerm(Accumulate(p.st, p.I_ref), 6 + 5, {0, 0, 0, 3}, 5);

    p = MakeRichPixel(true, type);
    OnlyTerm(p.st, false, false, false, true);
    // r = Jit·d + wit − (J0t·d + w0t) = 122 − 113; J = Jit − J0t
    ExpectTerm(Accumulate(p.st, p.I_ref), 9, {-2, 4, 2, 0}, 10);
  }
}

TEST(AccumulateDataTermsTest, DepthFixedHasThreeUnknownsAndNoStereoZero) {
  RichPixel p = MakeRichPixel(false, CV_32F);
  OnlyTerm(p.st, false, true, false, false);
  // r = Jit·d + wit − wi0 = (1 − 1) + 120 − 105
  ExpectTerm(Accumulate(p.st, p.I_ref), 15, {0, 4, 2}, 15);
  p = MakeRichPixel(false, CV_32F);
  OnlyTerm(p.st, true, false, false, false);
  ExpectTerm(Accumulate(p.st, p.I_ref), 11, {2, 0, 0}, 10);
}

TEST(AccumulateDataTermsTest, OneViewOnlyKeepsTheReferenceFlowTerm) {
  for (bool depth : {true, false}) {
    LevelState st = NeutralLevel(kSize, 1, depth);
    Set(st.warping.WarpedT[0], 103);
    Set(st.warping.WarpedTDx[0], 2);
    Set(st.dU, 0.5f);
    const PixelEquations e = Accumulate(st, Constant(kSize, 100));
    if (depth) {
      ExpectTerm(e, 4, {2, 0, 0, 0}, 3);
    } else {
      ExpectTerm(e, 4, {2, 0, 0}, 3);
    }
  }
}

TEST(AccumulateDataTermsTest, RobustWeightForResidualsZeroAndOneHundred) {
  LevelState st = NeutralLevel(kSize, 1, false);
  Set(st.warping.WarpedTDx[0], 1);  // J = (1, 0, 0)
  EXPECT_DOUBLE_EQ(Accumulate(st, Constant(kSize, 100)).A[0][0], 1.0);
  Set(st.warping.WarpedT[0], 200);
  const PixelEquations e = Accumulate(st, Constant(kSize, 100));
  EXPECT_DOUBLE_EQ(e.A[0][0], 1 / std::sqrt(10001.0));
  EXPECT_NEAR(e.A[0][0], 0.01, 1e-4);
  EXPECT_DOUBLE_EQ(e.b[0], -100 / std::sqrt(10001.0));
}

}  // namespace
}  // namespace sceneflow
