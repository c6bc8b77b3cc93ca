#include "solver/linear_system.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

#include "parallel/worker_pool.h"
#include "solver/data_term.h"
#include "solver/smoothness.h"
#include "tests/solver/synthetic_level.h"

namespace sceneflow {
namespace {

// Two threads, so that the solvers' two-thread paths (the exact solver's column halves, the
// parallel solver's two wavefronts) run on any machine.
[[maybe_unused]] const bool kTwoThreads = (WorkerPool::SizeShared(2), true);

using testing::Constant;
using testing::NeutralLevel;

float Coefficient(const LevelState& st, int y, int x, int j, int column) {
  return st.SystemMatrix.at<float>((y * st.size.width + x) * st.k + j, column);
}

float Rhs(const LevelState& st, int y, int x, int j) {
  return st.RightHandSide.at<float>((y * st.size.width + x) * st.k + j);
}

void ExpectFrameRow(const LevelState& st, int y, int x, float column0, float column1) {
  for (int j = 0; j < st.k; ++j) {
    EXPECT_EQ(Coefficient(st, y, x, j, 0), column0) << y << "," << x;
    EXPECT_EQ(Coefficient(st, y, x, j, 1), column1) << y << "," << x;
    for (int c = 2; c < st.k + 4; ++c) EXPECT_EQ(Coefficient(st, y, x, j, c), 0);
    EXPECT_EQ(Rhs(st, y, x, j), 0);
  }
}

struct Fields {
  cv::Mat U, V, W, Z;
};

Fields ConstantFields(cv::Size size) {
  return {Constant(size, 1), Constant(size, -2), Constant(size, 0.5f), Constant(size, 400)};
}

TEST(AssembleLinearSystemTest, FrameRowsAndSmoothnessRowsOfConstantFields) {
  const cv::Size size(5, 4);
  LevelState st = NeutralLevel(size, 2, true);
  const Fields f = ConstantFields(size);
  testing::SetFieldGradients(st, f.U, f.V, f.W, f.Z);
  const SmoothnessOptions p;
  AssembleLinearSystem(st, Constant(size, 100), f.U, f.V, f.W, f.Z, {1, 2, 3}, p);
  ASSERT_EQ(st.SystemMatrix.rows, 5 * 4 * 4);
  ASSERT_EQ(st.SystemMatrix.cols, 8);
  for (int x = 0; x < 5; ++x) {
    ExpectFrameRow(st, 0, x, -1, 1);  // corners included: vertical neighbour
    ExpectFrameRow(st, 3, x, 1, -1);
  }
  for (int y = 1; y < 3; ++y) {
    ExpectFrameRow(st, y, 0, -1, 1);
    ExpectFrameRow(st, y, 4, 1, -1);
  }
  // Interior: diffusivity 1000 everywhere, zero data terms (identical images, zero gradients).
  const double w[4] = {0.25, 0.25, 0.5, 0.75};
  for (int y = 1; y < 3; ++y) {
    for (int x = 1; x < 4; ++x) {
      for (int j = 0; j < 4; ++j) {
        for (int m = 0; m < 4; ++m) {
          EXPECT_EQ(Coefficient(st, y, x, j, m), m == j ? static_cast<float>(w[j] * 4000) : 0);
        }
        for (int q = 0; q < 4; ++q) {
          EXPECT_EQ(Coefficient(st, y, x, j, 4 + q), static_cast<float>(-w[j] * 1000));
        }
        EXPECT_EQ(Rhs(st, y, x, j), 0);
      }
    }
  }
}

TEST(AssembleLinearSystemTest, StoresEachPixelsSmoothnessAndDataRows) {
  const cv::Size size(24, 20);
  testing::BusyLevel level = testing::MakeBusyLevel(size, 3, true, 7);
  LevelState& st = level.state;
  cv::RNG rng(3);
  st.dU = testing::SmoothRandom(size, rng, -0.5, 0.5);
  SmoothnessOptions p;
  const SmoothWeights weights{3, 2, 1};
  // The same pixel's equations built by hand from the unit functions, on copies of the masks.
  LevelState copy = st;
  copy.warping.RefFlowMask = st.warping.RefFlowMask.clone();
  for (int i = 1; i < 3; ++i) {
    copy.warping.ViewMaskT[i] = st.warping.ViewMaskT[i].clone();
    copy.warping.ViewMaskTCopy[i] = st.warping.ViewMaskTCopy[i].clone();
    copy.warping.StereoMask0[i] = st.warping.StereoMask0[i].clone();
  }
  AssembleLinearSystem(st, level.I_ref, level.U, level.V, level.W, level.Z, weights, p);

  ComputeIncrementGradients(copy);
  ComputeDiffusivities(copy, p);
  const int y = 9, x = 11;
  const SmoothnessRows rows = BindSmoothnessRows(
      copy, level.U, level.V, level.W, level.Z, SmoothnessEquationWeights(weights, p, 1.0), y);
  DataTermRow data;
  BindDataTermRow(copy, level.I_ref, y, data);
  PixelEquations e;
  e.k = 4;
  AddSmoothnessTerms(rows, x, e);
  AccumulateDataTerms(data, x, e);
  int data_terms_active = 0;
  for (int j = 0; j < 4; ++j) {
    for (int m = 0; m < 4; ++m) {
      EXPECT_EQ(Coefficient(st, y, x, j, m), static_cast<float>(e.A[j][m]));
      EXPECT_EQ(Coefficient(st, y, x, j, m), Coefficient(st, y, x, m, j));
      if (m != j && e.A[j][m] != 0) ++data_terms_active;
    }
    for (int q = 0; q < 4; ++q) {
      EXPECT_EQ(Coefficient(st, y, x, j, 4 + q), static_cast<float>(e.neighbour[j][q]));
    }
    EXPECT_EQ(Rhs(st, y, x, j), static_cast<float>(e.b[j]));
  }
  EXPECT_GT(data_terms_active, 0);
  // Pixels near the border project outside the safe area: their masks now carry 127.
  EXPECT_EQ(st.warping.RefFlowMask.at<uchar>(1, 1), kMaskOutsideSafeArea);
  EXPECT_EQ(st.warping.RefFlowMask.at<uchar>(y, x), 0);
}

TEST(AssembleLinearSystemTest, LevelOfWidthTwoHasOnlyFrameRows) {
  const cv::Size size(2, 5);
  LevelState st = NeutralLevel(size, 2, false);
  const Fields f = ConstantFields(size);
  AssembleLinearSystem(st, Constant(size, 100), f.U, f.V, f.W, f.Z, {1, 1, 1}, SmoothnessOptions());
  for (int x = 0; x < 2; ++x) {
    ExpectFrameRow(st, 0, x, -1, 1);
    ExpectFrameRow(st, 4, x, 1, -1);
  }
  for (int y = 1; y < 4; ++y) {
    ExpectFrameRow(st, y, 0, -1, 1);
    ExpectFrameRow(st, y, 1, 1, -1);
  }
}

// One sweep: image rows top to bottom or bottom to top, system rows ascending or descending.
struct SweepOrder {
  bool down, ascending;
};
constexpr SweepOrder kSolverOrder[4] = {{true, true}, {false, false}, {true, false}, {false, true}};

// The SOR as it reads most plainly: every row classified from its index alone, the frame tests
// first, the sweeps in the given order.
std::vector<float> PlainSOR(const cv::Mat& M, const cv::Mat& rhs, int rows, int cols, int k,
                            bool depth, double omega, double epsilon, int max_iterations,
                            const SweepOrder (&order)[4] = kSolverOrder) {
  const int R = cols * k, N = rows * R;
  std::vector<float> x(N, 0.f), previous(N, 0.f);
  const auto update = [&](int i) {
    const float* c = M.ptr<float>(i);
    double a, s;
    bool depth_row = false;
    if (i < R) {
      a = c[0];
      s = static_cast<double>(c[1]) * x[i + R];
    } else if (i >= (rows - 1) * R) {
      a = c[0];
      s = static_cast<double>(c[1]) * x[i - R];
    } else if (i % R < k) {
      a = c[0];
      s = static_cast<double>(c[1]) * x[i + k];
    } else if (i % R >= R - k) {
      a = c[0];
      s = static_cast<double>(c[1]) * x[i - k];
    } else {
      const int j = (i % R) % k, p = i - j;
      a = c[j];
      s = 0;
      for (int m = 0; m < k; ++m) {
        if (m != j) s += static_cast<double>(c[m]) * x[p + m];
      }
      s += static_cast<double>(c[k]) * x[i - R];
      s += static_cast<double>(c[k + 1]) * x[i + R];
      s += static_cast<double>(c[k + 2]) * x[i - k];
      s += static_cast<double>(c[k + 3]) * x[i + k];
      depth_row = depth && j == 3;
    }
    if (a == 0) return;
    double v = (omega / a) * (rhs.at<float>(i) - s) + (1 - omega) * x[i];
    const double limit = depth_row ? 20 : 5;
    v = std::min(std::max(v, -limit), limit);
    x[i] = static_cast<float>(v);
  };
  double err = 0;
  int iterations = 0;
  bool first = true;
  while (first || (err >= epsilon && iterations < max_iterations)) {
    first = false;
    for (const SweepOrder& sweep : order) {
      for (int t = 0; t < rows; ++t) {
        const int y = sweep.down ? t : rows - 1 - t;
        for (int q = 0; q < R; ++q) update(y * R + (sweep.ascending ? q : R - 1 - q));
      }
    }
    err = cv::norm(cv::Mat(previous), cv::Mat(x), cv::NORM_RELATIVE | cv::NORM_L2);
    previous = x;
    ++iterations;
  }
  return x;
}

// A random system in the solver's layout: frame rows as assembled, interior rows with a dominant
// diagonal, a symmetric block and right-hand sides large enough for some rows to hit their limits.
LevelState RandomSystem(cv::Size size, bool depth, unsigned seed) {
  LevelState st = NeutralLevel(size, 1, depth);
  const int k = st.k, cols = size.width, rows = size.height;
  const int N = rows * cols * k;
  st.SystemMatrix = cv::Mat::zeros(N, k + 4, CV_32F);
  st.RightHandSide = cv::Mat::zeros(N, 1, CV_32F);
  cv::RNG rng(seed);
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < cols; ++x) {
      const int p = (y * cols + x) * k;
      const bool frame = y == 0 || y == rows - 1 || x == 0 || x == cols - 1;
      for (int j = 0; j < k; ++j) {
        float* c = st.SystemMatrix.ptr<float>(p + j);
        if (frame) {
          const bool first = y == 0 || (y != rows - 1 && x == 0);
          c[0] = first ? -1.f : 1.f;
          c[1] = -c[0];
          continue;
        }
        c[j] = static_cast<float>(rng.uniform(4.0, 8.0));
        for (int m = 0; m < j; ++m) {
          c[m] = static_cast<float>(rng.uniform(-0.5, 0.5));
          st.SystemMatrix.at<float>(p + m, j) = c[m];
        }
        for (int q = 0; q < 4; ++q) c[k + q] = static_cast<float>(rng.uniform(-1.0, 0.0));
        st.RightHandSide.at<float>(p + j) = static_cast<float>(rng.uniform(-150.0, 150.0));
      }
    }
  }
  return st;
}

