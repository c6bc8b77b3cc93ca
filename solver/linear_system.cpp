#include "solver/linear_system.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "parallel/worker_pool.h"
#include "solver/data_term.h"
#include "solver/smoothness.h"
#include "solver/sor_exact.h"
#include "solver/sor_parallel.h"

namespace sceneflow {

namespace {

// Writes the k frame rows of one pixel starting at system row i: (column 0)·x_p + (column 1)·x_inward
// = 0, the right-hand side staying 0.
inline void WriteFrameRows(float* matrix, int width, int i, int k, float column0, float column1) {
  for (int j = 0; j < k; ++j) {
    float* row = matrix + static_cast<size_t>(i + j) * width;
    row[0] = column0;
    row[1] = column1;
  }
}

// Stores one interior pixel's equations, rounded to 32-bit floats.
inline void WritePixelRows(const PixelEquations& e, float* matrix, float* rhs, int width, int i) {
  const int k = e.k;
  for (int j = 0; j < k; ++j) {
    float* row = matrix + static_cast<size_t>(i + j) * width;
    for (int m = 0; m < k; ++m) row[m] = static_cast<float>(e.A[j][m]);
    for (int q = 0; q < 4; ++q) row[k + q] = static_cast<float>(e.neighbour[j][q]);
    rhs[i + j] = static_cast<float>(e.b[j]);
  }
}

// OmegaSOR divided by the diagonal of every row: column 0 on frame rows, column j inside.
void RelaxationFactors(const cv::Mat& matrix, int rows, int cols, int k, double omega,
                       std::vector<double>& relax) {
  const int width = k + 4;
  const float* m = matrix.ptr<float>();
  relax.resize(matrix.rows);
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < cols; ++x) {
      const bool frame = y == 0 || y == rows - 1 || x == 0 || x == cols - 1;
      const int p = (y * cols + x) * k;
      for (int j = 0; j < k; ++j) {
        const float a = m[static_cast<size_t>(p + j) * width + (frame ? 0 : j)];
        relax[p + j] = a != 0 ? omega / a : 0;
      }
    }
  }
}

// Two threads pay off only on levels large enough to split into column halves and groups of rows.
bool WorthTwoThreads(cv::Size size) { return size.width >= 64 && size.height >= 32; }

// After a solve whose threads kept waiting for each other (the cores are busy with other work),
// this many solves run on one thread before two are tried again.
constexpr int kSingleThreadSolvesAfterWaiting = 16;

}  // namespace

void AssembleLinearSystem(LevelState& state, const cv::Mat& I_ref, const cv::Mat& U,
                          const cv::Mat& V, const cv::Mat& W, const cv::Mat& Z,
                          const SmoothWeights& weights, const SmoothnessOptions& options) {
  const int k = state.k;
  const int cols = state.size.width, rows = state.size.height;
  CV_Assert(k == (state.depth_estimated ? 4 : 3));
  CV_Assert(cols >= 2 && rows >= 2 && I_ref.size() == state.size);
  ComputeIncrementGradients(state);
  ComputeDiffusivities(state, options);

  const int R = cols * k;
  const int N = rows * R;
  const int width = k + 4;
  state.SystemMatrix.create(N, width, CV_32F);
  state.RightHandSide.create(N, 1, CV_32F);
  state.SystemMatrix.setTo(0);
  state.RightHandSide.setTo(0);
  CV_Assert(state.SystemMatrix.isContinuous() && state.RightHandSide.isContinuous());
  float* matrix = state.SystemMatrix.ptr<float>();
  float* rhs = state.RightHandSide.ptr<float>();

  const float inverse_h = static_cast<float>(1.0 / state.h);
  const float minus_inverse_h = static_cast<float>(-1.0 / state.h);
  // First and last image row: the unknown equals the one above or below it.
  WriteFrameRows(matrix, width, 0, R, minus_inverse_h, inverse_h);
  WriteFrameRows(matrix, width, (rows - 1) * R, R, inverse_h, minus_inverse_h);

  const EquationWeights equation_weights =
      SmoothnessEquationWeights(weights, options, state.h);
  // Every image row writes only its own system rows and its own pixels' mask codes.
  ParallelRows(rows - 2, [&](int begin, int end) {
    DataTermRow data_row;
    PixelEquations equations;
    equations.k = k;
    for (int y = begin + 1; y < end + 1; ++y) {
      const int base = y * R;
      // First and last column: the unknown equals its right or left neighbour.
      WriteFrameRows(matrix, width, base, k, minus_inverse_h, inverse_h);
      WriteFrameRows(matrix, width, base + R - k, k, inverse_h, minus_inverse_h);
      if (cols < 3) continue;
      const SmoothnessRows smoothness_rows =
          BindSmoothnessRows(state, U, V, W, Z, equation_weights, y);
      BindDataTermRow(state, I_ref, y, data_row);
      for (int x = 1; x < cols - 1; ++x) {
        AddSmoothnessTerms(smoothness_rows, x, equations);
        AccumulateDataTerms(data_row, x, equations);
        WritePixelRows(equations, matrix, rhs, width, base + x * k);
      }
    }
  });
}

