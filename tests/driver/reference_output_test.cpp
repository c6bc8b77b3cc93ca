// The estimator's contract with a hand-written INI: fixed runs on a small four-view scene must
// reproduce the recorded final fields, start depth and log byte for byte, whatever the number of
// threads. The opt-in parallel solver must not depend on the thread count either.

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace sceneflow::testing {
namespace {

namespace fs = std::filesystem;

const fs::path kReferenceDir = fs::path(SCENEFLOW_SOURCE_DIR) / "tests/driver/reference";

struct ReferenceCase {
  const char* run;  // INI file name without extension; the expected files are in expected/<run>/
  int threads;
};

class ReferenceOutputTest : public ::testing::TestWithParam<ReferenceCase> {};

TEST_P(ReferenceOutputTest, ReproducesRecordedFilesByteForByte) {
  const ReferenceCase c = GetParam();
  TempDir dir;
  fs::copy(kReferenceDir / "scene", dir.path(), fs::copy_options::recursive);
  fs::create_directory(dir / "results");
  const std::string ini = std::string(c.run) + ".ini";
  fs::copy_file(kReferenceDir / ini, dir / ini);

  setenv("SCENEFLOW_THREADS", std::to_string(c.threads).c_str(), 1);
  const ProgramResult result =
      RunProgram(std::string(SCENEFLOW_BIN_DIR) + "/sceneflow", {ini}, dir.path());
  unsetenv("SCENEFLOW_THREADS");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "Scene Flow finished!");

  int compared = 0;
  for (const fs::directory_entry& expected : fs::directory_iterator(kReferenceDir / "expected" / c.run)) {
    const std::string name = expected.path().filename().string();
    EXPECT_TRUE(ReadFile(expected.path().string()) == ReadFile(dir / ("results/" + name)))
        << name << " differs from the recorded run";
    ++compared;
  }
  EXPECT_EQ(compared, 6);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ReferenceOutputTest,
    ::testing::Values(ReferenceCase{"two_stages", 1}, ReferenceCase{"two_stages", 2},
                      ReferenceCase{"two_stages", 3}, ReferenceCase{"four_views", 1},
                      ReferenceCase{"four_views", 2}, ReferenceCase{"four_views", 3},
                      ReferenceCase{"four_views_level2", 2}, ReferenceCase{"coupling", 1},
                      ReferenceCase{"coupling", 2}, ReferenceCase{"coupling", 3}),
    [](const ::testing::TestParamInfo<ReferenceCase>& info) {
      return std::string(info.param.run) + "_" + std::to_string(info.param.threads) + "_threads";
    });

// Mean absolute difference of two text matrices of the same size.
double MeanAbsoluteDifference(const std::string& a, const std::string& b) {
  std::istringstream first(a), second(b);
  double x = 0, y = 0, sum = 0;
  int count = 0;
  while (first >> x && second >> y) {
    sum += std::abs(x - y);
    ++count;
  }
  return count > 0 ? sum / count : 1e30;
}

// The opt-in parallel solver: the same bytes for any thread count, the solver named in the log,
// and a depth close to the exact solver's.
TEST(ParallelSolverTest, SameForAnyThreadCountAndCloseToTheExactSolver) {
  std::string first_run;
  for (int threads : {1, 2, 3}) {
    TempDir dir;
    fs::copy(kReferenceDir / "scene", dir.path(), fs::copy_options::recursive);
    fs::create_directory(dir / "results");
    fs::copy_file(kReferenceDir / "two_stages.ini", dir / "two_stages.ini");
    setenv("SCENEFLOW_THREADS", std::to_string(threads).c_str(), 1);
    setenv("SCENEFLOW_SOLVER", "parallel", 1);
    const ProgramResult result =
        RunProgram(std::string(SCENEFLOW_BIN_DIR) + "/sceneflow", {"two_stages.ini"}, dir.path());
    unsetenv("SCENEFLOW_SOLVER");
    unsetenv("SCENEFLOW_THREADS");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(ReadFile(dir / "results/sf.log").find("** Solver: parallel"), std::string::npos);
    std::string run;
    for (const char* name : {"Z0_final.txt", "U_final.txt", "V_final.txt", "W_final.txt"}) {
      run += ReadFile(dir / (std::string("results/") + name));
    }
    if (first_run.empty()) {
      first_run = run;
      const std::string exact_Z =
          ReadFile((kReferenceDir / "expected/two_stages/Z0_final.txt").string());
      // Depths of about 700: the two solvers agree to a few units on average.
      EXPECT_LT(MeanAbsoluteDifference(ReadFile(dir / "results/Z0_final.txt"), exact_Z), 5.0);
    } else {
      EXPECT_TRUE(run == first_run) << threads << " threads gave other results";
    }
  }
}

TEST(ParallelSolverTest, UnknownSolverNameIsRefused) {
  TempDir dir;
  setenv("SCENEFLOW_SOLVER", "fastest", 1);
  const ProgramResult result =
      RunProgram(std::string(SCENEFLOW_BIN_DIR) + "/sceneflow", {"missing.ini"}, dir.path());
  unsetenv("SCENEFLOW_SOLVER");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Error: SCENEFLOW_SOLVER is fastest, it must be exact or parallel\n");
}

}  // namespace
}  // namespace sceneflow::testing
