#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "tools/prepare/calibration_import.h"
#include "tools/prepare/derived_settings.h"
#include "tools/prepare/start_values.h"

namespace sceneflow::prepare {

// Everything a run folder holds, in the units of the images the estimator reads.
struct PreparedRun {
  std::string form;                   // kitti, pair, mono or views
  std::string frame;                  // KITTI frame name; empty otherwise
  std::string source;                 // what the images were prepared from, for the INI's header
  cv::Size original_size;             // of the user's images
  double scale = 1;                   // prepared images = original resized by scale
  RectifiedPair reference;            // focal, principal point (prepared images), baseline, doffs (original)
  std::vector<ViewCamera> cameras;    // per view, for the prepared images
  std::vector<cv::Mat> time0, timet;  // per view, 8-bit grey, as the estimator reads them
  std::string init;                   // stereo, pipeline or none
  std::string photometric;            // the preparation step's name
  StartValues start;                  // Z always; U, V, W with a motion start
  DerivedSettings settings;
};

// Whether run.sh holds depth near the start depth (SCENEFLOW_DEPTH_PRIOR=start): with a stereo
// start, whose depth the refinement otherwise worsens on real images.
inline bool HasStartDepthPrior(const PreparedRun& run) {
  return run.cameras.size() > 1 && (run.init == "stereo" || run.init == "pipeline");
}

// How run.sh holds the motion (SCENEFLOW_MOTION_PRIOR): with two or more views and a stereo or
// pipeline start, "camera" (the pixels that move with the camera held on the camera's motion
// fitted to the start, the others near their start motion); with one camera and a flow start,
// "start" (every pixel near its start motion); otherwise not at all (empty).
inline std::string MotionPriorOf(const PreparedRun& run) {
  if (HasStartDepthPrior(run)) return "camera";
  if (run.cameras.size() == 1 && run.init == "pipeline") return "start";
  return "";
}

// Names inside a run folder.
inline constexpr char kRunIni[] = "run.ini";
inline constexpr char kPreparedFile[] = "prepared.txt";
inline constexpr char kRunScript[] = "run.sh";

// The estimator's parameter file for the run, each chosen setting with its reason.
std::string RunIni(const PreparedRun& run);

// The key-value description of the preparation read by the evaluation and export tools.
std::string PreparedDescription(const PreparedRun& run);

// The shell script that runs the estimator in the folder with the environment the preparation
// chose: `estimator` (the SCENEFLOW variable overrides it) on run.ini, with
// SCENEFLOW_DEPTH_PRIOR=start when the run has the start-depth prior.
std::string RunScript(const PreparedRun& run, const std::string& estimator);

// Creates the folder with images/, calib/, start/, results/, run.ini, run.sh (executable; running
// `estimator`) and prepared.txt. Throws InputError when anything cannot be written.
void WriteRunFolder(const PreparedRun& run, const std::string& folder, const std::string& estimator);

}  // namespace sceneflow::prepare
