#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "geometry/view_warping.h"

namespace sceneflow {

// The camera's own motion between the two instants, in the reference frame: a point that stays
// put in the scene is carried from P at time 0 to R·P + T at time t. Scene flow measured by a
// moving camera is this motion wherever nothing moves by itself.
struct CameraMotion {
  cv::Matx33d R = cv::Matx33d::eye();
  cv::Vec3d T = {0, 0, 0};
  int samples = 0;  // start pixels the fit looked at
  int inliers = 0;  // of them, those whose start motion it reproduces within kMotionFitTolerance
};

// The rigid background of a run: the camera's motion and the pixels of the start level that move
// with it (255; 0 for those that move by themselves).
struct RigidBackground {
  CameraMotion motion;
  cv::Mat static_pixels;  // CV_8U, the start level's size
  // The start motion after the choice (the camera's motion on static pixels), the start level's
  // size: the target of the pixels that move by themselves.
  cv::Mat U, V, W;
};

// How the run holds its motion: not at all, every pixel near its start motion, or the pixels that
// move with the camera on the camera's motion fitted to the start and the others near their start.
// kAuto: as kCamera with two or more views and as kStart with one, where the start's census
// misfit exceeds kBrightnessHoldsMisfit; not at all otherwise.
enum class MotionPrior { kNone, kStart, kCamera, kAuto };

// A background without static pixels: every pixel's motion is held near its start motion.
RigidBackground StartMotionBackground(const SceneFields& start);

// How far the images contradict the start values: the median, over the pixels, of the census
// signature distance (differing comparisons of 16, averaged over a small window) between the
// reference image at time 0 and each other image sampled where the start puts the pixel's point
// (views 1..N-1 at time 0, every view at time t), per image. Small where brightness patterns carry
// over between the images; large where lighting, exposure or reflections change them.
double StartCensusMisfit(const LevelGeometry& geometry, int view_count, const SceneFields& start,
                         const std::vector<cv::Mat>& time0_images,
                         const std::vector<cv::Mat>& time_t_images);

// Above this StartCensusMisfit the brightness-constancy terms are not trusted to move the start
// far, and the automatic priors hold it: the synthetic scenes and Middlebury's flow pair leave
// 0.3 to 0.5, KITTI's street scenes 1.4 to 1.8.
constexpr double kBrightnessHoldsMisfit = 1.0;


// Largest distance, in pixels of the level, between where a pixel's start motion and the fitted
// camera motion put its point in the reference view at time t, for the pixel to count for the fit.
constexpr double kMotionFitTolerance = 1.0;

// Weight of the motion prior per squared pixel of distance from its target, in squared grey
// levels like the data terms: one pixel away costs as much as a residual of about 17 grey levels.
constexpr double kMotionPriorWeight = 300;
// Distance, in pixels of the level, at which the motion prior's pull has fallen to half: a pixel
// that the data carry further away than a few of these is let go.
constexpr double kMotionPriorScale = 1.0;

// Fits the camera's motion to the start values: every pixel's point at time 0 (its depth) and
// where its start motion takes it in the reference view at time t, robustly (RANSAC over the
// perspective-n-point problem, then refined on the pixels it explains). Pixels at or beyond
// far_depth, or whose moved point is not in front of the reference view, are left out. Returns
// nothing when too few pixels agree on one motion. `start` has the level's size.
std::optional<CameraMotion> FitCameraMotion(const LevelGeometry& geometry,
                                            const SceneFields& start, double far_depth);

// The motion that the camera's motion gives each pixel's point at time 0: R·P + T − P, as
// U, V, W fields of Z's size.
void CameraMotionFields(const CameraMotion& motion, const LevelGeometry& geometry,
                        const cv::Mat& Z, cv::Mat& U, cv::Mat& V, cv::Mat& W);

// Decides, pixel by pixel, which of three candidates explains the images best: the start values;
// the start depth moved by the camera's motion; and the camera's motion with the depth that puts
// the moved point at the start's depth at time t (Z + W), which corrects a start depth that the
// time-t stereo contradicts. For each candidate the images of every view are sampled where it
// puts the point (views 1..N-1 at time 0, every view at time t) and their census signatures
// (brighter or not than the centre, at 16 places around it) are compared with the reference
// image's at time 0, averaged over a small window and summed over the images. The camera's motion
// wins ties and small margins, since most of a scene stands still. The winners replace the start
// values in `start`. `time0_images` and `time_t_images` are the views' images at the level
// (view 0's time-0 image is the reference). Returns the mask of static pixels.
cv::Mat ChooseStaticPixels(const CameraMotion& motion, const LevelGeometry& geometry,
                           int view_count, const std::vector<cv::Mat>& time0_images,
                           const std::vector<cv::Mat>& time_t_images, double far_depth,
                           SceneFields& start);

// A log line about the fit: the rotation angle and axis, the translation, the share of sampled
// pixels it explains and the share of static pixels.
std::string DescribeRigidBackground(const RigidBackground& background);

// The targets of the motion prior in every view at time t (MapX, MapY, pixels of the level) and
// how they move per unit of depth along the pixel's ray (DxDZ, DyDZ): a static pixel's point at
// time 0 carried by the camera's motion, any other pixel's point moved by its start motion
// (StartU, StartV, StartW, the run's start motion on the level's grid). Rebuilt at every outer
// iteration from the time-0 points (RefPointX, RefPointY, Z), the rays (RayX, RayY) and the
// level's projection matrices of views 0..N-1.
struct MotionTargets {
  std::vector<cv::Mat> MapX, MapY, DxDZ, DyDZ;
};
struct MotionPriorLevel {
  cv::Mat StaticPixels;  // CV_8U, 255 static
  cv::Mat StartU, StartV, StartW;
};
void UpdateMotionTargets(const CameraMotion& motion, const MotionPriorLevel& level,
                         const cv::Mat& RefPointX, const cv::Mat& RefPointY, const cv::Mat& Z,
                         const cv::Mat& RayX, const cv::Mat& RayY,
                         const std::vector<cv::Mat>& projection, MotionTargets& targets);

}  // namespace sceneflow
