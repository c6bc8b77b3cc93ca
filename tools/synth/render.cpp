#include "tools/synth/render.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include <opencv2/imgproc.hpp>

namespace sceneflow::synth {
namespace {

constexpr double kNoHit = std::numeric_limits<double>::infinity();
// Rays start this far (in ray parameter) from their origin, so a surface never hits itself.
constexpr double kMinimumT = 1e-9;

// Smallest positive root of a ray against one object in its local frame (kNoHit when none).
double IntersectLocal(const SceneObject& object, const cv::Vec3d& o, const cv::Vec3d& d) {
  switch (object.shape) {
    case Shape::kPlane: {
      if (std::abs(d[2]) < 1e-15) return kNoHit;
      const double t = -o[2] / d[2];
      if (t <= kMinimumT) return kNoHit;
      if (object.size[0] > 0 && object.size[1] > 0) {
        const cv::Vec3d p = o + t * d;
        if (std::abs(p[0]) > object.size[0] || std::abs(p[1]) > object.size[1]) return kNoHit;
      }
      return t;
    }
    case Shape::kSphere: {
      const double r = object.size[0];
      const double a = d.dot(d);
      const double b = 2.0 * o.dot(d);
      const double c = o.dot(o) - r * r;
      const double discriminant = b * b - 4.0 * a * c;
      if (discriminant < 0) return kNoHit;
      const double root = std::sqrt(discriminant);
      const double near = (-b - root) / (2.0 * a);
      if (near > kMinimumT) return near;
      const double far = (-b + root) / (2.0 * a);
      return far > kMinimumT ? far : kNoHit;
    }
    case Shape::kBox: {
      double t_near = -kNoHit;
      double t_far = kNoHit;
      for (int axis = 0; axis < 3; ++axis) {
        const double half = object.size[axis];
        if (std::abs(d[axis]) < 1e-15) {
          if (std::abs(o[axis]) > half) return kNoHit;
          continue;
        }
        double t1 = (-half - o[axis]) / d[axis];
        double t2 = (half - o[axis]) / d[axis];
        if (t1 > t2) std::swap(t1, t2);
        t_near = std::max(t_near, t1);
        t_far = std::min(t_far, t2);
      }
      if (t_near > t_far) return kNoHit;
      if (t_near > kMinimumT) return t_near;
      return t_far > kMinimumT ? t_far : kNoHit;
    }
  }
  return kNoHit;
}

// Integer lattice hash to [0, 1).
double LatticeValue(unsigned seed, int64_t x, int64_t y, int64_t z) {
  uint64_t h = seed * 0x9E3779B97F4A7C15ull;
  h ^= static_cast<uint64_t>(x) * 0xC2B2AE3D27D4EB4Full;
  h = (h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ull;
  h ^= static_cast<uint64_t>(y) * 0x165667B19E3779F9ull;
  h = (h ^ (h >> 32)) * 0x94D049BB133111EBull;
  h ^= static_cast<uint64_t>(z) * 0x27D4EB2F165667C5ull;
  h = (h ^ (h >> 31)) * 0xBF58476D1CE4E5B9ull;
  h ^= h >> 29;
  return static_cast<double>(h >> 11) * (1.0 / 9007199254740992.0);
}

double Fade(double t) { return t * t * t * (t * (t * 6.0 - 15.0) + 10.0); }

// Smoothly interpolated value noise on the unit lattice, 0 to 1.
double ValueNoise(unsigned seed, const cv::Vec3d& p) {
  const double fx = std::floor(p[0]), fy = std::floor(p[1]), fz = std::floor(p[2]);
  const auto ix = static_cast<int64_t>(fx), iy = static_cast<int64_t>(fy), iz = static_cast<int64_t>(fz);
  const double tx = Fade(p[0] - fx), ty = Fade(p[1] - fy), tz = Fade(p[2] - fz);
  double corners[2][2][2];
  for (int a = 0; a < 2; ++a)
    for (int b = 0; b < 2; ++b)
      for (int c = 0; c < 2; ++c) corners[a][b][c] = LatticeValue(seed, ix + a, iy + b, iz + c);
  auto lerp = [](double u, double v, double t) { return u + (v - u) * t; };
  const double x00 = lerp(corners[0][0][0], corners[1][0][0], tx);
  const double x10 = lerp(corners[0][1][0], corners[1][1][0], tx);
  const double x01 = lerp(corners[0][0][1], corners[1][0][1], tx);
  const double x11 = lerp(corners[0][1][1], corners[1][1][1], tx);
  return lerp(lerp(x00, x10, ty), lerp(x01, x11, ty), tz);
}

}  // namespace

RayHit CastRay(const Scene& scene, Instant instant, const cv::Vec3d& origin,
               const cv::Vec3d& direction) {
  RayHit best;
  best.t = kNoHit;
  for (size_t i = 0; i < scene.objects.size(); ++i) {
    const SceneObject& object = scene.objects[i];
    const Pose pose = ObjectPose(object, instant);
    const cv::Vec3d o = pose.orientation.t() * (origin - pose.centre);
    const cv::Vec3d d = pose.orientation.t() * direction;
    const double t = IntersectLocal(object, o, d);
    if (t < best.t) {
      best.t = t;
      best.object = static_cast<int>(i);
      best.local = o + t * d;
    }
  }
  return best;
}

double TextureValue(const Texture& texture, const cv::Vec3d& local) {
  // Four octaves of value noise: blobs of about 40, 10, 5 and 2.5 pixels at the middle depth, so
  // that coarse pyramid levels keep structure and fine levels keep strong gradients.
  const cv::Vec3d p = local * (1.0 / texture.cell);
  const double noise = 0.35 * ValueNoise(texture.seed + 3u, p * 0.25 + cv::Vec3d(7.1, 2.9, 13.3)) +
                       0.35 * ValueNoise(texture.seed, p) +
                       0.2 * ValueNoise(texture.seed + 1u, p * 2.0 + cv::Vec3d(17.3, 5.1, 9.7)) +
                       0.1 * ValueNoise(texture.seed + 2u, p * 4.0 + cv::Vec3d(3.7, 11.9, 2.3));
  return std::clamp(texture.mean + texture.contrast * (noise - 0.5), 5.0, 250.0);
}

cv::Vec3d PixelRay(const Camera& camera, double x, double y) {
  const cv::Vec3d in_camera((x - camera.C(0, 2)) / camera.C(0, 0), (y - camera.C(1, 2)) / camera.C(1, 1),
                            1.0);
  return camera.R.t() * in_camera;
}

bool ProjectPoint(const Camera& camera, const cv::Vec3d& point, cv::Point2d& pixel) {
  const cv::Vec3d p = camera.R * point + camera.T;
  if (p[2] <= 0) return false;
  pixel.x = camera.C(0, 0) * p[0] / p[2] + camera.C(0, 2);
  pixel.y = camera.C(1, 1) * p[1] / p[2] + camera.C(1, 2);
  return true;
}

cv::Mat RenderView(const Scene& scene, int view, Instant instant) {
  const Camera& camera = scene.cameras[view];
  const cv::Vec3d origin = camera.Centre();
  const int n = std::max(1, scene.supersampling);
  const double gain = instant == Instant::kTimeT ? scene.gain_time_t : 1.0;
  // Sensor noise drawn per view and instant from the scene's seed, so a scene renders identically
  // every time.
  std::mt19937 engine(scene.seed * 104729u + static_cast<unsigned>(view) * 2u +
                      (instant == Instant::kTimeT ? 1u : 0u));
  std::normal_distribution<double> noise(0.0, scene.noise_sigma > 0 ? scene.noise_sigma : 1.0);
  cv::Mat image(scene.size, CV_8U);
  for (int y = 0; y < image.rows; ++y) {
    uint8_t* row = image.ptr<uint8_t>(y);
    for (int x = 0; x < image.cols; ++x) {
      // Regular n×n subsamples spread over the pixel's square, centred on the pixel centre.
      double sum = 0;
      for (int sy = 0; sy < n; ++sy) {
        for (int sx = 0; sx < n; ++sx) {
          const double px = x - 0.5 + (sx + 0.5) / n;
          const double py = y - 0.5 + (sy + 0.5) / n;
          const RayHit hit = CastRay(scene, instant, origin, PixelRay(camera, px, py));
          if (hit.object >= 0) sum += TextureValue(scene.objects[hit.object].texture, hit.local);
        }
      }
      double value = gain * sum / (n * n);
      if (scene.noise_sigma > 0) value += noise(engine);
      row[x] = cv::saturate_cast<uint8_t>(value);
    }
  }
  return image;
}

cv::Mat RenderObjectIds(const Scene& scene, int view, Instant instant) {
  const Camera& camera = scene.cameras[view];
  const cv::Vec3d origin = camera.Centre();
  cv::Mat ids(scene.size, CV_32S);
  for (int y = 0; y < ids.rows; ++y) {
    int* row = ids.ptr<int>(y);
    for (int x = 0; x < ids.cols; ++x) row[x] = CastRay(scene, instant, origin, PixelRay(camera, x, y)).object;
  }
  return ids;
}

namespace {

// True when every pixel within `margin` of (x, y) exists and shows `object`.
bool SurroundedBy(const cv::Mat& ids, int x, int y, int margin, int object) {
  if (x - margin < 0 || y - margin < 0 || x + margin >= ids.cols || y + margin >= ids.rows) return false;
  for (int dy = -margin; dy <= margin; ++dy) {
    const int* row = ids.ptr<int>(y + dy);
    for (int dx = -margin; dx <= margin; ++dx) {
      if (row[x + dx] != object) return false;
    }
  }
  return true;
}

// True when the point, on `object`, is the nearest surface seen from the view at the instant, lands
// inside the image and away from that view's silhouettes.
bool SeenCleanly(const Scene& scene, int view, Instant instant, const cv::Mat& ids,
                 const cv::Vec3d& point, int object, int margin) {
  const Camera& camera = scene.cameras[view];
  cv::Point2d pixel;
  if (!ProjectPoint(camera, point, pixel)) return false;
  const int x = static_cast<int>(std::lround(pixel.x));
  const int y = static_cast<int>(std::lround(pixel.y));
  if (!SurroundedBy(ids, x, y, margin, object)) return false;
  // The ray towards the point reaches it (t = 1) before any other surface.
  const RayHit hit = CastRay(scene, instant, camera.Centre(), point - camera.Centre());
  return hit.object == object && hit.t > 1.0 - 1e-6;
}

}  // namespace

GroundTruth ComputeGroundTruth(const Scene& scene, int silhouette_margin) {
  const cv::Size size = scene.size;
  GroundTruth truth;
  truth.Z = cv::Mat::zeros(size, CV_64F);
  truth.U = cv::Mat::zeros(size, CV_64F);
  truth.V = cv::Mat::zeros(size, CV_64F);
  truth.W = cv::Mat::zeros(size, CV_64F);
  truth.valid = cv::Mat::zeros(size, CV_8U);
  truth.object = RenderObjectIds(scene, 0, Instant::kTime0);

  const int views = static_cast<int>(scene.cameras.size());
  std::vector<cv::Mat> ids0(views), idst(views);
  for (int view = 0; view < views; ++view) {
    ids0[view] = view == 0 ? truth.object : RenderObjectIds(scene, view, Instant::kTime0);
    idst[view] = RenderObjectIds(scene, view, Instant::kTimeT);
  }

  const Camera& reference = scene.cameras[0];
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      const cv::Vec3d direction = PixelRay(reference, x, y);
      const RayHit hit = CastRay(scene, Instant::kTime0, reference.Centre(), direction);
      if (hit.object < 0) continue;
      const SceneObject& object = scene.objects[hit.object];
      const cv::Vec3d point0 = reference.Centre() + hit.t * direction;
      const cv::Vec3d pointt = MovePoint(object, point0);
      const cv::Vec3d motion = pointt - point0;
      truth.Z.at<double>(y, x) = point0[2];
      truth.U.at<double>(y, x) = motion[0];
      truth.V.at<double>(y, x) = motion[1];
      truth.W.at<double>(y, x) = motion[2];

      bool valid = SurroundedBy(truth.object, x, y, silhouette_margin, hit.object);
      for (int view = 0; valid && view < views; ++view) {
        if (view > 0) {
          valid = SeenCleanly(scene, view, Instant::kTime0, ids0[view], point0, hit.object, silhouette_margin);
        }
        valid = valid &&
                SeenCleanly(scene, view, Instant::kTimeT, idst[view], pointt, hit.object, silhouette_margin);
      }
      if (valid) truth.valid.at<uint8_t>(y, x) = 255;
    }
  }
  return truth;
}

cv::Mat MakeStartDepth(const cv::Mat& depth, unsigned seed) {
  const double sigma = std::max(1.0, depth.cols / 40.0);
  cv::Mat blurred;
  cv::GaussianBlur(depth, blurred, cv::Size(), sigma, sigma, cv::BORDER_REPLICATE);

  std::mt19937 engine(seed * 104729u + 3u);
  std::normal_distribution<double> normal(0.0, 1.0);
  cv::Mat noise(depth.size(), CV_64F);
  for (int y = 0; y < noise.rows; ++y) {
    double* row = noise.ptr<double>(y);
    for (int x = 0; x < noise.cols; ++x) row[x] = normal(engine);
  }
  cv::GaussianBlur(noise, noise, cv::Size(), 2.0 * sigma, 2.0 * sigma, cv::BORDER_REPLICATE);
  cv::Scalar mean, deviation;
  cv::meanStdDev(noise, mean, deviation);
  const double target = 0.015 * cv::mean(depth)[0];
  if (deviation[0] > 0) noise = (noise - mean[0]) * (target / deviation[0]);
  return blurred + noise;
}

}  // namespace sceneflow::synth
