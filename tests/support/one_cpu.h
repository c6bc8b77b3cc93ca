#pragma once

#include <sched.h>

namespace sceneflow::testing {

// While it lives, the process may run on the first CPU of its affinity mask alone; the mask is
// restored at the end.
class OnOneCpu {
 public:
  OnOneCpu() {
    if (sched_getaffinity(0, sizeof original_, &original_) != 0) return;
    int first = 0;
    while (!CPU_ISSET(first, &original_)) ++first;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    pinned_ = sched_setaffinity(0, sizeof one, &one) == 0;
  }
  ~OnOneCpu() {
    if (pinned_) sched_setaffinity(0, sizeof original_, &original_);
  }
  OnOneCpu(const OnOneCpu&) = delete;
  OnOneCpu& operator=(const OnOneCpu&) = delete;

  bool pinned() const { return pinned_; }
  // The CPUs of the mask before.
  int OriginalCpuCount() const { return CPU_COUNT(&original_); }

 private:
  cpu_set_t original_;
  bool pinned_ = false;
};

}  // namespace sceneflow::testing
