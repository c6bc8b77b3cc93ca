#include "driver/run.h"

#include <cstdio>

#include <opencv2/core/utils/logger.hpp>

#include "config/ini_file.h"
#include "config/input_error.h"
#include "config/validate.h"
#include "driver/run_inputs.h"
#include "driver/start_fields.h"
#include "io/run_log.h"

namespace sceneflow {
namespace {

int Run(int argc, char** argv) {
  ParameterSet parameters;
  for (int i = 1; i < argc; ++i) LoadParameters(parameters, argv[i]);

  RunLog log(parameters.LogFile ? parameters.LogFile->c_str() : nullptr);
  // The dump is not flushed on its own; it reaches the file with the first flushed line.
  WriteParameters(parameters, log.stream());
  ValidateParameters(parameters);

  CheckResultsDirectory(*parameters.TxtResultsDir);

  ViewImages images = LoadViewImages(parameters);
  const cv::Size reference_size = images.time0[0].size();
  ApplyDerivedDefaults(parameters, reference_size);
  const CalibrationSet calibration = ReadCalibrationSet(parameters);
  const int levels = PyramidLevelCount(parameters);
  if (parameters.PyramidFloatingPoint != 0) ConvertImagesToFloat(images);
  CheckCoarsestLevelSize(reference_size, parameters.PyramidEta, levels);
  const ViewPyramids pyramids = BuildViewPyramids(images, levels, parameters.PyramidEta);
  images = ViewImages();  // the pyramids hold full-size copies

  const ImagePyramid& reference = pyramids.time0[0];
  StartGrids grids{reference_size, reference[levels - 1].size(), cv::Size()};
  if (IsTwoStageSchedule(parameters)) grids.scene_flow = reference[parameters.PyramidLevelsSF - 1].size();
  const StartFields start = PrepareStartFields(parameters, grids, log);

  throw InputError("Error: this build stops after the start fields; the solver is not available yet");
}

}  // namespace

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
  }
}

}  // namespace sceneflow
