#include "driver/run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core/utility.hpp>

#include "config/ini_file.h"
#include "config/input_error.h"
#include "config/validate.h"
#include "driver/progress.h"
#include "driver/run_inputs.h"
#include "driver/run_options.h"
#include "driver/stage_options.h"
#include "driver/start_fields.h"
#include "geometry/masks.h"
#include "io/atomic_file.h"
#include "io/false_colour.h"
#include "io/program_errors.h"
#include "io/run_log.h"
#include "io/text_matrix.h"
#include "parallel/worker_pool.h"
#include "solver/scene_flow_solver.h"

namespace sceneflow {

namespace {

// Writes the phase times as "phase seconds" lines.
void WritePhaseTimes(const SolverSettings& settings) {
  if (settings.phase_times_file == nullptr) return;
  const PhaseTimes& t = settings.phase_times;
  const bool written = WriteFileAtomically(settings.phase_times_file, "w", [&](FILE* stream) {
    std::fprintf(stream,
                 "warping %.3f\nterm_assembly %.3f\nprojection %.3f\nsystem_assembly %.3f\n"
                 "sor %.3f\nenergy_report %.3f\nother %.3f\n",
                 t.warping, t.term_assembly, t.projection, t.system_assembly, t.sor,
                 t.energy_report, t.other);
  });
  if (!written) {
    throw InputError(std::string("Error: could not write phase times to ") +
                     settings.phase_times_file);
  }
}

// Settles the automatic priors (kAuto) on the start's census misfit: both hold the start where the
// images contradict it beyond kBrightnessHoldsMisfit, neither does otherwise.
void ResolveAutomaticPriors(const SolverOptions& options, const SolverRun& start_level,
                            const RunLog& log, SolverSettings& settings) {
  if (settings.depth_prior != DepthPrior::kAuto && settings.motion_prior != MotionPrior::kAuto) {
    return;
  }
  const double misfit = StartCensusMisfit(options, start_level);
  const bool hold = misfit > kBrightnessHoldsMisfit;
  log.Line("** Start misfit: %.3f census bits per pixel and image (limit %.3f): the priors %s\n",
           misfit, kBrightnessHoldsMisfit, hold ? "hold the start" : "are off");
  if (settings.depth_prior == DepthPrior::kAuto) {
    settings.depth_prior = hold ? DepthPrior::kStart : DepthPrior::kNone;
  }
  if (settings.motion_prior == MotionPrior::kAuto) {
    const MotionPrior on =
        options.warp.NumOfViews > 1 ? MotionPrior::kCamera : MotionPrior::kStart;
    settings.motion_prior = hold ? on : MotionPrior::kNone;
  }
}

// The motion prior's background: the camera's motion fitted to the start (kCamera), which gives
// its motion to the start values of the static pixels (in `start`), or every pixel held near its
// start motion (kStart, or kCamera when no camera motion fits); none for kNone.
std::optional<RigidBackground> MotionPriorOf(const SolverOptions& options,
                                             const SolverRun& start_level,
                                             const RunLog& log, MotionPrior prior,
                                             StartFields& start) {
  if (prior == MotionPrior::kNone) return std::nullopt;
  if (prior == MotionPrior::kCamera) {
    SceneFields fields{start.U.clone(), start.V.clone(), start.W.clone(), start.Z.clone()};
    std::optional<RigidBackground> background = PrepareRigidBackground(options, start_level, fields);
    if (background) {
      start.U = fields.U;
      start.V = fields.V;
      start.W = fields.W;
      start.Z = fields.Z;
      log.Line("** Motion prior: %s\n", DescribeRigidBackground(*background).c_str());
      return background;
    }
    log.Line("** Motion prior: no camera motion fits the start values; the motion is held near its "
             "start\n");
  } else {
    log.Line("** Motion prior: the motion is held near its start (SCENEFLOW_MOTION_PRIOR)\n");
  }
  return StartMotionBackground({start.U, start.V, start.W, start.Z});
}

}  // namespace

void RunStages(const ParameterSet& p, const ViewPyramids& pyramids, const RunLog& log,
               const StartFields& given_start, const CalibrationSet& calibration,
               const cv::Mat& black_line, SolverSettings& settings, ResultFields& result) {
  if (settings.sor == SorMethod::kParallel) {
    log.Line("** Solver: parallel red-black SOR in 32-bit floats (SCENEFLOW_SOLVER=parallel)\n");
  }
  const int levels = PyramidLevelCount(p);
  PhaseTimes* phase_times = settings.phase_times_file != nullptr ? &settings.phase_times : nullptr;
  StartFields start = given_start;
  const SolverRun start_level{.time0 = pyramids.time0, .timet = pyramids.timet, .log = log,
                              .calibration = calibration, .start_level = levels,
                              .final_level = p.PyramidLevelFinal,
                              .start = {start.U, start.V, start.W, start.Z}};
  const SolverOptions options = SolverOptionsOf(p);
  ResolveAutomaticPriors(options, start_level, log, settings);
  if (settings.depth_prior == DepthPrior::kStart) {
    log.Line("** Depth prior: depth held near the start depth where the views observe it, kept "
             "where none does (SCENEFLOW_DEPTH_PRIOR)\n");
  }
  const std::optional<RigidBackground> rigid_background =
      MotionPriorOf(options, start_level, log, settings.motion_prior, start);
  // One solver run from start_level down to final_level with this run's settings.
  const auto solve = [&](int start_level, int final_level, const SceneFields& start_fields,
                         ResultFields& out, bool depth_fixed) {
    SceneFlowSolver(options, {.time0 = pyramids.time0,
                        .timet = pyramids.timet,
                        .log = log,
                        .calibration = calibration,
                        .start_level = start_level,
                        .final_level = final_level,
                        .start = start_fields,
                        .black_line = black_line,
                        .U_out = &out.U,
                        .V_out = &out.V,
                        .W_out = &out.W,
                        .Z_out = &out.Z,
                        .depth_fixed = depth_fixed,
                        .sor = settings.sor,
                        .start_depth_prior = settings.depth_prior == DepthPrior::kStart,
                        .rigid_background = rigid_background ? &*rigid_background : nullptr,
                        .phase_times = phase_times,
                        .observer = settings.observer});
  };
  if (IsTwoStageSchedule(p)) {
    const cv::Size stage_size = pyramids.time0[0][p.PyramidLevelsSF - 1].size();
    ResultFields flow{cv::Mat(stage_size, CV_32F), cv::Mat(stage_size, CV_32F),
                      cv::Mat(stage_size, CV_32F), cv::Mat(stage_size, CV_32F)};
    solve(levels, p.PyramidLevelsSF, {start.U, start.V, start.W, start.Z}, flow, true);
    solve(p.PyramidLevelsSF, p.PyramidLevelFinal,
          {flow.U, flow.V, flow.W, start.Z_scene_flow}, result, false);
  } else {
    solve(levels, p.PyramidLevelFinal, {start.U, start.V, start.W, start.Z}, result, false);
  }
}

ResultFields MakeResultFields(const ParameterSet& parameters, const ViewPyramids& pyramids) {
  const cv::Size size = pyramids.time0[0][parameters.PyramidLevelFinal - 1].size();
  return {cv::Mat(size, CV_32F), cv::Mat(size, CV_32F), cv::Mat(size, CV_32F),
          cv::Mat(size, CV_32F)};
}

namespace {

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
  RunOptions options = RunOptionsFromEnvironment();
  SolverSettings& settings = options.solver;
  // The worker pool is sized before any work; OpenCV's own threads (warping, smoothing,
  // resampling) number as many: a run granted one CPU uses one.
  WorkerPool::SizeShared(options.threads);
  cv::setNumThreads(options.threads);
  // Shown only on a terminal (or when forced); the line is cleared before anything else is
  // written, by its destructor when the run stops with an error.
  std::unique_ptr<ProgressLine> progress;
  if (ProgressLineWanted(options.progress)) progress = std::make_unique<ProgressLine>();
  LoadedRun run = PrepareRun(std::vector<std::string>(argv + 1, argv + argc));
  const ParameterSet& parameters = run.parameters;
  const RunLog& log = *run.log;
  const ImagePyramid& reference = run.pyramids.time0[0];
  if (progress) {
    progress->Plan(parameters, reference[0].size());
    settings.observer = progress.get();
  }
  ResultFields result = MakeResultFields(parameters, run.pyramids);
  RunStages(parameters, run.pyramids, log, run.start, run.calibration, run.black_line, settings,
            result);
  if (progress) progress->Stage("saving results");
  SaveResults(parameters, log, result);
  // The results come first: a problem with the times must not cost a finished run.
  WritePhaseTimes(settings);

