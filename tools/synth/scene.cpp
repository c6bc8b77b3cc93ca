#include "tools/synth/scene.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <sstream>

#include <opencv2/calib3d.hpp>

#include "config/input_error.h"

namespace sceneflow::synth {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Depth of the scene's middle ground; weights, textures and limits are sized for it.
constexpr double kMiddleDepth = 550.0;
// Smoothness weights per pixel of projection shift: a field whose unit moves a projection by g
// pixels gets the weight k·g (the robust data term grows linearly with g, as the robust
// smoothness term grows with the field's gradient). The factors come from weight sweeps on the
// sphere2 scene (best mean 3D end-point error); W takes half the weight of Z.
constexpr double kMotionWeightPerPixel = 7.5;
constexpr double kDepthWeightPerPixel = 30.0;

struct PresetInfo {
  const char* name;
  const char* scene;
  int views;
  const char* layout;
  int width;
  int height;
  double rotate_degrees;
  const char* help;
  double motion_scale = 1;  // every object's translation and rotation times this
  double noise_sigma = 0;   // sensor noise in grey levels
  double gain_time_t = 1;   // brightness of the images at time t relative to time 0
};

const PresetInfo kPresets[] = {
    {"sphere2", "sphere", 2, "line", 320, 240, 0.0,
     "textured sphere in front of a tilted plane, 2 views side by side, 320x240"},
    {"sphere4", "sphere", 4, "grid", 320, 240, 1.0,
     "the sphere scene seen by a 2x2 rig with small view rotations, 320x240"},
    {"planes2", "planes", 2, "line", 320, 240, 0.0,
     "two tilted rectangles in front of a tilted plane, 2 views, 320x240"},
    {"planes4", "planes", 4, "grid", 320, 240, 1.0,
     "the planes scene seen by a 2x2 rig with small view rotations, 320x240"},
    {"boxes2", "boxes", 2, "line", 320, 240, 0.0,
     "a turning box and a small sphere in front of a plane, 2 views, 320x240"},
    {"bench640", "sphere", 2, "line", 640, 480, 0.0,
     "the sphere scene with 2 views at 640x480, for timing"},
    {"tiny", "sphere", 2, "line", 64, 48, 0.0,
     "the sphere scene with 2 views at 64x48, for quick tests"},
    {"noisy2", "sphere", 2, "line", 320, 240, 0.0,
     "sphere2 with sensor noise (sigma 3 grey levels) and 6 % brighter images at time t", 1.0, 3.0, 1.06},
    {"large2", "sphere", 2, "line", 320, 240, 0.0,
     "sphere2 with three times the motion (tens of pixels), 2 views, 320x240", 3.0},
};

const PresetInfo& FindPreset(const std::string& name) {
  for (const PresetInfo& preset : kPresets) {
    if (name == preset.name) return preset;
  }
  std::string names;
  for (const PresetInfo& preset : kPresets) names += std::string(names.empty() ? "" : ", ") + preset.name;
  throw InputError("Error: unknown preset \"" + name + "\" (known: " + names + ")");
}

cv::Matx33d RotationFromVector(const cv::Vec3d& rotation) {
  cv::Matx33d matrix;
  cv::Rodrigues(rotation, matrix);
  return matrix;
}

cv::Vec3d Degrees(double x, double y, double z) {
  return cv::Vec3d(x, y, z) * (kPi / 180.0);
}

// Draws the seed's variation of a scene: small shifts of positions and of motions.
class Variation {
 public:
  explicit Variation(unsigned seed) : engine_(seed * 7919u + 17u) {}
  double Uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(engine_); }
  cv::Vec3d Jitter(double amount) {
    return cv::Vec3d(Uniform(-amount, amount), Uniform(-amount, amount), Uniform(-amount, amount));
  }
  unsigned Next() { return static_cast<unsigned>(engine_()); }

 private:
  std::mt19937 engine_;
};

Texture MakeTexture(Variation& variation, double units_per_pixel, double mean) {
  Texture texture;
  texture.seed = variation.Next();
  texture.cell = 10.0 * units_per_pixel;
  texture.mean = mean + variation.Uniform(-12.0, 12.0);
  return texture;
}

SceneObject Background(Variation& variation, double units_per_pixel) {
  SceneObject plane;
  plane.name = "background plane";
  plane.shape = Shape::kPlane;
  plane.centre = cv::Vec3d(0, 0, 760) + variation.Jitter(10.0);
  plane.orientation = RotationFromVector(Degrees(10, -8, 0) + variation.Jitter(0.03));
  plane.size = cv::Vec3d(0, 0, 0);  // unbounded
  // The background moves too (as under a moving camera), so that every pixel has motion to find.
  plane.translation = cv::Vec3d(-2, 1, 4) + variation.Jitter(0.8);
  plane.rotation = Degrees(0, 0.3, 0.2) + variation.Jitter(0.002);
  plane.texture = MakeTexture(variation, units_per_pixel, 150.0);
  return plane;
}

