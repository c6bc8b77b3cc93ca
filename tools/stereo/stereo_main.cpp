// sceneflow-stereo LEFT RIGHT OUT [MAX_DISPARITY]
//
// Dense stereo for the start depth of a scene-flow run. LEFT is the reference view, RIGHT a view
// whose camera sits to its right on the same rectified rows, so that a point at column x of LEFT
// appears at column x − d of RIGHT with d ≥ 0. Writes to OUT (format from its extension, e.g.
// .pgm or .png) an 8-bit grey image of LEFT's size holding 2·d, rounded and clamped to 255: the
// disparity image convention of the estimator. Colour views are matched in colour and in grey,
// keeping the match whose left and right views agree at more pixels. MAX_DISPARITY (1 to 127)
// bounds the search; by default it is a quarter of the image width, at most 127.
//
// Exit status 0 on success; otherwise one line on standard error and status 1, and OUT is left
// as it was. --help or -h prints the usage on standard output and exits with 0.

#include <cstdio>
#include <cstdlib>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "config/input_error.h"
#include "io/image_file.h"
#include "io/program_errors.h"
#include "tools/common/arguments.h"
#include "tools/common/number_text.h"
#include "stereo/dense_stereo.h"

namespace sceneflow {
namespace {

int ParseMaxDisparity(const char* text) {
  // Out of the range of long, strtol gives LONG_MIN or LONG_MAX, which the range test refuses.
  const std::optional<long> value = tools::WholeNumberIn(text);
  if (!value || *value < 1 || *value > kLargestMaxDisparity) {
    throw InputError("Error: MAX_DISPARITY must be a whole number from 1 to " +
                      std::to_string(kLargestMaxDisparity) + ", not \"" + text + "\"");
  }
  return static_cast<int>(*value);
}

// An 8-bit image with one (grey) or three (colour) channels.
cv::Mat LoadView(const std::string& path, const char* role) {
  cv::Mat image = LoadImageQuietly(path, cv::IMREAD_ANYCOLOR);
  if (image.empty())
    throw InputError("Error: could not read " + std::string(role) + " image " + path);
  if (image.channels() == 4) cv::cvtColor(image, image, cv::COLOR_BGRA2BGR);
  return image;
}

// Matches colour against colour when both views have it, grey against grey otherwise.
void MakeChannelsAgree(cv::Mat& left, cv::Mat& right) {
  if (left.channels() == right.channels()) return;
  if (left.channels() == 3) cv::cvtColor(left, left, cv::COLOR_BGR2GRAY);
  if (right.channels() == 3) cv::cvtColor(right, right, cv::COLOR_BGR2GRAY);
}

constexpr const char* kUsage = "Usage: sceneflow-stereo LEFT RIGHT OUT [MAX_DISPARITY]";

void PrintHelp() {
  std::printf(
      "%s\n"
      "Dense stereo for the start depth of a scene-flow run. LEFT is the reference view, RIGHT a\n"
      "view whose camera sits to its right on the same rectified rows. Writes to OUT (format from\n"
      "its extension, e.g. .pgm or .png) an 8-bit grey image of LEFT's size holding twice the\n"
      "disparity, rounded and clamped to 255. Colour views are matched in colour and in grey, and\n"
      "the match whose left and right views agree at more pixels is kept. MAX_DISPARITY (1 to %d)\n"
      "bounds the search; by default it is a quarter of the image width, at most %d.\n",
      kUsage, kLargestMaxDisparity, kLargestMaxDisparity);
}

int Run(int argc, char** argv) {
  if (tools::AsksForHelp(argc, argv)) {
    PrintHelp();
    return 0;
  }
  if (argc != 4 && argc != 5) throw InputError(kUsage);
  const std::string out_path = argv[3];
  cv::Mat left = LoadView(argv[1], "left");
  cv::Mat right = LoadView(argv[2], "right");
  if (left.size() != right.size()) {
    throw InputError("Error: left image " + std::string(argv[1]) + " is " + SizeText(left.size()) +
                      " but right image " + argv[2] + " is " + SizeText(right.size()));
  }
  MakeChannelsAgree(left, right);
  const int max_disparity = argc == 5 ? ParseMaxDisparity(argv[4]) : DefaultMaxDisparity(left.cols);

  const cv::Mat encoded = EncodeDisparity(BestDenseDisparity(left, right, max_disparity));
  if (!SaveImageAtomically(out_path, encoded)) throw InputError("Error: could not write " + out_path);
  return 0;
}

}  // namespace
}  // namespace sceneflow

int main(int argc, char** argv) {
  return sceneflow::RunReportingErrors([&] { return sceneflow::Run(argc, argv); });
}
