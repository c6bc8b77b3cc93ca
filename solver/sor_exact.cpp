// The exact SOR solver: the four sweeps of SolveSOR in exactly the sequential order, pixel by
// pixel and row by row, with the same double-precision arithmetic term by term, so that the result
// is the same bits as one loop over the system rows would give, for any number of threads, with or
// without AVX2. How it is made fast without changing a bit:
//
// Wavefronts of rows. An update reads the new values of the pixel before it in the same image row
// and of the row the sweep visited before, and the old values of the pixel after it and of the
// row after. Several image rows can therefore be updated together if each trails the row before
// by one pixel: at step t, row g of the group updates its pixel t − g, whose neighbour in the row
// before is already new and whose neighbour in the row after is still old, exactly as in the
// one-row-at-a-time order. One row's updates are one long chain of dependent arithmetic; running
// kGroupRows = 3 chains interleaved keeps the processor's pipelines busy (RunGroup; measured on
// 640×480: 2 rows give 1.3x, 3 rows 1.4x, 4 rows 1.3x and 6 rows 0.95x the speed of one row).
//
// Bands of four rows. With AVX2 the interior rows go in bands of kBandRows = 4, the four doubles
// of a 256-bit vector: the four rows of a band are the four lanes, and one vector instruction
// performs the same term of the same wavefront step in all four (RunBand, UpdateBandUnknown). The
// lanes widen the float coefficients and values to double and add the terms in the scalar order,
// so they give the scalar update's bits. Steps that touch the frame or the ends of a half go
// pixel by pixel.
//
// Skewed copies of the system rows. The four lanes of one step sit in four image rows at columns
// that differ by one from lane to lane. So that one load gives a coefficient of all four lanes,
// every solve first copies the bands' system rows (PrepareExactSweeps, BandedSystem) with lane r
// of column c at position c + r (skew 0, for the sweeps down to the right and up to the left,
// where lane r trails by r columns) or c − r + 3 (skew 1, for the other two). Per position the
// copy holds, for every unknown, its k + 4 coefficients and its right-hand side, four lanes each.
//
// Overlapped unknowns and the ring of steps. A pixel's k unknowns depend on each other in turn,
// and unknown j of a step on unknown j of the step before; round i therefore updates unknown jj
// of step i − jj for every jj (RunBandSteps), independent updates that the processor overlaps.
// The steps in flight live in a ring of kStepSlots = 8 slots: at least k + 1 (the steps of one
// round and the one before them), a power of two so that the slot is a cheap remainder.
//
// Prefetch distance. The banded copy is read once per sweep, a block of k(k + 5)·4 floats per
// step (576 bytes with four unknowns), in one direction. The sweeps ask for the block
// kPrefetchSteps = 24 steps ahead, one request per 64-byte cache line (16 floats): about 14 KB
// ahead, far enough for memory's latency at the speed of a step and near enough to stay in the
// first-level cache.
//
// Two threads on column halves. With two threads (ExactSorOptions::threads) each thread keeps one
// half of the columns in every sweep, so that only the values along the middle column pass between
// the cores. The thread whose half the sweep meets first in each row leads; the other takes a
// unit of rows (a group or a band) once the leader has finished that unit's half, when the new
// values next to the middle are there and its own half is still untouched (Sweep). A partner that
// waits long sleeps rather than spins; RunExactSweeps reports a solve whose sleeps outnumber the
// units of one sweep (a sleep at every fourth unit or more over the four sweeps), a sign that the
// cores are shared with other work, and SolveSOR then goes on with one thread for a while.

#include "solver/sor_exact.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <utility>
#include <vector>

#include <immintrin.h>

#include "parallel/worker_pool.h"
#include "solver/linear_system.h"