void AddSphereScene(Scene& scene, Variation& variation, double units_per_pixel) {
  scene.objects.push_back(Background(variation, units_per_pixel));
  SceneObject sphere;
  sphere.name = "sphere";
  sphere.shape = Shape::kSphere;
  sphere.centre = cv::Vec3d(-20, 10, 480) + variation.Jitter(15.0);
  sphere.size = cv::Vec3d(90 + variation.Uniform(-10, 10), 0, 0);
  sphere.translation = cv::Vec3d(4, -2, -8) + variation.Jitter(1.5);
  sphere.rotation = Degrees(0.5, 2.0, 1.0) + variation.Jitter(0.01);
  sphere.texture = MakeTexture(variation, units_per_pixel, 105.0);
  scene.objects.push_back(sphere);
}

void AddPlanesScene(Scene& scene, Variation& variation, double units_per_pixel) {
  scene.objects.push_back(Background(variation, units_per_pixel));
  SceneObject left;
  left.name = "left rectangle";
  left.shape = Shape::kPlane;
  left.centre = cv::Vec3d(-85, -30, 520) + variation.Jitter(10.0);
  left.orientation = RotationFromVector(Degrees(5, 20, 0) + variation.Jitter(0.03));
  left.size = cv::Vec3d(80, 65, 0);
  left.translation = cv::Vec3d(5, 1, -6) + variation.Jitter(1.5);
  left.rotation = Degrees(0, 0, 1.5) + variation.Jitter(0.01);
  left.texture = MakeTexture(variation, units_per_pixel, 100.0);
  scene.objects.push_back(left);

  SceneObject right;
  right.name = "right rectangle";
  right.shape = Shape::kPlane;
  right.centre = cv::Vec3d(85, 45, 620) + variation.Jitter(10.0);
  right.orientation = RotationFromVector(Degrees(-15, 0, 10) + variation.Jitter(0.03));
  right.size = cv::Vec3d(75, 55, 0);
  right.translation = cv::Vec3d(-3, -2, 8) + variation.Jitter(1.5);
  right.rotation = Degrees(1.0, 0, 0) + variation.Jitter(0.01);
  right.texture = MakeTexture(variation, units_per_pixel, 175.0);
  scene.objects.push_back(right);
}

void AddBoxesScene(Scene& scene, Variation& variation, double units_per_pixel) {
  scene.objects.push_back(Background(variation, units_per_pixel));
  SceneObject box;
  box.name = "box";
  box.shape = Shape::kBox;
  box.centre = cv::Vec3d(-60, 0, 540) + variation.Jitter(10.0);
  box.orientation = RotationFromVector(Degrees(20, 30, 0) + variation.Jitter(0.03));
  box.size = cv::Vec3d(60, 50, 40);
  box.translation = cv::Vec3d(3, 2, -7) + variation.Jitter(1.5);
  box.rotation = Degrees(0, 2.0, 0.5) + variation.Jitter(0.01);
  box.texture = MakeTexture(variation, units_per_pixel, 100.0);
  scene.objects.push_back(box);

  SceneObject sphere;
  sphere.name = "sphere";
  sphere.shape = Shape::kSphere;
  sphere.centre = cv::Vec3d(110, -40, 620) + variation.Jitter(10.0);
  sphere.size = cv::Vec3d(50, 0, 0);
  sphere.translation = cv::Vec3d(-4, 1, 5) + variation.Jitter(1.5);
  sphere.rotation = Degrees(1.0, 0, 0) + variation.Jitter(0.01);
  sphere.texture = MakeTexture(variation, units_per_pixel, 175.0);
  scene.objects.push_back(sphere);
}

// Offsets of the views in units of the baseline. View 0 is the reference at the origin; a line
// grows to the right first, then alternately left and right; a grid fills the 2×2 block to the
// right and below first, then the 3×3 block around view 0.
cv::Vec3d ViewOffset(const std::string& layout, int view) {
  if (layout == "line") {
    const int step = (view + 1) / 2;
    return cv::Vec3d(view % 2 == 1 ? step : -step, 0, 0);
  }
  static const int kGrid[9][2] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}, {-1, 0},
                                  {0, -1}, {-1, 1}, {1, -1}, {-1, -1}};
  return cv::Vec3d(kGrid[view][0], kGrid[view][1], 0);
}

void BuildRig(Scene& scene, int views, Variation& variation) {
  const cv::Matx33d intrinsics(scene.focal, 0, scene.size.width / 2, 0, scene.focal,
                               scene.size.height / 2, 0, 0, 1);
  for (int view = 0; view < views; ++view) {
    Camera camera;
    camera.C = intrinsics;
    const cv::Vec3d centre = ViewOffset(scene.layout, view) * scene.baseline;
    if (view > 0 && scene.rotate_degrees > 0) {
      const double a = scene.rotate_degrees;
      camera.R = RotationFromVector(
          Degrees(variation.Uniform(-a, a), variation.Uniform(-a, a), variation.Uniform(-a, a)));
    }
    camera.T = -(camera.R * centre);
    scene.cameras.push_back(camera);
  }
}

