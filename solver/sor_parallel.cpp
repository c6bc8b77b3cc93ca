#include "solver/sor_parallel.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <utility>
#include <vector>

#include <immintrin.h>

#include "parallel/worker_pool.h"
#include "solver/linear_system.h"

namespace sceneflow {
namespace {

// The system rearranged by colour: for colour c, the pixels (y, x) with (x + y) mod 2 = c, at
// index x/2 of rows of `width` = ceil(cols/2) floats. Each such row holds one quantity of one
// unknown j: the k + 4 coefficients of its system row, its right-hand side, OmegaSOR divided by
// its diagonal, its current and its previous value. All rows of one image row lie together, so
// that the few image rows being worked on stay in the cache; Offset(y) is where image row y
// starts and Stride() the distance from one image row to the next.
class ColouredSystem {
 public:
  ColouredSystem(std::vector<float>& storage, int rows, int cols, int k)
      : rows_(rows), cols_(cols), k_(k), width_((cols + 1) / 2) {
    stride_ = static_cast<size_t>(2) * PlanesPerColour() * width_;
    storage.resize(stride_ * rows_);
    base_ = storage.data();
  }

  int rows() const { return rows_; }
  int cols() const { return cols_; }
  int k() const { return k_; }
  int width() const { return width_; }
  size_t Stride() const { return stride_; }
  size_t Offset(int y) const { return static_cast<size_t>(y) * stride_; }
  const float* RowData(int y) const { return base_ + Offset(y); }

  // Column q (0 .. k+3) of the system rows of unknown j; add Offset(y) for image row y.
  float* Coefficient(int c, int q, int j) const { return Plane(c, q * k_ + j); }
  float* Rhs(int c, int j) const { return Plane(c, (k_ + 4) * k_ + j); }
  float* Relax(int c, int j) const { return Plane(c, (k_ + 5) * k_ + j); }
  float* Value(int c, int j) const { return Plane(c, (k_ + 6) * k_ + j); }
  float* Previous(int c, int j) const { return Plane(c, (k_ + 7) * k_ + j); }

  // First column of colour c in image row y (0 or 1) and the number of its pixels there.
  int FirstColumn(int c, int y) const { return (y + c) & 1; }
  int Count(int c, int y) const { return (cols_ - FirstColumn(c, y) + 1) / 2; }

 private:
  int PlanesPerColour() const { return (k_ + 8) * k_; }
  float* Plane(int c, int index) const {
    return base_ + (static_cast<size_t>(c) * PlanesPerColour() + index) * width_;
  }