namespace sceneflow {
namespace {

// Image rows updated together by one thread (see the overview above).
constexpr int kGroupRows = 3;

// What every SOR update of one sweep reads.
struct SorSystem {
  const float* matrix;
  const float* rhs;
  float* x;
  const double* relax;  // OmegaSOR / diagonal per row (0 where the diagonal is 0)
  double omega;         // OmegaSOR
  double keep;          // 1 − OmegaSOR
  int rows, cols, R;
  bool depth_estimated;
};

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

// The visit rows [first, first + count) of a sweep (count ≤ kGroupRows), from visit pixel
// n_begin up to n_end, updated in a wavefront: at step t, visit row first + g updates its pixel
// number n_begin + t − g in visit order. The pixel updated by row g + 1 at step t lies one pixel
// behind that of row g, so it reads the new value of the pixel above it and the old value of its
// right neighbour, and row g reads the old value below it: exactly what the one-row-at-a-time
// order reads.
template <int K, bool kDown, bool kAscending>
void RunGroup(const SorSystem& s, int first, int count, int n_begin, int n_end) {
  const int cols = s.cols;
  int y[kGroupRows];
  bool interior_rows = true;
  for (int g = 0; g < count; ++g) {
    const int visit = first + g;
    y[g] = kDown ? visit : s.rows - 1 - visit;
    interior_rows = interior_rows && y[g] > 0 && y[g] < s.rows - 1;
  }
  const auto column = [&](int n) { return kAscending ? n : cols - 1 - n; };
  // Steps at which every row of a full group is at an interior pixel of an interior row.
  const int steady_begin = std::max(1, n_begin) + kGroupRows - 1 - n_begin;
  const int steady_end = std::min(cols - 2, n_end - 1) - n_begin;
  const bool steady_rows = count == kGroupRows && interior_rows;
  const int steps = n_end - n_begin + count - 1;
  for (int t = 0; t < steps; ++t) {
    if (steady_rows && t >= steady_begin && t <= steady_end) {
      int p[kGroupRows];
      for (int g = 0; g < kGroupRows; ++g) p[g] = y[g] * s.R + column(n_begin + t - g) * K;
      UpdateInteriorPixels<K, kAscending, kGroupRows>(s, p);
    } else {
      for (int g = 0; g < count; ++g) {
        const int n = n_begin + t - g;
        if (n >= n_begin && n < n_end) UpdatePixel<K, kAscending>(s, y[g], column(n));
      }
    }
  }
}

// Bands of four interior image rows for the vector path. Rows 1 .. 4·bands are cut into bands
// from the top; the band's rows are the four lanes of a vector of doubles, each lane a pixel that
// the same wavefront step updates, and every lane performs exactly the arithmetic of the scalar
// update in the same order, so the results are the same bits. The system rows of a band are copied
// so that one load gives the four lanes' value of one coefficient: the lanes of a step sit in
// columns that differ by one from lane to lane, so the copy is skewed, column + lane for the sweeps
// that go down to the right or up to the left, column − lane for the other two.
constexpr int kBandRows = 4;

class BandedSystem {
 public:
  // Sizes `storage` for the copy (nothing to do when the solve before had the same size).
  BandedSystem(std::vector<float>& storage, int rows, int cols, int k)
      : k_(k), bands_((rows - 2) / kBandRows), positions_(cols + kBandRows - 1) {
    storage.resize(static_cast<size_t>(2) * bands_ * positions_ * BlockFloats());
    base_ = storage.data();
  }

  int bands() const { return bands_; }
  // Floats of one position: for every unknown j its k + 4 coefficients and its right-hand side,
  // each as kBandRows lanes.
  int BlockFloats() const { return k_ * (k_ + 5) * kBandRows; }
  // Skew 0 places (row r of the band, column c) at position c + r, skew 1 at c − r + 3.
  float* Block(int skew, int band, int position) const {
    return base_ + ((static_cast<size_t>(skew) * bands_ + band) * positions_ + position) *
                       BlockFloats();
  }
  static int Position(int skew, int r, int column) {
    return skew == 0 ? column + r : column - r + kBandRows - 1;
  }

