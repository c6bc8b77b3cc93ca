// Runs the built estimator on tiny generated inputs and checks what a user sees: streams, exit
// status and files.
#include <gtest/gtest.h>

#include <algorithm>
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

TEST(SceneflowCliTest, HelpPrintsTheUsageOnStandardOutputAndCreatesNoLog) {
  TempDir dir;
  const std::string usage = Sceneflow(dir, {}).err;
  for (const char* option : {"--help", "-h"}) {
    const ProgramResult result = Sceneflow(dir, {option});
    EXPECT_EQ(result.status, 0) << option;
    EXPECT_EQ(result.out, usage) << option;
    EXPECT_EQ(result.err, "") << option;
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(SceneflowCliTest, MisspeltAndMisplacedKeysAreReportedAndTheRunGoesOnAsWithoutThem) {
  TempDir clean;
  WriteSmallRun(clean, {16, 12}, 2);
  TempDir spoilt;
  WriteSmallRun(spoilt, {16, 12}, 2, "Aplha_SF = 4\n[Stereo]\nAlpha = 5\n");
  const ProgramResult clean_run = Sceneflow(clean, {"run.ini"});
  const ProgramResult spoilt_run = Sceneflow(spoilt, {"run.ini"});
  ASSERT_EQ(clean_run.status, 0) << clean_run.err;
  EXPECT_EQ(clean_run.err, "");

  const std::string warnings =
      "Warning: parameter file run.ini line 11: unknown key Aplha_SF in [Global] is ignored; did "
      "you mean AlphaSF?\n"
      "Warning: parameter file run.ini line 13: key Alpha is ignored in [Stereo]; it belongs in "
      "[Global]\n";
  EXPECT_EQ(spoilt_run.status, 0);
  EXPECT_EQ(spoilt_run.err, warnings);
  EXPECT_EQ(spoilt_run.out, clean_run.out);
  for (const char* name : {"Z0_final.txt", "U_final.txt", "V_final.txt", "W_final.txt"}) {
    EXPECT_EQ(ReadFile(spoilt / ("results/" + std::string(name))),
              ReadFile(clean / ("results/" + std::string(name))))
        << name;
  }
  // The log is the dump, as without the keys, then "** " lines only: the warnings come first.
  const std::string clean_log = ReadFile(clean / "run.log");
  const size_t dump_end = clean_log.find("\n** ") + 1;
  ASSERT_NE(dump_end, 0u);
  const std::string expected_log = clean_log.substr(0, dump_end) +
      "** Warning: parameter file run.ini line 11: unknown key Aplha_SF in [Global] is ignored; "
      "did you mean AlphaSF?\n"
      "** Warning: parameter file run.ini line 13: key Alpha is ignored in [Stereo]; it belongs in "
      "[Global]\n" + clean_log.substr(dump_end);
  EXPECT_EQ(ReadFile(spoilt / "run.log"), expected_log);
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
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "Scene Flow finished!");
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
  ExpectOneErrorLine(Sceneflow(dir, {"run.ini"}), "Error: R1.txt line 1: \"nan\" is not a number");
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

// Columns and rows of a text matrix file.
cv::Size TextMatrixSize(const std::string& path) {
  const std::string text = ReadFile(path);
  const int rows = CountLines(text);
  const int tabs = static_cast<int>(std::count(text.begin(), text.end(), '\t'));
  return rows == 0 ? cv::Size() : cv::Size(tabs / rows, rows);
}

TEST(SceneflowCliTest, TwoStageRunWritesResultsOfTheFinalLevel) {
  TempDir dir;
  WriteSmallRun(dir, {40, 32}, 2,
                "PyramidEta = 0.5\nPyramidLevelsFlow = 3\nPyramidLevelsSF = 2\nPyramidLevelFinal = 1\n"
                "MaxIterOuter = 1\nMaxIterInner = 1\nMaxIterSOR = 2\nf0ku = 40\nf0kv = 40\n"
                "[SceneFlow]\nZ_CONST = 50\nSF_U_Final_FileName = results/U.png\n"
                "SF_W_Final_FileName = results/W.png\n");
  const ProgramResult result = Sceneflow(dir, {"run.ini"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "Scene Flow finished!");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(TextMatrixSize(dir / "results/Z0_start.txt"), cv::Size(10, 8));
  for (const char* name : {"Z0_final.txt", "U_final.txt", "V_final.txt", "W_final.txt"}) {
    EXPECT_EQ(TextMatrixSize(dir / ("results/" + std::string(name))), cv::Size(40, 32)) << name;
  }
  EXPECT_EQ(cv::imread(dir / "results/U.png").size(), cv::Size(40, 32));
  EXPECT_TRUE(std::filesystem::exists(dir / "results/W.png"));
  const std::string log = ReadFile(dir / "run.log");
  // Flow stage on levels 3 and 2, then the scene-flow stage on levels 2 and 1.
  auto reports = [&](const std::string& line) {
    int count = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
    return count;
  };
  EXPECT_EQ(reports("** LEVEL 3 resolution 10 x 8\n"), 2);
  EXPECT_EQ(reports("** LEVEL 2 resolution 20 x 16\n"), 4);  // processed by both stages
  EXPECT_EQ(reports("** LEVEL 1 resolution 40 x 32\n"), 2);
  EXPECT_LT(log.find("** Initialization: Z to const\n"), log.find("** LEVEL 3"));
  const size_t saving = log.find("** Saving results\n** Saving results : U\n"
                                 "** Saving results : V\n** Saving results : W\n");
  EXPECT_NE(saving, std::string::npos);
  EXPECT_GT(saving, log.rfind("** LEVEL 1 resolution 40 x 32\n"));
  for (const auto& entry : std::filesystem::directory_iterator(dir / "results")) {
    EXPECT_EQ(entry.path().string().find("partial"), std::string::npos) << entry.path();
  }

  // A final level above 1 gives results of that level's size.
  WriteFile(dir / "coarse.ini", ReadFile(dir / "run.ini") + "[Global]\nPyramidLevelFinal = 2\n");
  EXPECT_EQ(Sceneflow(dir, {"coarse.ini"}).status, 0);
  EXPECT_EQ(TextMatrixSize(dir / "results/U_final.txt"), cv::Size(20, 16));
}

TEST(SceneflowCliTest, PhaseTimesFollowTheResultsAndAPlaceThatCannotTakeThemIsRefusedFirst) {
  TempDir dir;
  WriteSmallRun(dir, {16, 12}, 2);
  const std::string nowhere = dir / "nowhere/times.txt";
  setenv("SCENEFLOW_PHASE_TIMES", nowhere.c_str(), 1);
  ExpectOneErrorLine(Sceneflow(dir, {"run.ini"}), "Error: could not write phase times to " + nowhere);
  EXPECT_FALSE(std::filesystem::exists(dir / "run.log"));
  EXPECT_TRUE(std::filesystem::is_empty(dir / "results"));

  setenv("SCENEFLOW_PHASE_TIMES", (dir / "times.txt").c_str(), 1);
  const ProgramResult timed = Sceneflow(dir, {"run.ini"});
  unsetenv("SCENEFLOW_PHASE_TIMES");
  ASSERT_EQ(timed.status, 0) << timed.err;
  EXPECT_TRUE(std::filesystem::exists(dir / "results/V_final.txt"));
  const std::string times = ReadFile(dir / "times.txt");
  EXPECT_EQ(CountLines(times), 7) << times;
  EXPECT_EQ(times.rfind("warping ", 0), 0u) << times;
}

TEST(SceneflowCliTest, ResultsDirectoryMustExistBeforeTheRun) {
  TempDir dir;
  WriteSmallRun(dir, {16, 12}, 2, "TxtResultsDir = nowhere\n");
  ExpectOneErrorLine(Sceneflow(dir, {"run.ini"}), "Error: TxtResultsDir nowhere is not a writable directory");
  EXPECT_FALSE(std::filesystem::exists(dir / "nowhere"));
}

}  // namespace
}  // namespace sceneflow
