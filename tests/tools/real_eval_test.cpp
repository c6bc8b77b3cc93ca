// sceneflow-eval's real and rigid forms on hand-made run folders (as sceneflow-prepare writes
// them), and scripts/realdata without the data folder.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include "io/text_matrix.h"
#include "tests/support/run_program.h"

namespace sceneflow::eval {
namespace {

using ::sceneflow::testing::ProgramResult;
using ::sceneflow::testing::RunProgram;
using ::sceneflow::testing::TempDir;
using ::sceneflow::testing::WriteFile;

namespace fs = std::filesystem;

const std::string kEval = std::string(SCENEFLOW_BIN_DIR) + "/sceneflow-eval";

void WriteMatrix(const cv::Mat& matrix, const std::string& path) {
  std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "w"), &std::fclose);
  ASSERT_TRUE(file);
  WriteTextMatrix(matrix, file.get());
}

// A run folder with prepared.txt and empty start/ and results/ folders.
void MakeRunFolder(const std::string& folder, const std::string& prepared) {
  fs::create_directories(folder + "/start");
  fs::create_directories(folder + "/results");
  WriteFile(folder + "/prepared.txt", prepared);
}

// The `--keys` table as key → column → value.
std::map<std::string, std::map<std::string, double>> KeyTable(const std::string& output) {
  std::map<std::string, std::map<std::string, double>> table;
  std::istringstream lines(output.substr(output.find("\nkey") + 1));
  std::string line;
  std::getline(lines, line);
  std::istringstream header(line);
  std::vector<std::string> columns;
  std::string word;
  header >> word;
  while (header >> word) columns.push_back(word);
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string key;
    words >> key;
    for (const std::string& column : columns) {
      words >> word;
      table[key][column] = word == "-" ? NAN : std::atof(word.c_str());
    }
  }
  return table;
}

void WritePfm(const cv::Mat& field, const std::string& path) {
  std::ofstream file(path, std::ios::binary);
  file << "Pf\n" << field.cols << " " << field.rows << "\n-1\n";
  for (int y = field.rows - 1; y >= 0; --y) {
    for (int x = 0; x < field.cols; ++x) {
      const float value = static_cast<float>(field.at<double>(y, x));
      file.write(reinterpret_cast<const char*>(&value), 4);
    }
  }
}

void WriteFlo(const cv::Mat& flow, const std::string& path) {
  std::ofstream file(path, std::ios::binary);
  const float tag = 202021.25f;
  const int32_t width = flow.cols, height = flow.rows;
  file.write(reinterpret_cast<const char*>(&tag), 4);
  file.write(reinterpret_cast<const char*>(&width), 4);
  file.write(reinterpret_cast<const char*>(&height), 4);
  for (int y = 0; y < flow.rows; ++y) {
    for (int x = 0; x < flow.cols; ++x) {
      const cv::Vec2f value = flow.at<cv::Vec2d>(y, x);
      file.write(reinterpret_cast<const char*>(&value[0]), 8);
    }
  }
}

// Disparity in three truth formats (Middlebury PNG ×4, PFM, KITTI 16-bit PNG): 10 px everywhere
// but in the first five columns (unknown). The start depth gives a disparity 1.5 px too large on
// rows 0–9, 4 px too large on rows 10–14 and the true one below; the result, stored at half size,
// the true one everywhere.
TEST(RealEvalTest, DisparityAgainstEachTruthFormat) {
  TempDir dir;
  const std::string run = dir / "run";
  // focal·baseline = 200, doffs 1: Z = 200 / (d + 1).
  MakeRunFolder(run, "form pair\nwidth 40\nheight 30\noriginal_width 40\noriginal_height 30\nscale 1\n"
                     "focal 100\ncx 20\ncy 15\nbaseline 2\ndoffs 1\ninit stereo\nunknown_key 7\n");
  cv::Mat start(30, 40, CV_64F);
  for (int y = 0; y < 30; ++y) start.row(y).setTo(200.0 / ((y < 10 ? 11.5 : y < 15 ? 14.0 : 10.0) + 1.0));
  WriteMatrix(start, run + "/start/Z0.txt");
  WriteMatrix(cv::Mat(15, 20, CV_64F, cv::Scalar(200.0 / 11.0)), run + "/results/Z0_final.txt");
  for (const char* axis : {"U", "V", "W"}) {
    WriteMatrix(cv::Mat::zeros(15, 20, CV_64F), run + "/results/" + axis + "_final.txt");
  }

  cv::Mat truth(30, 40, CV_64F, cv::Scalar(10.0));
  cv::Mat middlebury(30, 40, CV_8U, cv::Scalar(40)), kitti(30, 40, CV_16U, cv::Scalar(2560));
  truth.colRange(0, 5).setTo(INFINITY);
  middlebury.colRange(0, 5).setTo(0);
  kitti.colRange(0, 5).setTo(0);
  ASSERT_TRUE(cv::imwrite(dir / "disp.png", middlebury));
  ASSERT_TRUE(cv::imwrite(dir / "disp16.png", kitti));
  WritePfm(truth, dir / "disp.pfm");

  for (const std::string truth_file : {"disp.png", "disp16.png", "disp.pfm"}) {
    SCOPED_TRACE(truth_file);
    const ProgramResult eval = RunProgram(kEval, {"real", run, "--disparity", dir / truth_file, "--keys"}, dir.path());
    ASSERT_EQ(eval.status, 0) << eval.err;
    EXPECT_NE(eval.out.find("1050 known pixels"), std::string::npos) << eval.out;
    auto table = KeyTable(eval.out);
    EXPECT_NEAR(table["bad1"]["start"], 50.0, 1e-3);
    EXPECT_NEAR(table["bad2"]["start"], 100.0 / 6.0, 1e-2);
    EXPECT_NEAR(table["d1"]["start"], 100.0 / 6.0, 1e-2);
    EXPECT_NEAR(table["disp_mae"]["start"], 35.0 / 30.0, 1e-3);
    EXPECT_NEAR(table["disp_bias"]["start"], 1.5, 1e-3);  // 525 errors of 0, 350 of 1.5, 175 of 4
    EXPECT_NEAR(table["bad1"]["result"], 0.0, 1e-9);
    EXPECT_NEAR(table["disp_mae"]["result"], 0.0, 1e-4);
    EXPECT_NEAR(table["motion2d"]["result"], 0.0, 1e-9);
    EXPECT_EQ(table.count("flow_epe"), 0u);
  }

  const ProgramResult missing = RunProgram(kEval, {"real", dir / "nowhere"}, dir.path());
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("prepared.txt"), std::string::npos) << missing.err;
  EXPECT_EQ(std::count(missing.err.begin(), missing.err.end(), '\n'), 1);
}