std::vector<float> Solve(LevelState& st, double omega, double epsilon, int max_iterations,
                         SorMethod method = SorMethod::kExact) {
  SorOptions p;
  p.OmegaSOR = omega;
  p.EpsilonSOR = epsilon;
  p.MaxIterSOR = max_iterations;
  SolveSOR(st, p, method);
  return std::vector<float>(st.IncrementVector.begin<float>(), st.IncrementVector.end<float>());
}

std::vector<float> Plain(const LevelState& st, double omega, double epsilon, int max_iterations,
                         const SweepOrder (&order)[4] = kSolverOrder) {
  return PlainSOR(st.SystemMatrix, st.RightHandSide, st.size.height, st.size.width, st.k,
                  st.depth_estimated, omega, epsilon, max_iterations, order);
}

TEST(SolveSORTest, MatchesThePlainSweepsExactly) {
  for (bool depth : {true, false}) {
    // The larger sizes reach the rows updated three at a time, the bands of four rows (with
    // 0, 1 and 3 rows left below them) and, with two or more cores, the two column halves.
    for (cv::Size size : {cv::Size(6, 5), cv::Size(3, 3), cv::Size(4, 2), cv::Size(2, 4),
                          cv::Size(11, 10), cv::Size(9, 7), cv::Size(70, 41)}) {
      LevelState st = RandomSystem(size, depth, 11 + size.width);
      const std::vector<float> expected = Plain(st, 1.6, 0, 4);
      EXPECT_EQ(Solve(st, 1.6, 0, 4), expected) << size << " depth " << depth;
      // The limits were reached somewhere, so the test covers them.
      if (size.width < 3 || size.height < 3) continue;
      EXPECT_GT(std::count_if(expected.begin(), expected.end(),
                              [](float v) { return std::fabs(v) == 5.f || std::fabs(v) == 20.f; }),
                0);
    }
  }
}

