#include "solver/term_assembly.h"

#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>

#include "geometry/calibration.h"
#include "geometry/camera.h"

namespace sceneflow {
namespace {

// A level with two views: view 0 is the reference camera itself, view 1 is shifted along x and
// slightly rotated. The depth is a slanted plane unless a test flattens it.
class TermAssemblyTest : public ::testing::Test {
 protected:
  TermAssemblyTest() {
    intrinsics_ = {200, 210, 20, 15};
    const cv::Size size(40, 30);
    MakePixelGrids(size, state_.gridX, state_.gridY);
    Z_.create(size, CV_32F);
    for (int y = 0; y < size.height; ++y) {
      for (int x = 0; x < size.width; ++x) Z_.at<float>(y, x) = 300.f + 2.f * x + 1.f * y;
    }
    U_ = cv::Mat::zeros(size, CV_32F);
    V_ = U_.clone();
    W_ = U_.clone();
    cv::Mat rotation;
    cv::Rodrigues(cv::Vec3d(0.01, 0.03, -0.02), rotation);
    calibration_.C = {(cv::Mat_<double>(3, 3) << 200, 0, 20, 0, 210, 15, 0, 0, 1),
                      (cv::Mat_<double>(3, 3) << 190, 0, 22, 0, 195, 14, 0, 0, 1)};
    calibration_.R = {cv::Mat::eye(3, 3, CV_64F), rotation};
    calibration_.T = {cv::Mat::zeros(3, 1, CV_64F), (cv::Mat_<double>(3, 1) << -10, 1, 2)};
    state_.depth_estimated = true;
  }

  void Assemble(double level_factor) {
    std::vector<cv::Mat> P = {cv::Mat(3, 4, CV_64F), cv::Mat(3, 4, CV_64F)};
    for (int i = 0; i < 2; ++i) {
      BuildProjectionMatrix(calibration_.C[i], calibration_.R[i], calibration_.T[i], level_factor, P[i]);
    }
    BackProjectReference(Z_, state_.gridX, state_.gridY, level_factor, intrinsics_, state_.warping.estimate.RefPointX,
                         state_.warping.estimate.RefPointY);
    cv::add(state_.warping.estimate.RefPointX, U_, state_.warping.estimate.MovedPointX);
    cv::add(state_.warping.estimate.RefPointY, V_, state_.warping.estimate.MovedPointY);
    cv::add(Z_, W_, state_.warping.estimate.MovedPointZ);
    for (auto* list : {&state_.JacXx0, &state_.JacXy0, &state_.JacYx0, &state_.JacYy0, &state_.DxDZ0,
                       &state_.DyDZ0, &state_.DxDU, &state_.DxDV, &state_.DxDW, &state_.DyDU,
                       &state_.DyDV, &state_.DyDW, &state_.JacXxT, &state_.JacXyT, &state_.JacYxT,
                       &state_.JacYyT, &state_.DxDZT, &state_.DyDZT}) {
      list->assign(2, cv::Mat());
    }
    AssembleTerms(U_, V_, W_, Z_, P, level_factor, intrinsics_, state_);
  }

  static double MaxDifference(const cv::Mat& a, const cv::Mat& b) {
    return cv::norm(a, b, cv::NORM_INF);
  }

  ReferenceIntrinsics intrinsics_;
  CalibrationSet calibration_;
  cv::Mat U_, V_, W_, Z_;
  LevelState state_;
};

TEST_F(TermAssemblyTest, WithoutMotionTheMovedPointHasTheTimeZeroJacobians) {
  Assemble(0.81);
  EXPECT_EQ(MaxDifference(state_.JacXxT[1], state_.JacXx0[1]), 0);
  EXPECT_EQ(MaxDifference(state_.JacXyT[1], state_.JacXy0[1]), 0);
  EXPECT_EQ(MaxDifference(state_.JacYxT[1], state_.JacYx0[1]), 0);
  EXPECT_EQ(MaxDifference(state_.JacYyT[1], state_.JacYy0[1]), 0);
  EXPECT_EQ(MaxDifference(state_.MovedDZdx, state_.Zx), 0);
  EXPECT_EQ(MaxDifference(state_.DxDZT[1], state_.DxDZ0[1]), 0);
}

TEST_F(TermAssemblyTest, FlatPlaneSeenByTheReferenceCameraMovesOneColumnPerColumn) {
  Z_.setTo(500);
  calibration_.C[0] = (cv::Mat_<double>(3, 3) << 200, 0, 20, 0, 210, 15, 0, 0, 1);
  Assemble(0.9);
  EXPECT_LT(cv::norm(state_.JacXxT[0] - 1, cv::NORM_INF), 1e-4);
  EXPECT_LT(cv::norm(state_.JacYyT[0] - 1, cv::NORM_INF), 1e-4);
  EXPECT_LT(cv::norm(state_.JacXyT[0], cv::NORM_INF), 1e-4);
  EXPECT_LT(cv::norm(state_.JacYxT[0], cv::NORM_INF), 1e-4);
  // Moving the point by one unit of U at depth 500 moves it s·f0ku/500 columns in view 0.
  EXPECT_NEAR(state_.DxDU[0].at<float>(10, 10), 0.9 * 200 / 500, 1e-5);
  EXPECT_NEAR(state_.DyDV[0].at<float>(10, 10), 0.9 * 210 / 500, 1e-5);
  // Depth along the viewing ray does not move the reference projection.
  EXPECT_LT(cv::norm(state_.DxDZT[0], cv::NORM_INF), 1e-5);
}

TEST_F(TermAssemblyTest, DerivativesMatchFiniteDifferencesOfTheProjection) {
  U_.setTo(3);
  W_.setTo(-5);
  const double s = 0.9;
  Assemble(s);
  const int y = 12, x = 17;
  // Project the moved point of pixel (y, x) into view 1 with depth Z + dz, by hand.
  auto column = [&](double dz, double du) {
    const double z = Z_.at<float>(y, x) + dz;
    const double X = (x - s * intrinsics_.u0) * z / (s * intrinsics_.f0ku) + 3 + du;
    const double Y = (y - s * intrinsics_.v0) * z / (s * intrinsics_.f0kv);
    const cv::Mat p = calibration_.R[1] * (cv::Mat_<double>(3, 1) << X, Y, z - 5) + calibration_.T[1];
    const double fx = calibration_.C[1].at<double>(0, 0), cx = calibration_.C[1].at<double>(0, 2);
    return s * (fx * p.at<double>(0) / p.at<double>(2) + cx);
  };
  const double step = 0.01;
  EXPECT_NEAR(state_.DxDZT[1].at<float>(y, x), (column(step, 0) - column(-step, 0)) / (2 * step), 1e-3);
  EXPECT_NEAR(state_.DxDU[1].at<float>(y, x), (column(0, step) - column(0, -step)) / (2 * step), 1e-3);
  EXPECT_NEAR(state_.RayX.at<float>(y, x), (x - s * 20) / (s * 200), 1e-6);
}

TEST_F(TermAssemblyTest, DepthDerivativesAreLeftOutWhileDepthIsFixed) {
  state_.depth_estimated = false;
  Assemble(1.0);
  EXPECT_TRUE(state_.DxDZ0[1].empty());
  EXPECT_TRUE(state_.DxDZT[0].empty());
  EXPECT_FALSE(state_.JacXxT[0].empty());
}

}  // namespace
}  // namespace sceneflow
