#pragma once

#include <optional>
#include <string>

#include "driver/progress.h"
#include "driver/run.h"

namespace sceneflow {

// What a command-line run takes from its environment rather than from the parameter files, read
// once, before anything else (RunOptionsFromEnvironment) and passed down from there. A variable
// that is not set or is empty keeps its default; any other value outside its rule ends the run
// with one line, "Error: SCENEFLOW_X is V, it must be ...". The Python module fills the same
// settings from its arguments.
struct RunOptions {
  // SCENEFLOW_THREADS: a whole number of at least 1, limited to 256; by default every CPU the
  // process may use (UsableCpuCount). Results do not depend on it.
  int threads = 1;
  // SCENEFLOW_PROGRESS: 0 or 1 forces the progress line off or on.
  ProgressSetting progress = ProgressSetting::kOnTerminal;
  // SCENEFLOW_SOLVER (exact, parallel), SCENEFLOW_DEPTH_PRIOR (none, start, auto),
  // SCENEFLOW_MOTION_PRIOR (none, start, camera, auto) and SCENEFLOW_PHASE_TIMES (a file that
  // can be written).
  SolverSettings solver;
};

// Reads the variables. None changes the usage text or the parameter set. Throws InputError for a
// value outside its rule.
RunOptions RunOptionsFromEnvironment();

// The choice a name gives ("exact", "parallel"; "none", "start", "auto"; "none", "start",
// "camera", "auto"), as SCENEFLOW_SOLVER, SCENEFLOW_DEPTH_PRIOR and SCENEFLOW_MOTION_PRIOR
// take them; nullopt for any other name.
std::optional<SorMethod> SorMethodNamed(const std::string& name);
std::optional<DepthPrior> DepthPriorNamed(const std::string& name);
std::optional<MotionPrior> MotionPriorNamed(const std::string& name);

}  // namespace sceneflow
