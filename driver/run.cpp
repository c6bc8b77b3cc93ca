#include "driver/run.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include <opencv2/core/utils/logger.hpp>

#include "config/ini_file.h"
#include "config/input_error.h"
#include "config/validate.h"
#include "driver/run_inputs.h"
#include "driver/start_fields.h"
#include "io/atomic_file.h"
#include "io/false_colour.h"
#include "io/text_matrix.h"
#include "solver/scene_flow_solver.h"
#include "io/run_log.h"

namespace sceneflow {
namespace {

struct ResultFields {
  cv::Mat U, V, W, Z;
};

// Runs the solver once (single stage) or twice: a flow stage with depth held fixed over the coarse
// levels down to PyramidLevelsSF, then a scene-flow stage with depth estimated from there on,
// starting from the flow stage's motion and the depth prepared for that level.
void RunStages(const ParameterSet& p, const ViewPyramids& pyramids, const RunLog& log,
               const StartFields& start, CalibrationSet& calibration, ResultFields& result) {
  const int levels = PyramidLevelCount(p);
  if (IsTwoStageSchedule(p)) {
    const cv::Size stage_size = pyramids.time0[0][p.PyramidLevelsSF - 1].size();
    ResultFields flow{cv::Mat(stage_size, CV_32F), cv::Mat(stage_size, CV_32F),
                      cv::Mat(stage_size, CV_32F), cv::Mat(stage_size, CV_32F)};
    SceneFlowSolver(p, {pyramids.time0, log, pyramids.timet, levels, start.U, start.V, start.W,
                        start.Z, p.PyramidLevelsSF, &flow.U, &flow.V, &flow.W, &flow.Z,
                        calibration, true});
    SceneFlowSolver(p, {pyramids.time0, log, pyramids.timet, p.PyramidLevelsSF, flow.U, flow.V,
                        flow.W, start.Z_scene_flow, p.PyramidLevelFinal, &result.U, &result.V,
                        &result.W, &result.Z, calibration, false});
  } else {
    SceneFlowSolver(p, {pyramids.time0, log, pyramids.timet, levels, start.U, start.V, start.W,
                        start.Z, p.PyramidLevelFinal, &result.U, &result.V, &result.W, &result.Z,
                        calibration, false});
  }
}

void WriteFinalField(const std::string& directory, const char* name, const cv::Mat& field) {
  const std::string path = directory + "/" + name;
  if (!WriteFileAtomically(path, "w", [&](FILE* stream) { WriteTextMatrix(field, stream); })) {
    throw InputError("Error: could not write result file " + path);
  }
}

void SaveColourImage(const OptionalString& path, const cv::Mat& field) {
  if (path && !SaveFalseColourImage(field, *path)) {
    throw InputError("Error: could not write colour image " + *path);
  }
}

int Run(int argc, char** argv) {
  PreparedRun run = PrepareRun(std::vector<std::string>(argv + 1, argv + argc));
  const ParameterSet& parameters = run.parameters;
  const RunLog& log = *run.log;
  const ImagePyramid& reference = run.pyramids.time0[0];
  const cv::Size result_size = reference[parameters.PyramidLevelFinal - 1].size();
  ResultFields result{cv::Mat(result_size, CV_32F), cv::Mat(result_size, CV_32F),
                      cv::Mat(result_size, CV_32F), cv::Mat(result_size, CV_32F)};
  RunStages(parameters, run.pyramids, log, run.start, run.calibration, result);

  WriteFinalField(*parameters.TxtResultsDir, "Z0_final.txt", result.Z);
  WriteFinalField(*parameters.TxtResultsDir, "W_final.txt", result.W);
  WriteFinalField(*parameters.TxtResultsDir, "U_final.txt", result.U);
  WriteFinalField(*parameters.TxtResultsDir, "V_final.txt", result.V);

  log.Line("** Saving results\n");
  SaveColourImage(parameters.SF_U_Final_FileName, result.U);
  log.Line("** Saving results : U\n");
  SaveColourImage(parameters.SF_V_Final_FileName, result.V);
  log.Line("** Saving results : V\n");
  SaveColourImage(parameters.SF_W_Final_FileName, result.W);
  log.Line("** Saving results : W\n");

  std::fputs("Scene Flow finished!", stdout);
  return 0;
}

}  // namespace

PreparedRun PrepareRun(const std::vector<std::string>& ini_files) {
  PreparedRun run;
  ParameterSet& parameters = run.parameters;
  for (const std::string& path : ini_files) LoadParameters(parameters, path.c_str());

  run.log = std::make_unique<RunLog>(parameters.LogFile ? parameters.LogFile->c_str() : nullptr);
  // The dump is not flushed on its own; it reaches the file with the first flushed line.
  WriteParameters(parameters, run.log->stream());
  ValidateParameters(parameters);
  CheckResultsDirectory(*parameters.TxtResultsDir);

  ViewImages images = LoadViewImages(parameters);
  const cv::Size reference_size = images.time0[0].size();
  ApplyDerivedDefaults(parameters, reference_size);
  run.calibration = ReadCalibrationSet(parameters);
  const int levels = PyramidLevelCount(parameters);
  if (parameters.PyramidFloatingPoint != 0) ConvertImagesToFloat(images);
  CheckCoarsestLevelSize(reference_size, parameters.PyramidEta, levels);
  CheckPyramidMemory(reference_size, parameters.PyramidEta, levels, parameters.NumOfViews,
                     images.time0[0].elemSize(), PhysicalMemoryBytes());
  run.pyramids = BuildViewPyramids(images, levels, parameters.PyramidEta);
  images = ViewImages();  // the pyramids hold full-size copies

  const ImagePyramid& reference = run.pyramids.time0[0];
  StartGrids grids{reference_size, reference[levels - 1].size(), cv::Size()};
  if (IsTwoStageSchedule(parameters)) grids.scene_flow = reference[parameters.PyramidLevelsSF - 1].size();
  run.start = PrepareStartFields(parameters, grids, *run.log);
  return run;
}

int RunSceneFlow(int argc, char** argv) {
  if (argc < 2) {
    WriteUsage(stderr, argv[0]);
    return 3;
  }
  // Every problem reaches the user as one line of ours; the image library's own warnings would
  // only repeat it in other words.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  try {
    return Run(argc, argv);
  } catch (const InputError& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "Error: out of memory; the images or the pyramid levels are too large\n");
    return 1;
  } catch (const std::exception& error) {
    // A broken invariant: say where it broke, on one line, rather than abort.
    std::string message = error.what();
    std::replace(message.begin(), message.end(), '\n', ' ');
    std::fprintf(stderr, "Error: internal failure: %s\n", message.c_str());
    return 1;
  }
}

}  // namespace sceneflow
