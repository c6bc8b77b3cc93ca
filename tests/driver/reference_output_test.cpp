// The estimator's contract with a hand-written INI: fixed runs on a small four-view scene must
// reproduce the recorded final fields, start depth and log byte for byte, whatever the number of
// threads.

#include <cstdlib>
#include <filesystem>
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

}  // namespace
}  // namespace sceneflow::testing
