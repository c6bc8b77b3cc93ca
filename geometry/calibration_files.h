#pragma once

#include <string>

#include "geometry/calibration.h"

namespace sceneflow {

// Where the calibration of views 0 .. views-1 is read from: view i's C, R and T from
// "<C>i.txt", "<R>i.txt" and "<T>i.txt" (the keys CMat_FileName, RMat_FileName, TMat_FileName).
struct CalibrationFiles {
  int views = 0;
  std::string C, R, T;
};

// Reads C (3×3), R (3×3) and T (3×1) of every view. Throws InputError when a file cannot be read
// or holds a value that is not a finite number.
CalibrationSet ReadCalibrationSet(const CalibrationFiles& files);

}  // namespace sceneflow
