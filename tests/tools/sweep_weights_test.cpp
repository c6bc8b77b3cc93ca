// Runs scripts/sweep-weights end to end with a stand-in estimator, so the sweep's own work is
// checked: full INI copies with the swept keys, one output folder per setting, parallel runs,
// evaluation, ordering and the report of failed settings.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/run_program.h"
#include "config/ini_file.h"

namespace sceneflow {
namespace {

using ::sceneflow::testing::CommandResult;
using ::sceneflow::testing::OnOneCpu;
using ::sceneflow::testing::ReadFile;
using ::sceneflow::testing::RunCommand;

namespace fs = std::filesystem;

// Stands in for the estimator: refuses an INI without image names (as a partial INI would be),
// fails for AlphaSF 0, and otherwise writes the truth with U off by AlphaSF/100.
const char* kFakeEstimator = R"SH(#!/bin/bash
ini=${!#}
get() { awk -v k="$1" -F '=' 'tolower($1) ~ "^[ \t]*" tolower(k) "[ \t]*$" { v=$2; sub(/;.*/, "", v); gsub(/^[ \t]+|[ \t]+$/, "", v); print v }' "$ini"; }
[ -n "$(get Img_0_FileName)" ] || { echo "Error: Img_0_FileName is not set" >&2; exit 1; }
dir=$(get TxtResultsDir); a=$(get AlphaSF)
[ "$a" = "0" ] && { echo "Error: stand-in failure" >&2; exit 1; }
echo "$SCENEFLOW_THREADS" > "$dir/threads"
cp truth/Z.txt "$dir/Z0_final.txt"; cp truth/V.txt "$dir/V_final.txt"; cp truth/W.txt "$dir/W_final.txt"
awk -v d="$a" '{ for (i = 1; i <= NF; i++) printf "%f\t", $i + d / 100; printf "\n" }' truth/U.txt > "$dir/U_final.txt"
)SH";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

TEST(SweepWeights, RunsEverySettingAndSortsBestFirst) {
  const fs::path folder = fs::temp_directory_path() / ("sceneflow_sweep_test_" + std::to_string(getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder / "bin");
  {
    std::ofstream fake(folder / "bin" / "sceneflow");
    fake << kFakeEstimator;
  }
  fs::permissions(folder / "bin" / "sceneflow", fs::perms::owner_all);
  fs::create_symlink(std::string(SCENEFLOW_BIN_DIR) + "/sceneflow-eval", folder / "bin" / "sceneflow-eval");
  const fs::path scene = folder / "scene";
  const CommandResult synth = RunCommand(std::string(SCENEFLOW_BIN_DIR) + "/sceneflow-synth " + scene.string() +
                                         " --preset tiny --supersample 1");
  ASSERT_EQ(synth.status, 0) << synth.output;

  // Two runs at a time on one CPU: one thread each.
  const std::string sweep = OnOneCpu() + SCENEFLOW_SOURCE_DIR + "/scripts/sweep-weights " + scene.string() +
                            " --bin " + (folder / "bin").string() + " --alpha-sf 8,0,2 --alpha-w 1 --alpha-z 1,3 --jobs 2";
  const CommandResult run = RunCommand(sweep);
  ASSERT_EQ(run.status, 0) << run.output;
  const std::vector<std::string> lines = Lines(run.output);
  ASSERT_GE(lines.size(), 10u) << run.output;
  EXPECT_EQ(lines[0].rfind("Sweeping 6 settings", 0), 0u) << run.output;
  // After the header, two rows of AlphaSF 2 (U off by 0.02), then two of AlphaSF 8 (off by 0.08).
  EXPECT_EQ(lines[1].rfind("AlphaSF", 0), 0u) << run.output;
  EXPECT_EQ(lines[2].rfind("2 ", 0), 0u) << run.output;
  EXPECT_NE(lines[2].find("| 0.02 "), std::string::npos) << run.output;
  EXPECT_EQ(lines[3].rfind("2 ", 0), 0u) << run.output;
  EXPECT_EQ(lines[4].rfind("8 ", 0), 0u) << run.output;
  EXPECT_NE(lines[4].find("| 0.08 "), std::string::npos) << run.output;
  EXPECT_EQ(lines[5].rfind("8 ", 0), 0u) << run.output;
  EXPECT_EQ(lines[6], "Failed settings:");
  EXPECT_NE(lines[7].find("exit 1: Error: stand-in failure"), std::string::npos) << run.output;
  EXPECT_NE(lines[8].find("exit 1: Error: stand-in failure"), std::string::npos) << run.output;

  // Each setting's INI is a full copy of the scene's with its own weights and output paths.
  const fs::path setting = scene / "sweep" / "sf8_w1_z3_sor20_om1.6";
  ParameterSet scene_parameters, parameters;
  ASSERT_EQ(LoadParameters(scene_parameters, (scene / "scene.ini").string().c_str()), 0);
  ASSERT_EQ(LoadParameters(parameters, (setting / "run.ini").string().c_str()), 0);
  EXPECT_EQ(parameters.AlphaSF, 8);
  EXPECT_EQ(parameters.AlphaW, 1);
  EXPECT_EQ(parameters.AlphaZ, 3);
  EXPECT_EQ(*parameters.TxtResultsDir, setting.string());
  EXPECT_EQ(*parameters.LogFile, (setting / "sf.log").string());
  EXPECT_EQ(*parameters.SF_W_Final_FileName, (setting / "W_final.png").string());
  EXPECT_EQ(*parameters.ST_D0_Init_Middlebury_FileName, (setting / "D0_stereo.png").string());
  EXPECT_EQ(parameters.f0ku, scene_parameters.f0ku);
  EXPECT_EQ(parameters.NumOfViews, scene_parameters.NumOfViews);
  EXPECT_EQ(parameters.PyramidLevelsSF, scene_parameters.PyramidLevelsSF);
  EXPECT_EQ(*parameters.SF_Z0_start_Txt_FileName, *scene_parameters.SF_Z0_start_Txt_FileName);
  EXPECT_TRUE(fs::exists(setting / "evaluation.json"));
  EXPECT_EQ(ReadFile((setting / "threads").string()), "1\n");

  // A missing estimator is one clear line and status 1.
  const CommandResult missing = RunCommand(std::string(SCENEFLOW_SOURCE_DIR) + "/scripts/sweep-weights " +
                                           scene.string() + " --bin " + folder.string());
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.output, "Error: " + folder.string() + "/sceneflow is not built\n");
  fs::remove_all(folder);
}

}  // namespace
}  // namespace sceneflow
