#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "tests/support/run_program.h"
#include "config/input_error.h"
#include "io/text_matrix.h"
#include "tools/eval/field_files.h"
#include "tools/eval/metrics.h"

namespace sceneflow::eval {
namespace {

using ::sceneflow::testing::CommandResult;
using ::sceneflow::testing::RunCommand;

namespace fs = std::filesystem;

constexpr int kRows = 10, kCols = 12;

SceneFlowFields Constant(double z, double u, double v, double w) {
  return SceneFlowFields{cv::Mat(kRows, kCols, CV_64F, cv::Scalar(z)), cv::Mat(kRows, kCols, CV_64F, cv::Scalar(u)),
                         cv::Mat(kRows, kCols, CV_64F, cv::Scalar(v)), cv::Mat(kRows, kCols, CV_64F, cv::Scalar(w))};
}

SceneFlowFields Copy(const SceneFlowFields& f) { return {f.Z.clone(), f.U.clone(), f.V.clone(), f.W.clone()}; }

const ReferenceIntrinsics kCamera{200.0, 200.0, 6.0, 5.0};

TEST(EvalMetrics, KnownDepthAndMotionErrors) {
  SceneFlowFields truth = Constant(100, 1, 0, 0);
  for (int x = 0; x < kCols; ++x) truth.Z.col(x).setTo(100 + 10 * x);  // depth range 100..210
  SceneFlowFields estimate = Copy(truth);
  // Depth: +2 on even rows, -2 on odd rows. Motion: U off by 0.5, V by -1.5 everywhere.
  for (int y = 0; y < kRows; ++y) estimate.Z.row(y) += (y % 2 == 0 ? 2.0 : -2.0);
  estimate.U += 0.5;
  estimate.V -= 1.5;
  const cv::Mat mask = EvaluationMask(cv::Mat(), truth.Z.size(), 0);
  const Metrics m = ComputeMetrics(estimate, truth, mask, kCamera);

  EXPECT_EQ(m.pixels, kRows * kCols);
  EXPECT_NEAR(m.z_rms, 2.0, 1e-12);
  EXPECT_NEAR(m.z_mean_abs, 2.0, 1e-12);
  EXPECT_NEAR(m.z_nrms_percent, 100.0 * 2.0 / 110.0, 1e-9);
  EXPECT_NEAR(m.u_rms, 0.5, 1e-12);
  EXPECT_NEAR(m.v_rms, 1.5, 1e-12);
  EXPECT_NEAR(m.w_rms, 0.0, 1e-12);
  const double epe = std::sqrt(0.25 + 2.25);
  EXPECT_NEAR(m.epe_mean, epe, 1e-12);
  EXPECT_NEAR(m.epe_rms, epe, 1e-12);
  EXPECT_NEAR(m.motion_nrms_percent, 100.0 * epe / 1.0, 1e-9);
  // Angle between (1.5, -1.5, 0, 1) and (1, 0, 0, 1).
  const double cosine = (1.5 + 1.0) / (std::sqrt(1.5 * 1.5 + 1.5 * 1.5 + 1.0) * std::sqrt(2.0));
  EXPECT_NEAR(m.angular_mean_degrees, std::acos(cosine) * 180.0 / M_PI, 1e-9);
  // Every depth is off by 2 % or less of Z (below 5 %); every motion error exceeds 25 % of |m| = 1.
  EXPECT_NEAR(m.outliers_z_percent, 0.0, 1e-12);
  EXPECT_NEAR(m.outliers_motion_percent, 100.0, 1e-12);
  EXPECT_NEAR(m.outliers_percent, 100.0, 1e-12);
}

TEST(EvalMetrics, FlowInViewZeroFollowsFromDepthAndMotion) {
  // Same depth, U off by 0.5: the flow differs by f·0.5/Z pixels along x at every pixel.
  const SceneFlowFields truth = Constant(400, 2, 0, 0);
  SceneFlowFields estimate = Copy(truth);
  estimate.U += 0.5;
  const cv::Mat mask = EvaluationMask(cv::Mat(), truth.Z.size(), 0);
  const Metrics shifted = ComputeMetrics(estimate, truth, mask, kCamera);
  EXPECT_NEAR(shifted.flow2d_epe_mean, 200.0 * 0.5 / 400.0, 1e-12);
  EXPECT_NEAR(shifted.flow2d_epe_rms, 200.0 * 0.5 / 400.0, 1e-12);

  // Zero motion with the true depth: the flow error is the true flow, (f·U/(Z+W)) at the centre
  // pixel plus the looming term elsewhere; check the centre pixel alone through a one-pixel mask.
  SceneFlowFields loom = Constant(400, 2, 0, -40);
  const SceneFlowFields still = Constant(400, 0, 0, 0);
  cv::Mat centre = cv::Mat::zeros(kRows, kCols, CV_8U);
  centre.at<uint8_t>(5, 6) = 255;
  const Metrics at_centre = ComputeMetrics(still, loom, centre, kCamera);
  EXPECT_NEAR(at_centre.flow2d_epe_mean, 200.0 * 2.0 / 360.0, 1e-12);
  // A pixel 4 columns right of the centre also moves outwards: 4·400/360 − 4 more pixels.
  cv::Mat right = cv::Mat::zeros(kRows, kCols, CV_8U);
  right.at<uint8_t>(5, 10) = 255;
  const Metrics at_right = ComputeMetrics(still, loom, right, kCamera);
  EXPECT_NEAR(at_right.flow2d_epe_mean, 200.0 * 2.0 / 360.0 + 4.0 * 400.0 / 360.0 - 4.0, 1e-12);

  // A moved point behind the camera has no flow: it is counted, and it is an outlier.
  SceneFlowFields behind = Copy(truth);
  behind.W.at<double>(5, 6) = -500;
  const Metrics broken = ComputeMetrics(behind, truth, mask, kCamera);
  EXPECT_EQ(broken.flow2d_undefined, 1);
  EXPECT_NEAR(broken.outliers_percent, 100.0 / (kRows * kCols), 1e-9);
}

TEST(EvalMetrics, OutliersCountOnlyLargeErrors) {
  const SceneFlowFields truth = Constant(100, 2, 0, 0);
  SceneFlowFields estimate = Copy(truth);
  estimate.Z.at<double>(1, 1) = 106;  // 6 % of Z: a depth outlier
  estimate.Z.at<double>(2, 2) = 104;  // 4 %: fine
  estimate.U.at<double>(3, 3) = 2.6;  // 0.6 > 25 % of 2: a motion outlier
  estimate.U.at<double>(4, 4) = 2.4;  // 0.4: fine
  estimate.Z.at<double>(3, 3) = 110;  // the same pixel is also a depth outlier: counted once
  const Metrics m = ComputeMetrics(estimate, truth, EvaluationMask(cv::Mat(), truth.Z.size(), 0), kCamera);
  const double one = 100.0 / (kRows * kCols);
  EXPECT_NEAR(m.outliers_z_percent, 2 * one, 1e-9);
  EXPECT_NEAR(m.outliers_motion_percent, one, 1e-9);
  EXPECT_NEAR(m.outliers_percent, 2 * one, 1e-9);
}

TEST(EvalMetrics, MaskAndBorderSelectThePixels) {
  cv::Mat valid(kRows, kCols, CV_8U, cv::Scalar(255));
  valid.at<uint8_t>(4, 4) = 0;
  const cv::Mat mask = EvaluationMask(valid, valid.size(), 2);
  EXPECT_EQ(cv::countNonZero(mask), (kRows - 4) * (kCols - 4) - 1);
  EXPECT_EQ(mask.at<uint8_t>(1, 5), 0);
  EXPECT_EQ(mask.at<uint8_t>(2, 2), 255);
  EXPECT_EQ(mask.at<uint8_t>(kRows - 3, kCols - 3), 255);
  EXPECT_EQ(mask.at<uint8_t>(kRows - 2, kCols - 3), 0);

  // An error outside the mask does not count; with no pixel at all every measure is undefined.
  const SceneFlowFields truth = Constant(100, 1, 1, 1);
  SceneFlowFields estimate = Copy(truth);
  estimate.Z.at<double>(4, 4) = 1000;
  estimate.Z.at<double>(0, 0) = 1000;
  EXPECT_EQ(ComputeMetrics(estimate, truth, mask, kCamera).z_rms, 0.0);
  const Metrics none = ComputeMetrics(estimate, truth, cv::Mat::zeros(kRows, kCols, CV_8U), kCamera);
  EXPECT_EQ(none.pixels, 0);
  EXPECT_TRUE(std::isnan(none.z_rms));
  EXPECT_TRUE(std::isnan(none.outliers_percent));
}

TEST(EvalMetrics, ConstantDepthHasNoRange) {
  const SceneFlowFields truth = Constant(100, 0, 0, 0);
  SceneFlowFields estimate = Copy(truth);
  estimate.Z += 1;
  const Metrics m = ComputeMetrics(estimate, truth, EvaluationMask(cv::Mat(), truth.Z.size(), 0), kCamera);
  EXPECT_TRUE(std::isnan(m.z_nrms_percent));
  EXPECT_TRUE(std::isnan(m.motion_nrms_percent));
  EXPECT_EQ(m.angular_mean_degrees, 0.0);
}

// ---- files ----

fs::path FreshFolder(const std::string& name) {
  const fs::path folder = fs::temp_directory_path() / ("sceneflow_eval_test_" + name + "_" + std::to_string(getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

void WriteFile(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

void WriteField(const fs::path& path, const cv::Mat& field) {
  FILE* file = std::fopen(path.string().c_str(), "w");
  ASSERT_NE(file, nullptr);
  WriteTextMatrix(field, file);
  std::fclose(file);
}

TEST(EvalFiles, TextFieldShapeFollowsTheLayout) {
  const fs::path folder = FreshFolder("fields");
  WriteFile(folder / "a.txt", "1.000000\t2.000000\t3.000000\t\n4.000000\t5.000000\t6.000000\t\n");
  const cv::Mat a = ReadTextField((folder / "a.txt").string());
  ASSERT_EQ(a.size(), cv::Size(3, 2));
  EXPECT_EQ(a.at<double>(1, 2), 6.0);
  WriteFile(folder / "crlf.txt", "1\t2\r\n3\t4\r\n\r\n");
  EXPECT_EQ(ReadTextField((folder / "crlf.txt").string()).size(), cv::Size(2, 2));

  WriteFile(folder / "ragged.txt", "1 2 3\n4 5\n");
  try {
    ReadTextField((folder / "ragged.txt").string());
    FAIL() << "a ragged file was accepted";
  } catch (const InputError& error) {
    EXPECT_NE(std::string(error.what()).find("not a rectangular text matrix (line 2 has 2 values"), std::string::npos);
  }
  WriteFile(folder / "word.txt", "1 2\n3 x\n");
  EXPECT_THROW(ReadTextField((folder / "word.txt").string()), InputError);
  WriteFile(folder / "nan.txt", "1 nan\n");
  EXPECT_THROW(ReadTextField((folder / "nan.txt").string()), InputError);
  WriteFile(folder / "empty.txt", "\n\n");
  EXPECT_THROW(ReadTextField((folder / "empty.txt").string()), InputError);
  EXPECT_THROW(ReadTextField((folder / "missing.txt").string()), InputError);
  fs::remove_all(folder);
}

TEST(EvalFiles, DepthFromDisparityFollowsTheEstimatorsStart) {
  // b = −2·1000, maxZ 950: grey 0 gives 1.05·maxZ, grey 4 gives maxZ, grey 5 gives 800, grey 200 gives 20.
  cv::Mat grey(4, 5, CV_8U, cv::Scalar(0));
  grey.at<uint8_t>(1, 1) = 4;
  grey.at<uint8_t>(1, 2) = 5;
  grey.at<uint8_t>(2, 3) = 200;
  grey.at<uint8_t>(2, 1) = 8;
  const cv::Mat z = DepthFromDisparityImage(grey, -2000.0, 950.0, 0);
  EXPECT_NEAR(z.at<double>(1, 1), 950.0, 1e-9);
  EXPECT_NEAR(z.at<double>(1, 2), 800.0, 1e-9);
  EXPECT_NEAR(z.at<double>(2, 3), 20.0, 1e-9);
  EXPECT_NEAR(z.at<double>(1, 3), 997.5, 1e-9);
  // The outer rows and columns copy their inner neighbours; corners their diagonal ones.
  EXPECT_NEAR(z.at<double>(0, 0), 950.0, 1e-9);
  EXPECT_NEAR(z.at<double>(2, 4), 20.0, 1e-9);
  EXPECT_NEAR(z.at<double>(3, 1), 500.0, 1e-9);
  // With a disparity scale of 4, grey 8 is disparity −2.
  EXPECT_NEAR(DepthFromDisparityImage(grey, -2000.0, 950.0, 4).at<double>(2, 1), 950.0, 1e-9);
}

// ---- end to end ----

TEST(EvalExecutable, PrintsStartAndResultAndWritesJson) {
  const fs::path folder = FreshFolder("run");
  const fs::path truth = folder / "scene" / "truth";
  const fs::path results = folder / "scene" / "results";
  fs::create_directories(truth);
  fs::create_directories(results);
  const cv::Mat z(kRows, kCols, CV_64F, cv::Scalar(300)), zero = cv::Mat::zeros(kRows, kCols, CV_64F);
  const cv::Mat u(kRows, kCols, CV_64F, cv::Scalar(3));
  WriteField(truth / "Z.txt", z);
  WriteField(truth / "U.txt", u);
  WriteField(truth / "V.txt", zero);
  WriteField(truth / "W.txt", zero);
  WriteField(truth / "Z_start.txt", z + 10);
  WriteField(truth / "camera.txt", (cv::Mat_<double>(1, 4) << 200, 200, 6, 5));
  cv::Mat valid(kRows, kCols, CV_8U, cv::Scalar(255));
  valid.at<uint8_t>(5, 5) = 0;
  cv::imwrite((truth / "valid.png").string(), valid);
  WriteField(results / "Z0_final.txt", z + 1);
  WriteField(results / "U_final.txt", u - 1);
  WriteField(results / "V_final.txt", zero);
  WriteField(results / "W_final.txt", zero);

  const std::string eval = std::string(SCENEFLOW_BIN_DIR) + "/sceneflow-eval";
  const std::string json = (folder / "m.json").string();
  // The scene folder is accepted in place of its truth folder.
  const CommandResult run = RunCommand(eval + " " + results.string() + " " + (folder / "scene").string() +
                                       " --border 1 --json " + json + " --images " + (folder / "pictures").string());
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("Evaluation over 79 valid pixels of 12x10"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Z_start.txt, zero motion"), std::string::npos) << run.output;
  // Z RMS: 10 for the start, 1 for the result; 3D end-point error 3 and 1.
  EXPECT_NE(run.output.find("Z RMS error                                    10            1"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("3D end-point error, mean                        3            1"), std::string::npos)
      << run.output;
  const std::string text = testing::ReadFile(json);
  EXPECT_NE(text.find("\"pixels\": 79,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"start\": {\"pixels\": 79, \"flow2d_undefined\": 0, \"z_rms\": 10,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"result\": {\"pixels\": 79, \"flow2d_undefined\": 0, \"z_rms\": 1,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"z_nrms_percent\": null"), std::string::npos) << text;
  EXPECT_TRUE(fs::exists(folder / "pictures" / "Z_result.png"));
  EXPECT_TRUE(fs::exists(folder / "pictures" / "EPE_start.png"));

  // One tab-separated line for scripts.
  const CommandResult row = RunCommand(eval + " " + results.string() + " " + truth.string() + " --row --border 1");
  ASSERT_EQ(row.status, 0) << row.output;
  EXPECT_EQ(row.output.substr(0, 6), "1\t1\t1\t");

  // Start values only, from a start depth of another size (resized).
  WriteField(folder / "coarse.txt", cv::Mat(5, 6, CV_64F, cv::Scalar(290)));
  const CommandResult start_only = RunCommand(eval + " none " + truth.string() + " --start-only --border 1 --start-depth " +
                                              (folder / "coarse.txt").string());
  ASSERT_EQ(start_only.status, 0) << start_only.output;
  EXPECT_NE(start_only.output.find("(6x5, resized bilinearly)"), std::string::npos) << start_only.output;
  EXPECT_NE(start_only.output.find("Z RMS error                                    10            -"),
            std::string::npos)
      << start_only.output;
  fs::remove_all(folder);
}

TEST(EvalExecutable, RefusesMissingOrMismatchedInputsWithOneLine) {
  const fs::path folder = FreshFolder("errors");
  const fs::path truth = folder / "truth";
  const fs::path results = folder / "results";
  fs::create_directories(truth);
  fs::create_directories(results);
  const cv::Mat z(kRows, kCols, CV_64F, cv::Scalar(300)), zero = cv::Mat::zeros(kRows, kCols, CV_64F);
  for (const char* name : {"U.txt", "V.txt", "W.txt"}) WriteField(truth / name, zero);
  WriteField(truth / "Z.txt", z);
  WriteField(truth / "camera.txt", (cv::Mat_<double>(1, 4) << 200, 200, 6, 5));
  const std::string eval = std::string(SCENEFLOW_BIN_DIR) + "/sceneflow-eval ";

  auto expect_error = [&](const std::string& arguments, const std::string& start) {
    const CommandResult run = RunCommand(eval + arguments);
    EXPECT_EQ(run.status, 1) << arguments;
    EXPECT_EQ(run.output.rfind(start, 0), 0u) << run.output;
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
  };
  expect_error(results.string() + " " + truth.string(), "Error: cannot read " + (results / "Z0_final.txt").string());
  expect_error(results.string() + " " + (folder / "nowhere").string(), "Error: no ground truth in");
  expect_error(results.string(), "Error: RESULT_DIR and GROUND_TRUTH_DIR are needed");
  for (const char* option : {"--help", "-h"}) {
    const auto help = ::sceneflow::testing::RunProgram(eval.substr(0, eval.size() - 1), {option}, folder.string());
    EXPECT_EQ(help.status, 0) << option;
    EXPECT_EQ(help.out.rfind("Usage: ", 0), 0u) << help.out;
    EXPECT_EQ(help.err, "") << option;
  }
  expect_error(results.string() + " " + truth.string() + " --border", "Error: --border needs a value");
  expect_error(results.string() + " " + truth.string() + " --start-only --border 5",
               "Error: no valid pixel to evaluate");

  const cv::Mat half = cv::Mat::zeros(kRows / 2, kCols / 2, CV_64F);
  for (const char* name : {"Z0_final.txt", "U_final.txt", "V_final.txt", "W_final.txt"}) WriteField(results / name, half);
  expect_error(results.string() + " " + truth.string(),
               "Error: the result fields are 6x5 but the ground truth is 12x10; run with PyramidLevelFinal = 1");
  WriteField(results / "W_final.txt", zero);
  expect_error(results.string() + " " + truth.string(), "Error: the fields in " + results.string() + " differ in size");
  expect_error(results.string() + " " + truth.string() + " --start-only --start-disparity d.png",
               "Error: --start-disparity needs --ini");
  fs::remove_all(folder);
}

}  // namespace
}  // namespace sceneflow::eval
