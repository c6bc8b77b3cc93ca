#include "driver/run_inputs.h"

#include <gtest/gtest.h>

#include "config/input_error.h"

namespace sceneflow {
namespace {

TEST(DerivedDefaultsTest, ReplaceOnlyExactSentinels) {
  ParameterSet parameters;
  parameters.Alpha = 7;
  parameters.AlphaW = 3;
  parameters.v0 = -2;
  ApplyDerivedDefaults(parameters, {641, 480});
  EXPECT_EQ(parameters.AlphaSF, 7);
  EXPECT_EQ(parameters.AlphaW, 3);
  EXPECT_EQ(parameters.AlphaZ, 7);
  EXPECT_EQ(parameters.u0, 320);  // integer division of an odd width
  EXPECT_EQ(parameters.v0, -2);
}

TEST(ViewFileNameTest, JoinsPrefixViewAndExtension) {
  EXPECT_EQ(ViewFileName("data/left_", 1, "png"), "data/left_1.png");
  EXPECT_EQ(ViewFileName("v", 12, "pgm"), "v12.pgm");
}

TEST(SmoothingTest, GaussianReplicatesTheBorder) {
  // A step between columns 1 and 2: replicated borders keep the outer columns' own values.
  cv::Mat image = (cv::Mat_<float>(3, 4) << 0, 0, 8, 8, 0, 0, 8, 8, 0, 0, 8, 8);
  SmoothGaussian3x3(image);
  EXPECT_FLOAT_EQ(image.at<float>(0, 0), 0.f);
  EXPECT_FLOAT_EQ(image.at<float>(0, 1), 2.f);
  EXPECT_FLOAT_EQ(image.at<float>(2, 2), 6.f);
  EXPECT_FLOAT_EQ(image.at<float>(2, 3), 8.f);
}

TEST(ViewPyramidsTest, OnlyTheReferenceTimeZeroPyramidIsSmoothed) {
  ViewImages images;
  cv::RNG rng(4);
  for (int view = 0; view < 2; ++view) {
    for (auto* instant : {&images.time0, &images.timet}) {
      cv::Mat image(20, 24, CV_8U);
      rng.fill(image, cv::RNG::UNIFORM, 0, 256);
      instant->push_back(image);
    }
  }
  const ViewPyramids pyramids = BuildViewPyramids(images, 3, 0.8);
  for (int level = 0; level < 3; ++level) {
    const ImagePyramid plain = BuildImagePyramid(images.time0[0], 3, 0.8);
    cv::Mat smoothed = plain[level].clone();
    SmoothGaussian3x3(smoothed);
    EXPECT_EQ(cv::norm(pyramids.time0[0][level], smoothed, cv::NORM_INF), 0) << level;
    EXPECT_EQ(cv::norm(pyramids.time0[1][level], BuildImagePyramid(images.time0[1], 3, 0.8)[level],
                       cv::NORM_INF), 0);
    EXPECT_EQ(cv::norm(pyramids.timet[0][level], BuildImagePyramid(images.timet[0], 3, 0.8)[level],
                       cv::NORM_INF), 0);
  }
}

TEST(ConvertImagesTest, FloatImagesHoldTheSameValues) {
  ViewImages images;
  images.time0.push_back(cv::Mat(2, 2, CV_8U, cv::Scalar(200)));
  images.timet.push_back(cv::Mat(2, 2, CV_8U, cv::Scalar(3)));
  ConvertImagesToFloat(images);
  EXPECT_EQ(images.time0[0].type(), CV_32F);
  EXPECT_EQ(images.time0[0].at<float>(1, 1), 200.f);
  EXPECT_EQ(images.timet[0].at<float>(0, 0), 3.f);
}

TEST(CoarsestLevelTest, ChecksTheRoundedUpSize) {
  EXPECT_NO_THROW(CheckCoarsestLevelSize({9, 9}, 0.9, 11));
  EXPECT_THROW(CheckCoarsestLevelSize({8, 9}, 0.9, 11), InputError);
  EXPECT_THROW(CheckCoarsestLevelSize({9, 8}, 0.9, 11), InputError);
  EXPECT_NO_THROW(CheckCoarsestLevelSize({4, 4}, 0.5, 1));
}

TEST(PyramidMemoryTest, RefusesLevelsThatCannotFitInMemory) {
  const double gib = 1024.0 * 1024.0 * 1024.0;
  // Eleven levels of 640×480 at 0.9 for 2 views: about 5.4 MB of 8-bit images.
  EXPECT_NO_THROW(CheckPyramidMemory({640, 480}, 0.9, 11, 2, 1, 6e6));
  EXPECT_THROW(CheckPyramidMemory({640, 480}, 0.9, 11, 2, 1, 5e6), InputError);
  EXPECT_THROW(CheckPyramidMemory({640, 480}, 0.9, 11, 2, 4, 6e6), InputError);  // float images
  // A factor close to 1 keeps every level near full size: refused long before the last level.
  EXPECT_THROW(CheckPyramidMemory({640, 480}, 0.9999999, 2000000000, 2, 1, 16 * gib), InputError);
  EXPECT_GT(PhysicalMemoryBytes(), 0);
}

}  // namespace
}  // namespace sceneflow
