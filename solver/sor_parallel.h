#pragma once

#include "solver/level_state.h"
#include "solver/sor_options.h"

namespace sceneflow {

// The opt-in solver for the assembled system: red-black SOR in 32-bit floats. The pixels are
// coloured like a chessboard; a pixel's neighbours all have the other colour, so every pixel of
// one colour can be updated at once (vectorised along image rows, image rows split across the
// worker threads). One sweep updates every red pixel, then every black pixel, each pixel's k
// unknowns in turn; an iteration is four sweeps. Relaxation, limits, the zero-diagonal rule, the
// stop test (relative L2 change below EpsilonSOR, at most MaxIterSOR iterations, at least one) and
// the start from zero are those of SolveSOR. The result differs from SolveSOR's in the last digits
// but is the same for any number of threads. Writes IncrementVector. Called by SolveSOR, which has
// checked the shapes of the system.
void SolveSORParallel(LevelState& state, const SorOptions& options);

}  // namespace sceneflow
