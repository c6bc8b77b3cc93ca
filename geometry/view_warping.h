#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "geometry/calibration.h"
#include "geometry/camera.h"
#include "geometry/masks.h"
#include "io/pyramid.h"

namespace sceneflow {

// What projecting an estimate needs at one level, fixed for the level.
struct LevelGeometry {
  const CalibrationSet& calibration;
  const std::vector<cv::Mat>& view_centres;  // ComputeViewCentres
  ReferenceIntrinsics intrinsics;
  double level_factor;
  const cv::Mat& gridX;  // MakePixelGrids
  const cv::Mat& gridY;
};

// The four unknown fields of one level (or their increments), CV_32F of the level's size. A field
// left empty is absent (in increments: no dZ while depth is fixed).
struct SceneFields {
  cv::Mat U;
  cv::Mat V;
  cv::Mat W;
  cv::Mat Z;
};

// An estimate's points and where they land in every view. Per-view lists are indexed by view;
// MapX0 and MapY0 of view 0 stay empty (the reference view sees its own grid at time 0).
struct EstimateProjection {
  cv::Mat Depth;  // the depth lifted: Z, or Z + dZ
  cv::Mat RefPointX;
  cv::Mat RefPointY;
  cv::Mat MovedPointX;  // RefPointX + U (+ dU): the point at time t
  cv::Mat MovedPointY;
  cv::Mat MovedPointZ;
  std::vector<cv::Mat> MapX0;  // column in view i of the time-0 point, views 1..N-1
  std::vector<cv::Mat> MapY0;
  std::vector<cv::Mat> MapXt;  // column in view i of the moved point, views 0..N-1
  std::vector<cv::Mat> MapYt;
};

// Lifts the reference pixels and projects the time-0 point into views 1..N-1 and the moved point
// into views 0..N-1 (N = view_count), reusing the matrices already in `out`. Without increments
// (null) the estimate is `fields`; with them the depth is Z + dZ (when dZ is given) and the moved
// point is the lifted point plus U + dU, V + dV, W + dW, each sum rounded to float in that order.
void ProjectEstimate(const LevelGeometry& geometry, int view_count, const SceneFields& fields,
                     const SceneFields* increments, EstimateProjection& out);

// Everything one outer iteration builds on the reference grid: the projected estimate, the masks
// of every data term and the warped view images with their derivatives. Per-view lists are
// indexed by view; entries a term does not have (view 0 at time 0, StereoMask0 while depth is
// fixed) stay empty.
struct ViewWarping {
  EstimateProjection estimate;
  cv::Mat RefFlowMask;                    // reference view at time t
  std::vector<cv::Mat> StereoMask0;       // view i at time 0, depth estimated only
  std::vector<cv::Mat> ViewMaskT;         // view i at time t, flow term
  std::vector<cv::Mat> ViewMaskTCopy;     // view i at time t, stereo term (starts as a copy)
  std::vector<cv::Mat> Warped0;           // view i's time-0 image, views 1..N-1
  std::vector<cv::Mat> WarpedT;           // view i's time-t image, views 0..N-1
  std::vector<cv::Mat> Warped0Dx;
  std::vector<cv::Mat> Warped0Dy;
  std::vector<cv::Mat> WarpedTDx;
  std::vector<cv::Mat> WarpedTDy;
  cv::Mat DerivativeScratch;              // 16-bit signed Scharr results of 8-bit images
};

// What the warping of an outer iteration reads of the configuration; the fields are named after
// the keys they come from.
struct WarpOptions {
  int NumOfViews = 2;
  OcclusionOptions occlusion;  // of every mask
  // While not 0, view 1's time-t mask starts from the black-line image at every outer iteration.
  int BLACK_LINE = 0;
  // When set, the warped time-0 images of views 1..N-1 are saved as "<prefix><view>.<IMG_TYPE>",
  // and likewise the warped time-t ones.
  std::optional<std::string> SF_I0_Warped_FileName;
  std::optional<std::string> SF_It_Warped_FileName;
  std::optional<std::string> IMG_TYPE = std::string("png");
};

// One outer iteration's warping, in order: lift and project the estimate `fields` (steps 1-4);
// RefFlowMask from view 0's time-t maps; StereoMask0 of views 1..N-1 when depth is estimated;
// ViewMaskT of views 1..N-1 (view 1 starting from `black_line`, the black-line image, which must
// be given when BLACK_LINE is set) and its copy ViewMaskTCopy; every mask gets MarkOcclusions then MarkMaskBorder. Then view 0's
// time-t image and views 1..N-1's time-0 and time-t images are warped onto the reference grid
// (time-0 ones saved under SF_I0_Warped_FileName, time-t ones of views 1..N-1 under
// SF_It_Warped_FileName, when set). `level` is 1-based and selects the pyramid element level - 1.
// The masks and derivative images are new matrices; the maps and warped images reuse `out`'s.
void WarpViewsOntoReference(const WarpOptions& options, const LevelGeometry& geometry,
                            const std::vector<ImagePyramid>& time0,
                            const std::vector<ImagePyramid>& timet, const cv::Mat& black_line,
                            int level, const SceneFields& fields, bool depth_fixed,
                            ViewWarping& out);

}  // namespace sceneflow
