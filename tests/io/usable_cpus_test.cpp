#include "io/usable_cpus.h"

#include <sched.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "io/worker_pool.h"

namespace sceneflow {
namespace {

TEST(UsableCpusTest, QuotasInTheControlGroupFormat) {
  EXPECT_EQ(CpusOfQuota("max 100000"), 0);
  EXPECT_EQ(CpusOfQuota("-1 100000"), 0);  // version 1: cpu.cfs_quota_us of -1
  EXPECT_EQ(CpusOfQuota(""), 0);
  EXPECT_EQ(CpusOfQuota("200000 100000"), 2);
  EXPECT_EQ(CpusOfQuota("150000 100000"), 2);  // a CPU and a half: two threads
  EXPECT_EQ(CpusOfQuota("50000 100000"), 1);
}

TEST(UsableCpusTest, TheDefaultThreadCountFollowsTheAffinityMask) {
  cpu_set_t original;
  ASSERT_EQ(sched_getaffinity(0, sizeof original, &original), 0);
  int first = 0;
  while (!CPU_ISSET(first, &original)) ++first;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  const char* threads = std::getenv("SCENEFLOW_THREADS");
  const std::string saved = threads != nullptr ? threads : "";
  unsetenv("SCENEFLOW_THREADS");
  const int usable = UsableCpuCount();
  const int solver_threads = SolverThreadCount();
  setenv("SCENEFLOW_THREADS", "3", 1);
  const int asked = SolverThreadCount();
  if (threads != nullptr) {
    setenv("SCENEFLOW_THREADS", saved.c_str(), 1);
  } else {
    unsetenv("SCENEFLOW_THREADS");
  }
  sched_setaffinity(0, sizeof original, &original);

  EXPECT_EQ(usable, 1);
  EXPECT_EQ(solver_threads, 1);
  EXPECT_EQ(asked, 3);  // what the user asks for stands
  EXPECT_GE(UsableCpuCount(), 1);
  EXPECT_LE(UsableCpuCount(), CPU_COUNT(&original));
}

}  // namespace
}  // namespace sceneflow