// The red-black SOR of SorMethod::kParallel as it reads most plainly: an iteration is eight
// passes, pass p updating every pixel of colour p mod 2 (the colour of pixel (y, x) is
// (x + y) mod 2), each pixel's unknowns in turn; all in 32-bit floats, each sum formed in the
// solver's order: the pixel's other unknowns in ascending order, then the four neighbours
// (upper, lower, left, right) added up on their own and added to that.
std::vector<float> PlainRedBlackSOR(const cv::Mat& M, const cv::Mat& rhs, int rows, int cols,
                                    int k, bool depth, double omega, double epsilon,
                                    int max_iterations) {
  const int R = cols * k, N = rows * R;
  std::vector<float> x(N, 0.f), previous(N, 0.f);
  const float keep = static_cast<float>(1 - omega);
  const auto relaxed = [&](int i, float diagonal, float sum, float limit) {
    if (diagonal == 0) return;
    const float relax = static_cast<float>(omega / diagonal);
    x[i] = std::min(std::max(relax * (rhs.at<float>(i) - sum) + keep * x[i], -limit), limit);
  };
  const auto update = [&](int y, int column) {
    const bool frame = y == 0 || y == rows - 1 || column == 0 || column == cols - 1;
    for (int j = 0; j < k; ++j) {
      const int i = (y * cols + column) * k + j;
      const float* c = M.ptr<float>(i);
      if (frame) {
        const int inward = y == 0 ? i + R : y == rows - 1 ? i - R : column == 0 ? i + k : i - k;
        relaxed(i, c[0], c[1] * x[inward], 5.f);
        continue;
      }
      const int p = i - j;
      float sum = 0;
      bool first = true;
      for (int m = 0; m < k; ++m) {
        if (m == j) continue;
        sum = first ? c[m] * x[p + m] : sum + c[m] * x[p + m];
        first = false;
      }
      const float neighbours =
          c[k] * x[i - R] + c[k + 1] * x[i + R] + c[k + 2] * x[i - k] + c[k + 3] * x[i + k];
      relaxed(i, c[j], sum + neighbours, depth && j == 3 ? 20.f : 5.f);
    }
  };
  double err = 0;
  int iterations = 0;
  bool first = true;
  while (first || (err >= epsilon && iterations < max_iterations)) {
    first = false;
    for (int pass = 0; pass < 8; ++pass) {
      for (int y = 0; y < rows; ++y) {
        for (int column = (y + pass) % 2; column < cols; column += 2) update(y, column);
      }
    }
    double difference = 0, magnitude = 0;
    for (int i = 0; i < N; ++i) {
      const double d = static_cast<double>(previous[i]) - x[i];
      difference += d * d;
      magnitude += static_cast<double>(x[i]) * x[i];
    }
    err = std::sqrt(difference) / (std::sqrt(magnitude) + DBL_EPSILON);
    previous = x;
    ++iterations;
  }
  return x;
}

