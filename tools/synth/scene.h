#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace sceneflow::synth {

// The two instants of a scene.
enum class Instant { kTime0, kTimeT };

enum class Shape {
  kPlane,   // the local z = 0 plane; a rectangle when both half sizes are positive, else unbounded
  kSphere,  // radius size[0] around the local origin
  kBox,     // half extents size[0], size[1], size[2] along the local axes
};

// A solid texture attached to an object: it is evaluated at the object's local coordinates, so it
// travels with the object. Intensity does not depend on viewing direction or lighting.
struct Texture {
  unsigned seed = 1;
  double cell = 10.0;   // lattice spacing of the main noise octave, in scene units
  double mean = 128.0;  // mean grey level
  double contrast = 340.0;
};

// A rigid object. At time 0 a local point x sits at centre + orientation·x. Between time 0 and
// time t it turns by the rotation vector `rotation` about its centre and moves by `translation`.
struct SceneObject {
  std::string name;
  Shape shape = Shape::kPlane;
  cv::Vec3d centre;
  cv::Matx33d orientation = cv::Matx33d::eye();
  cv::Vec3d size;
  cv::Vec3d translation;
  cv::Vec3d rotation;
  Texture texture;
};

// A calibrated view: a point P of the reference frame has camera coordinates R·P + T and lands at
// pixel (fx·p.x/p.z + cx, fy·p.y/p.z + cy) with fx = C(0,0), fy = C(1,1), cx = C(0,2), cy = C(1,2).
// Integer pixel coordinates are pixel centres.
struct Camera {
  cv::Matx33d C = cv::Matx33d::eye();
  cv::Matx33d R = cv::Matx33d::eye();
  cv::Vec3d T;

  cv::Vec3d Centre() const { return -(R.t() * T); }
};

// Solver settings written into the scene's INI: they depend on the scene's units and size.
struct SolverSettings {
  double alpha_sf = 100;
  double alpha_w = 100;
  double alpha_z = 100;
  double max_z = 950;
  double pyramid_eta = 0.8;
  int pyramid_levels = 5;
  int max_iter_outer = 2;
  int max_iter_inner = 10;
  int max_iter_sor = 20;
  double omega_sor = 1.6;
};

// A complete synthetic scene: objects, the rig (view 0 is the reference frame: R = I, T = 0), the
// image size and how many rays are averaged per pixel (supersampling × supersampling).
struct Scene {
  std::string preset;
  unsigned seed = 1;
  cv::Size size;
  int supersampling = 4;
  double focal = 300;
  double baseline = 40;
  std::string layout = "line";
  double rotate_degrees = 0;
  std::vector<SceneObject> objects;
  std::vector<Camera> cameras;
  SolverSettings solver;
  // Sensor model applied to the rendered images: Gaussian noise of this standard deviation in
  // grey levels (0: none), drawn from the seed, view and instant; and a gain on the images of
  // time t (1: none), as when the exposure or the light changes between the instants.
  double noise_sigma = 0;
  double gain_time_t = 1;
};

// Options of sceneflow-synth. Values left at 0 (or empty) take the preset's choice.
struct SceneOptions {
  std::string preset = "sphere2";
  unsigned seed = 1;
  cv::Size size;
  int views = 0;
  std::string layout;
  double rotate_degrees = -1;  // below 0: the preset's choice
  double baseline = 0;
  int supersampling = 0;
};

// Names of the presets, for the usage text.
std::vector<std::string> PresetNames();

// One line per preset describing it, for the usage text.
std::string PresetHelp();

// Builds the scene of a preset, with the seed's variation of positions, motions and textures.
// Throws InputError on an unknown preset, a view count outside 1..9, an unknown layout or a size
// below 16×12.
Scene MakeScene(const SceneOptions& options);

// Where the object sits at an instant: local point x is at centre + orientation·x.
struct Pose {
  cv::Matx33d orientation;
  cv::Vec3d centre;
};
Pose ObjectPose(const SceneObject& object, Instant instant);

// Where a point on the object at time 0 is at time t.
cv::Vec3d MovePoint(const SceneObject& object, const cv::Vec3d& point_time0);

// Pixel shift per scene unit at a depth: of U (or V) in view 0, and of Z along the baseline.
double PixelsPerUnitMotion(const Scene& scene, double depth);
double PixelsPerUnitDepth(const Scene& scene, double depth);

}  // namespace sceneflow::synth
