#include "geometry/projection.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include <opencv2/calib3d.hpp>

namespace sceneflow {
namespace {

// Four points (one per row), the camera of most tests, and their expected pixels.
const double kPoints[4][3] = {{1, 2, 50}, {-3, 0.5, 40}, {0, 0, 10}, {2, -2, 0}};

cv::Mat Rotation() {
  cv::Mat R;
  cv::Rodrigues(cv::Vec3d(0.05, 0.1, -0.02), R);
  return R;
}
cv::Mat Translation() { return (cv::Mat_<double>(3, 1) << 0.5, -1, 2); }
cv::Mat Intrinsics() { return (cv::Mat_<double>(3, 3) << 400, 0, 160, 0, 380, 120, 0, 0, 1); }

cv::Vec2d Expected(int i, double s) {
  cv::Vec2d pixel;
  ProjectPoint(PrepareViewCamera(Rotation(), Translation(), Intrinsics(), 0), kPoints[i][0],
               kPoints[i][1], kPoints[i][2], s, pixel[0], pixel[1]);
  return pixel;
}

cv::Mat PointsNx3() { return cv::Mat(4, 3, CV_64F, const_cast<double*>(&kPoints[0][0])).clone(); }

// u and v of point i as laid out by `read`.
void ExpectPixels(const std::function<cv::Vec2d(int)>& read, double s, const std::string& form) {
  for (int i = 0; i < 4; ++i) {
    const cv::Vec2d expected = Expected(i, s);
    EXPECT_NEAR(read(i)[0], expected[0], 1e-3) << form << " point " << i;
    EXPECT_NEAR(read(i)[1], expected[1], 1e-3) << form << " point " << i;
  }
}

void Project(const cv::Mat& points, cv::Mat& out, double s = 1.0) {
  ProjectPointsScaled(points, Rotation(), Translation(), Intrinsics(), out, s, 0);
}

TEST(ProjectionTest, FormulaWithLevelFactorAndZeroDepth) {
  const cv::Mat R = cv::Mat::eye(3, 3, CV_64F);
  const cv::Mat T = cv::Mat::zeros(3, 1, CV_64F);
  const cv::Mat C = (cv::Mat_<double>(3, 3) << 200, 0, 50, 0, 100, 30, 0, 0, 1);
  // (0.5, 0.6, 2) projects to (100, 60) at full size, (50, 30) at s = 0.5.
  cv::Mat point = (cv::Mat_<double>(1, 3) << 0.5, 0.6, 2);
  cv::Mat pixel(1, 1, CV_64FC2);
  ProjectPointsScaled(point.reshape(3), R, T, C, pixel, 1.0, 0);
  EXPECT_DOUBLE_EQ(pixel.at<cv::Vec2d>(0)[0], 100);
  EXPECT_DOUBLE_EQ(pixel.at<cv::Vec2d>(0)[1], 60);
  ProjectPointsScaled(point.reshape(3), R, T, C, pixel, 0.5, 0);
  EXPECT_DOUBLE_EQ(pixel.at<cv::Vec2d>(0)[0], 50);
  EXPECT_DOUBLE_EQ(pixel.at<cv::Vec2d>(0)[1], 30);

  // Camera depth 0: no division, u = s·(fx·p.x + cx).
  point = (cv::Mat_<double>(1, 3) << 2, 3, 0);
  ProjectPointsScaled(point.reshape(3), R, T, C, pixel, 0.5, 0);
  EXPECT_DOUBLE_EQ(pixel.at<cv::Vec2d>(0)[0], 0.5 * (200 * 2 + 50));
  EXPECT_DOUBLE_EQ(pixel.at<cv::Vec2d>(0)[1], 0.5 * (100 * 3 + 30));

  // A point behind the camera takes the same formula.
  point = (cv::Mat_<double>(1, 3) << 1, 1, -4);
  ProjectPointsScaled(point.reshape(3), R, T, C, pixel, 1.0, 0);
  EXPECT_DOUBLE_EQ(pixel.at<cv::Vec2d>(0)[0], 200 * (1 / -4.0) + 50);
}

TEST(ProjectionTest, RotationMatrixUnchangedSkewAndLastRowUnused) {
  const cv::Mat T = cv::Mat::zeros(3, 1, CV_64F);
  const cv::Mat point = cv::Mat(cv::Matx13d(1, 1, 10)).reshape(3);  // one point, three channels
  cv::Mat pixel(1, 2, CV_64F);
  // Not orthonormal: used as given, so p = (2, 1, 10).
  const cv::Mat stretch = (cv::Mat_<double>(3, 3) << 2, 0, 0, 0, 1, 0, 0, 0, 1);
  ProjectPointsScaled(point, stretch, T, Intrinsics(), pixel, 1.0, 0);
  EXPECT_DOUBLE_EQ(pixel.at<double>(0), 400 * 0.2 + 160);

  cv::Mat plain(1, 2, CV_64F), odd(1, 2, CV_64F);
  ProjectPointsScaled(point, Rotation(), T, Intrinsics(), plain, 0.5, 0);
  const cv::Mat skewed = (cv::Mat_<double>(3, 3) << 400, 7, 160, 0, 380, 120, 3, -4, 0.125);
  ProjectPointsScaled(point, Rotation(), T, skewed, odd, 0.5, 0);
  EXPECT_EQ(cv::norm(plain, odd, cv::NORM_INF), 0);

  // A rotation vector (single precision, row) gives the rotation matrix of Rodrigues' formula.
  cv::Mat vector = (cv::Mat_<float>(1, 3) << 0.05f, 0.1f, -0.02f), matrix, from_vector(1, 2, CV_64F);
  cv::Rodrigues(cv::Mat_<double>(vector), matrix);
  ProjectPointsScaled(point, vector, T, Intrinsics(), from_vector, 0.5, 0);
  ProjectPointsScaled(point, matrix, T, Intrinsics(), plain, 0.5, 0);
  EXPECT_LT(cv::norm(plain, from_vector, cv::NORM_INF), 1e-9);

  // aspectRatio above the single-precision epsilon replaces fx by fy·aspectRatio.
  ProjectPointsScaled(point, stretch, T, Intrinsics(), pixel, 1.0, 2.0);
  EXPECT_DOUBLE_EQ(pixel.at<double>(0), 380 * 2 * 0.2 + 160);
  ProjectPointsScaled(point, stretch, T, Intrinsics(), pixel, 1.0, 1e-8);
  EXPECT_DOUBLE_EQ(pixel.at<double>(0), 400 * 0.2 + 160);
}

TEST(ProjectionTest, AcceptsEveryPointAndPixelLayout) {
  const cv::Mat rows = PointsNx3();
  cv::Mat out(1, 4, CV_64FC2);
  auto pairs = [&](int i) { return out.at<cv::Vec2d>(i); };

  Project(rows, out);
  ExpectPixels(pairs, 1.0, "N x 3 double");
  Project(rows.reshape(3, 1), out, 0.5);
  ExpectPixels(pairs, 0.5, "1 x N three-channel double");
  cv::Mat floats;
  rows.convertTo(floats, CV_32F);
  Project(floats.reshape(3, 4), out);
  ExpectPixels(pairs, 1.0, "N x 1 three-channel float");
  Project(cv::Mat(floats.t()), out);
  ExpectPixels(pairs, 1.0, "3 x N float, one point per column");

  // Homogeneous points are divided by their last coordinate; 2D points get z = 1.
  cv::Mat homogeneous(4, 4, CV_64F);
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 3; ++j) homogeneous.at<double>(j, i) = 2 * kPoints[i][j];
    homogeneous.at<double>(3, i) = 2;
  }
  Project(homogeneous, out);
  ExpectPixels(pairs, 1.0, "4 x N homogeneous");
  const cv::Mat flat = (cv::Mat_<double>(2, 4) << 1, 2, 3, 4, 5, 6, 7, 8);
  Project(flat, out);
  double u, v;
  ProjectPoint(PrepareViewCamera(Rotation(), Translation(), Intrinsics(), 0), 3, 7, 1, 1.0, u, v);
  EXPECT_NEAR(out.at<cv::Vec2d>(2)[0], u, 1e-9);
  EXPECT_NEAR(out.at<cv::Vec2d>(2)[1], v, 1e-9);

