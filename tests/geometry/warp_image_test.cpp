#include "geometry/warp_image.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "config/input_error.h"
#include "geometry/camera.h"
#include "tests/support/temp_dir.h"

namespace sceneflow {
namespace {

// I(y, x) = a·x + b·y + c in the given element type.
cv::Mat Ramp(cv::Size size, double a, double b, double c, int type) {
  cv::Mat ramp(size, CV_64F);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) ramp.at<double>(y, x) = a * x + b * y + c;
  }
  ramp.convertTo(ramp, type);
  return ramp;
}

struct Warp {
  cv::Mat warped, dx, dy, scratch;
};

Warp WarpWith(const cv::Mat& image, const cv::Mat& mapX, const cv::Mat& mapY,
              const std::optional<std::string>& prefix = std::nullopt, int view = 1,
              const std::optional<std::string>& image_type = "png") {
  Warp w;
  WarpViewImage(image, mapX, mapY, prefix, view, image_type, w.warped, w.dx, w.dy, w.scratch);
  return w;
}

TEST(WarpViewImageTest, ShiftedSamplingIsBilinearAndOutsideIsZero) {
  // Sampling a linear ramp half a pixel to the right is exact in the interior; the 3×3 Gaussian
  // keeps a ramp unchanged away from the border.
  const cv::Mat image = Ramp({16, 12}, 2, 3, 5, CV_32F);
  cv::Mat gridX, gridY;
  MakePixelGrids(image.size(), gridX, gridY);
  Warp w = WarpWith(image, gridX + 0.5, gridY);
  ASSERT_EQ(w.warped.type(), CV_32F);
  EXPECT_NEAR(w.warped.at<float>(5, 6), 2 * 6.5 + 3 * 5 + 5, 1e-4);

  // The left half of the grid samples far outside the view: zero there, away from the seam.
  cv::Mat mapX = gridX.clone();
  mapX.colRange(0, 8).setTo(-20);
  w = WarpWith(image, mapX, gridY);
  EXPECT_EQ(cv::countNonZero(w.warped.colRange(0, 7)), 0);
  EXPECT_NEAR(w.warped.at<float>(5, 10), 2 * 10 + 3 * 5 + 5, 1e-4);
  // Half a pixel past the last column blends the edge sample with 0.
  mapX = gridX.clone();
  mapX.setTo(15.5);
  w = WarpWith(image, mapX, gridY);
  EXPECT_NEAR(w.warped.at<float>(5, 3), 0.5 * (2 * 15 + 3 * 5 + 5), 1e-3);
}

TEST(WarpViewImageTest, ScharrDerivativesAreScaledByOneThirtySecond) {
  for (int type : {CV_8U, CV_32F}) {
    // Slope 45 per column: the 8-bit Scharr response (16·90 = 1440) needs the 16-bit scratch.
    const cv::Mat image = Ramp({5, 9}, 45, 5, 0, type);
    cv::Mat gridX, gridY;
    MakePixelGrids(image.size(), gridX, gridY);
    const Warp w = WarpWith(image, gridX, gridY);
    ASSERT_EQ(w.warped.type(), type);
    ASSERT_EQ(w.dx.type(), CV_32F);
    ASSERT_EQ(w.dy.type(), CV_32F);
    EXPECT_FLOAT_EQ(w.dx.at<float>(4, 2), 45) << type;
    EXPECT_FLOAT_EQ(w.dy.at<float>(4, 2), 5) << type;
    // The replicated border halves the difference on the outermost column.
    cv::Mat warped;
    w.warped.convertTo(warped, CV_64F);
    EXPECT_NEAR(w.dx.at<float>(4, 0), 0.5 * (warped.at<double>(4, 1) - warped.at<double>(4, 0)),
                1e-4)
        << type;
  }
}

TEST(WarpViewImageTest, SavesUnderPrefixViewAndTypeWithSaturation) {
  testing::TempDir dir;
  cv::Mat image(6, 8, CV_32F, cv::Scalar(300));
  image.colRange(0, 4).setTo(12.4);
  cv::Mat gridX, gridY;
  MakePixelGrids(image.size(), gridX, gridY);
  std::optional<std::string> image_type = "png";
  WarpWith(image, gridX, gridY, dir / "warped_", 2, image_type);
  const cv::Mat saved = cv::imread(dir / "warped_2.png", cv::IMREAD_UNCHANGED);
  ASSERT_FALSE(saved.empty());
  ASSERT_EQ(saved.type(), CV_8U);
  EXPECT_EQ(saved.at<uchar>(3, 7), 255);
  EXPECT_EQ(saved.at<uchar>(3, 0), 12);

  image_type = "pgm";
  WarpWith(image, gridX, gridY, dir / "other_", 0, image_type);
  EXPECT_TRUE(std::filesystem::exists(dir / "other_0.pgm"));
  EXPECT_FALSE(std::filesystem::exists(dir / "other_0.png"));

  // Without a prefix nothing is written; an unwritable name ends the run with a clear line.
  WarpWith(image, gridX, gridY, std::nullopt, 3, image_type);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            2);
  try {
    WarpWith(image, gridX, gridY, dir / "missing/warped_", 1, image_type);
    ADD_FAILURE() << "no error";
  } catch (const InputError& error) {
    EXPECT_EQ(std::string(error.what()), "Error: could not write image " + dir / "missing/warped_1.pgm");
  }
}

TEST(SaveMatrixImageTest, ConvertsWithRoundingAndSaturation) {
  testing::TempDir dir;
  const cv::Mat values = (cv::Mat_<float>(1, 5) << -3, 0.5, 1.5, 254.6, 1e6);
  SaveMatrixImage(dir / "f.png", values);
  const cv::Mat saved = cv::imread(dir / "f.png", cv::IMREAD_UNCHANGED);
  ASSERT_EQ(saved.type(), CV_8U);
  const cv::Mat expected = (cv::Mat_<uchar>(1, 5) << 0, 0, 2, 255, 255);  // halves to even
  EXPECT_EQ(cv::norm(saved, expected, cv::NORM_INF), 0);

  const cv::Mat colour(2, 3, CV_8UC3, cv::Scalar(10, 20, 30));
  SaveMatrixImage(dir / "c.png", colour);
  EXPECT_EQ(cv::norm(cv::imread(dir / "c.png", cv::IMREAD_UNCHANGED), colour, cv::NORM_INF), 0);
}

}  // namespace
}  // namespace sceneflow
