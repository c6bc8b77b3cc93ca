#pragma once

#include <string>

#include <opencv2/core.hpp>

#include "config/parameter_set.h"
#include "driver/run.h"
#include "driver/run_inputs.h"
#include "driver/start_fields.h"
#include "geometry/calibration.h"

namespace sceneflow {

// Runs of the estimator for callers inside the process (the Python module): on images,
// calibration and start values held in memory, or on a run folder without a shell.

// What a run in memory is given instead of the files an INI names.
struct InMemoryInputs {
  ViewImages images;           // grey, all CV_8U or all CV_32F, every one of view 0's size
  CalibrationSet calibration;  // per view C, R (3×3) and T (3×1), CV_64F
  GivenStartValues start;      // fields without a given value come from the parameter set
};

// What a run gives back.
struct RunOutcome {
  ParameterSet parameters;  // with the derived defaults applied
  cv::Size full_size;       // of the reference image
  cv::Mat C0, R0, T0;       // view 0's calibration
  ResultFields fields;      // on the grid of level PyramidLevelFinal
  std::string log;          // the log's text (empty for a run folder, whose log is its file)
};

// Runs the estimator as the command line runs on an INI naming files that hold the same images,
// calibration and start values: the same checks, pyramids, start fields, stages and solver, so
// that the results agree bit for bit. `parameters` are as loaded (derived defaults not applied)
// with NumOfViews matching the images; the keys naming input files and TxtResultsDir are not
// needed, and no start or result file is written. The log is kept in memory and, when LogFile
// is set, written there at the end. Throws InputError on the first problem.
RunOutcome RunInMemory(const ParameterSet& parameters, const InMemoryInputs& inputs,
                       SolverSettings& settings);

// Runs `ini_name` in `folder` as `cd folder && sceneflow ini_name` does, with `settings` in place
// of the environment and without changing the process's working directory: relative file names
// in the INI are taken from `folder`. Writes the start and result files and the log where the INI
// names them. Throws InputError.
RunOutcome RunFolder(const std::string& folder, const std::string& ini_name,
                     SolverSettings& settings);

// Makes every relative file name among the string parameters relative to `folder` instead (the
// file extensions ImgPrefix and IMG_TYPE stay, and StereoExecutable only when it holds a slash,
// since a bare name is looked up on the PATH).
void ResolveFileNames(ParameterSet& parameters, const std::string& folder);

}  // namespace sceneflow