TEST(SolveSORTest, ParallelMatchesThePlainRedBlackPassesExactly) {
  for (bool depth : {true, false}) {
    // The larger sizes give both wavefronts of two threads, with halves of equal height and with
    // the lower one a row taller, and rows of odd and even widths.
    for (cv::Size size : {cv::Size(6, 5), cv::Size(3, 3), cv::Size(4, 2), cv::Size(2, 4),
                          cv::Size(11, 10), cv::Size(9, 32), cv::Size(70, 41)}) {
      LevelState st = RandomSystem(size, depth, 11 + size.width);
      // Rows with a zero diagonal keep their value: an interior row and a frame row.
      const int k = st.k;
      if (size.width >= 3 && size.height >= 3) {
        st.SystemMatrix.at<float>((size.width + 1) * k + 1, 1) = 0;
      }
      st.SystemMatrix.at<float>(k, 0) = 0;
      const std::vector<float> expected = PlainRedBlackSOR(
          st.SystemMatrix, st.RightHandSide, size.height, size.width, k, depth, 1.6, 0, 4);
      EXPECT_EQ(Solve(st, 1.6, 0, 4, SorMethod::kParallel), expected) << size << " depth " << depth;
      if (size.width < 3 || size.height < 3) continue;
      EXPECT_GT(std::count_if(expected.begin(), expected.end(),
                              [](float v) { return std::fabs(v) == 5.f || std::fabs(v) == 20.f; }),
                0);
    }
  }
  // The stop test: here the change falls below 0.05 after some iterations, before 20.
  LevelState st = RandomSystem(cv::Size(12, 9), true, 5);
  const std::vector<float> stopped = Solve(st, 1.2, 0.05, 20, SorMethod::kParallel);
  EXPECT_EQ(stopped, PlainRedBlackSOR(st.SystemMatrix, st.RightHandSide, 9, 12, 4, true, 1.2,
                                      0.05, 20));
  EXPECT_NE(stopped, Solve(st, 1.2, 0, 20, SorMethod::kParallel));
}

