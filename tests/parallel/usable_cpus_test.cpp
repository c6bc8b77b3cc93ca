#include "parallel/usable_cpus.h"

#include <gtest/gtest.h>

#include "tests/support/one_cpu.h"

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

TEST(UsableCpusTest, FollowsTheAffinityMask) {
  int usable = 0, all = 0;
  {
    const testing::OnOneCpu one;
    ASSERT_TRUE(one.pinned());
    usable = UsableCpuCount();
    all = one.OriginalCpuCount();
  }
  EXPECT_EQ(usable, 1);
  EXPECT_GE(UsableCpuCount(), 1);
  EXPECT_LE(UsableCpuCount(), all);
}

}  // namespace
}  // namespace sceneflow