void SolveSOR(LevelState& state, const SorOptions& sor, SorMethod method) {
  const int k = state.k;
  const int cols = state.size.width, rows = state.size.height;
  const int N = rows * cols * k;
  CV_Assert(cols >= 2 && rows >= 2);
  CV_Assert(state.SystemMatrix.rows == N && state.SystemMatrix.cols == k + 4 &&
            state.SystemMatrix.type() == CV_32F && state.SystemMatrix.isContinuous());
  CV_Assert(state.RightHandSide.rows == N && state.RightHandSide.type() == CV_32F &&
            state.RightHandSide.isContinuous());
  if (method == SorMethod::kParallel) {
    SolveSORParallel(state, sor);
    return;
  }

  state.IncrementVector.create(N, 1, CV_32F);
  state.IncrementVector.setTo(0);
  cv::Mat& previous = state.PreviousIncrementVector;
  previous.create(N, 1, CV_32F);
  previous.setTo(0);
  const double omega = sor.OmegaSOR;
  RelaxationFactors(state.SystemMatrix, rows, cols, k, omega, state.Relaxation);

  // Process-wide: a busy machine stays busy for a while.
  static std::atomic<int> single_thread_solves{0};
  ExactSorOptions options;
  options.bands = PrepareExactSweeps(state);
  if (WorthTwoThreads(state.size) && WorkerPool::Shared().size() > 1) {
    if (single_thread_solves.load(std::memory_order_relaxed) > 0) {
      single_thread_solves.fetch_sub(1, std::memory_order_relaxed);
    } else {
      options.threads = 2;
    }
  }

  float* x = state.IncrementVector.ptr<float>();
  double err = 0;
  int iterations = 0;
  bool first = true;
  while (first || (err >= sor.EpsilonSOR && iterations < sor.MaxIterSOR)) {
    first = false;
    if (!RunExactSweeps(state, state.Relaxation.data(), omega, x, options)) {
      options.threads = 1;
      single_thread_solves.store(kSingleThreadSolvesAfterWaiting, std::memory_order_relaxed);
    }
    err = cv::norm(previous, state.IncrementVector, cv::NORM_RELATIVE | cv::NORM_L2);
    state.IncrementVector.copyTo(previous);
    ++iterations;
  }
}

void UnpackIncrements(LevelState& state) {
  const int k = state.k;
  const int cols = state.size.width, rows = state.size.height;
  CV_Assert(state.IncrementVector.total() == static_cast<size_t>(rows) * cols * k &&
            state.IncrementVector.isContinuous());
  const float* x = state.IncrementVector.ptr<float>();
  state.dU.create(state.size, CV_32F);
  state.dV.create(state.size, CV_32F);
  state.dW.create(state.size, CV_32F);
  if (state.depth_estimated) state.dZ.create(state.size, CV_32F);
  for (int y = 0; y < rows; ++y) {
    float* dU = state.dU.ptr<float>(y);
    float* dV = state.dV.ptr<float>(y);
    float* dW = state.dW.ptr<float>(y);
    float* dZ = state.depth_estimated ? state.dZ.ptr<float>(y) : nullptr;
    for (int c = 0; c < cols; ++c) {
      const float* px = x + static_cast<size_t>(y * cols + c) * k;
      dU[c] = static_cast<float>(Clamp(px[0], kMotionIncrementLimit));
      dV[c] = static_cast<float>(Clamp(px[1], kMotionIncrementLimit));
      dW[c] = static_cast<float>(Clamp(px[2], kMotionIncrementLimit));
      if (dZ != nullptr) dZ[c] = static_cast<float>(Clamp(px[3], kDepthIncrementLimit));
    }
  }
}

}  // namespace sceneflow
