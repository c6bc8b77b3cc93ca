#include "driver/start_fields.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <opencv2/imgcodecs.hpp>

#include "config/input_error.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace sceneflow {
namespace {

using testing::CountLines;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

TEST(StereoCommandTest, QuotesOnlyNamesThatNeedIt) {
  EXPECT_EQ(QuoteForShell("data/left-0_a.png"), "data/left-0_a.png");
  EXPECT_EQ(QuoteForShell("a+b,c:d=e@f%g"), "a+b,c:d=e@f%g");
  EXPECT_EQ(QuoteForShell("my image.png"), "'my image.png'");
  EXPECT_EQ(QuoteForShell("it's;$(rm -rf x)`y`\n"), "'it'\\''s;$(rm -rf x)`y`\n'");
  EXPECT_EQ(QuoteForShell(""), "''");
  ParameterSet parameters;
  parameters.Il0_FileName = "l.png";
  parameters.Ir0_FileName = "r 1.png";
  EXPECT_EQ(BuildStereoCommand(parameters),
            ".\\bp-vision\\stereo.exe l.png 'r 1.png' D0_ST_init_Middlebury.pgm");
}

// Runs PrepareStartFields in a temporary folder with a 20×16 reference image.
class StartFieldsTest : public ::testing::Test {
 protected:
  StartFieldsTest() {
    parameters_.TxtResultsDir = dir_.path();
    parameters_.PyramidLevelsFlow = parameters_.PyramidLevelsSF;  // single stage unless a test asks
  }

  std::string Grey(const std::string& name, uchar value) {
    cv::imwrite(dir_ / name, cv::Mat(grids_.full, CV_8U, cv::Scalar(value)));
    return dir_ / name;
  }

  StartFields Prepare() {
    RunLog log((dir_ / "run.log").c_str());
    return PrepareStartFields(parameters_, grids_, log);
  }

  std::string Log() const { return ReadFile(dir_ / "run.log"); }

  static float Mean(const cv::Mat& field) { return static_cast<float>(cv::mean(field)[0]); }

