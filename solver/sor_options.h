#pragma once

namespace sceneflow {

// The settings of the SOR solve of one inner iteration, named after the keys they come from.
struct SorOptions {
  int MaxIterSOR = 20;      // most iterations (four sweeps each); the first always runs
  double EpsilonSOR = 0.01; // stop when the relative L2 change of the vector falls below this
  double OmegaSOR = 1.6;    // relaxation factor of every update
};

}  // namespace sceneflow
