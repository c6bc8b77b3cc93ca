#include "parallel/usable_cpus.h"

#include <sched.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace sceneflow {
namespace {

namespace fs = std::filesystem;

std::string FirstLine(const fs::path& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

// CPUs of the quota set on one control group; 0 for none.
int GroupQuota(const fs::path& group, bool version2) {
  if (version2) return CpusOfQuota(FirstLine(group / "cpu.max"));
  return CpusOfQuota(FirstLine(group / "cpu.cfs_quota_us") + " " +
                     FirstLine(group / "cpu.cfs_period_us"));
}

// The smallest quota of the group `name` (as /proc/self/cgroup names it) and of the groups above
// it, in the hierarchy mounted at `mount`; 0 for none. Inside a container the mount shows only
// the container's own group, whose name there may not be found: then the mount's top counts.
int HierarchyQuota(const fs::path& mount, const std::string& name, bool version2) {
  std::error_code error;
  if (!fs::is_directory(mount, error)) return 0;
  fs::path group = (mount / fs::path(name).relative_path()).lexically_normal();
  if (!fs::is_directory(group, error)) group = mount;
  int smallest = 0;
  for (;;) {
    const int cpus = GroupQuota(group, version2);
    if (cpus > 0 && (smallest == 0 || cpus < smallest)) smallest = cpus;
    if (group.string().size() <= mount.string().size()) break;
    group = group.parent_path();
  }
  return smallest;
}

// The smallest quota over this process's control groups; 0 for none.
int ControlGroupQuota() {
  std::ifstream groups("/proc/self/cgroup");
  int smallest = 0;
  const auto keep = [&](int cpus) {
    if (cpus > 0 && (smallest == 0 || cpus < smallest)) smallest = cpus;
  };
  // Lines "hierarchy:controllers:group"; the version 2 line has no controllers.
  for (std::string line; std::getline(groups, line);) {
    const size_t first = line.find(':');
    const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string name = line.substr(second + 1);
    if (controllers.empty()) {
      keep(HierarchyQuota("/sys/fs/cgroup", name, true));
      continue;
    }
    std::istringstream list(controllers);
    for (std::string controller; std::getline(list, controller, ',');) {
      if (controller != "cpu") continue;
      keep(HierarchyQuota("/sys/fs/cgroup/cpu", name, false));
      keep(HierarchyQuota("/sys/fs/cgroup/" + controllers, name, false));
    }
  }
  return smallest;
}

}  // namespace

int CpusOfQuota(const std::string& quota_and_period) {
  std::istringstream words(quota_and_period);
  std::string quota_text;
  double period = 0;
  if (!(words >> quota_text >> period) || quota_text == "max" || !(period > 0)) return 0;
  const double quota = std::atof(quota_text.c_str());
  if (!(quota > 0)) return 0;
  return static_cast<int>(std::min(std::ceil(quota / period), 1e6));
}

int UsableCpuCount() {
  int cpus = static_cast<int>(std::thread::hardware_concurrency());
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) cpus = CPU_COUNT(&allowed);
  const int quota = ControlGroupQuota();
  if (quota > 0) cpus = std::min(cpus, quota);
  return std::max(cpus, 1);
}

}  // namespace sceneflow
