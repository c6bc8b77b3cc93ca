#pragma once

#include "config/parameter_set.h"

namespace sceneflow {

// Number of pyramid levels of a run: the larger of PyramidLevelsSF and PyramidLevelsFlow.
int PyramidLevelCount(const ParameterSet& parameters);

// Checks, before any heavy work, the settings without which a run cannot give sound results.
// Throws InputError naming the first problem.
void ValidateParameters(const ParameterSet& parameters);

// The same checks for a run whose images, calibration and start values are handed over in memory:
// the keys naming input and result files need not be set.
void ValidateInMemoryParameters(const ParameterSet& parameters);

}  // namespace sceneflow