 private:
  int k_, bands_, positions_;
  float* base_ = nullptr;
};

// Copies the system rows of band b into both skews.
void CopyBand(const cv::Mat& matrix, const cv::Mat& rhs, int cols, int k, int b,
              const BandedSystem& bands) {
  const int width = k + 4;
  const float* m = matrix.ptr<float>();
  const float* v = rhs.ptr<float>();
  for (int skew = 0; skew < 2; ++skew) {
    for (int r = 0; r < kBandRows; ++r) {
      const int y = 1 + b * kBandRows + r;
      for (int c = 0; c < cols; ++c) {
        float* block = bands.Block(skew, b, BandedSystem::Position(skew, r, c)) + r;
        const size_t p = (static_cast<size_t>(y) * cols + c) * k;
        for (int j = 0; j < k; ++j) {
          const float* row = m + (p + j) * width;
          float* lanes = block + j * (k + 5) * kBandRows;
          for (int q = 0; q < width; ++q) lanes[q * kBandRows] = row[q];
          lanes[width * kBandRows] = v[p + j];
        }
      }
    }
  }
}

#define SCENEFLOW_AVX2 __attribute__((target("avx2"), always_inline)) inline

// One pixel's k floats; with three, the float after them belongs to a pixel that may have been
// stored a moment ago, so it is not read.
template <int K>
SCENEFLOW_AVX2 __m128 LoadPixel(const float* at) {
  if constexpr (K == 4) {
    return _mm_loadu_ps(at);
  } else {
    const __m128 low = _mm_castsi128_ps(_mm_loadu_si64(at));
    return _mm_movelh_ps(low, _mm_load_ss(at + 2));
  }
}

// Four pixels, one per lane, turned into k vectors of the four lanes' unknown j.
template <int K>
SCENEFLOW_AVX2 void LoadLanes(const float* x, const int (&p)[kBandRows], int offset,
                              __m128 (&lanes)[4]) {
  lanes[0] = LoadPixel<K>(x + p[0] + offset);
  lanes[1] = LoadPixel<K>(x + p[1] + offset);
  lanes[2] = LoadPixel<K>(x + p[2] + offset);
  lanes[3] = LoadPixel<K>(x + p[3] + offset);
  _MM_TRANSPOSE4_PS(lanes[0], lanes[1], lanes[2], lanes[3]);
}

template <int K>
SCENEFLOW_AVX2 void StoreLanes(float* x, const int (&p)[kBandRows], const __m128 (&values)[4]) {
  __m128 lanes[4] = {values[0], values[1], values[2], values[3]};
  _MM_TRANSPOSE4_PS(lanes[0], lanes[1], lanes[2], lanes[3]);
#pragma GCC unroll 4
  for (int r = 0; r < kBandRows; ++r) {
    if constexpr (K == 4) {
      _mm_storeu_ps(x + p[r], lanes[r]);
    } else {
      _mm_storeu_si64(x + p[r], _mm_castps_si128(lanes[r]));
      _mm_store_ss(x + p[r] + 2, _mm_movehl_ps(lanes[r], lanes[r]));
    }
  }
}

SCENEFLOW_AVX2 __m256d Widen(__m128 value) { return _mm256_cvtps_pd(value); }

// Unknown j of the four lanes' previous-row neighbours: the previous step's new values of the
// lanes one row nearer the start of the sweep, and for the first of them the row before the band
// (`outside`, one pixel).
template <bool kDown>
SCENEFLOW_AVX2 __m128 PreviousRow(__m128 previous_step, __m128 outside_j) {
  if constexpr (kDown) {
    // Lane r takes lane r − 1; lane 0 the row above the band.
    const __m128 shifted =
        _mm_castsi128_ps(_mm_slli_si128(_mm_castps_si128(previous_step), 4));
    return _mm_blend_ps(shifted, outside_j, 1);
  } else {
    // Lane r takes lane r + 1; lane 3 the row below the band.
    const __m128 shifted =
        _mm_castsi128_ps(_mm_srli_si128(_mm_castps_si128(previous_step), 4));
    return _mm_blend_ps(shifted, outside_j, 8);
  }
}

// Coefficient q of the four lanes times `value`, in double precision.
SCENEFLOW_AVX2 __m256d Term(const float* lanes, int q, __m128 value) {
  return _mm256_mul_pd(Widen(_mm_loadu_ps(lanes + q * kBandRows)), Widen(value));
}

// What the unknowns of one band step read besides the step before: the lanes' own values
// (updated in place, unknown by unknown), the old values ahead and in the next row, and the
// pixel of the row before the band; and where the step's pixels and rows are.
struct BandStep {
  __m128 own[4], ahead[4], next_row[4];
  __m128 outside;
  int p[kBandRows];    // first system row of each lane's pixel
  const float* block;  // the band's copy of the step's rows
};

// Unknown J of the four lanes' pixels of step `v`, the scalar update term by term; `previous`
// is the step before, whose unknown J is done.
template <int K, bool kDown, bool kAscending, int J>
SCENEFLOW_AVX2 void UpdateBandUnknown(const SorSystem& s, BandStep& v, const BandStep& previous) {
  const __m128 behind = previous.own[J];
  const __m128 previous_row =
      PreviousRow<kDown>(behind, _mm_shuffle_ps(v.outside, v.outside, J * 0x55));
  const __m128 up = kDown ? previous_row : v.next_row[J];
  const __m128 down = kDown ? v.next_row[J] : previous_row;
  const __m128 left = kAscending ? behind : v.ahead[J];
  const __m128 right = kAscending ? v.ahead[J] : behind;
  const double limit =
      (s.depth_estimated && J == 3) ? kDepthIncrementLimit : kMotionIncrementLimit;
  const float* lanes = v.block + J * (K + 5) * kBandRows;
  __m256d sum = _mm256_setzero_pd();
  if constexpr (J != 0) sum = _mm256_add_pd(sum, Term(lanes, 0, v.own[0]));
  if constexpr (J != 1) sum = _mm256_add_pd(sum, Term(lanes, 1, v.own[1]));
  if constexpr (J != 2) sum = _mm256_add_pd(sum, Term(lanes, 2, v.own[2]));
  if constexpr (K == 4 && J != 3) sum = _mm256_add_pd(sum, Term(lanes, 3, v.own[3]));
  sum = _mm256_add_pd(sum, Term(lanes, K, up));
  sum = _mm256_add_pd(sum, Term(lanes, K + 1, down));
  sum = _mm256_add_pd(sum, Term(lanes, K + 2, left));
  sum = _mm256_add_pd(sum, Term(lanes, K + 3, right));
  const __m128 diagonal = _mm_loadu_ps(lanes + J * kBandRows);
  const __m256d relax = _mm256_div_pd(_mm256_set1_pd(s.omega), Widen(diagonal));
  const __m256d rhs = Widen(_mm_loadu_ps(lanes + (K + 4) * kBandRows));
  __m256d value = _mm256_mul_pd(relax, _mm256_sub_pd(rhs, sum));
  value = _mm256_add_pd(value, _mm256_mul_pd(_mm256_set1_pd(s.keep), Widen(v.own[J])));
  // Clamp as std::min(std::max(value, −limit), limit) does, NaN included.
  value = _mm256_max_pd(_mm256_set1_pd(-limit), value);
  value = _mm256_min_pd(_mm256_set1_pd(limit), value);
  // A row with a zero diagonal states nothing and keeps its value.
  const __m128 stated = _mm_cmp_ps(diagonal, _mm_setzero_ps(), _CMP_NEQ_UQ);
  v.own[J] = _mm_blendv_ps(v.own[J], _mm256_cvtpd_ps(value), stated);
}

// Steps are kept in a ring: step u in slot u mod kStepSlots.
constexpr int kStepSlots = 8;

// Unknown number jj (in the sweep's order within a pixel) of step u, when u is one of the steps
// [begin, end).
template <int K, bool kDown, bool kAscending, int JJ>
SCENEFLOW_AVX2 void UpdateIfInRange(const SorSystem& s, BandStep (&ring)[kStepSlots], int u,
                                    int begin, int end) {
  if (u < begin || u >= end) return;
  constexpr int J = kAscending ? JJ : K - 1 - JJ;
  UpdateBandUnknown<K, kDown, kAscending, J>(s, ring[u % kStepSlots],
                                             ring[(u + kStepSlots - 1) % kStepSlots]);
}

// The vector steps [begin, end) of a band, each with all four pixels interior. The k unknowns of
// a step depend on each other in turn, and unknown j of a step on unknown j of the step before,
// so the steps are overlapped: round i updates unknown number jj of step i − jj for every jj.
// The updates of one round are independent of each other, and each reads exactly the values it
// reads in the one-step-at-a-time order. `place(u, p)` gives the lanes' pixels of step u and
// returns its copy of the rows; `outside(u)` the pixel of the row before the band.
template <int K, bool kDown, bool kAscending, typename Place, typename Outside, int... JJ>
SCENEFLOW_AVX2 void RunBandSteps(const SorSystem& s, int begin, int end, const Place& place,
                                 const Outside& outside, std::integer_sequence<int, JJ...>) {
  constexpr int kBlockFloats = K * (K + 5) * kBandRows;
  constexpr int kPrefetchSteps = 24;
  BandStep ring[kStepSlots];
  {
    // The step before the first: the pixels the lanes have just updated.
    BandStep& before = ring[(begin + kStepSlots - 1) % kStepSlots];
    place(begin - 1, before.p);
    LoadLanes<K>(s.x, before.p, 0, before.own);
  }
  for (int i = begin; i < end + K - 1; ++i) {
    if (i < end) {
      BandStep& v = ring[i % kStepSlots];
      v.block = place(i, v.p);
      // The copy of the rows is read in one direction, a block per step; fetch a few ahead.
      const float* coming = v.block + (kAscending ? 1 : -1) * kPrefetchSteps * kBlockFloats;
      for (int line = 0; line < kBlockFloats; line += 16) {
        _mm_prefetch(reinterpret_cast<const char*>(coming + line), _MM_HINT_T0);
      }
      // The pixels themselves, those ahead and those in the next row still hold their old values.
      LoadLanes<K>(s.x, v.p, 0, v.own);
      LoadLanes<K>(s.x, v.p, kAscending ? K : -K, v.ahead);
      LoadLanes<K>(s.x, v.p, kDown ? s.R : -s.R, v.next_row);
      v.outside = LoadPixel<K>(outside(i));
    }
    (UpdateIfInRange<K, kDown, kAscending, JJ>(s, ring, i - JJ, begin, end), ...);
    const int done = i - (K - 1);
    if (done >= begin) {
      const BandStep& v = ring[done % kStepSlots];
      StoreLanes<K>(s.x, v.p, v.own);
    }
  }
}

#undef SCENEFLOW_AVX2

// Visit rows [first, first + kBandRows) form band b, from visit pixel n_begin up to n_end, in a
// wavefront as RunGroup's: lane g in visit order updates visit pixel n_begin + t − g at step t.
// Steps whose four pixels are all interior go through the vector update, the others pixel by
// pixel.
template <int K, bool kDown, bool kAscending>
__attribute__((target("avx2"))) void RunBand(const SorSystem& s, const BandedSystem& bands,
                                             int b, int n_begin, int n_end) {
  // The sweeps down to the right and up to the left use skew 0.
  constexpr int skew = kDown == kAscending ? 0 : 1;
  constexpr int last = kBandRows - 1;
  const int cols = s.cols;
  const int top = 1 + b * kBandRows;
  const auto column = [&](int n) { return kAscending ? n : cols - 1 - n; };
  // Lane g in visit order is row r = g going down, r = 3 − g going up.
  const auto row = [&](int g) { return kDown ? top + g : top + last - g; };
  const auto pixel_by_pixel = [&](int t) {
    for (int g = 0; g < kBandRows; ++g) {
      const int n = n_begin + t - g;
      if (n >= n_begin && n < n_end) UpdatePixel<K, kAscending>(s, row(g), column(n));
    }
  };
  // Steps [vector_begin, vector_end) have all four pixels inside [n_begin, n_end) and inside the
  // frame.
  const int steps = n_end - n_begin + last;
  const int vector_begin = std::max(last, 1 + last - n_begin);
  const int vector_end = std::min(n_end - n_begin, cols - 1 - n_begin);
  int t = 0;
  for (; t < std::min(vector_begin, steps); ++t) pixel_by_pixel(t);
  if (t < vector_end) {
    // Lane g in visit order is at visit pixel n_begin + u − g at step u. The lane next to the
    // row before the band is g = 0: row 0 going down, row 3 going up.
    const auto place = [&](int u, int (&p)[kBandRows]) {
      for (int r = 0; r < kBandRows; ++r) {
        const int g = kDown ? r : last - r;
        p[r] = (top + r) * s.R + column(n_begin + u - g) * K;
      }
      return static_cast<const float*>(
          bands.Block(skew, b, BandedSystem::Position(skew, kDown ? 0 : last, column(n_begin + u))));
    };
    const int outside_row = kDown ? top - 1 : top + kBandRows;
    const auto outside = [&](int u) {
      return static_cast<const float*>(s.x + outside_row * s.R + column(n_begin + u) * K);
    };
    RunBandSteps<K, kDown, kAscending>(s, t, vector_end, place, outside,
                                       std::make_integer_sequence<int, K>());
    t = vector_end;
  }
  for (; t < steps; ++t) pixel_by_pixel(t);
}

// A sweep visits the image rows as a sequence of units, each run as one wavefront: groups of at
// most kGroupRows rows pixel by pixel, and, with the vector path, the bands.
struct SweepUnit {
  int first;  // first visit row
  int count;  // visit rows
  int band;   // the band these rows form, or −1
};

// The units of a sweep going down (kDown) or up, with `bands` bands of the vector path (0 for
// none).
std::vector<SweepUnit> SweepUnits(int rows, int bands, bool down) {
  std::vector<SweepUnit> units;
  const auto add_rows = [&](int first, int end) {
    for (; first < end; first += kGroupRows) {
      units.push_back({first, std::min(kGroupRows, end - first), -1});
    }
  };
  if (bands == 0) {
    add_rows(0, rows);
    return units;
  }
  // Going down: row 0, the bands, the rows below them. Going up: the same, backwards.
  const int below = 1 + bands * kBandRows;
  if (down) {
    add_rows(0, 1);
    for (int b = 0; b < bands; ++b) units.push_back({1 + b * kBandRows, kBandRows, b});
    add_rows(below, rows);
  } else {
    add_rows(0, rows - below);
    for (int b = bands - 1; b >= 0; --b) {
      units.push_back({rows - 1 - (b + 1) * kBandRows, kBandRows, b});
    }
    add_rows(rows - 1, rows);
  }
  return units;
}

template <int K, bool kDown, bool kAscending>
void RunUnit(const SorSystem& s, const BandedSystem* bands, const SweepUnit& unit, int n_begin,
             int n_end) {
  if (unit.band >= 0) {
    RunBand<K, kDown, kAscending>(s, *bands, unit.band, n_begin, n_end);
  } else {
    RunGroup<K, kDown, kAscending>(s, unit.first, unit.count, n_begin, n_end);
  }
}

// One sweep over all rows: image rows top to bottom (kDown) or bottom to top, system rows within
// an image row ascending or descending, unit by unit. With two threads, each thread keeps one half
// of the columns in every sweep, so that only the values along the middle column pass between the
// cores. The thread whose half the sweep meets first in each row goes ahead; the other takes a
// unit once the first has finished that unit's half, when the first half's new values next to
// the middle are there and its own half is still untouched. Returns the number of sleeps.
template <int K, bool kDown, bool kAscending>
int Sweep(const SorSystem& s, const BandedSystem* bands, const std::vector<SweepUnit>& units,
          int threads, std::atomic<int>& units_done) {
  const int count = static_cast<int>(units.size());
  if (threads == 1) {
    for (const SweepUnit& unit : units) RunUnit<K, kDown, kAscending>(s, bands, unit, 0, s.cols);
    return 0;
  }
  // Visit pixels [0, split) are the leader's half: columns [0, cols/2) when ascending.
  const int middle = s.cols / 2;
  const int split = kAscending ? middle : s.cols - middle;
  units_done.store(0, std::memory_order_relaxed);
  std::atomic<int> total_sleeps{0};
  WorkerPool::Shared().RunOnThreads(2, [&](int t) {
    // Thread 0 keeps the columns left of the middle, thread 1 the others.
    const bool leader = (t == 0) == kAscending;
    int sleeps = 0;
    for (int u = 0; u < count; ++u) {
      if (leader) {
        RunUnit<K, kDown, kAscending>(s, bands, units[u], 0, split);
        units_done.store(u + 1, std::memory_order_release);
        units_done.notify_all();
      } else {
        sleeps += WaitUntilAtLeast(units_done, u + 1);
        RunUnit<K, kDown, kAscending>(s, bands, units[u], split, s.cols);
      }
    }
    total_sleeps.fetch_add(sleeps, std::memory_order_relaxed);
  });
  return total_sleeps.load(std::memory_order_relaxed);
}

template <int K>
int RunSweeps(const SorSystem& s, const BandedSystem* bands, const std::vector<SweepUnit>& down,
              const std::vector<SweepUnit>& up, int threads) {
  std::atomic<int> units_done{0};
  int sleeps = Sweep<K, true, true>(s, bands, down, threads, units_done);
  sleeps += Sweep<K, false, false>(s, bands, up, threads, units_done);
  sleeps += Sweep<K, true, false>(s, bands, down, threads, units_done);
  sleeps += Sweep<K, false, true>(s, bands, up, threads, units_done);
  return sleeps;
}

}  // namespace

int PrepareExactSweeps(LevelState& state) {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  const int rows = state.size.height, cols = state.size.width;
  if (!avx2 || rows < 2 + kBandRows || cols < 2 + kBandRows) return 0;
  const BandedSystem bands(state.BandedCopy, rows, cols, state.k);
  ParallelRows(bands.bands(), [&](int begin, int end) {
    for (int b = begin; b < end; ++b) {
      CopyBand(state.SystemMatrix, state.RightHandSide, cols, state.k, b, bands);
    }
  });
  return bands.bands();
}

bool RunExactSweeps(LevelState& state, const double* relax, double omega, float* x,
                    const ExactSorOptions& options) {
  const int k = state.k;
  const int rows = state.size.height, cols = state.size.width;
  const SorSystem system{state.SystemMatrix.ptr<float>(),
                         state.RightHandSide.ptr<float>(),
                         x,
                         relax,
                         omega,
                         1 - omega,
                         rows,
                         cols,
                         cols * k,
                         state.depth_estimated};
  std::optional<BandedSystem> bands;
  if (options.bands > 0) bands.emplace(state.BandedCopy, rows, cols, k);
  const BandedSystem* banded = bands ? &*bands : nullptr;
  const std::vector<SweepUnit> down = SweepUnits(rows, options.bands, true);
  const std::vector<SweepUnit> up = SweepUnits(rows, options.bands, false);
  const int threads = std::clamp(options.threads, 1, 2);
  const int sleeps = k == 4 ? RunSweeps<4>(system, banded, down, up, threads)
                            : RunSweeps<3>(system, banded, down, up, threads);
  // A partner that falls asleep at every fourth unit or more means the cores are shared with
  // other work: a sleep then costs more than the rows it waits for. A few sleeps are normal.
  return sleeps <= static_cast<int>(down.size());
}

}  // namespace sceneflow
