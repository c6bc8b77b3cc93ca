// Time of one inner iteration's numeric core: assembling the linear system of a level and solving
// it by SOR, on busy hand-made levels with two views and depth estimated. The threads are every CPU
// the process may use (UsableCpuCount); `taskset` limits them.

#include <benchmark/benchmark.h>

#include "solver/linear_system.h"
#include "tests/solver/synthetic_level.h"

namespace sceneflow {
namespace {

// The default configuration at full size: every smoothness weight Alpha = 100.
const SmoothnessOptions kSmoothness;

constexpr SmoothWeights kWeights{100, 100, 100};

testing::BusyLevel LevelFor(const benchmark::State& state) {
  const cv::Size size(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  return testing::MakeBusyLevel(size, 2, true, 2024);
}

void BM_AssembleLinearSystem(benchmark::State& state) {
  testing::BusyLevel level = LevelFor(state);
  for (auto _ : state) {
    AssembleLinearSystem(level.state, level.I_ref, level.U, level.V, level.W, level.Z, kWeights,
                         kSmoothness);
    benchmark::ClobberMemory();
  }
}

void BM_SolveSOR(benchmark::State& state) {
  testing::BusyLevel level = LevelFor(state);
  AssembleLinearSystem(level.state, level.I_ref, level.U, level.V, level.W, level.Z, kWeights,
                       kSmoothness);
  for (auto _ : state) {
    SolveSOR(level.state, SorOptions());
    benchmark::ClobberMemory();
  }
}

void BM_AssembleAndSolve(benchmark::State& state) {
  testing::BusyLevel level = LevelFor(state);
  for (auto _ : state) {
    AssembleLinearSystem(level.state, level.I_ref, level.U, level.V, level.W, level.Z, kWeights,
                         kSmoothness);
    SolveSOR(level.state, SorOptions());
    benchmark::ClobberMemory();
  }
}

// A fixed count of SOR iterations, independent of when the stop test ends the solve; reports
// system-row updates per second (20 iterations of four sweeps over every row).
void SolveTwentyIterations(benchmark::State& state, SorMethod method) {
  testing::BusyLevel level = LevelFor(state);
  SorOptions sor;
  sor.EpsilonSOR = 0;
  AssembleLinearSystem(level.state, level.I_ref, level.U, level.V, level.W, level.Z, kWeights,
                       kSmoothness);
  for (auto _ : state) {
    SolveSOR(level.state, sor, method);
    benchmark::ClobberMemory();
  }
  state.counters["row_updates"] = benchmark::Counter(
      80.0 * level.state.SystemMatrix.rows * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_SolveSORTwentyIterations(benchmark::State& state) {
  SolveTwentyIterations(state, SorMethod::kExact);
}

void BM_SolveSORParallelTwentyIterations(benchmark::State& state) {
  SolveTwentyIterations(state, SorMethod::kParallel);
}

#define SCENEFLOW_LEVEL_SIZES Args({224, 168})->Args({640, 480})->Unit(benchmark::kMillisecond)
BENCHMARK(BM_AssembleLinearSystem)->SCENEFLOW_LEVEL_SIZES;
BENCHMARK(BM_SolveSOR)->SCENEFLOW_LEVEL_SIZES;
BENCHMARK(BM_SolveSORTwentyIterations)->SCENEFLOW_LEVEL_SIZES->UseRealTime();
BENCHMARK(BM_SolveSORParallelTwentyIterations)->SCENEFLOW_LEVEL_SIZES->UseRealTime();
BENCHMARK(BM_AssembleAndSolve)->SCENEFLOW_LEVEL_SIZES;

}  // namespace
}  // namespace sceneflow

BENCHMARK_MAIN();
