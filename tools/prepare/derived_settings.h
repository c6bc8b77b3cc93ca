#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace sceneflow::prepare {

// What the settings are derived from: the scene's units and size, measured on the prepared images
// and the start values.
struct SceneMeasures {
  cv::Size size;               // of the images the estimator reads
  double focal = 0;            // reference focal length, pixels
  double baseline = 0;         // distance of view 1 from view 0 in scene units; 0 for one camera
  double median_depth = 0;     // of the start depth
  double far_depth = 0;        // 99th percentile of the start depth
  double uncovered_motion = 0; // image motion in pixels that the start values do not hold
  bool motion_started = false; // the start values hold a motion (pipeline start)
  int views = 2;
};

// A derived setting and the reason for its value, written beside it into run.ini.
struct Setting {
  double value = 0;
  std::string why;
};

// The estimator's settings that depend on the data.
struct DerivedSettings {
  Setting alpha_sf, alpha_w, alpha_z;      // smoothness weights of U and V, of W, of Z
  Setting max_z;                           // depths at 0.95·max_z or beyond are switched off
  Setting eta;                             // pyramid reduction factor
  Setting levels_flow;                     // coarsest level: the flow stage starts here
  Setting levels_sf;                       // depth is estimated from this level on
  Setting outer, inner, sor;               // iteration limits
};

// Weights per pixel of image shift that one unit of a field causes (see README: the data term
// grows with the misalignment in pixels, the smoothness term with the field's gradient in its own
// unit). The synthetic presets' factors; on Middlebury Cones with the stereo start, a quarter or
// four times the depth weight gave a worse final depth (bad 1 px 18.5 % and 15.9 % against 14.2 %).
constexpr double kMotionWeightPerPixel = 7.5;
constexpr double kDepthWeightPerPixel = 30.0;
// W moves a projection by f·B/Z² along the baseline plus a looming shift of |x − u0|/Z, on average
// (W/4)/Z over an image of width W. 3.2 per pixel of that sum is the synthetic presets' measured
// AlphaW (0.6 for f 300, B 40, Z 550, 320 pixels); on KITTI 000010 (half size) it kept the median
// W of the static background at 0.93 of the rigid fit's forward motion, against 0.84 with half of
// AlphaZ.
constexpr double kMotionWeightPerPixelW = 3.2;
// One camera: depth is held at a constant by a weight this many times the motion weight, and W
// (which one camera cannot tell from U, V) likewise.
constexpr double kMonoHoldFactor = 100.0;
// Pyramid: reduction per level, the narrowest coarsest level, and the motion in pixels the
// coarsest level may still hold.
constexpr double kPyramidEta = 0.8;
constexpr int kNarrowestCoarsestWidth = 24;
constexpr double kMotionAtCoarsestLevel = 1.0;
// Depth is estimated from this level on: the start depth reaches the solver at this level's size,
// keeping its detail. With a depth-only (stereo) start, from the full size, with three inner
// iterations per linearisation: the final depth's bad 1 px rate on Middlebury Cones, Teddy and
// Motorcycle as static pairs was 14.0, 17.3 and 17.4 % (start 10.2, 12.6, 11.4 %), against 14.3,
// 18.4 and 17.9 % with ten inner iterations and 15.3, 21.9 and 22.6 % from level 2. With a
// pipeline start, from level 2 (0.8 of the full size): the noisy synthetic scene's 3D end-point
// error was 2.3 against 3.0 from level 1 (pipeline start 5.6). Three inner iterations serve both:
// after a pipeline start the ten of earlier versions gave the same or slightly larger errors on
// ten synthetic scenes (sphere2, planes2, boxes2, noisy2, large2, two seeds each: 0.22 to 0.41
// of the pipeline start's 3D end-point error with ten, 0.22 to 0.41 with three), on KITTI
// 000002 (scene-flow outliers 14.48 % either way) and on RubberWhale (0.198 px), in a third of
// the time.
constexpr int kSceneFlowStartLevelDepthStart = 1;
constexpr int kSceneFlowStartLevelMotionStart = 2;
constexpr int kInnerIterations = 3;

// Derives every setting from the measures. Each Setting's `why` says how. `sf_level`, when
// positive, is the level depth estimation starts at (the flow stage above it follows from it).
DerivedSettings DeriveSettings(const SceneMeasures& measures, int sf_level = 0);

// Number of pyramid levels (each kPyramidEta times smaller) that shrink `motion` pixels to at most
// kMotionAtCoarsestLevel, at least `fewest` and at most as many as keep the coarsest level
// kNarrowestCoarsestWidth pixels wide (or the image's own width when narrower).
int LevelsForMotion(double motion, int width, int fewest);

// A value rounded to two significant digits, as weights are written.
double RoundToTwoDigits(double value);

}  // namespace sceneflow::prepare
