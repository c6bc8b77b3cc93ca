#include "io/false_colour.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tests/support/temp_dir.h"

namespace sceneflow {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

const cv::Vec3b kBlack(0, 0, 0);

// BGR colours of the hues at the corners of OpenCV's 8-bit hue scale. The library's vectorised and
// scalar conversions may differ by one level in a channel, so colours are compared within 1.
const cv::Vec3b kRed(0, 0, 255);        // hue 0
const cv::Vec3b kYellow(0, 255, 255);   // hue 30
const cv::Vec3b kGreen(0, 255, 0);      // hue 60
const cv::Vec3b kCyan(255, 255, 0);     // hue 90
const cv::Vec3b kBlue(255, 0, 0);       // hue 120
const cv::Vec3b kMagenta(255, 0, 255);  // hue 150

::testing::AssertionResult Near(const cv::Vec3b& actual, const cv::Vec3b& expected) {
  for (int c = 0; c < 3; ++c) {
    if (std::abs(actual[c] - expected[c]) > 1)
      return ::testing::AssertionFailure() << actual << " is not " << expected;
  }
  return ::testing::AssertionSuccess();
}

// BGR of a fully saturated, full-value hue.
cv::Vec3b HueColour(int hue) {
  cv::Mat hsv(1, 1, CV_8UC3, cv::Scalar(hue, 255, 255));
  cv::Mat bgr;
  cv::cvtColor(hsv, bgr, cv::COLOR_HSV2BGR);
  return bgr.at<cv::Vec3b>(0, 0);
}

// A field whose value grows by 1 per column, from 0; with the automatic range its hue is
// column·150/(w − 1).
cv::Mat ColumnRamp(int cols, int rows) {
  cv::Mat field(rows, cols, CV_32F);
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < cols; ++x) field.at<float>(y, x) = static_cast<float>(x);
  return field;
}

// Mask (255) of the pixels the given black labels cover when written at their rows, column 11.
cv::Mat LabelMask(cv::Size size, const std::vector<std::pair<std::string, int>>& labels) {
  cv::Mat canvas(size, CV_8U, cv::Scalar(255));
  for (const auto& [text, row] : labels)
    cv::putText(canvas, text, cv::Point(11, row), cv::FONT_HERSHEY_SIMPLEX, 0.3, cv::Scalar(0), 1,
                cv::LINE_8);
  return canvas == 0;
}

cv::Mat BlackMask(const cv::Mat& bgr) {
  cv::Mat mask;
  cv::inRange(bgr, cv::Scalar(0, 0, 0), cv::Scalar(0, 0, 0), mask);
  return mask;
}

TEST(FalseColourHuePlaneTest, MapsTheRangeOntoHues0To150WithRoundingAndSaturation) {
  const cv::Mat field = (cv::Mat_<float>(1, 7) << -5, 0, 1, 3, 5, 10, 20);
  const cv::Mat hue = FalseColourHuePlane(field, 0, 10);
  ASSERT_EQ(hue.type(), CV_8U);
  // Below lo clips to 0, above hi saturates at 255 (20 → 300).
  EXPECT_EQ(cv::countNonZero(hue != (cv::Mat_<uchar>(1, 7) << 0, 0, 15, 45, 75, 150, 255)), 0);

  // Halves round to the nearest even integer: 0.5 → 0, 1.5 → 2, 2.5 → 2, 3.5 → 4.
  const cv::Mat halves = (cv::Mat_<double>(1, 4) << 1, 3, 5, 7);
  EXPECT_EQ(cv::countNonZero(FalseColourHuePlane(halves, 0, 300) !=
                             (cv::Mat_<uchar>(1, 4) << 0, 2, 2, 4)),
            0);

  // An empty or reversed range gives hue 0 everywhere.
  EXPECT_EQ(cv::countNonZero(FalseColourHuePlane(field, 4, 4)), 0);
  EXPECT_EQ(cv::countNonZero(FalseColourHuePlane(field, 10, 0)), 0);
}

TEST(FalseColourHuePlaneTest, AcceptsEightBitAndBothFloatTypes) {
  const cv::Mat bytes = (cv::Mat_<uchar>(1, 3) << 0, 51, 255);
  EXPECT_EQ(
      cv::countNonZero(FalseColourHuePlane(bytes, 0, 255) != (cv::Mat_<uchar>(1, 3) << 0, 30, 150)),
      0);
  cv::Mat floats, doubles;
  bytes.convertTo(floats, CV_32F);
  bytes.convertTo(doubles, CV_64F);
  EXPECT_EQ(
      cv::countNonZero(FalseColourHuePlane(floats, 0, 255) != FalseColourHuePlane(bytes, 0, 255)),
      0);
  EXPECT_EQ(
      cv::countNonZero(FalseColourHuePlane(doubles, 0, 255) != FalseColourHuePlane(bytes, 0, 255)),
      0);
  EXPECT_THROW(FalseColourHuePlane(cv::Mat(2, 2, CV_16S, cv::Scalar(1)), 0, 1), cv::Exception);
  EXPECT_THROW(FalseColourHuePlane(cv::Mat(2, 2, CV_32FC2, cv::Scalar(1)), 0, 1), cv::Exception);
}

