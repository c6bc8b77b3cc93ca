#pragma once

#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "config/parameter_set.h"
#include "geometry/camera.h"
#include "tools/common/prepared_file.h"

namespace sceneflow::exporting {

// A finished run: its parameters (with the derived defaults the estimator applies), its final
// fields on the grid of level PyramidLevelFinal, and what is needed to place them in space.
struct RunResults {
  ParameterSet parameters;
  ReferenceIntrinsics intrinsics;  // full-size reference intrinsics
  cv::Size full_size;              // the reference image
  int level = 1;                   // PyramidLevelFinal
  double level_factor = 1;         // pixel coordinates at the level = full-size ones times this
  cv::Mat Z, U, V, W;              // CV_64F, the level's grid
  cv::Mat colour;                  // reference image at time 0, BGR 8-bit, the level's grid
  cv::Mat C0, R0, T0;              // calibration of view 0 (CV_64F)
  std::optional<tools::PreparedFile> prepared;  // absent when the folder has no prepared.txt
};

// Which fields of the run to load.
enum class RunFields {
  kFinal,  // Z0_final.txt, U_final.txt, V_final.txt, W_final.txt of TxtResultsDir (level
           // PyramidLevelFinal)
  kStart,  // the start values the estimator reads from the text files the INI names
           // (SF_Z0_start_Txt_FileName; SF_U/V/W_start_Txt_FileName, else U_CONST, V_CONST,
           // W_CONST), at full size: `level` is 1
};

// Loads the run described by the INI file, reading the files it names relative to the current
// directory (as the estimator does when run from the run folder), and the folder's description
// at `prepared_path` when that file exists. Throws InputError on the first missing or unreadable
// input, with one line naming it.
RunResults LoadRunResults(const std::string& ini_path, const std::string& prepared_path,
                          RunFields fields = RunFields::kFinal);

// The same for the INI's parameters, already loaded (with file names the caller may have made
// relative to the run folder); `ini_path` only names the INI in messages.
RunResults LoadRunResults(const ParameterSet& parameters, const std::string& ini_path,
                          const std::string& prepared_path, RunFields fields = RunFields::kFinal);

}  // namespace sceneflow::exporting
