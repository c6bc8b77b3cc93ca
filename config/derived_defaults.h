#pragma once

#include <opencv2/core/types.hpp>

#include "config/parameter_set.h"

namespace sceneflow {

// Replaces the -1 sentinels: AlphaSF, AlphaW, AlphaZ take Alpha; u0, v0 become half the reference
// image's width and height (integer division).
void ApplyDerivedDefaults(ParameterSet& parameters, cv::Size reference_size);

}  // namespace sceneflow
