#pragma once

#include <map>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "tools/eval/metrics.h"

namespace sceneflow::eval {

// What prepared.txt of a run folder says about the preparation: the size of the images the
// estimator read, the size of the user's originals, the reference camera and the stereo geometry.
struct PreparedRun {
  std::string folder;
  std::string form;              // kitti, pair, mono or views
  cv::Size size;                 // images/ as the estimator read them
  cv::Size original_size;        // the user's input images
  double scale = 1;              // size = original_size · scale
  double focal = 0, cx = 0, cy = 0;  // reference intrinsics in pixels of images/
  double baseline = 0;           // right camera at +baseline along x (pair, kitti); 0 otherwise
  double doffs = 0;              // disparity offset of the original images (Middlebury)
  std::string init;              // stereo, pipeline or none
  std::map<std::string, std::string> keys;  // every key as written, unknown ones included
};

// Reads <folder>/prepared.txt. Unknown keys are kept; width, height and focal are required, the
// original size defaults to size / scale and the principal point to the image centre. Throws
// InputError when the file is missing or a required value is not a number.
PreparedRun ReadPreparedRun(const std::string& folder);

// The fields of one estimate, resized to the size of images/ (bilinearly; a single value fills
// the field).
struct RunEstimate {
  std::string name;
  SceneFlowFields fields;
  cv::Size stored_size;  // size of the files before resizing
};

// The start values: start/Z0.txt with zero motion. std::nullopt when start/Z0.txt is absent.
std::optional<RunEstimate> LoadStartEstimate(const PreparedRun& run);
// The pipeline start: start/Z0.txt with start/U.txt, V.txt, W.txt. std::nullopt unless all exist.
std::optional<RunEstimate> LoadPipelineEstimate(const PreparedRun& run);
// The result: <results>/Z0_final.txt, U_final.txt, V_final.txt, W_final.txt (results defaults to
// <folder>/results). std::nullopt unless all exist.
std::optional<RunEstimate> LoadResultEstimate(const PreparedRun& run, const std::string& results = "");

// Reference intrinsics of images/.
ReferenceIntrinsics RunIntrinsics(const PreparedRun& run);

// Disparity of the reference view in original pixels, at the original size:
// d = (focal/scale)·baseline/Z − doffs; NaN where Z is not a positive finite depth.
cv::Mat EstimatedDisparity(const PreparedRun& run, const SceneFlowFields& fields);

// Optical flow of the reference view implied by depth and motion, in original pixels at the
// original size (CV_64FC2); NaN where the moved point is not in front of the camera.
cv::Mat EstimatedFlow(const PreparedRun& run, const SceneFlowFields& fields);

}  // namespace sceneflow::eval
