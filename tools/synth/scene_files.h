#pragma once

#include <string>

#include <opencv2/core.hpp>

#include "tools/synth/render.h"
#include "tools/synth/scene.h"

namespace sceneflow::synth {

// File layout of a rendered scene folder, relative to the folder.
inline constexpr const char* kTime0Prefix = "img0_";
inline constexpr const char* kTimeTPrefix = "imgt_";
inline constexpr const char* kCalibrationDir = "calib";
inline constexpr const char* kTruthDir = "truth";
inline constexpr const char* kResultsDir = "results";
inline constexpr const char* kIniName = "scene.ini";
inline constexpr const char* kStartDepthName = "truth/Z_start.txt";

// Disparity image that the stereo start writes, relative to the scene folder.
inline constexpr const char* kStereoDisparityName = "results/D0_stereo.png";

// Writes the INI that runs the estimator on the scene from inside its folder. With a stereo
// executable the start depth comes from it (views 0 and 1 as the left and right image); otherwise
// from the blurred noisy start depth.
std::string SceneIni(const Scene& scene, const std::string& stereo_executable = "");

// A short human-readable account of the scene, its units and its ground truth.
std::string SceneDescription(const Scene& scene, const GroundTruth& truth);

// Renders every view at both instants and writes the whole scene folder: images, calibration,
// INI, ground truth (Z, U, V, W, valid mask, reference intrinsics), start depth, description and
// an empty results folder. Throws InputError when a file cannot be written.
// Throws InputError when a stereo executable is given but views 0 and 1 are no rectified pair.
void WriteSceneFolder(const Scene& scene, const std::string& folder,
                      const std::string& stereo_executable = "");

}  // namespace sceneflow::synth
