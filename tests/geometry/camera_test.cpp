#include "geometry/camera.h"

#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>

#include "geometry/projection.h"

namespace sceneflow {
namespace {

const ReferenceIntrinsics kIntrinsics{500, 480, 32, 24};

// The reference camera in calibration form: R = I, T = 0, C made of the reference intrinsics.
cv::Mat ReferenceC() {
  return (cv::Mat_<double>(3, 3) << kIntrinsics.f0ku, 0, kIntrinsics.u0, 0, kIntrinsics.f0kv,
          kIntrinsics.v0, 0, 0, 1);
}

cv::Mat DepthField(cv::Size size) {
  cv::Mat Z(size, CV_32F);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) Z.at<float>(y, x) = 80.f + 3.f * x - 0.5f * y;
  }
  return Z;
}

TEST(CameraTest, BackProjectedPixelsProjectBackOntoThemselvesAtEveryLevel) {
  for (int level : {1, 2, 3}) {
    const double s = LevelFactor(0.5, level);
    const cv::Size size(40, 30);
    cv::Mat gridX, gridY, X, Y, mapX, mapY;
    MakePixelGrids(size, gridX, gridY);
    const cv::Mat Z = DepthField(size);
    BackProjectReference(Z, gridX, gridY, s, kIntrinsics, X, Y);
    ProjectFieldsIntoView(X, Y, Z, cv::Mat::eye(3, 3, CV_64F), cv::Mat::zeros(3, 1, CV_64F),
                          ReferenceC(), s, mapX, mapY);
    EXPECT_LT(cv::norm(mapX, gridX, cv::NORM_INF), 1e-4) << "level " << level;
    EXPECT_LT(cv::norm(mapY, gridY, cv::NORM_INF), 1e-4) << "level " << level;
  }
}

TEST(CameraTest, LevelScalesPixelCoordinates) {
  EXPECT_EQ(LevelFactor(0.5, 1), 1.0);
  EXPECT_EQ(LevelFactor(0.5, 3), 0.25);
  EXPECT_EQ(LevelFactor(0.9, 4), 0.9 * 0.9 * 0.9);
  EXPECT_EQ(FinerLevelFactor(0.25, 0.5), 0.5);

  // Full-size pixel (132, 84) at depth 200: at level 3 with eta 0.5 the same point sits at a
  // quarter of those coordinates, and it is back-projected to the same 3D point from there.
  cv::Mat Z(1, 1, CV_32F, cv::Scalar(200));
  cv::Mat X, Y;
  BackProjectReference(Z, cv::Mat(1, 1, CV_32F, cv::Scalar(132)),
                       cv::Mat(1, 1, CV_32F, cv::Scalar(84)), 1.0, kIntrinsics, X, Y);
  EXPECT_FLOAT_EQ(X.at<float>(0, 0), 100.f * 200 / 500);
  EXPECT_FLOAT_EQ(Y.at<float>(0, 0), 60.f * 200 / 480);
  cv::Mat X3, Y3;
  BackProjectReference(Z, cv::Mat(1, 1, CV_32F, cv::Scalar(33)),
                       cv::Mat(1, 1, CV_32F, cv::Scalar(21)), 0.25, kIntrinsics, X3, Y3);
  EXPECT_FLOAT_EQ(X3.at<float>(0, 0), X.at<float>(0, 0));
  EXPECT_FLOAT_EQ(Y3.at<float>(0, 0), Y.at<float>(0, 0));
}

TEST(CameraTest, ZeroDepthLiftsToTheOriginAndDoubleFieldsWork) {
  cv::Mat gridX, gridY;
  MakePixelGrids({5, 4}, gridX, gridY);
  cv::Mat Z = DepthField({5, 4});
  Z.at<float>(2, 3) = 0;
  cv::Mat X, Y;
  BackProjectReference(Z, gridX, gridY, 1.0, kIntrinsics, X, Y);
  EXPECT_EQ(X.at<float>(2, 3), 0.f);
  EXPECT_EQ(Y.at<float>(2, 3), 0.f);

  cv::Mat gridX64, gridY64, Z64, X64, Y64;
  gridX.convertTo(gridX64, CV_64F);
  gridY.convertTo(gridY64, CV_64F);
  Z.convertTo(Z64, CV_64F);
  BackProjectReference(Z64, gridX64, gridY64, 0.5, kIntrinsics, X64, Y64);
  ASSERT_EQ(X64.type(), CV_64F);
  EXPECT_DOUBLE_EQ(X64.at<double>(1, 4), (4 - 0.5 * 32) * Z64.at<double>(1, 4) / (0.5 * 500));
  EXPECT_DOUBLE_EQ(Y64.at<double>(1, 4), (1 - 0.5 * 24) * Z64.at<double>(1, 4) / (0.5 * 480));
}

