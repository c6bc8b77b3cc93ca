#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace sceneflow::prepare {

// A calibrated view as the estimator reads it: a point P of the reference frame (view 0's camera
// frame) has camera coordinates R·P + T in this view and lands at pixel C·(R·P + T), divided by its
// third coordinate.
struct ViewCamera {
  cv::Matx33d C = cv::Matx33d::eye();
  cv::Matx33d R = cv::Matx33d::eye();
  cv::Vec3d T;
};

// A rectified pair: view 0 the left camera, view 1 the right one at +baseline along x. Both share
// the focal length and the row of the principal point; the right camera's principal point column
// is cx + doffs (Middlebury's disparity offset), so that depth = focal·baseline/(d + doffs) for a
// disparity d = x_left − x_right.
struct RectifiedPair {
  double focal = 0;
  double cx = 0, cy = 0;
  double baseline = 0;
  double doffs = 0;
};

// The two views of a rectified pair.
std::vector<ViewCamera> PairCameras(const RectifiedPair& pair);

// The rectified pair of KITTI's colour cameras 2 (left, the reference) and 3 (right) from a
// cam-to-cam calibration file (a drive's calib_cam_to_cam.txt or the benchmark's per-frame file):
// focal length and principal point from P_rect_02, baseline (P_rect_02(0,3) − P_rect_03(0,3))/fx.
// Throws InputError when the file cannot be read, lacks either matrix or gives no positive
// baseline.
RectifiedPair ReadKittiCalibration(const std::string& path);

// The calibration file of a KITTI frame: `explicit_file` when given, else
// KITTI_DIR/calib_cam_to_cam/FRAME.txt, else KITTI_DIR/calib_cam_to_cam.txt. Throws InputError when
// none exists.
std::string FindKittiCalibration(const std::string& kitti_dir, const std::string& frame,
                                 const std::string& explicit_file);

// One view of a view list: its images at time 0 and t and its calibration.
struct ListedView {
  std::string image_time0, image_timet;
  ViewCamera camera;
};

// Reads a view list: one view per line, view 0 (the reference) first; blank lines and lines
// starting with '#' are skipped. A line holds the view's image at time 0, its image at time t and
// then either three file names (C, R and T as text matrices: 3×3, 3×3, 3×1) or the 21 numbers of
// C, R and T row by row. Relative paths are relative to the list's folder. Throws InputError on a
// missing file, a malformed line or fewer than one view.
std::vector<ListedView> ReadViewList(const std::string& path);

// The views expressed in view 0's camera frame (R = I, T = 0 for view 0), as the estimator expects:
// R_i' = R_i·R_0ᵀ, T_i' = T_i − R_i'·T_0.
std::vector<ViewCamera> RelativeToReference(const std::vector<ViewCamera>& cameras);

}  // namespace sceneflow::prepare
