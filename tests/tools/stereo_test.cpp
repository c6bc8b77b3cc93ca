// Runs the bundled stereo program on generated and real rectified pairs with known disparity.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace sceneflow {
namespace {

using testing::CountLines;
using testing::ProgramResult;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

const std::string kStereo = std::string(SCENEFLOW_BIN_DIR) + "/sceneflow-stereo";

ProgramResult Stereo(const TempDir& dir, const std::vector<std::string>& arguments) {
  return testing::RunProgram(kStereo, arguments, dir.path());
}

void ExpectOneErrorLine(const ProgramResult& result, const std::string& mentions) {
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(CountLines(result.err), 1) << result.err;
  EXPECT_NE(result.err.find(mentions), std::string::npos) << result.err;
  EXPECT_EQ(result.out, "");
}

// A rectified pair: a textured fronto-parallel background at disparity 8 and, in front of it, a
// textured rectangle at disparity 20. The right camera sits to the left camera's right, so a
// point at column x of the left image lies at x − d in the right one.
struct RenderedPair {
  static constexpr int kCols = 160, kRows = 120;
  static constexpr int kBackground = 8, kForeground = 20;
  const cv::Rect box{70, 30, 50, 60};  // the rectangle in the left image
  cv::Mat left, right, truth;          // truth: disparity of every left pixel

  RenderedPair() {
    const cv::Mat background = Texture(kCols + kBackground, 1);
    const cv::Mat foreground = Texture(kCols + kForeground, 2);
    left.create(kRows, kCols, CV_8U);
    right.create(kRows, kCols, CV_8U);
    truth.create(kRows, kCols, CV_32F);
    for (int y = 0; y < kRows; ++y) {
      for (int x = 0; x < kCols; ++x) {
        const bool in_front = box.contains({x, y});
        left.at<uchar>(y, x) = (in_front ? foreground : background).at<uchar>(y, x);
        truth.at<float>(y, x) = in_front ? kForeground : kBackground;
        // Right image column x shows the left columns x + 20 (rectangle) or x + 8 (background).
        const bool front_in_right = box.contains({x + kForeground, y});
        right.at<uchar>(y, x) = front_in_right ? foreground.at<uchar>(y, x + kForeground)
                                               : background.at<uchar>(y, x + kBackground);
      }
    }
  }

  // Fine random texture, slightly blurred so that neighbouring pixels correlate as in a photo.
  static cv::Mat Texture(int cols, int seed) {
    cv::Mat texture(kRows, cols, CV_8U);
    cv::RNG(seed).fill(texture, cv::RNG::UNIFORM, 0, 256);
    cv::GaussianBlur(texture, texture, cv::Size(3, 3), 0.7);
    return texture;
  }

  // Pixels whose disparity the pair determines: inside the image by a window's margin, away
  // from the rectangle's edges, and not in the background strip left of the rectangle that the
  // rectangle hides in the right image.
  cv::Mat Determined() const {
    cv::Mat mask(kRows, kCols, CV_8U, cv::Scalar(0));
    mask(cv::Rect(3, 3, kCols - 6, kRows - 6)).setTo(255);
    const int edge = 3;
    mask(cv::Rect(box.x - edge, box.y - edge, box.width + 2 * edge, box.height + 2 * edge))
        .setTo(0);
    mask(cv::Rect(box.x + edge, box.y + edge, box.width - 2 * edge, box.height - 2 * edge))
        .setTo(255);
    const cv::Rect hidden = HiddenStrip();
    mask(cv::Rect(hidden.x - edge, hidden.y, hidden.width, hidden.height)).setTo(0);
    return mask;
  }

  // Background visible in the left image only: left columns whose match x − 8 falls behind the
  // rectangle (right columns box.x − 20 ..), i.e. the 12 columns left of the rectangle.
  cv::Rect HiddenStrip() const {
    return {box.x - (kForeground - kBackground), box.y, kForeground - kBackground, box.height};
  }

