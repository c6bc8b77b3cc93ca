#include "io/pyramid.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace sceneflow {
namespace {

std::vector<cv::Size> Sizes(const ImagePyramid& pyramid) {
  std::vector<cv::Size> sizes;
  for (const cv::Mat& level : pyramid) sizes.push_back(level.size());
  return sizes;
}

TEST(PyramidTest, SizesRoundUpTheAccumulatedFactor) {
  const cv::Mat image(480, 640, CV_8U, cv::Scalar(9));
  const std::vector<cv::Size> expected = {{640, 480}, {576, 432}, {519, 389}, {467, 350},
                                          {420, 315}, {378, 284}, {341, 256}, {307, 230},
                                          {276, 207}, {248, 186}, {224, 168}};
  EXPECT_EQ(Sizes(BuildImagePyramid(image, 11, 0.9)), expected);
  const std::vector<cv::Size> halves = {{641, 481}, {321, 241}, {161, 121}};
  EXPECT_EQ(Sizes(BuildImagePyramid(cv::Mat(481, 641, CV_8U), 3, 0.5)), halves);
  EXPECT_EQ(PyramidLevelSize({640, 480}, 0.9, 11), cv::Size(224, 168));
}

TEST(PyramidTest, FactorOfTheLargestLevelNumber) {
  // The last level number an int can hold must not overflow the count of factors.
  const int last = std::numeric_limits<int>::max();
  EXPECT_EQ(AccumulatedFactor(0.5, last), 0.0);
  EXPECT_EQ(PyramidLevelSize({640, 480}, 0.5, last), cv::Size(0, 0));
  // With 0.9 the product sticks at a subnormal number that multiplying by 0.9 rounds back to.
  EXPECT_GT(AccumulatedFactor(0.9, last), 0.0);
  EXPECT_LT(AccumulatedFactor(0.9, last), 1e-320);
  EXPECT_EQ(PyramidLevelSize({640, 480}, 0.9, last), cv::Size(1, 1));
  EXPECT_EQ(AccumulatedFactor(0.5, 3), 0.25);
  EXPECT_EQ(AccumulatedFactor(0.5, 1), 1.0);
}

TEST(PyramidTest, OneLevelIsAFullSizeCopy) {
  cv::Mat image(5, 6, CV_8U, cv::Scalar(3));
  for (int levels : {1, 0}) {
    const ImagePyramid pyramid = BuildImagePyramid(image, levels, 0.9);
    ASSERT_EQ(pyramid.size(), 1u);
    EXPECT_EQ(cv::norm(pyramid[0], image, cv::NORM_INF), 0);
    EXPECT_NE(pyramid[0].data, image.data);
  }
}

TEST(PyramidTest, KeepsElementTypeAndAveragesLevelFromLevel) {
  // Columns alternate 0 and 1: halving averages each pair to 0.5, which 8-bit levels round.
  cv::Mat stripes(8, 8, CV_32F);
  for (int c = 0; c < 8; ++c) stripes.col(c).setTo(c % 2);
  const ImagePyramid floats = BuildImagePyramid(stripes, 3, 0.5);
  EXPECT_EQ(floats[1].type(), CV_32F);
  EXPECT_FLOAT_EQ(floats[1].at<float>(2, 2), 0.5f);
  EXPECT_FLOAT_EQ(floats[2].at<float>(1, 1), 0.5f);

  cv::Mat bytes;
  stripes.convertTo(bytes, CV_8U, 101);  // 0 and 101: the mean 50.5 rounds to an integer
  const ImagePyramid grey = BuildImagePyramid(bytes, 2, 0.5);
  EXPECT_EQ(grey[1].type(), CV_8U);
  const int value = grey[1].at<uchar>(1, 1);
  EXPECT_TRUE(value == 50 || value == 51) << value;
}

}  // namespace
}  // namespace sceneflow