TEST(RenderFalseColourImageTest, AutomaticRangeSpansRedToMagenta) {
  // 151 columns, 20 rows: too low for a legend, so every pixel is the hue map.
  const cv::Mat picture = RenderFalseColourImage(ColumnRamp(151, 20));
  ASSERT_EQ(picture.type(), CV_8UC3);
  ASSERT_EQ(picture.size(), cv::Size(151, 20));
  EXPECT_TRUE(Near(picture.at<cv::Vec3b>(5, 0), kRed));
  EXPECT_TRUE(Near(picture.at<cv::Vec3b>(5, 30), kYellow));
  EXPECT_TRUE(Near(picture.at<cv::Vec3b>(5, 60), kGreen));
  EXPECT_TRUE(Near(picture.at<cv::Vec3b>(5, 90), kCyan));
  EXPECT_TRUE(Near(picture.at<cv::Vec3b>(5, 120), kBlue));
  EXPECT_TRUE(Near(picture.at<cv::Vec3b>(19, 150), kMagenta));
}

TEST(RenderFalseColourImageTest, ConstantFieldIsRedWithFullLegendAndEqualLabels) {
  const cv::Mat field(160, 80, CV_64F, cv::Scalar(2.5));
  const cv::Mat picture = RenderFalseColourImage(field);
  // Bar: row r shows hue r, the whole scale from red at the top to magenta at row 150.
  EXPECT_TRUE(Near(picture.at<cv::Vec3b>(0, 0), kRed));
  EXPECT_TRUE(Near(picture.at<cv::Vec3b>(30, 5), kYellow));
  EXPECT_TRUE(Near(picture.at<cv::Vec3b>(60, 10), kGreen));
  EXPECT_TRUE(Near(picture.at<cv::Vec3b>(90, 0), kCyan));
  EXPECT_TRUE(Near(picture.at<cv::Vec3b>(120, 10), kBlue));
  EXPECT_TRUE(Near(picture.at<cv::Vec3b>(150, 3), kMagenta));
  // Below the bar and right of the labels the picture is red.
  EXPECT_TRUE(Near(picture.at<cv::Vec3b>(151, 0), kRed));
  EXPECT_TRUE(Near(picture.at<cv::Vec3b>(159, 79), kRed));
  EXPECT_TRUE(Near(picture.at<cv::Vec3b>(30, 11), kRed));
  // All three labels read the constant.
  const cv::Mat expected = LabelMask(field.size(), {{"2.5", 10}, {"2.5", 80}, {"2.5", 150}});
  EXPECT_EQ(cv::countNonZero(BlackMask(picture) != expected), 0);
  EXPECT_GT(cv::countNonZero(expected), 10);
}

// Legend bar colours and label positions for the heights where the row step changes.
struct LegendCase {
  int height;
  int row_step;
  int middle_row;
  int bottom_row;
};

class LegendLayoutTest : public ::testing::TestWithParam<LegendCase> {};

TEST_P(LegendLayoutTest, BarRowsAndLabelsSitWhereTheRowStepPutsThem) {
  const LegendCase layout = GetParam();
  // Values from −2 to 4 across 61 columns: labels −2, 1 and 4.
  cv::Mat field = ColumnRamp(61, layout.height) * 0.1 - 2.0;
  const cv::Mat picture = RenderFalseColourImage(field);

  // Row r of the bar holds the last legend step i with i / s = r.
  const int last_row = std::min(150 / layout.row_step, layout.height - 1);
  for (int row = 0; row <= last_row; ++row) {
    const int hue = std::min(row * layout.row_step + layout.row_step - 1, 150);
    for (int x : {0, 10}) {
      ASSERT_TRUE(Near(picture.at<cv::Vec3b>(row, x), HueColour(hue)))
          << "row " << row << " x " << x;
    }
  }
  if (150 / layout.row_step < layout.height) {
    EXPECT_TRUE(Near(picture.at<cv::Vec3b>(150 / layout.row_step, 0), kMagenta));
  }
  if (150 / layout.row_step + 1 < layout.height) {
    EXPECT_TRUE(
        Near(picture.at<cv::Vec3b>(150 / layout.row_step + 1, 0), kRed));  // the field below
  }

  const cv::Mat expected =
      LabelMask(field.size(), {{"-2", 10}, {"1", layout.middle_row}, {"4", layout.bottom_row}});
  EXPECT_EQ(cv::countNonZero(BlackMask(picture) != expected), 0);
  // Each label leaves ink in the rows just above its baseline.
  for (int baseline : {10, layout.middle_row, layout.bottom_row}) {
    const cv::Rect band = cv::Rect(11, baseline - 7, 15, 8) & cv::Rect(cv::Point(), field.size());
    EXPECT_GT(cv::countNonZero(BlackMask(picture)(band)), 0) << "label at row " << baseline;
  }
}