  void Write(const TempDir& dir) const {
    cv::imwrite(dir / "left.png", left);
    cv::imwrite(dir / "right.png", right);
  }
};

// Share of the masked pixels whose encoded value lies within `tolerance` grey levels of 2·truth.
double ShareWithin(const cv::Mat& encoded, const cv::Mat& truth, const cv::Mat& mask,
                   double tolerance) {
  int total = 0, close = 0;
  for (int y = 0; y < encoded.rows; ++y) {
    for (int x = 0; x < encoded.cols; ++x) {
      if (!mask.at<uchar>(y, x)) continue;
      ++total;
      close += std::abs(encoded.at<uchar>(y, x) - 2.0 * truth.at<float>(y, x)) <= tolerance;
    }
  }
  return total == 0 ? 0.0 : static_cast<double>(close) / total;
}

TEST(StereoProgramTest, RecoversTheDisparityOfARenderedPair) {
  TempDir dir;
  const RenderedPair pair;
  pair.Write(dir);
  for (const std::vector<std::string>& range :
       {std::vector<std::string>{}, std::vector<std::string>{"24"}}) {
    std::vector<std::string> arguments{"left.png", "right.png", "disparity.pgm"};
    arguments.insert(arguments.end(), range.begin(), range.end());
    const ProgramResult result = Stereo(dir, arguments);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "");

    const cv::Mat encoded = cv::imread(dir / "disparity.pgm", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(encoded.type(), CV_8U);
    ASSERT_EQ(encoded.size(), pair.left.size());
    const double share = ShareWithin(encoded, pair.truth, pair.Determined(), 2);
    EXPECT_GT(share, 0.95) << "range argument " << (range.empty() ? "none" : range[0]);

    // The strip the rectangle hides in the right view is filled from the background side.
    cv::Mat strip(pair.truth.size(), CV_8U, cv::Scalar(0));
    const cv::Rect hidden = pair.HiddenStrip();
    strip(cv::Rect(hidden.x + 2, hidden.y + 3, hidden.width - 4, hidden.height - 6)).setTo(255);
    const cv::Mat background(pair.truth.size(), CV_32F, cv::Scalar(RenderedPair::kBackground));
    EXPECT_GT(ShareWithin(encoded, background, strip, 2), 0.8);
  }
}

TEST(StereoProgramTest, ColourPairMatchesLikeItsGreyVersion) {
  TempDir dir;
  const RenderedPair pair;
  cv::Mat left, right;
  cv::cvtColor(pair.left, left, cv::COLOR_GRAY2BGR);
  cv::cvtColor(pair.right, right, cv::COLOR_GRAY2BGR);
  cv::imwrite(dir / "left.png", left);
  cv::imwrite(dir / "right.png", right);
  const ProgramResult result = Stereo(dir, {"left.png", "right.png", "out.png"});
  ASSERT_EQ(result.status, 0) << result.err;
  const cv::Mat encoded = cv::imread(dir / "out.png", cv::IMREAD_UNCHANGED);
  ASSERT_EQ(encoded.type(), CV_8U);
  EXPECT_GT(ShareWithin(encoded, pair.truth, pair.Determined(), 2), 0.95);
}

TEST(StereoProgramTest, FailuresEndWithOneLineAndStatus1) {
  TempDir dir;
  const RenderedPair pair;
  pair.Write(dir);
  cv::imwrite(dir / "small.png", pair.right(cv::Rect(0, 0, 80, 60)));
  WriteFile(dir / "out.pgm", "older result");

  ExpectOneErrorLine(Stereo(dir, {"missing.png", "right.png", "out.pgm"}), "missing.png");
  ExpectOneErrorLine(Stereo(dir, {"left.png", "missing.png", "out.pgm"}), "missing.png");
  WriteFile(dir / "broken.png", "not an image");
  ExpectOneErrorLine(Stereo(dir, {"left.png", "broken.png", "out.pgm"}), "broken.png");
  ExpectOneErrorLine(Stereo(dir, {"left.png", "small.png", "out.pgm"}), "80x60");
  for (const char* range : {"0", "128", "abc", "12x", ""}) {
    ExpectOneErrorLine(Stereo(dir, {"left.png", "right.png", "out.pgm", range}), "MAX_DISPARITY");
  }
  ExpectOneErrorLine(Stereo(dir, {"left.png", "right.png"}), "Usage");
  ExpectOneErrorLine(Stereo(dir, {"left.png", "right.png", "out.pgm", "20", "extra"}), "Usage");
  // A failed run leaves an existing result as it was.
  EXPECT_EQ(ReadFile(dir / "out.pgm"), "older result");

  ExpectOneErrorLine(Stereo(dir, {"left.png", "right.png", "no-such-dir/out.pgm"}),
                     "no-such-dir/out.pgm");
  ExpectOneErrorLine(Stereo(dir, {"left.png", "right.png", "out.unknownformat"}),
                     "out.unknownformat");
  EXPECT_FALSE(std::filesystem::exists(dir / "out.unknownformat"));
  const auto entries = std::distance(std::filesystem::directory_iterator(dir.path()),
                                     std::filesystem::directory_iterator());
  EXPECT_EQ(entries, 5);  // left, right, small, broken, out.pgm: no temporary files remain
}

TEST(StereoProgramTest, HelpPrintsTheUsageOnStandardOutput) {
  TempDir dir;
  for (const char* option : {"--help", "-h"}) {
    const ProgramResult result = Stereo(dir, {option});
    EXPECT_EQ(result.status, 0) << option;
    EXPECT_EQ(result.out.rfind("Usage: sceneflow-stereo LEFT RIGHT OUT [MAX_DISPARITY]\n", 0), 0u)
        << result.out;
    EXPECT_EQ(result.err, "") << option;
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// The Middlebury "Cones" pair (views 2 and 6) with its ground truth, 4 × disparity, 0 unknown.
TEST(StereoProgramTest, MiddleburyConesAccuracy) {
  const std::string data = std::string(SCENEFLOW_SHARED_DATA_DIR) + "/middlebury-cones";
  if (!std::filesystem::exists(data + "/disp2.png")) GTEST_SKIP() << "no " << data;
  TempDir dir;
  const ProgramResult result = Stereo(dir, {data + "/im2.png", data + "/im6.png", "cones.pgm"});
  ASSERT_EQ(result.status, 0) << result.err;
  const cv::Mat encoded = cv::imread(dir / "cones.pgm", cv::IMREAD_UNCHANGED);
  const cv::Mat truth_image = cv::imread(data + "/disp2.png", cv::IMREAD_GRAYSCALE);
  ASSERT_EQ(encoded.size(), truth_image.size());
  cv::Mat truth;
  truth_image.convertTo(truth, CV_32F, 0.25);
  const cv::Mat known = truth_image > 0;

  const double within_one = ShareWithin(encoded, truth, known, 2);
  const double within_half = ShareWithin(encoded, truth, known, 1);
  std::printf("Cones: %.1f %% of the pixels with ground truth within 1 px, %.1f %% within 0.5 px\n",
              100 * within_one, 100 * within_half);
  RecordProperty("within_1px_percent", std::to_string(100 * within_one));
  EXPECT_GT(within_one, 0.85);
}

}  // namespace
}  // namespace sceneflow
