#pragma once

#include <string>

namespace sceneflow {

// Number of CPUs this process may use: those of its affinity mask (taskset, numactl, a batch
// system's binding), limited by the CPU quota of its control group or of a group above it
// (cgroup v2 cpu.max, v1 cpu.cfs_quota_us over cpu.cfs_period_us), rounded up; at least 1.
int UsableCpuCount();

// The CPUs that a quota grants, rounded up, from a quota and a period in the form of cgroup v2's
// cpu.max ("200000 100000"; "max 100000" for none); 0 when the text sets no quota.
int CpusOfQuota(const std::string& quota_and_period);

}  // namespace sceneflow
