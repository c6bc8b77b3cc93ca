// The KITTI development kit's background interpolation, and sceneflow-eval kitti end to end on
// hand-made truth and estimate folders with known outliers.

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "tests/support/run_program.h"
#include "tools/eval/kitti_scores.h"

namespace sceneflow::eval {
namespace {

using ::sceneflow::testing::CountLines;
using ::sceneflow::testing::ProgramResult;
using ::sceneflow::testing::ReadFile;
using ::sceneflow::testing::RunProgram;
using ::sceneflow::testing::TempDir;
using ::sceneflow::testing::WriteFile;

namespace fs = std::filesystem;

const std::string kEval = std::string(SCENEFLOW_BIN_DIR) + "/sceneflow-eval";
constexpr double kInvalid = NAN;

// Rows 1 and 3 have a run inside (between 7 and 5, between 4 and 9), row 1 an invalid start and
// row 3 an invalid end. Rows 0 and 4 have no valid pixel and take the nearest row per column;
// row 2, without a valid pixel between rows with one, becomes 0.
TEST(KittiBackgroundFill, RowRunsTakeTheSmallerSideThenEndsAndColumnsExtend) {
  const double n = kInvalid;
  cv::Mat disparity = (cv::Mat_<double>(5, 6) << n, n, n, n, n, n,  //
                       n, 7, n, n, 5, 6,                              //
                       n, n, n, n, n, n,                              //
                       3, 4, n, 9, n, n,                              //
                       n, n, n, n, n, n);
  FillDisparityBackground(disparity);
  const cv::Mat expected = (cv::Mat_<double>(5, 6) << 7, 7, 5, 5, 5, 6,  //
                            7, 7, 5, 5, 5, 6,                             //
                            0, 0, 0, 0, 0, 0,                             //
                            3, 4, 4, 9, 9, 9,                             //
                            3, 4, 4, 9, 9, 9);
  EXPECT_EQ(cv::countNonZero(disparity != expected), 0) << disparity;  // NaN differs from everything

  cv::Mat nothing_valid(3, 2, CV_64F, cv::Scalar(kInvalid));
  FillDisparityBackground(nothing_valid);
  EXPECT_EQ(cv::countNonZero(nothing_valid == 0), 6);
}

// KITTI PNGs from fields with NaN where invalid.
void WriteDisparity(const std::string& path, const cv::Mat& disparity) {
  cv::Mat image(disparity.size(), CV_16U);
  for (int y = 0; y < image.rows; ++y) {
    for (int x = 0; x < image.cols; ++x) {
      const double d = disparity.at<double>(y, x);
      image.at<uint16_t>(y, x) = std::isnan(d) ? 0 : static_cast<uint16_t>(std::lround(256 * d));
    }
  }
  fs::create_directories(fs::path(path).parent_path());
  ASSERT_TRUE(cv::imwrite(path, image));
}

void WriteFlow(const std::string& path, const cv::Mat& flow) {
  cv::Mat image(flow.size(), CV_16UC3, cv::Scalar::all(0));  // blue (valid), green (v), red (u)
  for (int y = 0; y < image.rows; ++y) {
    for (int x = 0; x < image.cols; ++x) {
      const cv::Vec2d f = flow.at<cv::Vec2d>(y, x);
      if (std::isnan(f[0])) continue;
      image.at<cv::Vec3w>(y, x) = cv::Vec3w(1, static_cast<uint16_t>(std::lround(64 * f[1] + 32768)),
                                            static_cast<uint16_t>(std::lround(64 * f[0] + 32768)));
    }
  }
  fs::create_directories(fs::path(path).parent_path());
  ASSERT_TRUE(cv::imwrite(path, image));
}

struct Fields {
  cv::Mat disparity_0, disparity_1, flow;
};

void WriteFrame(const std::string& root, const std::string& frame, const Fields& fields,
                const std::vector<std::string>& folders) {
  WriteDisparity(root + "/" + folders[0] + "/" + frame + "_10.png", fields.disparity_0);
  WriteDisparity(root + "/" + folders[1] + "/" + frame + "_10.png", fields.disparity_1);
  WriteFlow(root + "/" + folders[2] + "/" + frame + "_10.png", fields.flow);
}

Fields OnlyRows(const Fields& fields, int first, int end) {
  Fields kept{fields.disparity_0.clone(), fields.disparity_1.clone(), fields.flow.clone()};
  for (cv::Mat* field : {&kept.disparity_0, &kept.disparity_1, &kept.flow}) {
    field->rowRange(0, first).setTo(cv::Scalar::all(kInvalid));
    field->rowRange(end, field->rows).setTo(cv::Scalar::all(kInvalid));
  }
  return kept;
}

// Frame 000000, 12×4. Truth (occ): disp_0 20 on rows 0–1, 100 on row 2, unknown on row 3; disp_1
// 10; flow (5, 0), (80, 0) on row 3, unknown in column 0. The noc truth is rows 0–1 of it.
// Estimate, the outliers marked *:
//   disp_0  row 0: 24 at x 2*, 3*; row 2: 110 at x 7*, 8*, 104 at x 9 (only 4 %), invalid at
//           x 0–1 (takes 100) and 4–6 (takes the smaller side, 100); elsewhere the truth (row 3: 20)
//   disp_1  15 at (x 0, row 2)*; row 3 invalid (takes row 2: 15 in column 0*); (x 11, row 0) invalid
//   flow    (5, 3.5) at (6, 0)*; row 1: (5, 4) at x 2*, (9, 0) at x 5*, invalid at x 3–4 (takes
//           (5, 0)); (83.5, 0) at (5, 3) (only 4.4 %); elsewhere the truth
void WriteFirstFrame(const std::string& estimate_dir, const std::string& truth_dir) {
  Fields truth{cv::Mat(4, 12, CV_64F, cv::Scalar(20)), cv::Mat(4, 12, CV_64F, cv::Scalar(10)),
               cv::Mat(4, 12, CV_64FC2, cv::Scalar(5, 0))};
  truth.disparity_0.row(2).setTo(100);
  truth.disparity_0.row(3).setTo(kInvalid);
  truth.flow.row(3).setTo(cv::Scalar(80, 0));
  Fields estimate{truth.disparity_0.clone(), truth.disparity_1.clone(), truth.flow.clone()};
  truth.flow.col(0).setTo(cv::Scalar(kInvalid, kInvalid));

  cv::Mat& d0 = estimate.disparity_0;
  d0.row(3).setTo(20);
  d0.at<double>(0, 2) = d0.at<double>(0, 3) = 24;
  d0.at<double>(2, 7) = d0.at<double>(2, 8) = 110;
  d0.at<double>(2, 9) = 104;
  d0.row(2).colRange(0, 2).setTo(kInvalid);
  d0.row(2).colRange(4, 7).setTo(kInvalid);
  cv::Mat& d1 = estimate.disparity_1;
  d1.at<double>(2, 0) = 15;
  d1.row(3).setTo(kInvalid);
  d1.at<double>(0, 11) = kInvalid;
  cv::Mat& f = estimate.flow;
  f.at<cv::Vec2d>(0, 6) = {5, 3.5};
  f.at<cv::Vec2d>(1, 2) = {5, 4};
  f.at<cv::Vec2d>(1, 5) = {9, 0};
  f.row(1).colRange(3, 5).setTo(cv::Scalar(kInvalid, kInvalid));
  f.at<cv::Vec2d>(3, 5) = {83.5, 0};

  WriteFrame(estimate_dir, "000000", estimate, {"disp_0", "disp_1", "flow"});
  WriteFrame(truth_dir, "000000", truth, {"disp_occ_0", "disp_occ_1", "flow_occ"});
  WriteFrame(truth_dir, "000000", OnlyRows(truth, 0, 2), {"disp_noc_0", "disp_noc_1", "flow_noc"});
}

// Frame 000001, 6×2, truth known everywhere: disp_0 off by 10 on row 0 (D1 and SF 50 %).
void WriteSecondFrame(const std::string& estimate_dir, const std::string& truth_dir) {
  const Fields truth{cv::Mat(2, 6, CV_64F, cv::Scalar(20)), cv::Mat(2, 6, CV_64F, cv::Scalar(10)),
                     cv::Mat(2, 6, CV_64FC2, cv::Scalar(5, 0))};
  Fields estimate{truth.disparity_0.clone(), truth.disparity_1, truth.flow};
  estimate.disparity_0.row(0).setTo(30);
  WriteFrame(estimate_dir, "000001", estimate, {"disp_0", "disp_1", "flow"});
  WriteFrame(truth_dir, "000001", truth, {"disp_occ_0", "disp_occ_1", "flow_occ"});
  WriteFrame(truth_dir, "000001", truth, {"disp_noc_0", "disp_noc_1", "flow_noc"});
}

// The `--keys` table as key → column → value.
std::map<std::string, std::map<std::string, double>> KeyTable(const std::string& output) {
  std::map<std::string, std::map<std::string, double>> table;
  std::istringstream lines(output.substr(output.find("\nkey") + 1));
  std::string line, word;
  std::getline(lines, line);
  std::istringstream header(line);
  std::vector<std::string> columns;
  header >> word;
  while (header >> word) columns.push_back(word);
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string key;
    words >> key;
    for (const std::string& column : columns) {
      words >> word;
      table[key][column] = word == "-" ? NAN : std::stod(word);
    }
  }
  return table;
}

TEST(KittiEvalProgram, KnownOutliersPerFrameAndTheMeanOfTheFrames) {
  TempDir dir;
  const std::string estimate = dir / "estimate", truth = dir / "truth";
  WriteFirstFrame(estimate, truth);
  WriteSecondFrame(estimate, truth);

  const ProgramResult run = RunProgram(kEval, {"kitti", estimate, truth, "--keys", "--json", "scores.json"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  auto table = KeyTable(run.out);
  // The table gives four significant digits.
  const auto near = [&table](const std::string& key, const std::string& frame, double expected) {
    EXPECT_NEAR(table[key][frame], expected, 5e-4 * expected + 1e-9) << key << " " << frame;
  };
  near("d1_occ", "000000", 100.0 * 4 / 36);
  near("d2_occ", "000000", 100.0 * 2 / 48);
  near("fl_occ", "000000", 100.0 * 3 / 44);
  near("sf_occ", "000000", 100.0 * 7 / 33);  // rows 0–2 without column 0
  near("epe_occ", "000000", 15.0 / 44);
  near("d1_noc", "000000", 100.0 * 2 / 24);
  near("d2_noc", "000000", 0.0);
  near("fl_noc", "000000", 100.0 * 3 / 22);
  near("sf_noc", "000000", 100.0 * 5 / 22);
  near("epe_noc", "000000", 11.5 / 22);
  near("density_disp_0", "000000", 100.0 * 43 / 48);
  near("density_disp_1", "000000", 100.0 * 35 / 48);
  near("density_flow", "000000", 100.0 * 46 / 48);
  near("density_all", "000000", 100.0 * 28 / 48);
  near("d1_occ", "000001", 50.0);
  near("sf_noc", "000001", 50.0);
  near("density_all", "000001", 100.0);
  // The mean of the two frames' values, not the share of all pixels (10 of 48).
  near("d1_occ", "mean", (100.0 * 4 / 36 + 50.0) / 2);
  near("fl_occ", "mean", 100.0 * 3 / 44 / 2);
  near("density_disp_1", "mean", (100.0 * 35 / 48 + 100.0) / 2);

  const std::string json = ReadFile(dir / "scores.json");
  EXPECT_NE(json.find("\"frame\": \"000001\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"pixels\": {\"d1\": 36, \"d2\": 48, \"fl\": 44, \"sf\": 33}"), std::string::npos) << json;
  EXPECT_NE(json.find("\"d1\": 30.5556"), std::string::npos) << json;

  const ProgramResult chosen = RunProgram(kEval, {"kitti", estimate, truth, "--frames", "000001"}, dir.path());
  ASSERT_EQ(chosen.status, 0) << chosen.err;
  EXPECT_EQ(chosen.out.find("000000"), std::string::npos) << chosen.out;
  EXPECT_NE(chosen.out.find("mean of the per-frame values over 1 frame"), std::string::npos) << chosen.out;
}

TEST(KittiEvalProgram, MissingFileOrSizeMismatchEndsWithOneLine) {
  TempDir dir;
  const std::string estimate = dir / "estimate", truth = dir / "truth";
  WriteFirstFrame(estimate, truth);
  WriteSecondFrame(estimate, truth);
  const auto expect_error = [&](const std::vector<std::string>& arguments, const std::string& named) {
    const ProgramResult run = RunProgram(kEval, arguments, dir.path());
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_EQ(CountLines(run.err), 1) << run.err;
    EXPECT_NE(run.err.find(named), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir / "scores.json"));
  };

  WriteFile(dir / "frames.txt", "000000\n000002\n");
  expect_error({"kitti", estimate, truth, "--frames", "frames.txt", "--json", "scores.json"}, "disp_0/000002_10.png");
  fs::remove(truth + "/flow_noc/000001_10.png");
  expect_error({"kitti", estimate, truth, "--json", "scores.json"}, "flow_noc/000001_10.png");
  WriteDisparity(estimate + "/disp_1/000000_10.png", cv::Mat(4, 11, CV_64F, cv::Scalar(10)));
  expect_error({"kitti", estimate, truth, "--frames", "000000", "--json", "scores.json"}, "11x4");
  expect_error({"kitti", estimate, dir / "nowhere"}, "nowhere");
  expect_error({"kitti", estimate}, "GROUND_TRUTH_DIR");
}

}  // namespace
}  // namespace sceneflow::eval
