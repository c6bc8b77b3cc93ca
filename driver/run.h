#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/parameter_set.h"
#include "driver/run_inputs.h"
#include "driver/start_fields.h"
#include "geometry/calibration.h"
#include "io/run_log.h"

namespace sceneflow {

// Everything a run has prepared before the solver starts.
struct PreparedRun {
  ParameterSet parameters;  // with the derived defaults applied
  std::unique_ptr<RunLog> log;
  CalibrationSet calibration;
  ViewPyramids pyramids;
  cv::Mat black_line;  // the black-line image when BLACK_LINE is set, read once for the whole run
  StartFields start;
};

// Loads the INI files in order and writes a line to standard error for every unknown section or
// key in them, creates the log with the parameter dump followed by the same lines, each as a
// "** " line, checks the settings, loads the images, the calibration and the black-line image,
// builds the pyramids and prepares and writes the start fields. Throws InputError on the first problem.
PreparedRun PrepareRun(const std::vector<std::string>& ini_files);

// The whole run, from the command line to the result files. Returns the process exit status:
// 0 after a finished run or the usage text asked for with --help or -h (on standard output),
// 1 after a reported input error, 3 after the usage text for a command line without arguments
// (on standard error).
int RunSceneFlow(int argc, char** argv);

}  // namespace sceneflow
