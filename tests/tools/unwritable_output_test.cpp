// Every program that writes files, run where it cannot write them: on a full disk (no file may
// grow) and into a read-only folder. Each must end with one line on standard error and status 1,
// leave no partial file, and leave the complete files of an earlier run as they were.
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace sceneflow {
namespace {

namespace fs = std::filesystem;
using testing::CountLines;
using testing::ProgramResult;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;
using testing::WriteLimit;

std::string Program(const std::string& name) { return std::string(SCENEFLOW_BIN_DIR) + "/" + name; }

// Runs a program in a folder under `dir` and expects it to succeed.
void RunOrFail(const TempDir& dir, const std::string& folder, const std::string& program,
               const std::vector<std::string>& arguments) {
  const ProgramResult result = testing::RunProgram(Program(program), arguments, dir / folder);
  ASSERT_EQ(result.status, 0) << program << ": " << result.err;
}

// A tiny synthetic scene in dir/scene, and fast.ini there: the scene's run with few iterations
// and its log beside the INI. The log is rewritten by every run as it goes, so it stays out of the
// results folder whose files the tests compare.
void WriteScene(const TempDir& dir) {
  RunOrFail(dir, "", "sceneflow-synth", {"scene", "--preset", "tiny", "--supersample", "1"});
  WriteFile(dir / "scene/fast.ini", ReadFile(dir / "scene/scene.ini") +
                                        "[Global]\nMaxIterOuter = 1\nMaxIterInner = 2\n"
                                        "MaxIterSOR = 5\nLogFile = run.log\n");
}

void WriteSceneAndResults(const TempDir& dir) {
  WriteScene(dir);
  RunOrFail(dir, "scene", "sceneflow", {"fast.ini"});
}

struct WritingProgram {
  const char* name;
  std::function<void(const TempDir&)> first_run;  // writes the inputs and the first, complete output
  const char* output;                             // the folder it wrote, relative to the test folder
  const char* program;
  const char* folder;  // where the second run starts, relative to the test folder
  std::vector<std::string> arguments;  // of the second run, which would change the output
};

const WritingProgram kWritingPrograms[] = {
    {"estimator",
     [](const TempDir& dir) {
       WriteSceneAndResults(dir);
       WriteFile(dir / "scene/changed.ini", ReadFile(dir / "scene/fast.ini") + "MaxIterSOR = 3\n");
     },
     "scene/results", "sceneflow", "scene", {"changed.ini"}},
    {"synth", [](const TempDir& dir) { WriteScene(dir); }, "scene", "sceneflow-synth", "",
     {"scene", "--preset", "tiny", "--supersample", "1", "--seed", "2"}},
    {"prepare",
     [](const TempDir& dir) {
       WriteScene(dir);
       RunOrFail(dir, "scene", "sceneflow-prepare",
                 {"pair", "img0_0.png", "img0_1.png", "imgt_0.png", "imgt_1.png", "../prepared",
                  "--focal", "60", "--baseline", "40"});
     },
     "prepared", "sceneflow-prepare", "scene",
     {"pair", "img0_0.png", "img0_1.png", "imgt_0.png", "imgt_1.png", "../prepared", "--focal", "60",
      "--baseline", "40", "--scale", "0.5"}},
    {"eval_json",
     [](const TempDir& dir) {
       WriteSceneAndResults(dir);
       fs::create_directory(dir / "eval");
       RunOrFail(dir, "", "sceneflow-eval", {"scene/results", "scene", "--json", "eval/m.json"});
     },
     "eval", "sceneflow-eval", "", {"scene/results", "scene", "--json", "eval/m.json", "--border", "7"}},
    {"export",
     [](const TempDir& dir) {
       WriteSceneAndResults(dir);
       RunOrFail(dir, "", "sceneflow-export", {"scene", "--ini", "fast.ini"});
     },
     "scene/export", "sceneflow-export", "", {"scene", "--ini", "fast.ini"}},
};

// Every file under `folder`, by its path relative to it, with its contents.
std::map<std::string, std::string> Files(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) {
      files[fs::relative(entry.path(), folder).string()] = ReadFile(entry.path().string());
    }
  }
  return files;
}

// Gives `folder` and the folders inside it write permission for everyone, or takes it away.
void SetFoldersWritable(const fs::path& folder, bool writable) {
  const mode_t mode = writable ? 0777 : 0555;
  chmod(folder.c_str(), mode);
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_directory()) chmod(entry.path().c_str(), mode);
  }
}

void ExpectOneErrorLineAndNothingChanged(const ProgramResult& result,
                                         const std::map<std::string, std::string>& before,
                                         const fs::path& output) {
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_EQ(CountLines(result.err), 1) << result.err;
  EXPECT_EQ(result.err.rfind("Error: ", 0), 0u) << result.err;
  EXPECT_EQ(result.err.find("internal failure"), std::string::npos) << result.err;
  const std::map<std::string, std::string> after = Files(output);
  EXPECT_EQ(after.size(), before.size());
  for (const auto& [name, contents] : after) {
    const auto earlier = before.find(name);
    if (earlier == before.end()) {
      ADD_FAILURE() << "left behind: " << name;
    } else {
      EXPECT_TRUE(contents == earlier->second) << name << " changed";
    }
  }
}

class UnwritableOutputTest : public ::testing::TestWithParam<WritingProgram> {};

TEST_P(UnwritableOutputTest, OneLineAndStatusOneAndTheEarlierFilesKept) {
  const WritingProgram& p = GetParam();
  TempDir dir;
  p.first_run(dir);
  const fs::path output = dir / p.output;
  const std::map<std::string, std::string> before = Files(output);
  ASSERT_FALSE(before.empty());

  SCOPED_TRACE("full disk");
  ExpectOneErrorLineAndNothingChanged(
      testing::RunProgram(Program(p.program), p.arguments, dir / p.folder, WriteLimit::kFullDisk),
      before, output);

  // Read-only: every folder of the output without write permission; the rest open to a run as
  // another user.
  chmod(dir.path().c_str(), 0755);
  SetFoldersWritable(output, false);
  if (!testing::FolderIsReadOnlyForUnprivilegedRuns(output.string())) {
    SetFoldersWritable(output, true);
    GTEST_SKIP() << "no way to make a folder read-only for the programs here";
  }
  SCOPED_TRACE("read-only folder");
  ExpectOneErrorLineAndNothingChanged(
      testing::RunProgram(Program(p.program), p.arguments, dir / p.folder, WriteLimit::kUnprivileged),
      before, output);
  SetFoldersWritable(output, true);
}

INSTANTIATE_TEST_SUITE_P(Programs, UnwritableOutputTest, ::testing::ValuesIn(kWritingPrograms),
                         [](const ::testing::TestParamInfo<WritingProgram>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace sceneflow