  TempDir dir_;
  ParameterSet parameters_;
  StartGrids grids_{{20, 16}, {7, 6}, cv::Size()};
};

TEST_F(StartFieldsTest, DefaultsGiveZeroFieldsAndTheirLogLines) {
  const StartFields fields = Prepare();
  EXPECT_EQ(fields.Z.size(), cv::Size(7, 6));
  EXPECT_EQ(cv::countNonZero(fields.Z) + cv::countNonZero(fields.U) + cv::countNonZero(fields.W), 0);
  EXPECT_TRUE(fields.Z_scene_flow.empty());
  EXPECT_EQ(Log(), "** Initialization: Z to null\n** Initialization: U to zero\n"
                   "** Initialization: V to zero\n** Initialization: W to zero\n");
}

TEST_F(StartFieldsTest, ConstantsShowTheirIntegerPart) {
  parameters_.Z_CONST = 600;
  parameters_.U_CONST = 3.9;
  parameters_.V_CONST = -0.7;
  parameters_.W_CONST = -2.5;
  const StartFields fields = Prepare();
  EXPECT_FLOAT_EQ(Mean(fields.Z), 600.f);
  EXPECT_FLOAT_EQ(Mean(fields.U), 3.9f);
  EXPECT_EQ(Log(), "** Initialization: Z to const\n** Initialization: U to 3\n"
                   "** Initialization: V to 0\n** Initialization: W to -2\n");
}

TEST_F(StartFieldsTest, ConstantsBeyondTheIntRangeShowTheirIntegerPart) {
  parameters_.U_CONST = 1e10;
  parameters_.V_CONST = -3e9 - 0.5;
  parameters_.W_CONST = -1e-300;
  Prepare();
  EXPECT_EQ(Log(), "** Initialization: Z to null\n** Initialization: U to 10000000000\n"
                   "** Initialization: V to -3000000000\n** Initialization: W to 0\n");
}

TEST_F(StartFieldsTest, ImagesComeBeforeTextsAndConstants) {
  parameters_.SF_Z0_start_init_FileName = Grey("z.png", 12);
  parameters_.SF_Z0_start_Txt_FileName = dir_ / "unused.txt";
  parameters_.Z0_init_Scale = 10;
  parameters_.SF_U_start_init_FileName = Grey("u.png", 200);  // grey 200 means no motion
  parameters_.U_CONST = 5;
  parameters_.SF_V_start_init_FileName = Grey("v.png", 0);
  parameters_.SF_W_start_Txt_FileName = dir_ / "w.txt";
  WriteFile(dir_ / "w.txt", "1.25");
  const StartFields fields = Prepare();
  EXPECT_FLOAT_EQ(Mean(fields.Z), 120.f);
  EXPECT_FLOAT_EQ(Mean(fields.U), 0.f);
  EXPECT_FLOAT_EQ(Mean(fields.V), 50.f);
  EXPECT_FLOAT_EQ(Mean(fields.W), 1.25f);
  EXPECT_EQ(Log(), "** Initialization: Z is read from file\n** Initialization: U is read from file\n");
}

TEST_F(StartFieldsTest, DisparityImageTakesPrecedenceOverDepthSources) {
  parameters_.InitStereo = 1;
  parameters_.InitStereoBP = 0;
  parameters_.ST_D0_initialFileName = Grey("d.png", 8);
  parameters_.D_SCALE = 4;  // grey 8 is disparity -2: beyond maxZ, so clamped
  parameters_.SF_Z0_start_init_FileName = Grey("z.png", 12);
  parameters_.ST_initD0_FileName = dir_ / "d0.pgm";
  parameters_.ST_initZ0_FileName = dir_ / "z0.png";
  EXPECT_FLOAT_EQ(Mean(Prepare().Z), 950.f);
  EXPECT_EQ(Log().rfind("** Initialization: D is read from file\n** Initialization: U to zero\n", 0), 0u);
  EXPECT_EQ(cv::imread(dir_ / "d0.pgm", cv::IMREAD_UNCHANGED).size(), grids_.coarsest);
  EXPECT_EQ(cv::imread(dir_ / "z0.png", cv::IMREAD_UNCHANGED).size(), grids_.full);

  parameters_.D_SCALE = 0;  // grey 8 is disparity -4: 2000 / 4
  EXPECT_FLOAT_EQ(Mean(Prepare().Z), 500.f);
  parameters_.ST_D0_initialFileName.reset();
  try {
    Prepare();
    FAIL() << "no error without a disparity file";
  } catch (const InputError& error) {
    EXPECT_STREQ(error.what(), "Error: initial disparity file is not supplied!");
  }
}

TEST_F(StartFieldsTest, TwoStageRunAlsoGetsTheSceneFlowDepth) {
  grids_.scene_flow = {11, 9};
  cv::Mat depth(grids_.full, CV_32F);
  cv::randu(depth, 100, 200);
  FILE* stream = std::fopen((dir_ / "z.txt").c_str(), "w");
  for (int r = 0; r < depth.rows; ++r) {
    for (int c = 0; c < depth.cols; ++c) std::fprintf(stream, "%d ", 100 + r * 5);
  }
  std::fclose(stream);
  parameters_.SF_Z0_start_Txt_FileName = dir_ / "z.txt";
  const StartFields fields = Prepare();
  EXPECT_EQ(fields.Z_scene_flow.size(), cv::Size(11, 9));
  EXPECT_NEAR(Mean(fields.Z_scene_flow), 137.5f, 1e-3);
  EXPECT_NEAR(Mean(fields.Z), 137.5f, 1e-3);
  EXPECT_LT(fields.Z.at<float>(0, 0), fields.Z.at<float>(5, 0));

  parameters_.SF_Z0_start_Txt_FileName.reset();
  parameters_.Z_CONST = 42;
  EXPECT_FLOAT_EQ(Mean(Prepare().Z_scene_flow), 42.f);
}

TEST_F(StartFieldsTest, StartFilesHoldTheCoarsestGrid) {
  grids_ = {{640, 480}, {224, 168}, cv::Size()};
  parameters_.W_CONST = 1.5;
  Prepare();
  for (const char* name : {"Z0_start.txt", "W_start.txt", "U_start.txt", "V_start.txt"}) {
    const std::string text = ReadFile(dir_ / name);
    EXPECT_EQ(CountLines(text), 168) << name;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\t'), 224 * 168) << name;
  }
  EXPECT_EQ(ReadFile(dir_ / "W_start.txt").substr(0, 9), "1.500000\t");
}

TEST_F(StartFieldsTest, UnreadableSourcesAndSizesAreNamed) {
  auto error_of = [&]() -> std::string {
    try {
      Prepare();
    } catch (const InputError& error) {
      return error.what();
    }
    return "no error";
  };
  parameters_.SF_V_start_init_FileName = dir_ / "missing.png";
  EXPECT_EQ(error_of(), "Error: could not load start V image " + dir_ / "missing.png");
  parameters_.SF_V_start_init_FileName.reset();
  parameters_.SF_U_start_Txt_FileName = dir_ / "missing.txt";
  EXPECT_EQ(error_of(), "Error: could not read start field file " + dir_ / "missing.txt");
  WriteFile(dir_ / "inf.txt", "1 2 inf");
  parameters_.SF_U_start_Txt_FileName = dir_ / "inf.txt";
  EXPECT_NE(error_of().find("not a finite number"), std::string::npos);
  parameters_.SF_U_start_Txt_FileName.reset();
  cv::imwrite(dir_ / "small.png", cv::Mat(4, 4, CV_8U, cv::Scalar(1)));
  parameters_.SF_Z0_start_init_FileName = dir_ / "small.png";
  EXPECT_EQ(error_of(), "Error: image " + dir_ / "small.png" +
                            " is 4x4 pixels, the reference image is 20x16");
  parameters_.SF_Z0_start_init_FileName.reset();
  parameters_.TxtResultsDir = dir_ / "absent";
  EXPECT_EQ(error_of(), "Error: could not write start field file " + dir_ / "absent/Z0_start.txt");
}

TEST_F(StartFieldsTest, ExternalProgramGetsEachFileNameAsOneArgument) {
  // A stand-in program that records its arguments and writes a disparity image of grey 40.
  const std::string program = dir_ / "stereo.sh";
  Grey("result.png", 40);
  WriteFile(program, "#!/bin/sh\nprintf '%s|' \"$@\" > \"" + dir_ / "arguments" +
                         "\"\ncp \"" + dir_ / "result.png" + "\" \"$3\"\n");
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  parameters_.InitStereo = 1;
  parameters_.StereoExecutable = program;
  parameters_.Il0_FileName = Grey("left image.png", 1);
  parameters_.Ir0_FileName = Grey("right;$(touch pwned).png", 1);
  parameters_.ST_D0_Init_Middlebury_FileName = dir_ / "out 'd'.png";
  const StartFields fields = Prepare();
  EXPECT_FLOAT_EQ(Mean(fields.Z), 100.f);  // D = -20, Z = -2000 / -20
  EXPECT_EQ(ReadFile(dir_ / "arguments"), dir_ / "left image.png|" + dir_ /
                "right;$(touch pwned).png|" + dir_ / "out 'd'.png|");
  EXPECT_FALSE(std::filesystem::exists("pwned"));
  EXPECT_EQ(Log().rfind("** Initialization: external command \"" + BuildStereoCommand(parameters_) +
                        "\"\n", 0), 0u);

  WriteFile(program, "#!/bin/sh\nexit 3\n");
  try {
    Prepare();
    FAIL() << "no error for a failing program";
  } catch (const InputError& error) {
    EXPECT_EQ(std::string(error.what()), "Error: command \"" + BuildStereoCommand(parameters_) +
                                             "\" failed");
  }
  WriteFile(program, "#!/bin/sh\nexit 0\n");
  std::filesystem::remove(dir_ / "out 'd'.png");
  EXPECT_THROW(Prepare(), InputError);  // success without a result image
}

}  // namespace
}  // namespace sceneflow
