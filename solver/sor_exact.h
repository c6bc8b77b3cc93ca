#pragma once

#include "solver/level_state.h"

namespace sceneflow {

// How the exact solver is run; every choice gives the same bits.
struct ExactSorOptions {
  int threads = 1;  // 1, or 2 for two threads on the two halves of the columns
  int bands = 0;    // bands of the vector path, as returned by PrepareExactSweeps
};

// Prepares the sweeps of one solve: when the processor has AVX2, copies the assembled system into
// `BandedCopy`, arranged for the vector path that updates four image rows with one instruction
// each. Returns the number of bands to pass in ExactSorOptions (0: no vector path).
int PrepareExactSweeps(LevelState& state);

// Four sweeps of SOR over the assembled system in exactly the sequential order (see SolveSOR),
// updating `x` in place. `relax` holds OmegaSOR divided by each row's diagonal (0 where that is 0).
// Several image rows are updated together in a wavefront, each trailing the one before by a
// pixel, so that every update reads the same values as in the one-row-at-a-time order; the
// bands of the vector path update four rows' pixels at once with the same arithmetic. With two
// threads each keeps one half of the columns; the half that a sweep meets second follows the
// first group by group.
// Returns false when a thread had to wait long for its partner (the machine is busy), so that the
// caller can go on with one thread.
bool RunExactSweeps(LevelState& state, const double* relax, double omega, float* x,
                    const ExactSorOptions& options);

}  // namespace sceneflow