  int rows_, cols_, k_, width_;
  size_t stride_ = 0;
  float* base_ = nullptr;
};

// Copies the system rows of image row y into the coloured planes and zeroes the values.
void GatherRow(const cv::Mat& matrix, const cv::Mat& rhs, double omega, int y,
               const ColouredSystem& s) {
  const int k = s.k(), width = k + 4, cols = s.cols();
  const bool frame_row = y == 0 || y == s.rows() - 1;
  const size_t offset = s.Offset(y);
  for (int c = 0; c < 2; ++c) {
    const int first = s.FirstColumn(c, y);
    const int count = s.Count(c, y);
    for (int j = 0; j < k; ++j) {
      // System row of unknown j at the colour's first pixel; the next pixel is 2k rows further.
      const size_t first_row = (static_cast<size_t>(y) * cols + first) * k + j;
      const float* source = matrix.ptr<float>() + first_row * width;
      const float* source_rhs = rhs.ptr<float>() + first_row;
      const size_t step = static_cast<size_t>(2) * k;
      for (int q = 0; q < width; ++q) {
        float* __restrict plane = s.Coefficient(c, q, j) + offset;
        for (int n = 0; n < count; ++n) plane[n] = source[n * step * width + q];
      }
      float* __restrict plane_rhs = s.Rhs(c, j) + offset;
      for (int n = 0; n < count; ++n) plane_rhs[n] = source_rhs[n * step];
      // OmegaSOR over the diagonal: column j inside, column 0 on frame pixels.
      const float* __restrict diagonal = s.Coefficient(c, frame_row ? 0 : j, j) + offset;
      float* __restrict relax = s.Relax(c, j) + offset;
      for (int n = 0; n < count; ++n) {
        relax[n] = diagonal[n] != 0 ? static_cast<float>(omega / diagonal[n]) : 0.f;
      }
      if (!frame_row) {
        const float* frame_diagonal = s.Coefficient(c, 0, j) + offset;
        const auto frame = [&](int n) {
          relax[n] =
              frame_diagonal[n] != 0 ? static_cast<float>(omega / frame_diagonal[n]) : 0.f;
        };
        if (first == 0) frame(0);
        if (count > 0 && first + 2 * (count - 1) == cols - 1) frame(count - 1);
      }
    }
    // The k value planes and the k previous-value planes follow each other.
    std::fill_n(s.Value(c, 0) + offset, static_cast<size_t>(2) * k * s.width(), 0.f);
  }
}

// Copies the values of image row y back into the increment vector.
void ScatterRow(const ColouredSystem& s, int y, float* x) {
  const int k = s.k();
  for (int c = 0; c < 2; ++c) {
    const int first = s.FirstColumn(c, y);
    const size_t offset = s.Offset(y);
    for (int n = 0; n < s.Count(c, y); ++n) {
      const int p = (y * s.cols() + first + 2 * n) * k;
      for (int j = 0; j < k; ++j) x[p + j] = s.Value(c, j)[offset + n];
    }
  }
}

inline float Clamp(float value, float limit) { return std::min(std::max(value, -limit), limit); }

// A frame pixel of colour c: its unknowns follow the inward neighbour, of the other colour.
void UpdateFramePixel(const ColouredSystem& s, int c, int y, int n, float keep) {
  const int x = s.FirstColumn(c, y) + 2 * n;
  const size_t at = s.Offset(y) + n;
  size_t inward;
  if (y == 0) {
    inward = at + s.Stride();
  } else if (y == s.rows() - 1) {
    inward = at - s.Stride();
  } else if (x == 0) {
    inward = at;  // the right neighbour (y, 1) has index 0 in its plane
  } else {
    inward = s.Offset(y) + (x - 1) / 2;  // the left neighbour
  }
  const float limit = static_cast<float>(kMotionIncrementLimit);
  for (int j = 0; j < s.k(); ++j) {
    if (s.Coefficient(c, 0, j)[at] == 0) continue;
    const float sum = s.Coefficient(c, 1, j)[at] * s.Value(1 - c, j)[inward];
    float* value = s.Value(c, j);
    value[at] = Clamp(s.Relax(c, j)[at] * (s.Rhs(c, j)[at] - sum) + keep * value[at], limit);
  }
}

// Unknown J of the interior pixels of colour c in one interior image row, all at once: what the
// vector loop reads and writes. Pixels n in [begin, end) of the row; all pointers are to the
// row's place in their planes and indexed by n. The planes never overlap (restrict), which lets
// the loop be vectorised without run-time checks.
struct RowRelaxation {
  int begin = 0, end = 0;
  int w = 0;      // floats from one image row to the next in `other`
  int left = 0;   // the left neighbour of pixel n is n + left in `other`, the right one n + right
  int right = 0;
  float keep = 0;   // 1 − OmegaSOR
  float limit = 0;  // of the unknown's increment
  // Coefficients of the pixel's other unknowns (a2 only with four unknowns) and their values.
  const float *__restrict a0, *__restrict a1, *__restrict a2;
  const float *__restrict x0, *__restrict x1, *__restrict x2;
  // Coefficients of the unknown at the four neighbours, and its values in the other colour.
  const float *__restrict up, *__restrict down, *__restrict to_left, *__restrict to_right;
  const float* __restrict other;
  const float* __restrict rhs;
  const float* __restrict relax;  // OmegaSOR over the diagonal, 0 where that is 0
  float* __restrict value;        // the unknown's values, updated
};

// The vector loop: one relaxation step of every pixel of a RowRelaxation.
template <bool kFourUnknowns>
inline __attribute__((always_inline)) void RelaxRow(RowRelaxation r) {
  const int w = r.w, left = r.left, right = r.right;
  const float keep = r.keep, limit = r.limit;
  for (int n = r.begin; n < r.end; ++n) {
    float sum = r.a0[n] * r.x0[n] + r.a1[n] * r.x1[n];
    if constexpr (kFourUnknowns) sum += r.a2[n] * r.x2[n];
    sum += r.up[n] * r.other[n - w] + r.down[n] * r.other[n + w] +
           r.to_left[n] * r.other[n + left] + r.to_right[n] * r.other[n + right];
    const float updated = Clamp(r.relax[n] * (r.rhs[n] - sum) + keep * r.value[n], limit);
    // relax is 0 exactly where the diagonal is: such a row keeps its value.
    r.value[n] = r.relax[n] != 0 ? updated : r.value[n];
  }
}

// RelaxRow compiled for processors with AVX2 (eight floats a vector) and for any x86-64 processor.
// Chosen at run time by a plain test rather than an ifunc, which the sanitizers cannot run.
template <bool kFourUnknowns>
__attribute__((target("avx2"))) void RelaxRowAvx2(const RowRelaxation& row) {
  RelaxRow<kFourUnknowns>(row);
}

template <bool kFourUnknowns>
void RelaxRowAnyProcessor(const RowRelaxation& row) {
  RelaxRow<kFourUnknowns>(row);
}

template <bool kFourUnknowns>
void RelaxRowDispatched(const RowRelaxation& row) {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    RelaxRowAvx2<kFourUnknowns>(row);
  } else {
    RelaxRowAnyProcessor<kFourUnknowns>(row);
  }
}

template <int K, int J>
void UpdateInteriorUnknown(const ColouredSystem& s, int c, size_t row, int begin, int end,
                           int left, int right, float keep, float limit) {
  static_assert(K == 3 || K == 4);
  const int m0 = J == 0 ? 1 : 0, m1 = J <= 1 ? 2 : 1, m2 = J <= 2 ? 3 : 2;  // the other unknowns
  RelaxRowDispatched<K == 4>(RowRelaxation{.begin = begin,
                                           .end = end,
                                           .w = static_cast<int>(s.Stride()),
                                           .left = left,
                                           .right = right,
                                           .keep = keep,
                                           .limit = limit,
                                           .a0 = s.Coefficient(c, m0, J) + row,
                                           .a1 = s.Coefficient(c, m1, J) + row,
                                           .a2 = s.Coefficient(c, m2, J) + row,
                                           .x0 = s.Value(c, m0) + row,
                                           .x1 = s.Value(c, m1) + row,
                                           .x2 = s.Value(c, m2) + row,
                                           .up = s.Coefficient(c, K, J) + row,
                                           .down = s.Coefficient(c, K + 1, J) + row,
                                           .to_left = s.Coefficient(c, K + 2, J) + row,
                                           .to_right = s.Coefficient(c, K + 3, J) + row,
                                           .other = s.Value(1 - c, J) + row,
                                           .rhs = s.Rhs(c, J) + row,
                                           .relax = s.Relax(c, J) + row,
                                           .value = s.Value(c, J) + row});
}

// The interior pixels of colour c in interior image row y, each pixel's unknowns in turn.
template <int K, int... J>
void UpdateInteriorRow(const ColouredSystem& s, int c, int y, float keep, bool depth_estimated,
                       std::integer_sequence<int, J...>) {
  const int first = s.FirstColumn(c, y);
  // Pixels n with 1 <= x = first + 2n <= cols - 2.
  const int begin = first == 0 ? 1 : 0;
  const int end = s.cols() - 2 - first >= 0 ? (s.cols() - 2 - first) / 2 + 1 : 0;
  const size_t row = s.Offset(y);
  const auto limit = [&](int j) {
    return static_cast<float>(depth_estimated && j == 3 ? kDepthIncrementLimit
                                                        : kMotionIncrementLimit);
  };
  (UpdateInteriorUnknown<K, J>(s, c, row, begin, end, first - 1, first, keep, limit(J)), ...);
}

// Every pixel of colour c in image row y.
template <int K>
void UpdateColourRow(const ColouredSystem& s, int c, int y, float keep, bool depth_estimated) {
  if (y == 0 || y == s.rows() - 1) {
    for (int n = 0; n < s.Count(c, y); ++n) UpdateFramePixel(s, c, y, n, keep);
    return;
  }
  const int first = s.FirstColumn(c, y);
  if (first == 0) UpdateFramePixel(s, c, y, 0, keep);
  UpdateInteriorRow<K>(s, c, y, keep, depth_estimated, std::make_integer_sequence<int, K>());
  const int last = s.Count(c, y) - 1;
  if (first + 2 * last == s.cols() - 1 && s.cols() > 1) UpdateFramePixel(s, c, y, last, keep);
}

// Adds |previous − value|² and |value|² over `count` floats to the sums; then previous := value.
inline __attribute__((always_inline)) void AddChange(const float* __restrict value,
                                                     float* __restrict previous, int count,
                                                     double& difference, double& magnitude) {
  double d2 = 0, v2 = 0;
#pragma omp simd reduction(+ : d2, v2)
  for (int n = 0; n < count; ++n) {
    const double d = static_cast<double>(previous[n]) - value[n];
    d2 += d * d;
    v2 += static_cast<double>(value[n]) * value[n];
    previous[n] = value[n];
  }
  difference += d2;
  magnitude += v2;
}

__attribute__((target("avx2"))) void AddChangeAvx2(const float* value, float* previous, int count,
                                                   double& difference, double& magnitude) {
  AddChange(value, previous, count, difference, magnitude);
}

void AddChangeAnyProcessor(const float* value, float* previous, int count, double& difference,
                           double& magnitude) {
  AddChange(value, previous, count, difference, magnitude);
}

// |previous − value|² and |value|² of image row y, summed over both colours and all unknowns; then
// previous := value. The k value planes of a colour lie together, and so do its k previous-value
// planes; places beyond a plane's pixels hold zeros in both.
void RowChange(const ColouredSystem& s, int y, double& difference, double& magnitude) {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  difference = 0;
  magnitude = 0;
  const size_t row = s.Offset(y);
  const int count = s.k() * s.width();
  for (int c = 0; c < 2; ++c) {
    const float* value = s.Value(c, 0) + row;
    float* previous = s.Previous(c, 0) + row;
    if (avx2) {
      AddChangeAvx2(value, previous, count, difference, magnitude);
    } else {
      AddChangeAnyProcessor(value, previous, count, difference, magnitude);
    }
  }
}

// One iteration is four sweeps, each a pass over the red pixels and then one over the black
// ones: eight passes, pass p updating colour p mod 2. They run as a wavefront through the image
// rows: at step s, pass p updates row s − p, passes in increasing order. Pass p at row y then
// reads rows y − 1 .. y + 1 after pass p − 1 and before pass p + 1 has updated them, exactly as if
// every pass went over the whole image before the next, while the few rows in flight stay in
// the cache. A row leaving the last pass gets its change measured.
constexpr int kPasses = 8;

// The rows one wavefront goes through: at step s, pass p updates row origin + direction·(s − p)
// when it lies in [begin, end). Going up (direction −1) mirrors going down: pass p at row y reads
// the row below after pass p − 1 and before pass p + 1 has updated it, as going down it reads the
// row above.
struct Wavefront {
  int origin, direction, begin, end;
  int Row(int step, int pass) const { return origin + direction * (step - pass); }
  bool Holds(int y) const { return y >= begin && y < end; }
};

// Asks for image row y's planes ahead of its first pass: the rows stream through the wavefront
// once per iteration, faster than the processor's own prefetching brings them in.
void PrefetchRow(const ColouredSystem& s, int y) {
  const char* begin = reinterpret_cast<const char*>(s.RowData(y));
  const char* end = begin + s.Stride() * sizeof(float);
  for (const char* line = begin; line < end; line += 64) _mm_prefetch(line, _MM_HINT_T0);
}

template <int K>
void RunPasses(const ColouredSystem& s, const Wavefront& wave, int step, float keep,
               bool depth_estimated, std::vector<double>& difference,
               std::vector<double>& magnitude) {
  if (wave.Holds(wave.Row(step + 1, 0))) PrefetchRow(s, wave.Row(step + 1, 0));
  for (int pass = 0; pass < kPasses; ++pass) {
    const int y = wave.Row(step, pass);
    if (!wave.Holds(y)) continue;
    UpdateColourRow<K>(s, pass % 2, y, keep, depth_estimated);
    if (pass == kPasses - 1) RowChange(s, y, difference[y], magnitude[y]);
  }
}

}  // namespace