TEST(SolveSORTest, SweepOrderMatters) {
  // The system's result depends on the order: the solver matches only the specified one. Sweep 2
  // starts from the last row (bottom-right pixel, last unknown).
  LevelState st = RandomSystem(cv::Size(5, 4), true, 5);
  const std::vector<float> x = Solve(st, 1.6, 0, 1);
  EXPECT_EQ(x, Plain(st, 1.6, 0, 1));
  const SweepOrder second_ascending[4] = {{true, true}, {false, true}, {true, false}, {false, true}};
  const SweepOrder second_third_swapped[4] = {
      {true, true}, {true, false}, {false, false}, {false, true}};
  const SweepOrder all_ascending[4] = {{true, true}, {false, true}, {true, true}, {false, true}};
  EXPECT_NE(x, Plain(st, 1.6, 0, 1, second_ascending));
  EXPECT_NE(x, Plain(st, 1.6, 0, 1, second_third_swapped));
  EXPECT_NE(x, Plain(st, 1.6, 0, 1, all_ascending));
}

TEST(SolveSORTest, MaxIterZeroStillRunsOneIteration) {
  LevelState st = RandomSystem(cv::Size(5, 4), true, 3);
  const std::vector<float> once = Solve(st, 1.6, 0, 0);
  EXPECT_EQ(once, Plain(st, 1.6, 0, 1));
  EXPECT_NE(once, std::vector<float>(once.size(), 0.f));
  EXPECT_EQ(Solve(st, 1.6, 0, -3), once);
}

TEST(SolveSORTest, StopsWhenTheChangeIsSmall) {
  LevelState st = RandomSystem(cv::Size(5, 4), false, 4);
  EXPECT_EQ(Solve(st, 1.6, 1e9, 20), Plain(st, 1.6, 0, 1));
  EXPECT_EQ(Solve(st, 1.6, 0, 7), Plain(st, 1.6, 0, 7));
  // A zero system: the first change is 0, nothing moves.
  st.RightHandSide.setTo(0);
  const std::vector<float> zero = Solve(st, 1.6, 0.01, 20);
  EXPECT_EQ(zero, std::vector<float>(zero.size(), 0.f));
}

TEST(SolveSORTest, GaussSeidelFrameRowsCopyTheirInwardNeighbour) {
  LevelState st = RandomSystem(cv::Size(6, 5), false, 9);
  const std::vector<float> x = Solve(st, 1.0, 0, 0);
  const int k = 3, cols = 6, R = cols * k;
  // The last sweep runs bottom to top, left to right: the first image row and the last column are
  // updated after their inward neighbours and equal them exactly.
  for (int i = 0; i < R; ++i) EXPECT_EQ(x[i], x[i + R]);
  for (int y = 1; y < 4; ++y) {
    for (int j = 0; j < k; ++j) {
      const int i = (y * cols + cols - 1) * k + j;
      EXPECT_EQ(x[i], x[i - k]);
    }
  }
}

// A 3 × 3 level: one interior pixel whose rows say a·x = b with b beyond the limits.
LevelState OnePixelSystem(bool depth, float motion_rhs, float depth_rhs) {
  LevelState st = RandomSystem(cv::Size(3, 3), depth, 1);
  const int p = 4 * st.k;  // pixel (1, 1)
  for (int j = 0; j < st.k; ++j) {
    float* c = st.SystemMatrix.ptr<float>(p + j);
    for (int m = 0; m < st.k + 4; ++m) c[m] = m == j ? 1.f : 0.f;
    st.RightHandSide.at<float>(p + j) = j == 3 ? depth_rhs : motion_rhs;
  }
  return st;
}