  // Outputs: N x 2 float, 2 x N float (row 0 u, row 1 v), N x 1 two-channel, 3 x N with z = 1.
  cv::Mat nx2(4, 2, CV_32F);
  Project(rows, nx2);
  ExpectPixels([&](int i) { return cv::Vec2d(nx2.at<float>(i, 0), nx2.at<float>(i, 1)); }, 1.0,
               "N x 2 float output");
  cv::Mat two_rows(2, 4, CV_32F);
  Project(rows, two_rows);
  ExpectPixels([&](int i) { return cv::Vec2d(two_rows.at<float>(0, i), two_rows.at<float>(1, i)); },
               1.0, "2 x N float output");
  cv::Mat column(4, 1, CV_64FC2);
  Project(rows, column);
  ExpectPixels([&](int i) { return column.at<cv::Vec2d>(i, 0); }, 1.0, "N x 1 two-channel");
  cv::Mat three_rows(3, 4, CV_64F, cv::Scalar(0));
  Project(rows, three_rows);
  ExpectPixels([&](int i) { return cv::Vec2d(three_rows.at<double>(0, i), three_rows.at<double>(1, i)); },
               1.0, "3 x N output");
  EXPECT_EQ(three_rows.at<double>(2, 3), 1.0);
}

TEST(ProjectionTest, ThreeByThreePointsAreRowsInDoubleAndColumnsInFloat) {
  const cv::Mat points = (cv::Mat_<double>(3, 3) << 1, 2, 30, 4, 5, 60, 7, 8, 90);
  cv::Mat by_rows(1, 3, CV_64FC2), by_columns(1, 3, CV_64FC2), floats;
  Project(points, by_rows);
  points.convertTo(floats, CV_32F);
  Project(floats, by_columns);
  double u, v;
  const ViewCamera camera = PrepareViewCamera(Rotation(), Translation(), Intrinsics(), 0);
  ProjectPoint(camera, 4, 5, 60, 1.0, u, v);
  EXPECT_NEAR(by_rows.at<cv::Vec2d>(1)[0], u, 1e-9);
  ProjectPoint(camera, 2, 5, 8, 1.0, u, v);
  EXPECT_NEAR(by_columns.at<cv::Vec2d>(1)[0], u, 1e-4);
}