// One camera at half the original size: depth 50, U = 1 moves the images/ pixel by 1 and the
// original one by 2. The truth is 6 px on rows 0–9 and 2 px below (column 0 unknown), as .flo and
// as a KITTI flow PNG.
TEST(RealEvalTest, FlowEndPointErrorAndFlRate) {
  TempDir dir;
  const std::string run = dir / "run";
  MakeRunFolder(run, "form mono\nwidth 20\nheight 15\noriginal_width 40\noriginal_height 30\nscale 0.5\n"
                     "focal 50\ncx 10\ncy 7.5\nbaseline 0\ninit pipeline\n");
  WriteFile(run + "/start/Z0.txt", "50.000000\t\n");
  WriteMatrix(cv::Mat(15, 20, CV_64F, cv::Scalar(1.0)), run + "/start/U.txt");
  WriteMatrix(cv::Mat::zeros(15, 20, CV_64F), run + "/start/V.txt");
  WriteMatrix(cv::Mat::zeros(15, 20, CV_64F), run + "/start/W.txt");

  cv::Mat flow(30, 40, CV_64FC2, cv::Scalar(2.0, 0.0));
  flow.rowRange(0, 10).setTo(cv::Scalar(6.0, 0.0));
  cv::Mat kitti(30, 40, CV_16UC3);
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 40; ++x) {
      kitti.at<cv::Vec3w>(y, x) = cv::Vec3w(x == 0 ? 0 : 1, 32768, static_cast<uint16_t>(32768 + 64 * flow.at<cv::Vec2d>(y, x)[0]));
    }
  }
  flow.col(0).setTo(cv::Scalar(2e9, 0.0));
  WriteFlo(flow, dir / "flow.flo");
  ASSERT_TRUE(cv::imwrite(dir / "flow.png", kitti));

  for (const std::string truth_file : {"flow.flo", "flow.png"}) {
    SCOPED_TRACE(truth_file);
    const ProgramResult eval = RunProgram(kEval, {"real", run, "--flow", dir / truth_file, "--keys"}, dir.path());
    ASSERT_EQ(eval.status, 0) << eval.err;
    EXPECT_NE(eval.out.find("1170 known pixels"), std::string::npos) << eval.out;
    auto table = KeyTable(eval.out);
    EXPECT_NEAR(table["flow_epe"]["start"], 100.0 / 30.0, 1e-3);
    EXPECT_NEAR(table["fl"]["start"], 100.0 / 3.0, 1e-2);
    EXPECT_NEAR(table["flow_epe"]["pipeline"], 40.0 / 30.0, 1e-3);
    EXPECT_NEAR(table["fl"]["pipeline"], 100.0 / 3.0, 1e-2);
    EXPECT_NEAR(table["motion2d"]["pipeline"], 2.0, 1e-6);
    EXPECT_EQ(table["flow_epe"].count("result"), 0u);  // no result files: no result column
  }
}

