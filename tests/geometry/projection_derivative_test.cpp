#include "geometry/projection_derivative.h"

#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>

#include "geometry/camera.h"

namespace sceneflow {
namespace {

cv::Mat Field(float value) { return cv::Mat(2, 3, CV_32F, cv::Scalar(value)); }

TEST(ProjectionDerivativeTest, MatchesTheDerivativeOfTheProjectedCoordinate) {
  cv::Mat R;
  cv::Rodrigues(cv::Vec3d(0.1, -0.05, 0.2), R);
  const cv::Mat T = (cv::Mat_<double>(3, 1) << 3, -1, 5);
  cv::Mat C = (cv::Mat_<double>(3, 3) << 450, 0, 200, 0, 440, 150, 0, 0, 1);
  cv::Mat P(3, 4, CV_64F);
  BuildProjectionMatrix(C, R, T, 0.5, P);
  const cv::Vec3d point(2, -3, 80), direction(0.4, 1.5, -2);
  auto coordinate = [&](int r, double t) {
    const cv::Mat h = P * cv::Mat(cv::Vec4d(point[0] + t * direction[0], point[1] + t * direction[1],
                                            point[2] + t * direction[2], 1));
    return h.at<double>(r) / h.at<double>(2);
  };
  for (int r : {0, 1}) {
    cv::Mat result;
    ProjectionDerivative(P, Field(2), Field(-3), Field(80), Field(0.4f), Field(1.5f), Field(-2), r,
                         result);
    const double expected = (coordinate(r, 1e-4) - coordinate(r, -1e-4)) / 2e-4;
    EXPECT_NEAR(result.at<float>(1, 2), expected, 1e-4 * std::fabs(expected) + 1e-6) << r;
  }
}

TEST(ProjectionDerivativeTest, OneReferenceColumnMovesTheProjectionByOneColumn) {
  // Constant depth seen by a view equal to the reference camera: moving along the row by the
  // back-projection's derivative (Z/(s·f0ku), 0, 0) moves the column by 1 and the row by 0.
  const double s = 0.25, f = 500, Z = 120;
  cv::Mat C = (cv::Mat_<double>(3, 3) << f, 0, 32, 0, f, 24, 0, 0, 1);
  cv::Mat P(3, 4, CV_64F);
  BuildProjectionMatrix(C, cv::Mat::eye(3, 3, CV_64F), cv::Mat::zeros(3, 1, CV_64F), s, P);
  cv::Mat column, row;
  const cv::Mat step = Field(static_cast<float>(Z / (s * f)));
  ProjectionDerivative(P, Field(7), Field(-4), Field(Z), step, Field(0), Field(0), 0, column);
  ProjectionDerivative(P, Field(7), Field(-4), Field(Z), step, Field(0), Field(0), 1, row);
  EXPECT_NEAR(column.at<float>(0, 0), 1.0, 1e-6);
  EXPECT_NEAR(row.at<float>(0, 0), 0.0, 1e-6);
}

TEST(ProjectionDerivativeTest, FocalPlanePointsGiveZeroNeverNaN) {
  const cv::Mat P = (cv::Mat_<double>(3, 4) << 500, 0, 30, 0, 0, 500, 20, 0, 0, 0, 1, 0);
  cv::Mat PZ = Field(40);
  PZ.at<float>(0, 1) = 0;     // w = 0
  PZ.at<float>(1, 0) = 1e-30f;  // w·w underflows in single precision
  cv::Mat result;
  ProjectionDerivative(P, Field(1), Field(1), PZ, Field(0), Field(0), Field(1), 0, result);
  EXPECT_EQ(result.at<float>(0, 1), 0.f);
  EXPECT_EQ(result.at<float>(1, 0), 0.f);
  EXPECT_TRUE(cv::checkRange(result));
  EXPECT_NEAR(result.at<float>(0, 0), -500.0 / 1600, 1e-6);  // d(500/Z)/dZ at Z = 40
}

}  // namespace
}  // namespace sceneflow