  progress.reset();
  std::fputs("Scene Flow finished!", stdout);
  return 0;
}

}  // namespace

void SaveResults(const ParameterSet& parameters, const RunLog& log, const ResultFields& result) {
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
}

LoadedRun PrepareRun(const std::vector<std::string>& ini_files) {
  ParameterSet parameters;
  std::vector<std::string> warnings;
  LoadParameterFiles(ini_files, parameters, warnings);
  for (const std::string& warning : warnings) std::fprintf(stderr, "%s\n", warning.c_str());
  return PrepareLoadedRun(parameters, warnings);
}

LoadedRun PrepareLoadedRun(const ParameterSet& loaded, const std::vector<std::string>& warnings) {
  LoadedRun run;
  run.parameters = loaded;
  ParameterSet& parameters = run.parameters;
  run.log = std::make_unique<RunLog>(parameters.LogFile ? parameters.LogFile->c_str() : nullptr);
  // The dump is not flushed on its own; it reaches the file with the first flushed line. After it
  // the log holds only "** " lines and energy lines, so the warnings become "** Warning: ..." lines:
  // whatever reads the dump as everything before the first "** " line finds the dump alone.
  WriteParameters(parameters, run.log->stream());
  for (const std::string& warning : warnings) run.log->Line("** %s\n", warning.c_str());
  ValidateParameters(parameters);
  CheckResultsDirectory(*parameters.TxtResultsDir);

  ViewImages images = LoadViewImages(parameters);
  const cv::Size reference_size = images.time0[0].size();
  ApplyDerivedDefaults(parameters, reference_size);
  run.calibration = ReadCalibrationSet(CalibrationFilesOf(parameters));
  if (parameters.BLACK_LINE != 0) run.black_line = LoadBlackLineImage(parameters.Zt_initFile);
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
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      WriteUsage(stdout, argv[0]);
      return 0;
    }
  }
  if (argc < 2) {
    WriteUsage(stderr, argv[0]);
    return 3;
  }
  return RunReportingErrors([&] { return Run(argc, argv); },
                            "Error: out of memory; the images or the pyramid levels are too large");
}

}  // namespace sceneflow