TEST(SolveSORTest, ClampsDuringTheSweeps) {
  LevelState st = OnePixelSystem(true, 12, 30);
  const std::vector<float> x = Solve(st, 1.0, 0, 0);
  const int p = 4 * 4;
  EXPECT_EQ(x[p + 0], 5.f);
  EXPECT_EQ(x[p + 3], 20.f);  // interior depth row
  // The right frame pixel copies the limited values; its depth row is held to 5.
  EXPECT_EQ(x[p + 4 + 0], 5.f);
  EXPECT_EQ(x[p + 4 + 3], 5.f);
  st = OnePixelSystem(true, -12, -30);
  const std::vector<float> negative = Solve(st, 1.0, 0, 0);
  EXPECT_EQ(negative[p + 1], -5.f);
  EXPECT_EQ(negative[p + 3], -20.f);
  // Depth fixed: the third unknown is W, limited to 5.
  st = OnePixelSystem(false, 12, 0);
  EXPECT_EQ(Solve(st, 1.0, 0, 0)[3 * 4 + 2], 5.f);
}

TEST(SolveSORTest, RowWithZeroDiagonalKeepsItsValue) {
  const cv::Size size(6, 5);
  LevelState st = NeutralLevel(size, 2, true);
  const Fields f = ConstantFields(size);
  st.warping.RefFlowMask.setTo(100);
  st.warping.ViewMaskT[1].setTo(100);
  st.warping.ViewMaskTCopy[1].setTo(100);
  st.warping.StereoMask0[1].setTo(100);
  // Zero smoothness weight, no data term: every interior row is 0 = 0.
  AssembleLinearSystem(st, Constant(size, 100), f.U, f.V, f.W, f.Z, {0, 0, 0}, SmoothnessOptions());
  const std::vector<float> x = Solve(st, 1.6, 0, 3);
  for (float v : x) EXPECT_EQ(v, 0.f);
  // A neighbour that moves does not move the row either.
  st.RightHandSide.at<float>(0) = 1;  // the frame row now says -x0 + x_below = 1
  for (float v : Solve(st, 1.0, 0, 0)) EXPECT_TRUE(std::isfinite(v));
}

TEST(InnerIterationTest, RecoversTheShiftOfALinearisedImage) {
  // The reference view at time t is the reference image moved by (0.3, -0.2) pixels, exactly as
  // its linearisation sees it: the increments that explain it are dU = -0.3, dV = 0.2.
  const cv::Size size(24, 20);
  LevelState st = NeutralLevel(size, 1, false);
  cv::RNG rng(17);
  st.warping.WarpedTDx[0] = testing::SmoothRandom(size, rng, -20, 20);
  st.warping.WarpedTDy[0] = testing::SmoothRandom(size, rng, -20, 20);
  const cv::Mat I_ref = Constant(size, 100);
  st.warping.WarpedT[0] = I_ref + 0.3 * st.warping.WarpedTDx[0] - 0.2 * st.warping.WarpedTDy[0];
  const Fields f = ConstantFields(size);
  SorOptions p;
  p.MaxIterSOR = 300;
  p.EpsilonSOR = 1e-7;
  for (int inner = 0; inner < 4; ++inner) {
    AssembleLinearSystem(st, I_ref, f.U, f.V, f.W, f.Z, {0.01, 0.01, 0.01}, SmoothnessOptions());
    SolveSOR(st, p);
    UnpackIncrements(st);
  }
  const cv::Rect inside(4, 4, 16, 12);
  EXPECT_NEAR(cv::mean(st.dU(inside))[0], -0.3, 0.002);
  EXPECT_NEAR(cv::mean(st.dV(inside))[0], 0.2, 0.002);
  EXPECT_NEAR(cv::norm(st.dW, cv::NORM_INF), 0, 1e-6);
}

