#include "tools/prepare/start_values.h"

#include <cmath>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "config/input_error.h"
#include "stereo/dense_stereo.h"
#include "tools/common/stereo_geometry.h"

namespace sceneflow::prepare {
namespace {

// Bilinear sample of a CV_32F field at (x, y) inside the image.
float Sample(const cv::Mat& field, double x, double y) {
  const int x0 = std::min(static_cast<int>(x), field.cols - 2);
  const int y0 = std::min(static_cast<int>(y), field.rows - 2);
  const double ax = x - x0, ay = y - y0;
  const float* top = field.ptr<float>(y0);
  const float* bottom = field.ptr<float>(y0 + 1);
  return static_cast<float>((1 - ay) * ((1 - ax) * top[x0] + ax * top[x0 + 1]) +
                            ay * ((1 - ax) * bottom[x0] + ax * bottom[x0 + 1]));
}

}  // namespace

cv::Mat DepthFromDisparity(const cv::Mat& disparity, const RectifiedPair& pair, double max_z) {
  CV_Assert(disparity.type() == CV_32F);
  const double focal_baseline = pair.focal * pair.baseline;
  const double smallest = focal_baseline / max_z;
  cv::Mat depth(disparity.size(), CV_32F);
  for (int y = 0; y < disparity.rows; ++y) {
    const float* d = disparity.ptr<float>(y);
    float* z = depth.ptr<float>(y);
    for (int x = 0; x < disparity.cols; ++x) {
      const double shifted = d[x] + pair.doffs;
      z[x] = static_cast<float>(shifted > smallest ? tools::DepthOfDisparity(focal_baseline, d[x], pair.doffs) : max_z);
    }
  }
  return depth;
}

cv::Mat StereoDepth(const cv::Mat& left, const cv::Mat& right, const RectifiedPair& pair,
                    int max_disparity, double max_z) {
  return DepthFromDisparity(BestDenseDisparity(left, right, max_disparity), pair, max_z);
}

cv::Mat ViewPairDepth(const cv::Mat& image0, const cv::Mat& image1, const ViewCamera& view1,
                      const cv::Matx33d& C0, int max_disparity, double max_z) {
  const cv::Size size = image0.size();
  cv::Mat rotation0, rotation1, projection0, projection1, Q;
  // Scale 1: every reference pixel stays inside the rectified image. stereoRectify takes the motion from the first camera's frame to the second's: P1 = R·P0 + T.
  cv::stereoRectify(cv::Mat(C0), cv::noArray(), cv::Mat(view1.C), cv::noArray(), size, cv::Mat(view1.R),
                    cv::Mat(view1.T), rotation0, rotation1, projection0, projection1, Q,
                    cv::CALIB_ZERO_DISPARITY, 1, size);
  const double shift_x = projection1.at<double>(0, 3), shift_y = projection1.at<double>(1, 3);
  if (std::fabs(shift_y) > std::fabs(shift_x) || shift_x == 0) {
    throw InputError("Error: views 0 and 1 lie one above the other or at one place; a stereo start needs them side by side (or use --init none)");
  }
  cv::Mat map_x, map_y, rectified0, rectified1;
  cv::initUndistortRectifyMap(cv::Mat(C0), cv::noArray(), rotation0, projection0, size, CV_32FC1, map_x, map_y);
  cv::remap(image0, rectified0, map_x, map_y, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  cv::initUndistortRectifyMap(cv::Mat(view1.C), cv::noArray(), rotation1, projection1, size, CV_32FC1, map_x, map_y);
  cv::remap(image1, rectified1, map_x, map_y, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  // View 1 to the right gives shift_x = −f·B < 0 and x1 = x0 − d; to the left, mirror both.
  const bool mirrored = shift_x > 0;
  if (mirrored) {
    cv::flip(rectified0, rectified0, 1);
    cv::flip(rectified1, rectified1, 1);
  }
  cv::Mat disparity = BestDenseDisparity(rectified0, rectified1, max_disparity);
  if (mirrored) cv::flip(disparity, disparity, 1);

  // Each reference pixel's ray, turned into the rectified frame, meets the rectified image at
  // (u, v); the disparity there gives the point's depth in the rectified frame, f·B/d.
  const cv::Matx33d R(rotation0);
  const cv::Matx33d inverse_C0 = C0.inv();
  const double f = projection0.at<double>(0, 0), u0 = projection0.at<double>(0, 2),
               v0 = projection0.at<double>(1, 2);
  const double focal_baseline = std::fabs(shift_x);
  cv::Mat depth(size, CV_32F);
  for (int y = 0; y < size.height; ++y) {
    float* z = depth.ptr<float>(y);
    for (int x = 0; x < size.width; ++x) {
      const cv::Vec3d ray = R * (inverse_C0 * cv::Vec3d(x, y, 1));
      z[x] = static_cast<float>(max_z);
      if (ray[2] <= 0) continue;
      const double u = f * ray[0] / ray[2] + u0, v = f * ray[1] / ray[2] + v0;
      if (u < 0 || v < 0 || u > size.width - 1 || v > size.height - 1) continue;
      const double d = Sample(disparity, u, v);
      if (d * max_z <= focal_baseline) continue;
      // The point is (depth_rectified / ray_z)·ray in the rectified frame; its depth in view 0's
      // frame is the third coordinate of Rᵀ times it, which for the unit-depth ray is 1.
      const cv::Vec3d point = R.t() * (ray * (focal_baseline / d / ray[2]));
      z[x] = static_cast<float>(std::min(point[2], max_z));
    }
  }
  return depth;
}

cv::Mat ReferenceFlow(const cv::Mat& grey_time0, const cv::Mat& grey_timet) {
  cv::Ptr<cv::DISOpticalFlow> dis = cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_MEDIUM);
  cv::Mat flow;
  dis->calc(grey_time0, grey_timet, flow);
  return flow;
}

StartValues TriangulateFlow(const cv::Mat& depth_time0, const cv::Mat& depth_timet,
                            const cv::Mat& flow, const cv::Matx33d& C) {
  CV_Assert(depth_time0.type() == CV_32F && depth_timet.type() == CV_32F && flow.type() == CV_32FC2);
  CV_Assert(depth_time0.size() == flow.size() && depth_timet.size() == flow.size());
  const double fx = C(0, 0), fy = C(1, 1), cx = C(0, 2), cy = C(1, 2);
  StartValues start;
  start.Z = depth_time0.clone();
  start.U.create(flow.size(), CV_32F);
  start.V.create(flow.size(), CV_32F);
  start.W.create(flow.size(), CV_32F);
  const double last_x = flow.cols - 1, last_y = flow.rows - 1;
  for (int y = 0; y < flow.rows; ++y) {
    const cv::Vec2f* shift = flow.ptr<cv::Vec2f>(y);
    const float* z0 = depth_time0.ptr<float>(y);
    float* U = start.U.ptr<float>(y);
    float* V = start.V.ptr<float>(y);
    float* W = start.W.ptr<float>(y);
    for (int x = 0; x < flow.cols; ++x) {
      // P_0 = Z0·C⁻¹(x, y, 1); P_t = Zt·C⁻¹(x + dx, y + dy, 1) with Zt at the flow target.
      const double xt = x + shift[x][0], yt = y + shift[x][1];
      const bool inside = xt >= 0 && yt >= 0 && xt <= last_x && yt <= last_y;
      const double zt = inside ? Sample(depth_timet, xt, yt) : z0[x];
      U[x] = static_cast<float>(zt * (xt - cx) / fx - z0[x] * (x - cx) / fx);
      V[x] = static_cast<float>(zt * (yt - cy) / fy - z0[x] * (y - cy) / fy);
      W[x] = static_cast<float>(zt - z0[x]);
    }
  }
  return start;
}

StartValues PipelineStart(const cv::Mat& left_time0, const cv::Mat& right_time0,
                          const cv::Mat& left_timet, const cv::Mat& right_timet,
                          const RectifiedPair& pair, int max_disparity, double max_z) {
  const cv::Mat depth_time0 = StereoDepth(left_time0, right_time0, pair, max_disparity, max_z);
  const cv::Mat depth_timet = StereoDepth(left_timet, right_timet, pair, max_disparity, max_z);
  const cv::Matx33d C(pair.focal, 0, pair.cx, 0, pair.focal, pair.cy, 0, 0, 1);
  return TriangulateFlow(depth_time0, depth_timet, ReferenceFlow(left_time0, left_timet), C);
}

StartValues MonoStart(const cv::Mat& grey_time0, const cv::Mat& grey_timet, const cv::Matx33d& C,
                      double depth) {
  const cv::Mat constant(grey_time0.size(), CV_32F, cv::Scalar(depth));
  return TriangulateFlow(constant, constant, ReferenceFlow(grey_time0, grey_timet), C);
}

}  // namespace sceneflow::prepare
