// Runs the estimator on inputs a user can get wrong: each must end with one line on standard
// error and status 1, and leave no result file behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include <opencv2/imgcodecs.hpp>

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

struct BadInput {
  const char* name;
  std::function<void(const TempDir&)> spoil;  // changes a valid run in its folder
  const char* expected_start;                 // how the error line begins
};

void AppendToIni(const TempDir& dir, const std::string& text) {
  WriteFile(dir / "run.ini", ReadFile(dir / "run.ini") + text);
}

std::function<void(const TempDir&)> Setting(const std::string& text) {
  return [text](const TempDir& dir) { AppendToIni(dir, text); };
}

std::function<void(const TempDir&)> FileText(const std::string& name, const std::string& text) {
  return [name, text](const TempDir& dir) { WriteFile(dir / name, text); };
}

const BadInput kBadInputs[] = {
    {"corrupt image", FileText("i0_1.png", "\x89PNG\r\n\x1a\n broken"), "Error: could not load Images0=i0_"},
    {"truncated image",
     [](const TempDir& dir) { WriteFile(dir / "it_0.png", ReadFile(dir / "it_0.png").substr(0, 60)); },
     "Error: could not load Imagest=it_"},
    {"image of another size",
     [](const TempDir& dir) { cv::imwrite(dir / "it_1.png", cv::Mat(20, 24, CV_8U, cv::Scalar(1))); },
     "Error: image it_1.png is 24x20 pixels"},
    {"missing calibration", [](const TempDir& dir) { std::filesystem::remove(dir / "T1.txt"); },
     "Error: could not read calibration file T1.txt"},
    {"calibration with infinity", FileText("C0.txt", "100 0 inf 0 100 8 0 0 1"),
     "Error: C0.txt line 1: \"inf\" is not a number"},
    {"calibration with NaN", FileText("T0.txt", "0 nan 0"), "Error: T0.txt line 1: \"nan\" is not a number"},
    {"calibration holding a word", FileText("T1.txt", "abc\n"), "Error: T1.txt line 1: \"abc\" is not a number"},
    {"calibration with a number missing", FileText("T0.txt", "0\n0\n"),
     "Error: T0.txt holds 2 numbers, not the 3 of a 3x1 matrix"},
    {"calibration with a number too many", FileText("C1.txt", "100 0 16\n0 100 12\n0 0 1 0\n"),
     "Error: C1.txt holds 10 numbers, not the 9 of a 3x3 matrix"},
    {"no readable parameter file", [](const TempDir& dir) { std::filesystem::remove(dir / "run.ini"); },
     "Error: none of the parameter files could be read: run.ini"},
    {"singular rotation", FileText("R1.txt", "1 0 0 0 1 0 0 0 0"), "Error: rotation R1.txt is singular"},
    {"zero focal length in a view", FileText("C1.txt", "0 0 16 0 100 12 0 0 1"),
     "Error: intrinsic matrix C1.txt has a focal length of 0"},
    {"f0ku of 0", Setting("f0ku = 0\n"), "Error: f0ku is 0, it must be positive"},
    {"negative f0kv", Setting("f0kv = -100\n"), "Error: f0kv is -100, it must be positive"},
    {"PyramidEta above 1", Setting("PyramidEta = 1.2\n"), "Error: PyramidEta is 1.2"},
    {"PyramidEta of 0", Setting("PyramidEta = 0\n"), "Error: PyramidEta is 0"},
    {"final level 0", Setting("PyramidLevelFinal = 0\n"), "Error: pyramid levels must satisfy"},
    {"final level coarser than the scene-flow levels", Setting("PyramidLevelFinal = 6\n"),
     "Error: pyramid levels must satisfy"},
    {"too many levels", Setting("PyramidLevelsFlow = 40\n"), "Too many pyramid levels"},
    {"pyramids beyond the memory", Setting("PyramidEta = 0.999999999\nPyramidLevelsFlow = 100000000\n"),
     "Error: 100000000 pyramid levels would need more than"},
    {"no views", Setting("NumOfViews = 0\n"), "Error: NumOfViews is 0"},
    {"more views than images", Setting("NumOfViews = 3\n"), "Error: could not load Images0=i0_"},
    {"missing start depth file", Setting("[SceneFlow]\nSF_Z0_start_Txt_FileName = none.txt\n"),
     "Error: could not read start field file none.txt"},
    {"start motion holding NaN",
     [](const TempDir& dir) {
       WriteFile(dir / "u.txt", "0.5 nan 1");
       AppendToIni(dir, "[SceneFlow]\nSF_U_start_Txt_FileName = u.txt\n");
     },
     "Error: start field file u.txt holds a value that is not a finite number"},
    {"missing results folder", [](const TempDir& dir) { std::filesystem::remove(dir / "results"); },
     "Error: TxtResultsDir results is not a writable directory"},
    {"results folder is a file",
     [](const TempDir& dir) {
       std::filesystem::remove(dir / "results");
       WriteFile(dir / "results", "");
     },
     "Error: TxtResultsDir results is not a writable directory"},
    {"malformed INI line", Setting("MaxIterSOR: 5\n"), "Error: malformed line 13 in parameter file run.ini"},
    {"relaxation outside (0, 2)", Setting("OmegaSOR = 2.5\n"), "Error: OmegaSOR is 2.5"},
    {"negative maxZ", Setting("maxZ = -1\n"), "Error: maxZ is -1, it must be positive"},
    {"negative gradient weight", Setting("MuW = -1\n"), "Error: MuW is -1, it must not be negative"},
    {"black-line mask without its image", Setting("BLACK_LINE = 1\n"), "Error: BLACK_LINE is set"},
    {"missing black-line image", Setting("BLACK_LINE = 1\n[SceneFlow]\nZt_initFile = line.png\n"),
     "Error: could not load Zt_initFile=line.png"},
    {"missing disparity image",
     Setting("InitStereo = 1\nInitStereoBP = 0\n[Stereo]\nST_D0_initialFileName = d.png\n"),
     "Error: could not load initial disparity d.png"},
};