INSTANTIATE_TEST_SUITE_P(Heights, LegendLayoutTest,
                         ::testing::Values(LegendCase{480, 1, 80, 150}, LegendCase{150, 1, 80, 150},
                                           LegendCase{149, 2, 42, 75}, LegendCase{100, 2, 42, 75},
                                           LegendCase{40, 4, 23, 37}, LegendCase{32, 5, 20, 30}),
                         [](const ::testing::TestParamInfo<LegendCase>& info) {
                           return "height_" + std::to_string(info.param.height);
                         });

TEST(RenderFalseColourImageTest, NarrowOrLowFieldsGetNoLegend) {
  for (const cv::Size size : {cv::Size(49, 200), cv::Size(200, 31)}) {
    const cv::Mat field = ColumnRamp(size.width, size.height);
    const cv::Mat picture = RenderFalseColourImage(field);
    EXPECT_EQ(cv::countNonZero(BlackMask(picture)), 0) << size;
    EXPECT_EQ(picture.at<cv::Vec3b>(0, 0), kRed) << size;
    EXPECT_EQ(picture.at<cv::Vec3b>(30, 0), kRed) << size;
    EXPECT_TRUE(
        Near(picture.at<cv::Vec3b>(10, 30), HueColour(cvRound(30 * 150.0 / (size.width - 1)))));
  }
  // The smallest picture with a legend.
  const cv::Mat smallest = RenderFalseColourImage(ColumnRamp(50, 32));
  EXPECT_GT(cv::countNonZero(BlackMask(smallest)), 0);
  EXPECT_TRUE(Near(smallest.at<cv::Vec3b>(30, 0), kMagenta));
}

TEST(RenderFalseColourImageTest, ExplicitRangeClipsAndLabelsTheRange) {
  // Values 0..59 with the range 10..20: columns up to 10 are red, 20 is magenta.
  const cv::Mat picture = RenderFalseColourImage(ColumnRamp(60, 200), 10, 20);
  EXPECT_TRUE(Near(picture.at<cv::Vec3b>(190, 0), kRed));
  EXPECT_TRUE(Near(picture.at<cv::Vec3b>(190, 10), kRed));
  EXPECT_TRUE(Near(picture.at<cv::Vec3b>(190, 12), kYellow));
  EXPECT_TRUE(Near(picture.at<cv::Vec3b>(190, 20), kMagenta));
  const cv::Mat expected = LabelMask(picture.size(), {{"10", 10}, {"15", 80}, {"20", 150}});
  EXPECT_EQ(cv::countNonZero(BlackMask(picture) != expected), 0);
}

TEST(SaveFalseColourImageTest, WritesThePictureAndLeavesNoTemporaryFile) {
  TempDir dir;
  const cv::Mat field = ColumnRamp(64, 48) * 0.5 - 3.0;
  const std::string path = dir / "U.png";
  WriteFile(path, "an older picture");
  ASSERT_TRUE(SaveFalseColourImage(field, path));
  const cv::Mat read = cv::imread(path, cv::IMREAD_COLOR);
  ASSERT_FALSE(read.empty());
  EXPECT_EQ(cv::norm(read, RenderFalseColourImage(field), cv::NORM_INF), 0);
  const auto entries = std::distance(std::filesystem::directory_iterator(dir.path()),
                                     std::filesystem::directory_iterator());
  EXPECT_EQ(entries, 1);
}

TEST(SaveFalseColourImageTest, FailedWriteReportsFalseAndKeepsTheOldFile) {
  TempDir dir;
  const cv::Mat field = ColumnRamp(64, 48);
  // No encoder for the extension: the existing file stays as it was, nothing else appears.
  const std::string unknown = dir / "U.unknownformat";
  WriteFile(unknown, "kept");
  EXPECT_FALSE(SaveFalseColourImage(field, unknown));
  EXPECT_EQ(ReadFile(unknown), "kept");
  const auto entries = std::distance(std::filesystem::directory_iterator(dir.path()),
                                     std::filesystem::directory_iterator());
  EXPECT_EQ(entries, 1);
  // A directory that does not exist.
  EXPECT_FALSE(SaveFalseColourImage(field, dir / "missing/U.png"));
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

}  // namespace
}  // namespace sceneflow
