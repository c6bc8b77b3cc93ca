#include "solver/energy.h"

#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "tests/solver/synthetic_level.h"
#include "tests/support/temp_dir.h"

namespace sceneflow {
namespace {

using testing::Constant;
using testing::NeutralLevel;

const cv::Size kSize(4, 3);
constexpr double kWH = 12;

struct Fields {
  cv::Mat U, V, W, Z;
};

Fields ConstantFields(cv::Size size) {
  return {Constant(size, 1), Constant(size, 2), Constant(size, 3), Constant(size, 500)};
}

EnergyTotals Energy(const LevelState& st, const Fields& f, const SmoothnessOptions& p = SmoothnessOptions(),
                    SmoothWeights weights = {1, 2, 3}) {
  return ComputeEnergy(st, Constant(st.size, 100), f.U, f.V, f.W, f.Z, weights, p);
}

std::string Report(const LevelState& st, const Fields& f, const SmoothnessOptions& p,
                   const SmoothWeights& weights) {
  testing::TempDir dir;
  const std::string path = dir / "sf.log";
  {
    RunLog log(path.c_str());
    WriteEnergyReport(log, st, Constant(st.size, 100), f.U, f.V, f.W, f.Z, weights, p);
  }
  return testing::ReadFile(path);
}

TEST(ComputeEnergyTest, IdenticalImagesTwoViews) {
  for (bool depth : {true, false}) {
    const LevelState st = NeutralLevel(kSize, 2, depth);
    const EnergyTotals e = Energy(st, ConstantFields(kSize));
    EXPECT_DOUBLE_EQ(e.E_ref_flow, kWH);
    EXPECT_DOUBLE_EQ(e.E_flow[1], kWH);
    EXPECT_DOUBLE_EQ(e.E_Stereo_t[1], kWH);
    EXPECT_DOUBLE_EQ(e.E_Stere0[1], depth ? kWH : 0);
    EXPECT_EQ(e.Eintensity, 0);
    EXPECT_DOUBLE_EQ(e.Edata / kWH, depth ? 4 : 3);
    // Constant fields: sqrt(1e-6) per pixel and term, weighted.
    const double root = std::sqrt(1e-6);
    EXPECT_NEAR(e.Esmooth / kWH, root * (depth ? 1 + 2 + 3 : 1 + 2), 1e-15);
    EXPECT_NEAR(e.flow, kWH * 2 * root, 1e-15);
    EXPECT_NEAR(e.surface, depth ? kWH * root : 0, 1e-15);
  }
}

TEST(ComputeEnergyTest, ReportLinesAreExact) {
  const Fields f = ConstantFields(kSize);
  EXPECT_EQ(Report(NeutralLevel(kSize, 2, true), f, SmoothnessOptions(), {1, 2, 3}),
            "** LEVEL 1 resolution 4 x 3\n"
            "* final energy:\n"
            "Edata = 4 Esmooth = 0.006 (alpha=1) (alpha_w=2) (alpha_z=3)\n"
            "View = 1: E_flow = 1 E_Stere0 = 1 E_Stereo_t = 1\n"
            "E_ref_flow  = 12\n"
            "Edata breakdown (squared): Eintensity = 0 \n"
            "Esmooth breakdown (squared): flow = 0.024 , surface = 0.012\n");
  LevelState fixed = NeutralLevel(kSize, 2, false);
  fixed.level = 7;
  EXPECT_EQ(Report(fixed, f, SmoothnessOptions(), {0.5, 2, 3}),
            "** LEVEL 7 resolution 4 x 3\n"
            "* final energy:\n"
            "Edata = 3 Esmooth = 0.0025 (alpha=0.5) (alpha_w=2) (alpha_z=3)\n"
            "View = 1: E_flow = 1 E_Stere0 = 0 E_Stereo_t = 1\n"
            "E_ref_flow  = 12\n"
            "Edata breakdown (squared): Eintensity = 0 \n"
            "Esmooth breakdown (squared): flow = 0.024 , surface = 0\n");
}

TEST(ComputeEnergyTest, ThreeViewsCountTheReferenceFlowTwice) {
  const LevelState st = NeutralLevel(kSize, 3, true);
  const EnergyTotals e = Energy(st, ConstantFields(kSize));
  EXPECT_DOUBLE_EQ(e.E_ref_flow, 2 * kWH);
  EXPECT_DOUBLE_EQ(e.E_flow[2], kWH);
  EXPECT_DOUBLE_EQ(e.Edata / kWH, 2 + 3 * 2);
  // One view: no view pass, no data energy at all.
  EXPECT_EQ(Energy(NeutralLevel(kSize, 1, true), ConstantFields(kSize)).Edata, 0);
}

TEST(ComputeEnergyTest, ResidualsOfEachTerm) {
  LevelState st = NeutralLevel(kSize, 2, true);
  st.warping.WarpedT[0] = Constant(kSize, 101);  // reference flow: 1
  st.warping.Warped0[1] = Constant(kSize, 104);  // stereo at time 0: 4
  st.warping.WarpedT[1] = cv::Mat(kSize, CV_8U, cv::Scalar(107));  // flow: 3, stereo at time t: 6
  const EnergyTotals e = Energy(st, ConstantFields(kSize));
  EXPECT_NEAR(e.E_ref_flow, kWH * std::sqrt(2.0), 1e-12);
  EXPECT_NEAR(e.E_flow[1], kWH * std::sqrt(10.0), 1e-12);
  EXPECT_NEAR(e.E_Stere0[1], kWH * std::sqrt(17.0), 1e-12);
  EXPECT_NEAR(e.E_Stereo_t[1], kWH * std::sqrt(37.0), 1e-12);
  EXPECT_DOUBLE_EQ(e.Eintensity, kWH * (1 + 9 + 16 + 36));
}

TEST(ComputeEnergyTest, MaskedPixelsKeepOnlyTheirSmoothness) {
  LevelState st = NeutralLevel(kSize, 2, true);
  st.warping.RefFlowMask.setTo(127);
  st.warping.ViewMaskT[1].setTo(100);
  st.warping.ViewMaskTCopy[1].setTo(191);
  st.warping.StereoMask0[1].setTo(150);
  const EnergyTotals e = Energy(st, ConstantFields(kSize));
  EXPECT_EQ(e.Edata, 0);
  EXPECT_EQ(e.Eintensity, 0);
  EXPECT_GT(e.Esmooth, 0);
}

TEST(ComputeEnergyTest, CouplingKeysDecideWhereTheWGradientCounts) {
  Fields f = ConstantFields(kSize);
  for (int x = 0; x < kSize.width; ++x) f.W.col(x).setTo(2 * x);  // |grad W|² = 4
  const double e6 = 1e-6, root = std::sqrt(e6), w = std::sqrt(4 + e6);
  SmoothnessOptions p;
  p.DIV_UV_ZW = 1;
  EnergyTotals e = Energy(NeutralLevel(kSize, 2, true), f, p);
  EXPECT_NEAR(e.flow, kWH * root, 1e-12);
  EXPECT_NEAR(e.surface, kWH * w, 1e-12);
  EXPECT_NEAR(e.Esmooth, kWH * (1 * root + 3 * w), 1e-12);
  e = Energy(NeutralLevel(kSize, 2, false), f, p);
  EXPECT_NEAR(e.flow, kWH * (root + w), 1e-12);
  EXPECT_EQ(e.surface, 0);

  p = SmoothnessOptions();
  p.DIV_UVWZ = 1;
  p.MuW = 2;  // the Mu weights sit inside the root
  e = Energy(NeutralLevel(kSize, 2, true), f, p);
  EXPECT_NEAR(e.flow, kWH * std::sqrt(8 + e6), 1e-12);
  EXPECT_EQ(e.surface, 0);
  EXPECT_NEAR(e.Esmooth, kWH * 1 * std::sqrt(8 + e6), 1e-12);

  p.DIV_UVWZ = 0;
  p.DIV_UVW = 1;
  e = Energy(NeutralLevel(kSize, 2, true), f, p);
  EXPECT_NEAR(e.flow, kWH * std::sqrt(8 + e6), 1e-12);
  EXPECT_NEAR(e.surface, kWH * root, 1e-12);
}

TEST(WriteEnergyReportTest, AbsentLogComputesNothing) {
  // A level that could not be evaluated (no images at all) is fine while the log is absent.
  LevelState st;
  st.size = kSize;
  const RunLog absent;
  const Fields f = ConstantFields(kSize);
  EXPECT_NO_THROW(WriteEnergyReport(absent, st, cv::Mat(), f.U, f.V, f.W, f.Z, {1, 1, 1},
                                    SmoothnessOptions()));
}

TEST(WriteEnergyReportTest, MoreThanNineViews) {
  const std::string report =
      Report(NeutralLevel(kSize, 11, false), ConstantFields(kSize), SmoothnessOptions(), {1, 1, 1});
  EXPECT_NE(report.find("View = 10: E_flow = 1 E_Stere0 = 0 E_Stereo_t = 1\n"), std::string::npos);
  EXPECT_NE(report.find("E_ref_flow  = 120\n"), std::string::npos);
  EXPECT_NE(report.find("Edata = 30 "), std::string::npos);
}

}  // namespace
}  // namespace sceneflow