TEST(InnerIterationTest, RecoversMotionAndDepthFromThreeViews) {
  // Every warped image is what its linearisation predicts for the increments (0.3, -0.2, 0.5, 2):
  // the reference flow, flow, stereo-0 and stereo-t terms all vanish there, and only there.
  const cv::Size size(24, 20);
  const int views = 3;
  LevelState st = NeutralLevel(size, views, true);
  cv::RNG rng(29);
  const auto random = [&](double spread) { return testing::SmoothRandom(size, rng, -spread, spread); };
  const double truth[4] = {0.3, -0.2, 0.5, 2};
  const cv::Mat I_ref = Constant(size, 100);
  // With identity warps the gradient of a linearised time-t image is Ix·dx/dF + Iy·dy/dF.
  const auto predicted_time_t = [&](int i) {
    st.warping.WarpedTDx[i] = random(20);
    st.warping.WarpedTDy[i] = random(20);
    for (cv::Mat* m : {&st.DxDU[i], &st.DxDV[i], &st.DxDW[i], &st.DyDU[i], &st.DyDV[i],
                       &st.DyDW[i], &st.DxDZT[i], &st.DyDZT[i]}) {
      *m = random(1);
    }
    cv::Mat change = Constant(size, 0);
    const cv::Mat* dx[4] = {&st.DxDU[i], &st.DxDV[i], &st.DxDW[i], &st.DxDZT[i]};
    const cv::Mat* dy[4] = {&st.DyDU[i], &st.DyDV[i], &st.DyDW[i], &st.DyDZT[i]};
    for (int j = 0; j < 4; ++j) {
      change += truth[j] * (st.warping.WarpedTDx[i].mul(*dx[j]) + st.warping.WarpedTDy[i].mul(*dy[j]));
    }
    st.warping.WarpedT[i] = I_ref - change;
  };
  for (int i = 0; i < views; ++i) {
    predicted_time_t(i);
    if (i == 0) continue;
    st.warping.Warped0Dx[i] = random(20);
    st.warping.Warped0Dy[i] = random(20);
    st.DxDZ0[i] = random(1);
    st.DyDZ0[i] = random(1);
    const cv::Mat Ji0 = st.warping.Warped0Dx[i].mul(st.DxDZ0[i]) + st.warping.Warped0Dy[i].mul(st.DyDZ0[i]);
    st.warping.Warped0[i] = I_ref - truth[3] * Ji0;
  }
  const Fields f = ConstantFields(size);
  SorOptions p;
  p.MaxIterSOR = 300;
  p.EpsilonSOR = 1e-7;
  for (int inner = 0; inner < 5; ++inner) {
    AssembleLinearSystem(st, I_ref, f.U, f.V, f.W, f.Z, {0.01, 0.01, 0.01}, SmoothnessOptions());
    SolveSOR(st, p);
    UnpackIncrements(st);
  }
  const cv::Rect inside(5, 5, 14, 10);
  const cv::Mat* increments[4] = {&st.dU, &st.dV, &st.dW, &st.dZ};
  for (int j = 0; j < 4; ++j) {
    EXPECT_NEAR(cv::mean((*increments[j])(inside))[0], truth[j], 0.01 * std::fabs(truth[j])) << j;
  }
}

TEST(UnpackIncrementsTest, LimitsEachUnknown) {
  const cv::Size size(3, 2);
  LevelState st = NeutralLevel(size, 1, true);
  st.IncrementVector = cv::Mat::zeros(3 * 2 * 4, 1, CV_32F);
  float* x = st.IncrementVector.ptr<float>();
  // Pixel (0, 1), a frame pixel: its depth may reach 20 here, though the sweeps hold it to 5.
  x[4 + 0] = 12;
  x[4 + 1] = -7;
  x[4 + 2] = 3;
  x[4 + 3] = 12;
  x[5 * 4 + 3] = -25;
  UnpackIncrements(st);
  EXPECT_EQ(st.dU.at<float>(0, 1), 5);
  EXPECT_EQ(st.dV.at<float>(0, 1), -5);
  EXPECT_EQ(st.dW.at<float>(0, 1), 3);
  EXPECT_EQ(st.dZ.at<float>(0, 1), 12);
  EXPECT_EQ(st.dZ.at<float>(1, 2), -20);

  LevelState fixed = NeutralLevel(size, 1, false);
  fixed.IncrementVector = cv::Mat::zeros(3 * 2 * 3, 1, CV_32F);
  fixed.IncrementVector.at<float>(3 * 3 + 2) = -9;
  UnpackIncrements(fixed);
  EXPECT_EQ(fixed.dW.at<float>(1, 0), -5);
}

}  // namespace
}  // namespace sceneflow
