#pragma once

#include <opencv2/core.hpp>

#include "tools/export/run_results.h"

namespace sceneflow::exporting {

// The surface point of every reference pixel at time 0, lifted as the estimator lifts it: with the
// reference intrinsics scaled to the results' level, P = ((x − s·u0)·Z/(s·f0ku),
// (y − s·v0)·Z/(s·f0kv), Z). CV_64FC3 on the results' grid.
cv::Mat ReferencePoints(const RunResults& run);

// Pixels whose depth is a surface the estimator worked on: finite, above 0 and below 0.95·maxZ
// (the estimator switches off pixels at or beyond that). CV_8U, 255 where valid.
cv::Mat SurfaceMask(const RunResults& run);

// The 2D optical flow of the reference view on the results' grid, in pixels of that grid: the
// moved point P + (U, V, W) projected with view 0's camera C0·[R0 | T0] at the level (C0(2,2)
// replaced by 1/s, as the estimator builds a level's projection), minus the pixel: the
// displacement the estimator's reference data term matches. CV_32FC2; NaN where the
// moved point lies at or behind the camera.
cv::Mat ReferenceFlow(const RunResults& run);

// Disparity of the reference view in pixels of the user's original images, with their disparity
// offset: d = (focal/scale)·baseline/Z − doffs, for Z + `depth_change` (0 for time 0, W for the
// point at time t). CV_32F on the results' grid; NaN where the depth is not above 0. Needs a
// prepared.txt with a baseline.
cv::Mat ReferenceDisparity(const RunResults& run, bool at_time_t);

// Resizes a field (CV_32F or CV_64F, any number of channels) holding NaN where undefined to
// `size`: the defined values by bilinear interpolation normalised by the defined pixels' weight,
// so that neither NaN nor a stand-in value bleeds into the neighbours; which pixels are undefined
// follows by nearest neighbour.
cv::Mat ResizeWithUndefined(const cv::Mat& field, cv::Size size);

}  // namespace sceneflow::exporting