// Truth files whose headers ask for 100000 × 100000 pixels but hold a few: refused with one line
// before anything is allocated for them.
TEST(RealEvalTest, TruthFilesShorterThanTheirHeadersAreRefused) {
  TempDir dir;
  const std::string run = dir / "run";
  MakeRunFolder(run, "form pair\nwidth 20\nheight 15\nscale 1\nfocal 50\nbaseline 2\n");
  WriteFile(run + "/start/Z0.txt", "50\n");
  const float tag = 202021.25f;
  const int32_t size[2] = {100000, 100000};
  WriteFile(dir / "big.flo", std::string(reinterpret_cast<const char*>(&tag), 4) +
                                 std::string(reinterpret_cast<const char*>(size), 8) +
                                 std::string(64, '\0'));
  WriteFile(dir / "big.pfm", "Pf\n100000 100000\n-1\n" + std::string(64, '\0'));
  const ProgramResult flow = RunProgram(kEval, {"real", run, "--flow", dir / "big.flo"}, dir.path());
  EXPECT_EQ(flow.status, 1);
  EXPECT_EQ(flow.err, "Error: " + dir / "big.flo" + " is shorter than its 100000x100000 flow\n");
  const ProgramResult disparity =
      RunProgram(kEval, {"real", run, "--disparity", dir / "big.pfm"}, dir.path());
  EXPECT_EQ(disparity.status, 1);
  EXPECT_EQ(disparity.err, "Error: " + dir / "big.pfm" + " is shorter than its header says\n");
}

// Points 5 to 12 m deep seen by a camera that moves 0.8 m forward and turns by 1 degree; a block
// of pixels (a car) moves on its own. The fit must find the camera's motion and leave the car out;
// the result's W is 0.9 times the pipeline's.
TEST(RealEvalTest, RigidFitFindsTheCameraMotion) {
  TempDir dir;
  const std::string run = dir / "run";
  const int width = 60, height = 40;
  const double focal = 100, cx = 30, cy = 20;
  MakeRunFolder(run, "form kitti\nwidth 60\nheight 40\nscale 1\nfocal 100\ncx 30\ncy 20\nbaseline 0.5\n"
                     "init pipeline\n");
  cv::Matx33d rotation;
  cv::Rodrigues(cv::Vec3d(0, 1.0 * CV_PI / 180.0, 0), rotation);
  const cv::Vec3d translation(0.02, 0.0, -0.8);
  cv::Mat z(height, width, CV_64F), u(height, width, CV_64F), v(height, width, CV_64F), w(height, width, CV_64F);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double depth = 5.0 + 0.1 * x + 0.05 * y;
      const cv::Vec3d point((x - cx) * depth / focal, (y - cy) * depth / focal, depth);
      cv::Vec3d motion = rotation * point + translation - point;
      if (x >= 5 && x < 20 && y >= 25 && y < 35) motion = cv::Vec3d(0.3, 0.0, 2.5);
      z.at<double>(y, x) = depth;
      u.at<double>(y, x) = motion[0];
      v.at<double>(y, x) = motion[1];
      w.at<double>(y, x) = motion[2];
    }
  }
  WriteMatrix(z, run + "/start/Z0.txt");
  WriteMatrix(u, run + "/start/U.txt");
  WriteMatrix(v, run + "/start/V.txt");
  WriteMatrix(w, run + "/start/W.txt");
  WriteMatrix(z, run + "/results/Z0_final.txt");
  WriteMatrix(u, run + "/results/U_final.txt");
  WriteMatrix(v, run + "/results/V_final.txt");
  WriteMatrix(0.9 * w, run + "/results/W_final.txt");

  const ProgramResult eval = RunProgram(kEval, {"rigid", run, "--keys"}, dir.path());
  ASSERT_EQ(eval.status, 0) << eval.err;
  auto table = KeyTable(eval.out);
  const cv::Vec3d camera_motion = -(rotation.t() * translation);
  EXPECT_NEAR(table["forward"]["value"], camera_motion[2], 1e-3);
  EXPECT_NEAR(table["static_percent"]["value"], 100.0 * (2400 - 150) / 2400, 1e-2);
  EXPECT_LT(table["w_fit"]["value"], -0.75);
  EXPECT_NEAR(table["w_pipeline"]["value"], table["w_fit"]["value"], 1e-3);
  EXPECT_NEAR(table["w_ratio"]["value"], 0.9, 1e-3);

  fs::remove(run + "/start/W.txt");
  const ProgramResult no_pipeline = RunProgram(kEval, {"rigid", run}, dir.path());
  EXPECT_EQ(no_pipeline.status, 1);
  EXPECT_NE(no_pipeline.err.find("--init pipeline"), std::string::npos) << no_pipeline.err;
}

TEST(RealDataScriptTest, SkipsWithoutTheDataFolder) {
  TempDir dir;
  const std::string script = std::string(SCENEFLOW_SOURCE_DIR) + "/scripts/realdata";
  const sceneflow::testing::CommandResult result =
      sceneflow::testing::RunCommand("SCENEFLOW_DATA=" + dir / "no-data" + " " + script + " " + dir / "build");
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_NE(result.output.find("skipped"), std::string::npos) << result.output;
  EXPECT_FALSE(fs::exists(dir / "build"));
}

}  // namespace
}  // namespace sceneflow::eval