// Runs a projection that must fail and checks the reported status, message and function, and
// that the output still holds its sentinel values.
void ExpectError(const cv::Mat& points, const cv::Mat& R, const cv::Mat& T, const cv::Mat& C,
                 int status, const std::string& message, cv::Mat out = cv::Mat(1, 4, CV_64FC2),
                 const std::string& function = "cvProjectPoints2") {
  if (!out.empty()) out.setTo(-7);
  const cv::Mat before = out.clone();
  try {
    ProjectPointsScaled(points, R, T, C, out, 1.0, 0);
    ADD_FAILURE() << "no error for: " << message;
  } catch (const cv::Exception& error) {
    EXPECT_EQ(error.code, status) << message;
    EXPECT_EQ(error.err, message);
    EXPECT_EQ(error.func, function);
  }
  if (!out.empty()) {
    EXPECT_EQ(cv::norm(out, before, cv::NORM_INF), 0) << "output written for: " << message;
  }
}

TEST(ProjectionTest, ReportsEveryMisuseInCheckOrderWithoutWriting) {
  const cv::Mat P = PointsNx3(), R = Rotation(), T = Translation(), C = Intrinsics();
  const std::string invalid = "One of required arguments is not a valid matrix";
  const std::string inner = "Inner function failed.";
  const std::string rotation =
      "Rotation must be represented by 1x3 or 3x1 floating-point rotation vector, or 3x3 rotation matrix";
  const std::string translation = "Translation vector must be 1x3 or 3x1 floating-point vector";
  const std::string intrinsics = "Instrinsic parameters must be 3x3 floating-point matrix";
  const cv::Mat bytes(3, 3, CV_8U, cv::Scalar(1));

  // A missing matrix is reported before anything else is looked at.
  ExpectError(P, cv::Mat(2, 2, CV_64F), cv::Mat(), C, cv::Error::StsBadArg, invalid);
  ExpectError(cv::Mat(), R, T, C, cv::Error::StsBadArg, invalid);
  ExpectError(P, R, T, C, cv::Error::StsBadArg, invalid, cv::Mat());

  // Points that cannot be read, before the rotation is checked.
  cv::Mat byte_points;
  P.convertTo(byte_points, CV_8U);
  ExpectError(byte_points, cv::Mat(2, 2, CV_64F), T, C, cv::Error::StsBackTrace, inner);
  ExpectError(cv::Mat(1, 3, CV_64F, cv::Scalar(1)), R, T, C, cv::Error::StsBackTrace, inner);
  ExpectError(cv::Mat(5, 4, CV_64FC2, cv::Scalar(1)), R, T, C, cv::Error::StsBackTrace, inner);

  ExpectError(P, cv::Mat(2, 2, CV_64F, cv::Scalar(0)), T, C, cv::Error::StsBadArg, rotation);
  ExpectError(P, bytes, T, C, cv::Error::StsBadArg, rotation);
  ExpectError(P, cv::Mat(3, 3, CV_32FC2, cv::Scalar(0)), T, C, cv::Error::StsBadArg, rotation);
  ExpectError(P, cv::Mat(1, 4, CV_64F, cv::Scalar(0)), T, C, cv::Error::StsBadArg, rotation);

  ExpectError(P, R, cv::Mat(2, 2, CV_64F, cv::Scalar(0)), C, cv::Error::StsBadArg, translation);
  ExpectError(P, R, cv::Mat(1, 4, CV_64F, cv::Scalar(0)), C, cv::Error::StsBadArg, translation);
  ExpectError(P, R, cv::Mat(3, 1, CV_32S, cv::Scalar(0)), bytes, cv::Error::StsBadArg, translation);

  ExpectError(P, R, T, bytes, cv::Error::StsBadArg, intrinsics);
  ExpectError(P, R, T, cv::Mat(3, 4, CV_64F, cv::Scalar(1)), cv::Error::StsBadArg, intrinsics);
  ExpectError(P, R, T, cv::Mat(3, 3, CV_64FC2, cv::Scalar(1)), cv::Error::StsBadArg, intrinsics);

  // An output one point short is not written past its end: the conversion refuses it.
  ExpectError(P, R, T, C, cv::Error::StsUnmatchedSizes,
              "Both matrices must have the same number of points", cv::Mat(1, 3, CV_64FC2),
              "cvConvertPointsHomogeneous");
  ExpectError(P, R, T, C, cv::Error::StsUnsupportedFormat,
              "Both matrices must be floating-point (single or double precision)",
              cv::Mat(2, 4, CV_16S), "cvConvertPointsHomogeneous");
}

