#include "geometry/disparity.h"

#include <gtest/gtest.h>

namespace sceneflow {
namespace {

TEST(ReplicateBorderTest, OuterRowsAndColumnsCopyTheirInnerNeighbours) {
  cv::Mat disparity(5, 6, CV_32F);
  cv::randu(disparity, -50, 0);
  const cv::Mat inner = disparity(cv::Rect(1, 1, 4, 3)).clone();
  cv::Mat wide;
  disparity.convertTo(wide, CV_64F);
  ReplicateBorder(disparity);
  for (int r = 0; r < 5; ++r) {
    EXPECT_EQ(disparity.at<float>(r, 0), disparity.at<float>(r, 1));
    EXPECT_EQ(disparity.at<float>(r, 5), disparity.at<float>(r, 4));
  }
  EXPECT_EQ(cv::norm(disparity.row(0), disparity.row(1), cv::NORM_INF), 0);
  EXPECT_EQ(cv::norm(disparity.row(4), disparity.row(3), cv::NORM_INF), 0);
  EXPECT_EQ(disparity.at<float>(0, 0), inner.at<float>(0, 0));  // corners take the diagonal one
  EXPECT_EQ(disparity.at<float>(4, 5), inner.at<float>(2, 3));
  EXPECT_EQ(cv::norm(disparity(cv::Rect(1, 1, 4, 3)), inner, cv::NORM_INF), 0);

  // Double precision the same way; a disparity without inner pixels stays as it is.
  ReplicateBorder(wide);
  cv::Mat narrowed;
  wide.convertTo(narrowed, CV_32F);
  EXPECT_EQ(cv::norm(narrowed, disparity, cv::NORM_INF), 0);
  cv::Mat thin = (cv::Mat_<double>(2, 3) << 1, 2, 3, 4, 5, 6);
  const cv::Mat thin_before = thin.clone();
  ReplicateBorder(thin);
  EXPECT_EQ(cv::norm(thin, thin_before, cv::NORM_INF), 0);
}

TEST(DisparityToDepthTest, ConvertsClampsAndMarksMissingDisparity) {
  // Grey values 0, 4, 5 and 200 of a stereo result, D = -0.5·g, with the default Tx, f0ku, maxZ.
  const cv::Mat disparity = (cv::Mat_<float>(1, 6) << -0.0f, -2.0f, -2.5f, -100.0f, 0.0f, 4.0f);
  cv::Mat depth;
  DisparityToDepth(disparity, -2 * 1000, 950, depth);
  EXPECT_FLOAT_EQ(depth.at<float>(0, 0), 997.5f);
  EXPECT_FLOAT_EQ(depth.at<float>(0, 1), 950.f);
  EXPECT_FLOAT_EQ(depth.at<float>(0, 2), 800.f);
  EXPECT_FLOAT_EQ(depth.at<float>(0, 3), 20.f);
  EXPECT_FLOAT_EQ(depth.at<float>(0, 4), 997.5f);
  EXPECT_FLOAT_EQ(depth.at<float>(0, 5), -500.f);  // opposite signs give a negative depth

  // A double disparity gives a double depth, computed in the same way.
  cv::Mat wide_disparity;
  disparity.convertTo(wide_disparity, CV_64F);
  cv::Mat wide_depth;
  DisparityToDepth(wide_disparity, -2 * 1000, 950, wide_depth);
  ASSERT_EQ(wide_depth.type(), CV_64F);
  EXPECT_EQ(wide_depth.at<double>(0, 2), 800.0);
  EXPECT_EQ(wide_depth.at<double>(0, 4), 1.05 * 950);
}

}  // namespace
}  // namespace sceneflow
