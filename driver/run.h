#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/parameter_set.h"
#include "driver/run_inputs.h"
#include "driver/start_fields.h"
#include "geometry/calibration.h"
#include "io/run_log.h"
#include "solver/scene_flow_solver.h"
#include "solver/solver_observer.h"

namespace sceneflow {

// A run loaded from its parameter files and ready for the solver: everything it has read and
// prepared before the solver starts.
struct LoadedRun {
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
LoadedRun PrepareRun(const std::vector<std::string>& ini_files);

// PrepareRun from the log on, for parameters already loaded with these warnings.
LoadedRun PrepareLoadedRun(const ParameterSet& parameters,
                             const std::vector<std::string>& warnings);

// Whether depth is held near its start: never, always, or where the start's census misfit says
// that brightness alone cannot be trusted (kAuto, as MotionPrior::kAuto decides).
enum class DepthPrior { kNone, kStart, kAuto };

// How the solver runs beyond the parameter set: the SOR method, the priors that hold depth and
// motion near their start, where to write the time of each phase, and who watches the
// iterations. The command line takes them from its environment (RunOptionsFromEnvironment); a
// library caller sets them.
struct SolverSettings {
  SorMethod sor = SorMethod::kExact;
  DepthPrior depth_prior = DepthPrior::kNone;
  MotionPrior motion_prior = MotionPrior::kNone;
  const char* phase_times_file = nullptr;  // null: the phases are not timed
  PhaseTimes phase_times;
  SolverObserver* observer = nullptr;  // told of every inner iteration (a progress line)
};

// The final fields of a run, CV_32F.
struct ResultFields {
  cv::Mat U, V, W, Z;
};

// Result fields of the size of level PyramidLevelFinal of the reference time-0 pyramid.
ResultFields MakeResultFields(const ParameterSet& parameters, const ViewPyramids& pyramids);

// Runs the solver once (single stage) or twice: a flow stage with depth held fixed over the coarse
// levels down to PyramidLevelsSF, then a scene-flow stage with depth estimated from there on,
// starting from the flow stage's motion and the depth prepared for that level. Settles the
// automatic priors first (which is why `settings` changes).
// `black_line` is the black-line image when BLACK_LINE is set (LoadBlackLineImage), else empty.
void RunStages(const ParameterSet& parameters, const ViewPyramids& pyramids, const RunLog& log,
               const StartFields& start, const CalibrationSet& calibration,
               const cv::Mat& black_line, SolverSettings& settings, ResultFields& result);

// Writes the final fields as text matrices into TxtResultsDir and the colour images that
// SF_U_Final_FileName, SF_V_Final_FileName and SF_W_Final_FileName name, with their log lines.
// Throws InputError when a file cannot be written.
void SaveResults(const ParameterSet& parameters, const RunLog& log, const ResultFields& result);

// The whole run, from the command line to the result files. Returns the process exit status:
// 0 after a finished run or the usage text asked for with --help or -h (on standard output),
// 1 after a reported input error, 3 after the usage text for a command line without arguments
// (on standard error).
int RunSceneFlow(int argc, char** argv);

}  // namespace sceneflow
