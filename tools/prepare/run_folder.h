#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "tools/common/prepared_file.h"
#include "tools/prepare/calibration_import.h"
#include "tools/prepare/derived_settings.h"
#include "tools/prepare/start_values.h"

namespace sceneflow::prepare {

// Everything a run folder holds, in the units of the images the estimator reads.
struct PreparedFolder {
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

// The priors run.sh sets (SCENEFLOW_DEPTH_PRIOR, SCENEFLOW_MOTION_PRIOR; empty: not set).
// A stereo start (a static scene) holds its depth, which the refinement alone worsens at depth
// edges of real images, and its motion on the camera's (no motion). A pipeline start leaves
// both to the estimator, which holds the start where the images contradict it beyond what
// brightness constancy allows (auto): with two or more views on the camera's motion, with one
// camera near the start's optical flow.
struct RunPriors {
  std::string depth;
  std::string motion;
};
RunPriors RunPriorsOf(const PreparedFolder& run);
// The same from the start kind (init) and the number of views, as prepared.txt records them.
RunPriors RunPriorsOf(const std::string& init, size_t views);

// Names inside a run folder (prepared.txt is tools::kPreparedFile).
inline constexpr char kRunIni[] = "run.ini";
inline constexpr char kRunScript[] = "run.sh";

// The estimator's parameter file for the run, each chosen setting with its reason.
std::string RunIni(const PreparedFolder& run);

// The description of the preparation in prepared.txt, read by the evaluation and export tools.
tools::PreparedFile PreparedFileOf(const PreparedFolder& run);

// The shell script that runs the estimator in the folder with the environment the preparation
// chose: `estimator` (the SCENEFLOW variable overrides it) on run.ini, with the priors of
// RunPriorsOf (each overridden by the variable when it is set outside).
std::string RunScript(const PreparedFolder& run, const std::string& estimator);

// Creates the folder with images/, calib/, start/, results/, run.ini, run.sh (executable; running
// `estimator`) and prepared.txt. Throws InputError when anything cannot be written.
void WriteRunFolder(const PreparedFolder& run, const std::string& folder, const std::string& estimator);

}  // namespace sceneflow::prepare
