#pragma once

#include <opencv2/core.hpp>

#include "tools/synth/scene.h"

namespace sceneflow::synth {

// The nearest surface along a ray origin + t·direction (t > 0).
struct RayHit {
  double t = 0;
  int object = -1;  // index into Scene::objects; -1 when the ray hits nothing
  cv::Vec3d local;  // hit point in the object's local frame
};

// Intersects a ray with every object at the given instant and returns the nearest hit.
RayHit CastRay(const Scene& scene, Instant instant, const cv::Vec3d& origin,
               const cv::Vec3d& direction);

// Grey level of an object's texture at a local point, 0 to 255.
double TextureValue(const Texture& texture, const cv::Vec3d& local);

// Ray through pixel (x, y) of a view (integer coordinates are pixel centres), in the reference
// frame; its length makes t the depth in the view's camera frame.
cv::Vec3d PixelRay(const Camera& camera, double x, double y);

// Renders a view at an instant as an 8-bit grey image, averaging supersampling² rays per pixel,
// then applies the scene's sensor model (gain at time t, noise).
cv::Mat RenderView(const Scene& scene, int view, Instant instant);

// Index of the object seen through each pixel centre (CV_32S, -1 for none).
cv::Mat RenderObjectIds(const Scene& scene, int view, Instant instant);

// Ground truth on the reference view's full-size grid (all CV_64F but `valid` and `object`).
struct GroundTruth {
  cv::Mat Z, U, V, W;  // depth of the point seen at each pixel centre at time 0, and its motion
  cv::Mat object;      // CV_32S: object seen, -1 for none
  cv::Mat valid;       // CV_8U: 255 where the point is visible in every view at both instants,
                       // lands inside every image and is away from silhouettes; else 0
};

// Computes depth, motion and validity for view 0. `silhouette_margin` is the distance in pixels
// within which a different object (or none) makes a pixel invalid.
GroundTruth ComputeGroundTruth(const Scene& scene, int silhouette_margin = 2);

// A start depth as a user would have it: the truth blurred (sigma width/40) plus smooth noise
// with a standard deviation of 1.5 % of the mean depth, drawn from the seed.
cv::Mat MakeStartDepth(const cv::Mat& depth, unsigned seed);

// Projects a reference-frame point into a view (pixel coordinates; false when behind the camera).
bool ProjectPoint(const Camera& camera, const cv::Vec3d& point, cv::Point2d& pixel);

}  // namespace sceneflow::synth
