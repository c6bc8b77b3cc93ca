#include "solver/scene_flow_solver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "config/input_error.h"

#include "tests/support/temp_dir.h"

namespace sceneflow {
namespace {

using testing::ReadFile;
using testing::TempDir;

int Count(const std::string& text, const std::string& what) {
  int count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// Two views of a textured scene at 48×36 with three levels (PyramidEta 0.5): view 1 is shifted
// by one unit along x; the time-t images are the time-0 ones shifted by a pixel.
class SceneFlowSolverTest : public ::testing::Test {
 protected:
  SceneFlowSolverTest() {
    options_.warp.NumOfViews = 2;
    options_.PyramidEta = 0.5;
    SmoothnessOptions& smoothness = options_.smoothness;
    smoothness.AlphaSF = smoothness.AlphaW = smoothness.AlphaZ = 10;
    options_.intrinsics = {.f0ku = 60, .f0kv = 60, .u0 = 24, .v0 = 18};
    options_.sor.MaxIterSOR = 3;
    cv::RNG rng(3);
    for (int view = 0; view < 2; ++view) {
      cv::Mat image(36, 48, CV_8U);
      rng.fill(image, cv::RNG::UNIFORM, 0, 256);
      cv::GaussianBlur(image, image, cv::Size(5, 5), 0);
      cv::Mat moved;
      const cv::Mat shift = (cv::Mat_<double>(2, 3) << 1, 0, 1, 0, 1, 0);
      cv::warpAffine(image, moved, shift, image.size(),
                     cv::INTER_LINEAR, cv::BORDER_REPLICATE);
      time0_.push_back(BuildImagePyramid(image, 3, 0.5));
      timet_.push_back(BuildImagePyramid(moved, 3, 0.5));
      calibration_.C.push_back((cv::Mat_<double>(3, 3) << 60, 0, 24, 0, 60, 18, 0, 0, 1));
      calibration_.R.push_back(cv::Mat::eye(3, 3, CV_64F));
      calibration_.T.push_back((cv::Mat_<double>(3, 1) << -view, 0, 0));
    }
  }

  cv::Size LevelSize(int level) const { return time0_[0][level - 1].size(); }

  // Runs the solver from `start` to `final` with constant start fields; returns the counts.
  SolverCounts Solve(int start, int final, bool depth_fixed, const cv::Mat& Z_in = cv::Mat()) {
    const cv::Size size = LevelSize(start);
    const cv::Mat U_in(size, CV_32F, cv::Scalar(0.5)), V_in(size, CV_32F, cv::Scalar(0));
    const cv::Mat W_in(size, CV_32F, cv::Scalar(-0.25));
    const cv::Mat Z = Z_in.empty() ? cv::Mat(size, CV_32F, cv::Scalar(120)) : Z_in;
    const cv::Size out_size = LevelSize(final);
    for (cv::Mat* out : {&U_, &V_, &W_, &Z_}) out->create(out_size, CV_32F);
    SolverCounts counts;
    RunLog log((dir_ / "solver.log").c_str());
    SceneFlowSolver(options_, {.time0 = time0_,
                                  .timet = timet_,
                                  .log = log,
                                  .calibration = calibration_,
                                  .start_level = start,
                                  .final_level = final,
                                  .start = {U_in, V_in, W_in, Z},
                                  .U_out = &U_,
                                  .V_out = &V_,
                                  .W_out = &W_,
                                  .Z_out = &Z_,
                                  .depth_fixed = depth_fixed,
                                  .counts = &counts});
    return counts;
  }

  std::string Log() const { return ReadFile(dir_ / "solver.log"); }

  TempDir dir_;
  SolverOptions options_;
  std::vector<ImagePyramid> time0_, timet_;
  CalibrationSet calibration_;
  cv::Mat U_, V_, W_, Z_;
};

TEST_F(SceneFlowSolverTest, OuterLoopRunsAtLeastTwiceAndAtMostMaxIterOuterPlusOne) {
  options_.MaxIterInner = 0;  // one inner iteration per outer iteration
  options_.MaxIterOuter = 1;
  options_.EpsilonOuter = -1;  // never converged
  SolverCounts counts = Solve(3, 1, false);
  EXPECT_EQ(counts.levels, 3);
  EXPECT_EQ(counts.outer_iterations, 3 * 2);
  EXPECT_EQ(counts.inner_iterations, 3 * 2);

  options_.MaxIterOuter = 2;
  counts = Solve(3, 1, false);
  EXPECT_EQ(counts.outer_iterations, 3 * 3);

  options_.EpsilonOuter = 1e9;  // converged at once: still two per level
  counts = Solve(3, 1, false);
  EXPECT_EQ(counts.outer_iterations, 3 * 2);
  EXPECT_EQ(Count(Log(), "** LEVEL"), 3 * 2);  // start and final report of every level
}

TEST_F(SceneFlowSolverTest, InnerLoopRunsOnceThenUntilConvergedOrMaxIterInnerPlusOne) {
  options_.MaxIterOuter = 1;
  options_.MaxIterInner = 3;
  options_.EpsilonInner = -1;
  EXPECT_EQ(Solve(2, 2, true).inner_iterations, 2 * 4);
  options_.EpsilonInner = 1e9;
  EXPECT_EQ(Solve(2, 2, true).inner_iterations, 2 * 1);
}

TEST_F(SceneFlowSolverTest, MaxIterOuterZeroOnlyReportsTheStartLevel) {
  options_.MaxIterOuter = 0;
  const SolverCounts counts = Solve(3, 1, false);
  EXPECT_EQ(counts.levels, 1);
  EXPECT_EQ(counts.outer_iterations, 1);
  EXPECT_EQ(counts.inner_iterations, 1);
  const std::string log = Log();
  EXPECT_EQ(log.rfind("** LEVEL 3 resolution 12 x 9\n* final energy:\nEdata = ", 0), 0u) << log;
  EXPECT_EQ(Count(log, "** LEVEL"), 1);
  // The unchanged start fields are handed back at the outputs' size.
  EXPECT_EQ(U_.size(), LevelSize(1));
  EXPECT_FLOAT_EQ(static_cast<float>(cv::mean(U_)[0]), 0.5f);
  EXPECT_FLOAT_EQ(static_cast<float>(cv::mean(Z_)[0]), 120.f);
}

TEST_F(SceneFlowSolverTest, OneLevelRunKeepsTheStartSizeAndMovesTheFields) {
  options_.MaxIterOuter = 1;
  const SolverCounts counts = Solve(2, 2, false);
  EXPECT_EQ(counts.levels, 1);
  EXPECT_EQ(U_.size(), LevelSize(2));
  EXPECT_GT(cv::norm(U_ - 0.5, cv::NORM_INF), 0);  // increments were added
  EXPECT_TRUE(cv::checkRange(U_) && cv::checkRange(Z_));
  // The level's scale goes into the solver's own copy of the intrinsics, not the caller's.
  EXPECT_DOUBLE_EQ(calibration_.C[1].at<double>(2, 2), 1.0);
}

TEST_F(SceneFlowSolverTest, DepthFixedRunReturnsTheStartDepthResampled) {
  options_.MaxIterOuter = 1;
  cv::Mat Z_in(LevelSize(3), CV_32F);
  cv::randu(Z_in, 100, 140);
  Solve(3, 1, true, Z_in);
  cv::Mat expected = Z_in;
  for (int level = 2; level >= 1; --level) {
    cv::Mat finer;
    cv::resize(expected, finer, LevelSize(level), 0, 0, cv::INTER_LINEAR);
    expected = finer;
  }
  EXPECT_EQ(cv::norm(Z_, expected, cv::NORM_INF), 0);
  EXPECT_EQ(Count(Log(), "E_Stere0 = 0 "), 3 * 2);  // no stereo term at time 0 with depth fixed
}

TEST_F(SceneFlowSolverTest, DepthPictureIsWrittenAtEveryLevelOfADepthRun) {
  options_.MaxIterOuter = 1;
  options_.SF_D0_FileName = dir_ / "depth.png";
  Solve(2, 1, true);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "depth.png"));  // not while depth is fixed
  Solve(2, 1, false);
  EXPECT_EQ(cv::imread(dir_ / "depth.png").size(), LevelSize(1));
  options_.SF_D0_FileName = dir_ / "absent/depth.png";
  EXPECT_THROW(Solve(2, 1, false), InputError);
}

TEST_F(SceneFlowSolverTest, LevelsAreReportedWithTheirNumbersAndSizes) {
  options_.MaxIterOuter = 1;
  options_.MaxIterInner = 0;
  Solve(3, 2, false);
  const std::string log = Log();
  EXPECT_EQ(Count(log, "** LEVEL 3 resolution 12 x 9\n"), 2);
  EXPECT_EQ(Count(log, "** LEVEL 2 resolution 24 x 18\n"), 2);
  EXPECT_EQ(Count(log, "** LEVEL 1 "), 0);
}

}  // namespace
}  // namespace sceneflow
