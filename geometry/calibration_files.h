#pragma once

#include "config/parameter_set.h"
#include "geometry/calibration.h"

namespace sceneflow {

// Reads C (3×3), R (3×3) and T (3×1) of every view from "%s%d.txt" files. Throws InputError when a
// file cannot be read or holds a value that is not a finite number.
CalibrationSet ReadCalibrationSet(const ParameterSet& parameters);

}  // namespace sceneflow
