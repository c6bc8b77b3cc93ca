#include "solver/sor_exact.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "solver/linear_system.h"
#include "io/worker_pool.h"

namespace sceneflow {
namespace {

// Image rows updated together by one thread. Each row's updates form one long chain of dependent
// arithmetic; interleaving a few independent chains keeps the processor busy. Measured on
// 640x480: 2 rows give 1.3x, 3 rows 1.4x, 4 rows 1.3x and 6 rows 0.95x the speed of one row at a
// time.
constexpr int kGroupRows = 3;

// What every SOR update of one sweep reads.
struct SorSystem {
  const float* matrix;
  const float* rhs;
  float* x;
  const double* relax;  // OmegaSOR / diagonal per row (0 where the diagonal is 0)
  double keep;          // 1 − OmegaSOR
  int rows, cols, R;
  bool depth_estimated;
};

inline double Clamp(double value, double limit) { return std::min(std::max(value, -limit), limit); }

// Frame row i: the unknown follows its inward neighbour.
template <int K>
inline void UpdateFrameRow(const SorSystem& s, int i, int inward) {
  const float* row = s.matrix + static_cast<size_t>(i) * (K + 4);
  if (row[0] == 0) return;
  const double sum = static_cast<double>(row[1]) * s.x[inward];
  const double value = s.relax[i] * (s.rhs[i] - sum) + s.keep * s.x[i];
  s.x[i] = static_cast<float>(Clamp(value, kMotionIncrementLimit));
}

// The k rows of interior pixels in G different image rows, in the sweep's order within each pixel.
// The pixels are independent of each other (see RunGroup), so their chains interleave. A pixel's
// own unknowns are kept in registers between its rows, as the float values the vector stores.
template <int K, bool kAscending, int G>
inline void UpdateInteriorPixels(const SorSystem& s, const int (&p)[G]) {
  float* __restrict x = s.x;
  float own[G][K];
  for (int g = 0; g < G; ++g) {
    for (int m = 0; m < K; ++m) own[g][m] = x[p[g] + m];
  }
  for (int jj = 0; jj < K; ++jj) {
    const int j = kAscending ? jj : K - 1 - jj;
    const double limit =
        (s.depth_estimated && j == 3) ? kDepthIncrementLimit : kMotionIncrementLimit;
    for (int g = 0; g < G; ++g) {
      const int i = p[g] + j;
      const float* row = s.matrix + static_cast<size_t>(i) * (K + 4);
      double sum = 0;
      for (int m = 0; m < K; ++m) {
        if (m != j) sum += static_cast<double>(row[m]) * own[g][m];
      }
      sum += static_cast<double>(row[K]) * x[i - s.R];
      sum += static_cast<double>(row[K + 1]) * x[i + s.R];
      sum += static_cast<double>(row[K + 2]) * x[i - K];
      sum += static_cast<double>(row[K + 3]) * x[i + K];
      const double value = s.relax[i] * (s.rhs[i] - sum) + s.keep * own[g][j];
      // Zero smoothness weight and no active data term: the row states nothing; keep the value.
      if (row[j] != 0) own[g][j] = static_cast<float>(Clamp(value, limit));
      x[i] = own[g][j];
    }
  }
}

// Pixel (y, x) of any kind: frame rows of the first and last image row follow their vertical
// neighbour (corners included), those of the first and last column their horizontal one.
template <int K, bool kAscending>
inline void UpdatePixel(const SorSystem& s, int y, int x) {
  const int p = y * s.R + x * K;
  if (y == 0 || y == s.rows - 1 || x == 0 || x == s.cols - 1) {
    const int inward = y == 0 ? s.R : y == s.rows - 1 ? -s.R : x == 0 ? K : -K;
    for (int jj = 0; jj < K; ++jj) {
      const int i = p + (kAscending ? jj : K - 1 - jj);
      UpdateFrameRow<K>(s, i, i + inward);
    }
    return;
  }
  const int pixels[1] = {p};
  UpdateInteriorPixels<K, kAscending, 1>(s, pixels);
}

// Progress of one group of rows in a two-thread sweep: how many pixels of its last row are done.
struct alignas(64) GroupProgress {
  std::atomic<int> pixels{0};
};

void Publish(std::atomic<int>& progress, int pixels) {
  progress.store(pixels, std::memory_order_release);
  progress.notify_all();
}

// The visit rows [first, first + count) of a sweep (count ≤ kGroupRows), updated in a wavefront:
// at step t, visit row first + g updates its pixel number t − g in visit order. The pixel updated
// by row g + 1 at step t lies one pixel behind that of row g, so it reads the new value of the
// pixel above it and the old value of its right neighbour, and row g reads the old value below
// it: exactly what the one-row-at-a-time order reads. `above` (may be null) is the progress of the
// group before, whose last row must be past a pixel before this group's first row updates it;
// `own` (may be null) receives this group's progress.
template <int K, bool kDown, bool kAscending>
void RunGroup(const SorSystem& s, int first, int count, const std::atomic<int>* above,
              std::atomic<int>* own, int& sleeps) {
  const int cols = s.cols;
  int y[kGroupRows];
  bool interior_rows = true;
  for (int g = 0; g < count; ++g) {
    const int visit = first + g;
    y[g] = kDown ? visit : s.rows - 1 - visit;
    interior_rows = interior_rows && y[g] > 0 && y[g] < s.rows - 1;
  }
  const auto column = [&](int n) { return kAscending ? n : cols - 1 - n; };
  int known_above = above != nullptr ? 0 : cols;
  // Publishing less often keeps the two threads off each other's cache lines.
  constexpr int kPublishEvery = 32;
  const int steps = cols + count - 1;
  for (int t = 0; t < steps; ++t) {
    if (t < cols && known_above <= t) {
      sleeps += WaitUntilAtLeast(*above, t + 1);
      known_above = above->load(std::memory_order_acquire);
    }
    // Steady state: every row of a full group is at an interior pixel of an interior row.
    if (count == kGroupRows && interior_rows && t >= kGroupRows && t <= cols - 2) {
      int p[kGroupRows];
      for (int g = 0; g < kGroupRows; ++g) p[g] = y[g] * s.R + column(t - g) * K;
      UpdateInteriorPixels<K, kAscending, kGroupRows>(s, p);
    } else {
      for (int g = 0; g < count; ++g) {
        const int n = t - g;
        if (n >= 0 && n < cols) UpdatePixel<K, kAscending>(s, y[g], column(n));
      }
    }
    if (own != nullptr && t >= count - 1 && (t - count + 1) % kPublishEvery == kPublishEvery - 1) {
      Publish(*own, t - count + 2);
    }
  }
  if (own != nullptr) Publish(*own, cols);
}

// One sweep over all rows: image rows top to bottom (kDown) or bottom to top, system rows within
// an image row ascending or descending. The image rows are cut into blocks of kGroupRows from the
// top, visited in the sweep's order, each a group of the wavefront. With two threads, block b
// always goes to thread b mod 2, whichever the direction, so that every block's part of the
// vector stays in one core's cache; a block waits for the one visited before it. Returns the
// number of sleeps.
template <int K, bool kDown, bool kAscending>
int Sweep(const SorSystem& s, int threads, GroupProgress* progress) {
  const int blocks = (s.rows + kGroupRows - 1) / kGroupRows;
  const auto run_block = [&](int b, int& sleeps, bool pipelined) {
    const int top = b * kGroupRows;
    const int count = std::min(kGroupRows, s.rows - top);
    const int first_visit = kDown ? top : s.rows - top - count;
    const int before = kDown ? b - 1 : b + 1;  // the block visited just before
    const std::atomic<int>* above =
        pipelined && before >= 0 && before < blocks ? &progress[before].pixels : nullptr;
    RunGroup<K, kDown, kAscending>(s, first_visit, count, above,
                                   pipelined ? &progress[b].pixels : nullptr, sleeps);
  };
  if (threads == 1) {
    int sleeps = 0;
    for (int n = 0; n < blocks; ++n) run_block(kDown ? n : blocks - 1 - n, sleeps, false);
    return sleeps;
  }
  for (int b = 0; b < blocks; ++b) progress[b].pixels.store(0, std::memory_order_relaxed);
  std::atomic<int> total_sleeps{0};
  WorkerPool::Shared().RunOnThreads(threads, [&](int t) {
    int sleeps = 0;
    for (int n = 0; n < blocks; ++n) {
      const int b = kDown ? n : blocks - 1 - n;
      if (b % threads == t) run_block(b, sleeps, true);
    }
    total_sleeps.fetch_add(sleeps, std::memory_order_relaxed);
  });
  return total_sleeps.load(std::memory_order_relaxed);
}

template <int K>
int RunSweeps(const SorSystem& s, int threads, GroupProgress* progress) {
  int sleeps = Sweep<K, true, true>(s, threads, progress);
  sleeps += Sweep<K, false, false>(s, threads, progress);
  sleeps += Sweep<K, true, false>(s, threads, progress);
  sleeps += Sweep<K, false, true>(s, threads, progress);
  return sleeps;
}

}  // namespace

bool RunExactSweeps(const LevelState& state, const double* relax, double omega, float* x,
                    const ExactSorOptions& options) {
  const int k = state.k;
  const SorSystem system{state.SystemMatrix.ptr<float>(),
                         state.RightHandSide.ptr<float>(),
                         x,
                         relax,
                         1 - omega,
                         state.size.height,
                         state.size.width,
                         state.size.width * k,
                         state.depth_estimated};
  const int threads = std::clamp(options.threads, 1, 2);
  const int groups = (system.rows + kGroupRows - 1) / kGroupRows;
  std::unique_ptr<GroupProgress[]> progress;
  if (threads > 1) progress = std::make_unique<GroupProgress[]>(groups);
  const int sleeps = k == 4 ? RunSweeps<4>(system, threads, progress.get())
                            : RunSweeps<3>(system, threads, progress.get());
  // A partner that falls asleep at every fourth group or more means the cores are shared with
  // other work: a sleep then costs more than the rows it waits for. A few sleeps are normal.
  return sleeps <= groups;
}

}  // namespace sceneflow
