#pragma once

#include <opencv2/core.hpp>

#include "tools/prepare/calibration_import.h"

namespace sceneflow::prepare {

// Start values of the four unknowns on the reference image's grid (CV_32F); U, V, W are empty
// when only the depth is started.
struct StartValues {
  cv::Mat Z, U, V, W;
};

// Depth of the left image of a rectified pair from the bundled semi-global matcher: disparities
// d from 0 to max_disparity, depth = focal·baseline/(d + doffs). Pixels whose d + doffs falls
// below focal·baseline/max_z (no match, or farther than max_z) get max_z.
cv::Mat StereoDepth(const cv::Mat& left, const cv::Mat& right, const RectifiedPair& pair,
                    int max_disparity, double max_z);

// Depth of the reference view (view 0: R = I, T = 0) from view 0 and any other view: both are
// rectified to a common image plane (OpenCV's stereoRectify), matched with the bundled matcher
// (mirrored when the other view lies to the left) and each reference pixel's depth is read from
// the rectified disparity at the pixel's rectified position. Pixels without a match, or farther
// than max_z, get max_z. Throws InputError when the views are nearer to one above the other than
// side by side, or share their centre.
cv::Mat ViewPairDepth(const cv::Mat& image0, const cv::Mat& image1, const ViewCamera& view1,
                      const cv::Matx33d& C0, int max_disparity, double max_z);

// Depth from a disparity map of the left image: focal·baseline/(d + doffs), at most max_z.
cv::Mat DepthFromDisparity(const cv::Mat& disparity, const RectifiedPair& pair, double max_z);

// Dense optical flow of the reference view from time 0 to time t (OpenCV DIS, preset medium):
// a CV_32FC2 field of (dx, dy) in pixels.
cv::Mat ReferenceFlow(const cv::Mat& grey_time0, const cv::Mat& grey_timet);

// The 3D motion of each reference pixel from its depth at time 0, its flow target at time t and the
// depth there at time t (both depths on the reference grid; depth_timet is sampled bilinearly at the
// target): U, V, W = P_t − P_0 with P = depth·C⁻¹·(x, y, 1). A target outside the image keeps the
// pixel's own depth (W = 0).
StartValues TriangulateFlow(const cv::Mat& depth_time0, const cv::Mat& depth_timet,
                            const cv::Mat& flow, const cv::Matx33d& C);

// The classical start of all four fields for a rectified pair at two instants: stereo at both
// instants and the reference view's optical flow, triangulated.
StartValues PipelineStart(const cv::Mat& left_time0, const cv::Mat& right_time0,
                          const cv::Mat& left_timet, const cv::Mat& right_timet,
                          const RectifiedPair& pair, int max_disparity, double max_z);

// For one camera: the depth held at a constant and the flow turned into U, V at that depth (W 0).
StartValues MonoStart(const cv::Mat& grey_time0, const cv::Mat& grey_timet, const cv::Matx33d& C,
                      double depth);

}  // namespace sceneflow::prepare
