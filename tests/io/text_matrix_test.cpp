#include "io/text_matrix.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "config/input_error.h"
#include "tests/support/temp_dir.h"

namespace sceneflow {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

std::string Written(const cv::Mat& matrix) {
  return testing::CaptureStream([&](FILE* stream) { WriteTextMatrix(matrix, stream); });
}

cv::Mat Read(const std::string& text, int rows, int cols, int type) {
  TempDir dir;
  WriteFile(dir / "m.txt", text);
  cv::Mat matrix(rows, cols, type, cv::Scalar(-99));
  EXPECT_TRUE(ReadTextMatrix((dir / "m.txt").c_str(), matrix));
  return matrix;
}

TEST(TextMatrixTest, WritesFixedPointWithTabsAndLineFeeds) {
  EXPECT_EQ(Written(cv::Mat(2, 3, CV_64F, cv::Scalar(1))),
            "1.000000\t1.000000\t1.000000\t\n1.000000\t1.000000\t1.000000\t\n");
  EXPECT_EQ(Written(cv::Mat(1, 1, CV_32F, cv::Scalar(0.5))), "0.500000\t\n");
  EXPECT_EQ(Written((cv::Mat_<double>(1, 3) << 1e-7, -2.5, 12345.678901234)),
            "0.000000\t-2.500000\t12345.678901\t\n");
  EXPECT_EQ(Written(cv::Mat()), "");
  WriteTextMatrix(cv::Mat(1, 1, CV_64F), nullptr);  // no stream: nothing happens
}

TEST(TextMatrixTest, LineBreaksCarryNoMeaning) {
  const cv::Mat one_line = Read("1 2 3 4 5 6 7 8 9", 3, 3, CV_64F);
  const cv::Mat three_lines = Read("1\t2\t3\t\n4\t5\t6\t\n7\t8\t9\t\n", 3, 3, CV_64F);
  EXPECT_EQ(cv::norm(one_line, three_lines, cv::NORM_INF), 0);
  EXPECT_EQ(one_line.at<double>(2, 1), 8);
}

TEST(TextMatrixTest, ShortOrMalformedInputRepeatsTheLastNumber) {
  const cv::Mat short_file = Read("1 2 3", 2, 2, CV_64F);
  EXPECT_EQ(short_file.at<double>(0, 1), 2);
  EXPECT_EQ(short_file.at<double>(1, 0), 3);
  EXPECT_EQ(short_file.at<double>(1, 1), 3);
  const cv::Mat stopped = Read("1 x 2", 2, 2, CV_64F);
  EXPECT_EQ(cv::countNonZero(stopped == 1), 4);
  EXPECT_EQ(cv::countNonZero(Read("", 2, 2, CV_32F)), 0);
  EXPECT_EQ(cv::countNonZero(Read("4.5", 3, 5, CV_32F) == 4.5f), 15);
  const cv::Mat extra = Read("1 2 3 4 5", 1, 2, CV_64F);
  EXPECT_EQ(extra.at<double>(0, 1), 2);
}

TEST(TextMatrixTest, FloatRoundTripKeepsSixDecimals) {
  cv::Mat field(3, 4, CV_32F);
  cv::randu(field, -1000, 1000);
  TempDir dir;
  FILE* stream = std::fopen((dir / "f.txt").c_str(), "w");
  WriteTextMatrix(field, stream);
  std::fclose(stream);
  cv::Mat reread(3, 4, CV_32F);
  ASSERT_TRUE(ReadTextMatrix((dir / "f.txt").c_str(), reread));
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) {
      const double rounded = std::stod(cv::format("%f", field.at<float>(r, c)));
      EXPECT_EQ(reread.at<float>(r, c), static_cast<float>(rounded));
    }
  }
  EXPECT_EQ(ReadFile(dir / "f.txt").size(), Written(field).size());
}

TEST(TextMatrixTest, MissingFileIsReportedAndLeavesMatrixUntouched) {
  cv::Mat matrix(2, 2, CV_64F, cv::Scalar(7));
  EXPECT_FALSE(ReadTextMatrix("/nonexistent/matrix.txt", matrix));
  EXPECT_EQ(cv::countNonZero(matrix == 7), 4);
}

// The message of the InputError that strict reading of `text` into `matrix` throws, or "".
std::string StrictFailure(const std::string& text, cv::Mat matrix) {
  TempDir dir;
  WriteFile(dir / "m.txt", text);
  try {
    ReadTextMatrix((dir / "m.txt").c_str(), matrix, TextMatrixReading::kStrict);
  } catch (const InputError& error) {
    const std::string message = error.what();
    return message.substr(message.find("m.txt"));
  }
  return "";
}

TEST(TextMatrixTest, StrictReadingNeedsExactlyTheMatrixOfFiniteNumbers) {
  TempDir dir;
  WriteFile(dir / "t.txt", "1 2\n3\n");
  cv::Mat column(3, 1, CV_64F);
  ASSERT_TRUE(ReadTextMatrix((dir / "t.txt").c_str(), column, TextMatrixReading::kStrict));
  EXPECT_EQ(cv::norm(column, cv::Mat((cv::Mat_<double>(3, 1) << 1, 2, 3)), cv::NORM_INF), 0);
  EXPECT_FALSE(ReadTextMatrix("/nonexistent/matrix.txt", column, TextMatrixReading::kStrict));
  EXPECT_FALSE(ReadTextMatrix(dir.path().c_str(), column, TextMatrixReading::kStrict));

  const cv::Mat three(3, 1, CV_64F);
  EXPECT_EQ(StrictFailure("0 0", three), "m.txt holds 2 numbers, not the 3 of a 3x1 matrix");
  EXPECT_EQ(StrictFailure("", three), "m.txt holds 0 numbers, not the 3 of a 3x1 matrix");
  EXPECT_EQ(StrictFailure("1\n2\n3\n4\n", three), "m.txt holds 4 numbers, not the 3 of a 3x1 matrix");
  EXPECT_EQ(StrictFailure("1 2\nabc\n", three), "m.txt line 2: \"abc\" is not a number");
  EXPECT_EQ(StrictFailure("1 2 3x", three), "m.txt line 1: \"3x\" is not a number");
  EXPECT_EQ(StrictFailure("1 inf 3", three), "m.txt line 1: \"inf\" is not a number");
  EXPECT_EQ(StrictFailure("1 1e999 3", three), "m.txt line 1: \"1e999\" is not a number");
  EXPECT_NE(StrictFailure("1 1e300 3", cv::Mat(3, 1, CV_32F)).find("beyond the range"), std::string::npos);

  // Without a shape, the layout gives it; a written matrix reads back as written.
  const cv::Mat written = (cv::Mat_<double>(2, 3) << 1.5, -2, 3, 4, 5, 6.25);
  FILE* stream = std::fopen((dir / "w.txt").c_str(), "w");
  WriteTextMatrix(written, stream);
  std::fclose(stream);
  cv::Mat shaped;
  ASSERT_TRUE(ReadTextMatrix((dir / "w.txt").c_str(), shaped, TextMatrixReading::kStrict));
  ASSERT_EQ(shaped.type(), CV_64F);
  EXPECT_EQ(cv::norm(shaped, written, cv::NORM_INF), 0);
  EXPECT_EQ(StrictFailure("1 2\n\n3\n", cv::Mat()),
            "m.txt is not a rectangular text matrix (line 3 has 1 values, the first line 2)");
  EXPECT_EQ(StrictFailure(" \n", cv::Mat()), "m.txt holds no values");
}

}  // namespace
}  // namespace sceneflow