class RobustnessTest : public ::testing::TestWithParam<BadInput> {};

TEST_P(RobustnessTest, EndsWithOneLineAndStatusOneAndNoResults) {
  TempDir dir;
  WriteSmallRun(dir, {32, 24}, 2, "PyramidLevelsFlow = 4\nMaxIterOuter = 1\n");
  GetParam().spoil(dir);
  const ProgramResult result =
      testing::RunProgram(std::string(SCENEFLOW_BIN_DIR) + "/sceneflow", {"run.ini"}, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(CountLines(result.err), 1) << result.err;
  EXPECT_EQ(result.err.rfind(GetParam().expected_start, 0), 0u) << result.err;
  EXPECT_EQ(result.out, "");
  if (std::filesystem::is_directory(dir / "results")) {
    for (const auto& entry : std::filesystem::directory_iterator(dir / "results")) {
      ADD_FAILURE() << "left behind: " << entry.path();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BadInputs, RobustnessTest, ::testing::ValuesIn(kBadInputs),
                         [](const ::testing::TestParamInfo<BadInput>& info) {
                           std::string name = info.param.name;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

TEST(RobustnessTest, UnreadableIniFileIsSkippedSilently) {
  TempDir dir;
  WriteSmallRun(dir, {32, 24}, 2, "PyramidLevelsFlow = 4\nMaxIterOuter = 1\n");
  // The readable file decides; the missing one named after it changes nothing.
  const ProgramResult result = testing::RunProgram(std::string(SCENEFLOW_BIN_DIR) + "/sceneflow",
                                                   {"run.ini", "missing.ini"}, dir.path());
  EXPECT_EQ(result.status, 0) << result.err;
  // No readable file at all: every name is listed, and no log is created.
  std::filesystem::remove(dir / "run.log");
  const ProgramResult nothing = testing::RunProgram(std::string(SCENEFLOW_BIN_DIR) + "/sceneflow",
                                                    {"missing.ini", "results"}, dir.path());
  EXPECT_EQ(nothing.status, 1);
  EXPECT_EQ(nothing.err, "Error: none of the parameter files could be read: missing.ini results\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "run.log"));
  EXPECT_FALSE(std::filesystem::exists(dir / "sf.log"));
}

}  // namespace
}  // namespace sceneflow