void SolveSORParallel(LevelState& state, const SorOptions& options) {
  const int k = state.k;
  const int cols = state.size.width, rows = state.size.height;
  const int N = rows * cols * k;

  const double omega = options.OmegaSOR;
  const float keep = static_cast<float>(1 - omega);
  const ColouredSystem system(state.ColouredCopy, rows, cols, k);
  ParallelRows(rows, [&](int begin, int end) {
    for (int y = begin; y < end; ++y) {
      GatherRow(state.SystemMatrix, state.RightHandSide, omega, y, system);
    }
  });

  std::vector<double>& difference = state.RowDifference;
  std::vector<double>& magnitude = state.RowMagnitude;
  difference.resize(rows);
  magnitude.resize(rows);
  double err = 0;
  int iterations = 0;
  bool first = true;
  const auto step = k == 4 ? RunPasses<4> : RunPasses<3>;
  // With two threads, one wavefront goes down through the top half of the rows and one up through
  // the bottom half, each on its own core with its own rows. They meet in the middle at the same
  // step (the lower half starts a step earlier when it has one row more); from the step before
  // they meet, each waits at every step until the other has finished the step before, so that
  // either reads the other's rows next to the middle after the pass before and before the pass
  // after.
  const bool two_threads = WorkerPool::Shared().size() > 1 && rows >= 32;
  const int middle = rows / 2;
  const int extra = rows - 2 * middle;  // 1 when the lower half has one row more
  const Wavefront halves[2] = {{0, 1, 0, middle}, {2 * middle - 1, -1, middle, rows}};
  while (first || (err >= options.EpsilonSOR && iterations < options.MaxIterSOR)) {
    first = false;
    if (two_threads) {
      // Each thread's count of finished steps, on a cache line of its own.
      struct alignas(64) StepCount {
        std::atomic<int> value{0};
      };
      StepCount steps_done[2];
      // Step s is the (s + extra)th: the lower half's extra bottom row goes at step −1.
      const int steps = extra + middle + kPasses - 1;
      WorkerPool::Shared().RunOnThreads(2, [&](int t) {
        for (int i = 0; i < steps; ++i) {
          const int s = i - extra;
          if (s >= middle - 1) WaitUntilAtLeast(steps_done[1 - t].value, i);
          step(system, halves[t], s, keep, state.depth_estimated, difference, magnitude);
          steps_done[t].value.store(i + 1, std::memory_order_release);
          steps_done[t].value.notify_all();
        }
      });
    } else {
      const Wavefront all{0, 1, 0, rows};
      for (int s = 0; s < rows + kPasses - 1; ++s) {
        step(system, all, s, keep, state.depth_estimated, difference, magnitude);
      }
    }
    // Summed row by row in order, so that the stop test does not depend on the thread count.
    double total_difference = 0, total_magnitude = 0;
    for (int y = 0; y < rows; ++y) {
      total_difference += difference[y];
      total_magnitude += magnitude[y];
    }
    err = std::sqrt(total_difference) / (std::sqrt(total_magnitude) + DBL_EPSILON);
    ++iterations;
  }

  state.IncrementVector.create(N, 1, CV_32F);
  float* x = state.IncrementVector.ptr<float>();
  ParallelRows(rows, [&](int begin, int end) {
    for (int y = begin; y < end; ++y) ScatterRow(system, y, x);
  });
}

}  // namespace sceneflow