TEST(CameraTest, ProjectionMatrixDividesOutToTheProjectedPixel) {
  cv::Mat rotation;
  cv::Rodrigues(cv::Vec3d(0.1, -0.2, 0.05), rotation);
  const cv::Mat T = (cv::Mat_<double>(3, 1) << 4, -2, 7);
  cv::Mat C = (cv::Mat_<double>(3, 3) << 520, 0, 300, 0, 510, 220, 0, 0, 1);
  cv::Mat P(3, 4, CV_64F);
  for (double s : {0.25, 1.0}) {
    BuildProjectionMatrix(C, rotation, T, s, P);
    EXPECT_EQ(C.at<double>(2, 2), 1 / s);  // the stored calibration is changed in place
    const cv::Mat point = (cv::Mat_<double>(4, 1) << 3, -1, 90, 1);
    const cv::Mat h = P * point;
    double u, v;
    ProjectPoint(PrepareViewCamera(rotation, T, C, 0), 3, -1, 90, s, u, v);
    EXPECT_NEAR(h.at<double>(0) / h.at<double>(2), u, 1e-9);
    EXPECT_NEAR(h.at<double>(1) / h.at<double>(2), v, 1e-9);
  }

  // Single-precision matrices are read and written as such.
  cv::Mat C32, R32, T32, P32(3, 4, CV_32F);
  C.convertTo(C32, CV_32F);
  rotation.convertTo(R32, CV_32F);
  T.convertTo(T32, CV_32F);
  BuildProjectionMatrix(C32, R32, T32, 0.5, P32);
  EXPECT_EQ(C32.at<float>(2, 2), 2.f);
  EXPECT_NEAR(P32.at<float>(2, 3), 2 * 7, 1e-5);
  EXPECT_NEAR(P32.at<float>(0, 3), 520 * 4 + 300 * 7, 1e-2);
}

TEST(CameraTest, ViewCentresUseTheGeneralInverse) {
  const std::vector<cv::Mat> R = {cv::Mat::eye(3, 3, CV_64F), cv::Mat::eye(3, 3, CV_64F),
                                  (cv::Mat_<double>(3, 3) << 2, 0, 0, 0, 1, 0, 1, 0, 4),
                                  cv::Mat::zeros(3, 3, CV_64F)};
  const std::vector<cv::Mat> T = {(cv::Mat_<double>(3, 1) << 9, 9, 9),
                                  (cv::Mat_<double>(3, 1) << 1, -2, 3),
                                  (cv::Mat_<double>(3, 1) << 2, 4, 8),
                                  (cv::Mat_<double>(3, 1) << 5, 5, 5)};
  const std::vector<cv::Mat> origin = ComputeViewCentres(R, T, {0, 0, 0}, 4);
  ASSERT_EQ(origin.size(), 4u);
  EXPECT_EQ(cv::norm(origin[0]), 0);
  EXPECT_EQ(cv::norm(origin[1], -T[1], cv::NORM_INF), 0);

  // Non-orthonormal R: R·centre + T = COP holds, which the transpose would not give.
  const cv::Vec3d cop(1, 0.5, -3);
  const std::vector<cv::Mat> centres = ComputeViewCentres(R, T, cop, 4);
  EXPECT_EQ(cv::norm(centres[0]), 0);  // COP plays no part for the reference view
  EXPECT_LT(cv::norm(R[2] * centres[2] + T[2], cv::Mat(cop), cv::NORM_INF), 1e-12);

  // A singular R has no inverse: its centre falls on the origin, finite.
  EXPECT_EQ(cv::norm(centres[3]), 0);
  EXPECT_TRUE(cv::checkRange(centres[3]));
}

}  // namespace
}  // namespace sceneflow
