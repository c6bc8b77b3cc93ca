#include "solver/gradient.h"

#include <gtest/gtest.h>

namespace sceneflow {
namespace {

TEST(CentralGradientTest, SquareHasOneSidedEndsAndCentralInside) {
  const int cols = 6;
  cv::Mat F(3, cols, CV_32F);
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < cols; ++x) F.at<float>(y, x) = static_cast<float>(x * x + 10 * y * y);
  }
  cv::Mat Fx, Fy;
  CentralGradient(F, Fx, Fy);
  EXPECT_FLOAT_EQ(Fx.at<float>(1, 0), 1.f);
  for (int x = 1; x < cols - 1; ++x) EXPECT_FLOAT_EQ(Fx.at<float>(2, x), 2.f * x);
  EXPECT_FLOAT_EQ(Fx.at<float>(0, cols - 1), 2.f * cols - 3.f);
  EXPECT_FLOAT_EQ(Fy.at<float>(0, 4), 10.f);   // 10 - 0
  EXPECT_FLOAT_EQ(Fy.at<float>(1, 4), 20.f);   // (40 - 0) / 2
  EXPECT_FLOAT_EQ(Fy.at<float>(2, 4), 30.f);   // 40 - 10
}

TEST(CentralGradientTest, SingleColumnOrRowHasZeroDifference) {
  cv::Mat column = (cv::Mat_<float>(3, 1) << 1, 4, 9);
  cv::Mat Fx, Fy;
  CentralGradient(column, Fx, Fy);
  EXPECT_EQ(cv::countNonZero(Fx), 0);
  EXPECT_FLOAT_EQ(Fy.at<float>(1, 0), 4.f);
  CentralGradient(column.t(), Fx, Fy);
  EXPECT_EQ(cv::countNonZero(Fy), 0);
  EXPECT_FLOAT_EQ(Fx.at<float>(0, 2), 5.f);
}

}  // namespace
}  // namespace sceneflow