double RoundToTwoDigits(double value) {
  if (value <= 0) return value;
  const double scale = std::pow(10.0, std::floor(std::log10(value)) - 1.0);
  return std::round(value / scale) * scale;
}

// Multiplies every object's motion between the instants by `factor`.
void ScaleMotion(Scene& scene, double factor) {
  for (SceneObject& object : scene.objects) {
    object.translation *= factor;
    object.rotation *= factor;
  }
}

SolverSettings ChooseSolverSettings(const Scene& scene, double motion_scale) {
  SolverSettings settings;
  settings.alpha_sf = RoundToTwoDigits(kMotionWeightPerPixel * PixelsPerUnitMotion(scene, kMiddleDepth));
  settings.alpha_z = RoundToTwoDigits(kDepthWeightPerPixel * PixelsPerUnitDepth(scene, kMiddleDepth));
  settings.alpha_w = RoundToTwoDigits(settings.alpha_z / 2.0);
  settings.max_z = 1500;  // the farthest surface lies near 800, far below 0.95·maxZ
  // Coarsest level about 100 pixels wide (narrower in proportion when the motion is scaled up, so
  // that the largest motion stays within a few pixels there), at least 3 levels and 8 rows.
  const double eta = settings.pyramid_eta;
  const double coarsest_width = 100.0 / std::max(1.0, motion_scale);
  int levels = 1 + static_cast<int>(std::floor(std::log(coarsest_width / scene.size.width) / std::log(eta)));
  levels = std::clamp(levels, 3, 12);
  while (levels > 1 && std::ceil(scene.size.height * std::pow(eta, levels - 1)) < 8) --levels;
  settings.pyramid_levels = levels;
  return settings;
}

}  // namespace

std::vector<std::string> PresetNames() {
  std::vector<std::string> names;
  for (const PresetInfo& preset : kPresets) names.emplace_back(preset.name);
  return names;
}

std::string PresetHelp() {
  std::ostringstream text;
  for (const PresetInfo& preset : kPresets) {
    char line[160];
    std::snprintf(line, sizeof(line), "  %-10s%s\n", preset.name, preset.help);
    text << line;
  }
  return text.str();
}

Scene MakeScene(const SceneOptions& options) {
  const PresetInfo& preset = FindPreset(options.preset);
  Scene scene;
  scene.preset = preset.name;
  scene.seed = options.seed;
  scene.size = options.size.area() > 0 ? options.size : cv::Size(preset.width, preset.height);
  if (scene.size.width < 16 || scene.size.height < 12) {
    throw InputError("Error: image size " + std::to_string(scene.size.width) + "x" +
                     std::to_string(scene.size.height) + " is too small (at least 16x12)");
  }
  const int views = options.views != 0 ? options.views : preset.views;
  if (views < 1 || views > 9) {
    throw InputError("Error: " + std::to_string(views) + " views requested, 1 to 9 are supported");
  }
  scene.layout = options.layout.empty() ? preset.layout : options.layout;
  if (scene.layout != "line" && scene.layout != "grid") {
    throw InputError("Error: unknown layout \"" + scene.layout + "\" (known: line, grid)");
  }
  scene.rotate_degrees = options.rotate_degrees >= 0 ? options.rotate_degrees : preset.rotate_degrees;
  if (options.baseline > 0) scene.baseline = options.baseline;
  if (options.supersampling > 0) scene.supersampling = options.supersampling;
  // The same field of view at every size: 300 pixels of focal length at 320 pixels of width.
  // Rounded to 1/1000 so that the INI and the 6-decimal calibration files hold the same value.
  scene.focal = std::round(300.0 * scene.size.width / 320.0 * 1000.0) / 1000.0;

  Variation variation(options.seed);
  const double units_per_pixel = kMiddleDepth / scene.focal;
  const std::string kind = preset.scene;
  if (kind == "sphere") {
    AddSphereScene(scene, variation, units_per_pixel);
  } else if (kind == "planes") {
    AddPlanesScene(scene, variation, units_per_pixel);
  } else {
    AddBoxesScene(scene, variation, units_per_pixel);
  }
  ScaleMotion(scene, preset.motion_scale);
  scene.noise_sigma = preset.noise_sigma;
  scene.gain_time_t = preset.gain_time_t;
  BuildRig(scene, views, variation);
  scene.solver = ChooseSolverSettings(scene, preset.motion_scale);
  return scene;
}

Pose ObjectPose(const SceneObject& object, Instant instant) {
  if (instant == Instant::kTime0) return {object.orientation, object.centre};
  return {RotationFromVector(object.rotation) * object.orientation, object.centre + object.translation};
}

cv::Vec3d MovePoint(const SceneObject& object, const cv::Vec3d& point_time0) {
  return object.centre + object.translation +
         RotationFromVector(object.rotation) * (point_time0 - object.centre);
}

double PixelsPerUnitMotion(const Scene& scene, double depth) { return scene.focal / depth; }

double PixelsPerUnitDepth(const Scene& scene, double depth) {
  return scene.focal * scene.baseline / (depth * depth);
}

}  // namespace sceneflow::synth
