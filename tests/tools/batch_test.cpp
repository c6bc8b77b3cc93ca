// Runs scripts/batch end to end with stand-in prepare, estimator and export programs, so that the
// batch's own work is checked: one run folder per frame, a failed frame listed without stopping
// the others, complete frames skipped on a rerun, and the Slurm job-array script.

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace sceneflow {
namespace {

using ::sceneflow::testing::CommandResult;
using ::sceneflow::testing::OnOneCpu;
using ::sceneflow::testing::ReadFile;
using ::sceneflow::testing::RunCommand;
using ::sceneflow::testing::TempDir;
using ::sceneflow::testing::WriteFile;

namespace fs = std::filesystem;

const std::string kBatch = std::string(SCENEFLOW_SOURCE_DIR) + "/scripts/batch";

// Stand-ins: prepare makes the folder (and fails for frame 000002), the estimator counts its runs,
// each with the threads it was given, and writes a result, export checks the result is there.
const char* kPrepare = R"SH(#!/bin/bash
[ "$1" = kitti ] || exit 2
[ "$3" = 000002 ] && { echo "Error: no images for frame $3" >&2; exit 1; }
mkdir -p "$4/results" && echo "TxtResultsDir = results" > "$4/run.ini"
)SH";
const char* kEstimator = R"SH(#!/bin/bash
[ -f "$1" ] || exit 1
echo "run with $SCENEFLOW_THREADS thread(s)" >> "$(dirname "$0")/estimator_runs"
echo 1 > results/Z0_final.txt
printf 'Scene Flow finished!'
)SH";
const char* kExport = R"SH(#!/bin/bash
[ -f "$1/results/Z0_final.txt" ] && mkdir -p "$1/export/kitti"
)SH";

int CountLinesOf(const std::string& path) { return ::sceneflow::testing::CountLines(ReadFile(path)); }

TEST(Batch, RunsEveryFrameListsFailuresAndSkipsCompleteFramesOnRerun) {
  TempDir dir;
  fs::create_directories(dir / "kitti/image_2");
  WriteFile(dir / "prepare", kPrepare);
  WriteFile(dir / "estimator", kEstimator);
  WriteFile(dir / "export", kExport);
  for (const char* program : {"prepare", "estimator", "export"}) {
    fs::permissions(dir / program, fs::perms::owner_all);
  }
  const std::string command = "SCENEFLOW_PREPARE=" + (dir / "prepare") + " SCENEFLOW_ESTIMATOR=" +
                              (dir / "estimator") + " SCENEFLOW_EXPORT=" + (dir / "export") + " " +
                              kBatch + " " + (dir / "kitti") + " " + (dir / "out") +
                              " 000001 000002 000003 --jobs 2";

  // Two frames at a time on one CPU: one thread each.
  const CommandResult first = RunCommand(OnOneCpu() + command);
  EXPECT_EQ(first.status, 1) << first.output;
  EXPECT_NE(first.output.find("2 frames complete, 1 failed, 0 skipped"), std::string::npos) << first.output;
  EXPECT_NE(first.output.find("000002: prepare exited with status 1"), std::string::npos) << first.output;
  EXPECT_TRUE(fs::exists(dir / "out/000001/complete"));
  EXPECT_TRUE(fs::exists(dir / "out/000003/export/kitti"));
  EXPECT_FALSE(fs::exists(dir / "out/000002/complete"));
  EXPECT_NE(ReadFile(dir / "out/logs/000002.log").find("no images for frame 000002"), std::string::npos);
  EXPECT_EQ(ReadFile(dir / "estimator_runs"), "run with 1 thread(s)\nrun with 1 thread(s)\n");

  // The rerun tries only the failed frame; the estimator does not run again.
  const CommandResult second = RunCommand(command);
  EXPECT_EQ(second.status, 1) << second.output;
  EXPECT_NE(second.output.find("0 frames complete, 1 failed, 2 skipped"), std::string::npos) << second.output;
  EXPECT_EQ(CountLinesOf(dir / "estimator_runs"), 2);

  // The Slurm script holds one array task per frame not yet complete, asks for the CPUs of the
  // frame's threads and runs it with those Slurm grants.
  const CommandResult slurm = RunCommand(command + " --threads 3 --slurm " + (dir / "job.sh"));
  EXPECT_EQ(slurm.status, 0) << slurm.output;
  const std::string job = ReadFile(dir / "job.sh");
  EXPECT_NE(job.find("#SBATCH --array=0-0"), std::string::npos) << job;
  EXPECT_NE(job.find("#SBATCH --cpus-per-task=3\n"), std::string::npos) << job;
  EXPECT_NE(job.find("frames=( 000002 )"), std::string::npos) << job;
  EXPECT_NE(job.find("--one \"${frames[$SLURM_ARRAY_TASK_ID]}\" \"${SLURM_CPUS_PER_TASK:-3}\" "),
            std::string::npos)
      << job;
}

TEST(Batch, MissingKittiFolderEndsWithOneLine) {
  TempDir dir;
  const CommandResult result = RunCommand(kBatch + " " + (dir / "absent") + " " + (dir / "out") + " 000001");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "Error: no KITTI folder " + (dir / "absent") + "\n");
}

}  // namespace
}  // namespace sceneflow
