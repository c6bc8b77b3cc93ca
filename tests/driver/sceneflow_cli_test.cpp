// Runs the built estimator on tiny generated inputs and checks what a user sees: streams, exit
// status and files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/run_program.h"
#include "tests/support/scene_files.h"
#include "tests/support/temp_dir.h"

namespace sceneflow {
namespace {

using testing::CountLines;
using testing::ProgramResult;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;
using testing::WriteSmallRun;

const std::string kSceneflow = std::string(SCENEFLOW_BIN_DIR) + "/sceneflow";

ProgramResult Sceneflow(const TempDir& dir, const std::vector<std::string>& arguments) {
  return testing::RunProgram(kSceneflow, arguments, dir.path());
}

void ExpectOneErrorLine(const ProgramResult& result, const std::string& line) {
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, line + "\n");
  EXPECT_EQ(result.out, "");
}

TEST(SceneflowCliTest, NoArgumentPrintsUsageWithEveryDefaultAndCreatesNoLog) {
  TempDir dir;
  const ProgramResult result = Sceneflow(dir, {});
  EXPECT_EQ(result.status, 3);
  EXPECT_EQ(result.out, "");
  const std::string head = "Usage: " + kSceneflow + " <primary.ini> <secondary.ini> ...\n"
      "Each ini file may contain the following values (default values are indicated).\n"
      "The last file on the command-line overrides the previous ones, and you can put\n"
      "different settings in different files.\n"
      "\n[Global] ; Global parameters\n"
      "Alpha = 100 ; Default weight of regularization term vs. data term\n";
  EXPECT_EQ(result.err.rfind(head, 0), 0u) << result.err.substr(0, 400);
  EXPECT_NE(result.err.find("\nImg_0_FileName = (null) ; image files at time 0\n"), std::string::npos);
  EXPECT_NE(result.err.find("\nZ_CONST = 0 ; a const value for the initial Z\n"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(SceneflowCliTest, LogStartsWithTheDumpOfTheLastReadableFileBeforeDerivedDefaults) {
  TempDir dir;
  WriteSmallRun(dir, {16, 12}, 2, "MuZ = 3\n");
  const ProgramResult result = Sceneflow(dir, {"run.ini", "missing.ini"});
  const std::string log = ReadFile(dir / "run.log");
  EXPECT_EQ(log.rfind("\n[Global] ; Global parameters\nAlpha = 100 ;", 0), 0u) << log;
  EXPECT_NE(log.find("\nMuZ = 3 ;"), std::string::npos);
  EXPECT_NE(log.find("\nAlphaSF = -1 ;"), std::string::npos);
  EXPECT_NE(log.find("\nu0 = -1 ;"), std::string::npos);
  EXPECT_NE(log.find("\nTxtResultsDir = results ;"), std::string::npos);
  EXPECT_EQ(log.find("SF_U_Final_FileName"), std::string::npos);
  EXPECT_EQ(CountLines(result.err), 1) << result.err;
}

TEST(SceneflowCliTest, ImageLoadFailuresNameThePrefix) {
  TempDir dir;
  WriteSmallRun(dir, {16, 12}, 2);
  std::filesystem::remove(dir / "it_1.png");
  ExpectOneErrorLine(Sceneflow(dir, {"run.ini"}), "Error: could not load Imagest=it_");
  std::filesystem::remove(dir / "i0_0.png");
  ExpectOneErrorLine(Sceneflow(dir, {"run.ini"}), "Error: could not load Images0=i0_");
  WriteFile(dir / "i0_0.png", "not an image");
  ExpectOneErrorLine(Sceneflow(dir, {"run.ini"}), "Error: could not load Images0=i0_");
}

TEST(SceneflowCliTest, ImagesOfAnotherSizeAreRefused) {
  TempDir dir;
  WriteSmallRun(dir, {16, 12}, 2);
  cv::imwrite(dir / "it_1.png", cv::Mat(12, 17, CV_8U, cv::Scalar(5)));
  ExpectOneErrorLine(Sceneflow(dir, {"run.ini"}),
                     "Error: image it_1.png is 17x12 pixels, the reference image is 16x12");
}

TEST(SceneflowCliTest, CalibrationProblemsNameTheFile) {
  TempDir dir;
  WriteSmallRun(dir, {16, 12}, 2);
  std::filesystem::remove(dir / "R1.txt");
  ExpectOneErrorLine(Sceneflow(dir, {"run.ini"}), "Error: could not read calibration file R1.txt");
  WriteFile(dir / "R1.txt", "1 0 0 0 nan 0 0 0 1");
  ExpectOneErrorLine(Sceneflow(dir, {"run.ini"}),
                     "Error: calibration file R1.txt holds a value that is not a finite number");
}

TEST(SceneflowCliTest, CoarsestLevelMustBeAtLeastFourPixels) {
  // With PyramidEta 0.9 and 11 levels a width of 9 passes (ceil 3.14 = 4) and 8 fails (ceil 2.79).
  const std::string message =
      "Too many pyramid levels, resulting images are smaller than 4x4, please try with less "
      "pyramid levels";
  TempDir narrow;
  WriteSmallRun(narrow, {8, 12}, 2);
  ExpectOneErrorLine(Sceneflow(narrow, {"run.ini"}), message);
  TempDir fitting;
  WriteSmallRun(fitting, {9, 12}, 2);
  EXPECT_EQ(Sceneflow(fitting, {"run.ini"}).err.find("Too many"), std::string::npos);
}

TEST(SceneflowCliTest, SettingsThatCannotRunAreRefusedUpFront) {
  TempDir dir;
  WriteSmallRun(dir, {16, 12}, 2);
  auto refused = [&](const std::string& extra, const std::string& expected_start) {
    WriteFile(dir / "extra.ini", ReadFile(dir / "run.ini") + extra);
    const ProgramResult result = Sceneflow(dir, {"extra.ini"});
    EXPECT_EQ(result.status, 1) << extra;
    EXPECT_EQ(CountLines(result.err), 1) << result.err;
    EXPECT_EQ(result.err.rfind(expected_start, 0), 0u) << result.err;
  };
  refused("NumOfViews = 0\n", "Error: NumOfViews is 0");
  refused("NumOfViews = 3\n", "Error: could not load Images0=i0_");
  refused("PyramidLevelFinal = 5\n", "Error: pyramid levels must satisfy");
  refused("PyramidEta = 1.5\n", "Error: PyramidEta is 1.5");
  refused("Img_t_FileName = ''\n", "Error: could not load Imagest=");
  refused("Alpha = 1\nbroken line\n", "Error: malformed line 12 in parameter file extra.ini");
}

}  // namespace
}  // namespace sceneflow
