#pragma once

#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "tools/common/prepared_file.h"
#include "tools/eval/metrics.h"

namespace sceneflow::eval {

// A run folder made by sceneflow-prepare: where it is and what its prepared.txt says.
struct RunFolder {
  std::string folder;
  tools::PreparedFile prepared;
};

// Reads <folder>/prepared.txt (see ReadPreparedFile). Throws InputError when the file is missing
// or a required value is not usable.
RunFolder ReadRunFolder(const std::string& folder);

// The fields of one estimate, resized to the size of images/ (bilinearly; a single value fills
// the field).
struct RunEstimate {
  std::string name;
  SceneFlowFields fields;
  cv::Size stored_size;  // size of the files before resizing
};

// The start values: start/Z0.txt with zero motion. std::nullopt when start/Z0.txt is absent.
std::optional<RunEstimate> LoadStartEstimate(const RunFolder& run);
// The pipeline start: start/Z0.txt with start/U.txt, V.txt, W.txt. std::nullopt unless all exist.
std::optional<RunEstimate> LoadPipelineEstimate(const RunFolder& run);
// The result: <results>/Z0_final.txt, U_final.txt, V_final.txt, W_final.txt (results defaults to
// <folder>/results). std::nullopt unless all exist.
std::optional<RunEstimate> LoadResultEstimate(const RunFolder& run, const std::string& results = "");

// Reference intrinsics of images/.
ReferenceIntrinsics RunIntrinsics(const RunFolder& run);

// Disparity of the reference view in original pixels, at the original size:
// d = (focal/scale)·baseline/Z − doffs; NaN where Z is not a positive finite depth.
cv::Mat EstimatedDisparity(const RunFolder& run, const SceneFlowFields& fields);

// Optical flow of the reference view implied by depth and motion, in original pixels at the
// original size (CV_64FC2); NaN where the moved point is not in front of the camera.
cv::Mat EstimatedFlow(const RunFolder& run, const SceneFlowFields& fields);

}  // namespace sceneflow::eval
