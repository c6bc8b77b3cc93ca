// The progress line of the estimator: drawn on standard error when asked for, and without it
// every stream and file of a run stays exactly as it was.

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/run_program.h"
#include "tests/support/scene_files.h"
#include "tests/support/temp_dir.h"

namespace sceneflow {
namespace {

using testing::ProgramResult;
using testing::ReadFile;
using testing::RunProgram;
using testing::TempDir;

const std::string kSceneflow = std::string(SCENEFLOW_BIN_DIR) + "/sceneflow";
const std::string kSchedule =
    "PyramidLevelsFlow = 4\nPyramidLevelsSF = 3\nPyramidLevelFinal = 1\nPyramidEta = 0.7\n"
    "MaxIterOuter = 1\nMaxIterInner = 2\nMaxIterSOR = 3\nAlpha = 5\n[SceneFlow]\nZ_CONST = 400\n";

// Runs the estimator on a small two-view run with SCENEFLOW_PROGRESS set to `setting` (unset when
// null); standard error is a file, never a terminal.
ProgramResult RunWithProgress(const TempDir& dir, const char* setting) {
  testing::WriteSmallRun(dir, cv::Size(40, 30), 2, kSchedule);
  if (setting == nullptr) {
    unsetenv("SCENEFLOW_PROGRESS");
  } else {
    setenv("SCENEFLOW_PROGRESS", setting, 1);
  }
  ProgramResult result = RunProgram(kSceneflow, {"run.ini"}, dir.path());
  unsetenv("SCENEFLOW_PROGRESS");
  return result;
}

TEST(ProgressLine, DrawnWhenForcedAndResultsUnchanged) {
  TempDir quiet, shown, off;
  const ProgramResult without = RunWithProgress(quiet, nullptr);
  const ProgramResult with = RunWithProgress(shown, "1");
  const ProgramResult forced_off = RunWithProgress(off, "0");
  ASSERT_EQ(without.status, 0) << without.err;
  ASSERT_EQ(with.status, 0) << with.err;

  // Redirected, or forced off: not a byte on standard error.
  EXPECT_EQ(without.err, "");
  EXPECT_EQ(forced_off.err, "");
  EXPECT_EQ(without.out, "Scene Flow finished!");

  // Forced on: one line redrawn in place through both stages, cleared at the end.
  EXPECT_EQ(with.out, without.out);
  EXPECT_EQ(with.err.find('\n'), std::string::npos) << with.err;
  EXPECT_EQ(with.err.rfind('\r', 0), 0u) << with.err;
  EXPECT_NE(with.err.find("flow stage  level 4 (14x11)  outer 1/2  inner 1/3"), std::string::npos) << with.err;
  EXPECT_NE(with.err.find("scene-flow stage  level 1 (40x30)"), std::string::npos) << with.err;
  EXPECT_NE(with.err.find(" elapsed"), std::string::npos) << with.err;
  EXPECT_EQ(with.err.substr(with.err.size() - 4), "\r\033[K") << with.err;

  for (const char* file : {"results/Z0_final.txt", "results/U_final.txt", "results/V_final.txt",
                           "results/W_final.txt", "run.log"}) {
    EXPECT_EQ(ReadFile(shown / file), ReadFile(quiet / file)) << file;
    EXPECT_FALSE(ReadFile(quiet / file).empty()) << file;
  }
}

}  // namespace
}  // namespace sceneflow