TEST(ProjectionTest, FieldProjectionMatchesTheRowByRowProjection) {
  cv::Mat PX(3, 6, CV_32F), PY(3, 6, CV_32F), PZ(3, 6, CV_32F);
  cv::randu(PX, -5, 5);
  cv::randu(PY, -5, 5);
  cv::randu(PZ, 20, 60);
  cv::Mat mapX, mapY;
  ProjectFieldsIntoView(PX, PY, PZ, Rotation(), Translation(), Intrinsics(), 0.7, mapX, mapY);
  cv::Mat points(3, 6, CV_32F), pixels(2, 6, CV_32F);
  for (int r = 0; r < 3; ++r) {
    CopyMatrixRow(PX, r, points, 0);
    CopyMatrixRow(PY, r, points, 1);
    CopyMatrixRow(PZ, r, points, 2);
    ProjectPointsScaled(points, Rotation(), Translation(), Intrinsics(), pixels, 0.7, 0);
    EXPECT_EQ(cv::norm(pixels.row(0), mapX.row(r), cv::NORM_INF), 0) << r;
    EXPECT_EQ(cv::norm(pixels.row(1), mapY.row(r), cv::NORM_INF), 0) << r;
  }
  EXPECT_THROW(ProjectFieldsIntoView(PX, PY, PZ, cv::Mat(2, 2, CV_64F, cv::Scalar(0)),
                                     Translation(), Intrinsics(), 1.0, mapX, mapY),
               cv::Exception);
}

TEST(ProjectionTest, CopyMatrixRowCopiesKnownElementTypesOnly) {
  for (int type : {CV_8U, CV_32F, CV_64F}) {
    cv::Mat src(2, 3, type), dst(3, 5, type, cv::Scalar(9));
    cv::randu(src, 0, 100);
    CopyMatrixRow(src, 1, dst, 2);
    EXPECT_EQ(cv::norm(dst(cv::Rect(0, 2, 3, 1)), src.row(1), cv::NORM_INF), 0) << type;
    EXPECT_EQ(cv::countNonZero(dst(cv::Rect(3, 2, 2, 1)) != 9), 0) << type;
    EXPECT_EQ(cv::countNonZero(dst.rowRange(0, 2) != 9), 0) << type;
  }
  cv::Mat shorts(1, 3, CV_16S, cv::Scalar(5)), target(1, 3, CV_16S, cv::Scalar(1));
  CopyMatrixRow(shorts, 0, target, 0);
  EXPECT_EQ(cv::countNonZero(target != 1), 0);
}

}  // namespace
}  // namespace sceneflow
