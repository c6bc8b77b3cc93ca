#pragma once

#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "config/parameter_set.h"
#include "io/run_log.h"

namespace sceneflow {

// The grids the start values are brought to.
struct StartGrids {
  cv::Size full;        // the reference image (level 1)
  cv::Size coarsest;    // the coarsest level, where the first solver run starts
  cv::Size scene_flow;  // level PyramidLevelsSF; empty unless the run has two stages
};

// Start values of the four unknowns on the coarsest grid, and in a two-stage run the start depth
// of the scene-flow stage on the PyramidLevelsSF grid. All CV_32F.
struct StartFields {
  cv::Mat Z, U, V, W;
  cv::Mat Z_scene_flow;
};

// A start value handed over in memory, which takes precedence over the parameter set's sources
// for its field: a full-size field (CV_32F, the reference image's size), brought to the grids as
// a start text matrix is, or else a constant, set as Z_CONST and U_CONST are. With neither, the
// parameter set decides.
struct GivenStartValue {
  cv::Mat full;
  std::optional<double> constant;
};

struct GivenStartValues {
  GivenStartValue Z, U, V, W;
};

// The start fields of PrepareStartFields, each from its given value when there is one, without
// writing the start files.
StartFields ComputeStartFields(const ParameterSet& parameters, const StartGrids& grids,
                               const RunLog& log, const GivenStartValues& given);

// Chooses each field's source in order of precedence, converts it to the field's units, resizes
// it to the grids and writes "Z0_start.txt", "W_start.txt", "U_start.txt", "V_start.txt" into
// TxtResultsDir. Throws InputError when a source cannot be read or the files cannot be written.
StartFields PrepareStartFields(const ParameterSet& parameters, const StartGrids& grids,
                               const RunLog& log);

// The external stereo program's command line "%s %s %s %s": executable, left image, right image,
// result image. File names holding a character outside letters, digits and -_./+,:=@% are quoted
// for the shell so that each reaches the program as one argument and runs nothing else.
std::string BuildStereoCommand(const ParameterSet& parameters);

// A text quoted for the POSIX shell when it holds a character outside letters, digits and
// -_./+,:=@%; unchanged otherwise.
std::string QuoteForShell(const std::string& text);

}  // namespace sceneflow
