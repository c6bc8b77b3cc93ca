#include "driver/run_options.h"

#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

#include "config/input_error.h"
#include "parallel/usable_cpus.h"
#include "tests/support/one_cpu.h"

namespace sceneflow {
namespace {

// RunOptionsFromEnvironment with SCENEFLOW_THREADS set to `value` (unset when null); the
// variable is restored afterwards.
int ThreadsWith(const char* value) {
  const char* before = std::getenv("SCENEFLOW_THREADS");
  const std::string saved = before != nullptr ? before : "";
  if (value != nullptr) {
    setenv("SCENEFLOW_THREADS", value, 1);
  } else {
    unsetenv("SCENEFLOW_THREADS");
  }
  int threads = 0;
  std::string error;
  try {
    threads = RunOptionsFromEnvironment().threads;
  } catch (const InputError& refused) {
    error = refused.what();
  }
  if (before != nullptr) {
    setenv("SCENEFLOW_THREADS", saved.c_str(), 1);
  } else {
    unsetenv("SCENEFLOW_THREADS");
  }
  if (!error.empty()) throw InputError(error);
  return threads;
}

TEST(RunOptionsTest, ThreadsFollowTheAffinityMaskUnlessAskedFor) {
  int by_default = 0, asked = 0;
  {
    const testing::OnOneCpu one;
    ASSERT_TRUE(one.pinned());
    by_default = ThreadsWith(nullptr);
    asked = ThreadsWith("3");
  }

  EXPECT_EQ(by_default, 1);
  EXPECT_EQ(asked, 3);  // what the user asks for stands
  EXPECT_EQ(ThreadsWith(""), UsableCpuCount());
  EXPECT_EQ(ThreadsWith("1000"), 256);
}

TEST(RunOptionsTest, ThreadsThatAreNotAWholeNumberOfAtLeastOneAreRefused) {
  for (const char* value : {"0", "-2", "two", "4x"}) {
    try {
      ThreadsWith(value);
      ADD_FAILURE() << value << " was taken";
    } catch (const InputError& error) {
      EXPECT_EQ(std::string(error.what()), std::string("Error: SCENEFLOW_THREADS is ") + value +
                                               ", it must be a whole number of at least 1");
    }
  }
}

}  // namespace
}  // namespace sceneflow
