#include "solver/rigid_background.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "geometry/projection.h"
#include "geometry/projection_derivative.h"
#include "parallel/worker_pool.h"

namespace sceneflow {
namespace {

// At most this many start pixels, on a regular grid, enter the fit.
constexpr int kMostFitSamples = 20000;
// The fit is trusted when the motion it finds explains at least this share of the sampled pixels
// and this many of them.
constexpr double kLeastInlierShare = 0.2;
constexpr int kLeastInliers = 50;
constexpr int kRansacIterations = 300;
constexpr double kRansacConfidence = 0.999;

// Census signature: 16 comparisons of a pixel with the pixels at (±1, ±3) × (±1, ±3) around it,
// counted as brighter only by more than this many grey levels, so that flat, noisy areas give
// stable signatures.
constexpr double kCensusThreshold = 2.0;
// Side of the square window over which the signature distances of a candidate are averaged.
constexpr int kCostWindow = 5;
// The camera's motion keeps a pixel unless the start's cost (differing signature bits per pixel of
// the window, summed over the images) is lower by more than this share of the start's median
// cost: a tie, or a difference within what the images' own misfit under the start makes of it,
// goes to the motion that most of the scene shares.
constexpr double kStaticMarginShare = 0.4;

double Median(const cv::Mat& field) {
  std::vector<float> values(field.begin<float>(), field.end<float>());
  if (values.empty()) return 0;
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

cv::Matx33d LevelIntrinsics(const cv::Mat& C, double s) {
  const cv::Matx33d c(C);
  return {s * c(0, 0), s * c(0, 1), s * c(0, 2), 0, s * c(1, 1), s * c(1, 2), 0, 0, 1};
}

// The start's time-0 points in view 0's camera frame and where their start motion puts them in
// view 0's image at time t, on a regular grid of the level.
struct FitSamples {
  std::vector<cv::Point3d> points;  // time-0 points in view 0's camera frame
  std::vector<cv::Point2d> targets;
};

FitSamples SampleStart(const EstimateProjection& projection, const cv::Matx33d& R0,
                       const cv::Vec3d& T0, double far_depth) {
  const cv::Size size = projection.Depth.size();
  const int step = std::max(1, static_cast<int>(std::ceil(std::sqrt(
                                   static_cast<double>(size.area()) / kMostFitSamples))));
  FitSamples samples;
  for (int y = step / 2; y < size.height; y += step) {
    const float* z = projection.Depth.ptr<float>(y);
    const float* px = projection.RefPointX.ptr<float>(y);
    const float* py = projection.RefPointY.ptr<float>(y);
    const float* mx = projection.MovedPointX.ptr<float>(y);
    const float* my = projection.MovedPointY.ptr<float>(y);
    const float* mz = projection.MovedPointZ.ptr<float>(y);
    const float* u = projection.MapXt[0].ptr<float>(y);
    const float* v = projection.MapYt[0].ptr<float>(y);
    for (int x = step / 2; x < size.width; x += step) {
      if (!(z[x] > 0 && z[x] < far_depth) || !std::isfinite(u[x]) || !std::isfinite(v[x])) continue;
      const cv::Vec3d point = R0 * cv::Vec3d(px[x], py[x], z[x]) + T0;
      const cv::Vec3d moved = R0 * cv::Vec3d(mx[x], my[x], mz[x]) + T0;
      if (!(point[2] > 0 && moved[2] > 0)) continue;
      samples.points.emplace_back(point[0], point[1], point[2]);
      samples.targets.emplace_back(u[x], v[x]);
    }
  }
  return samples;
}

int CountInliers(const FitSamples& samples, const cv::Matx33d& K, const cv::Vec3d& rvec,
                 const cv::Vec3d& tvec, std::vector<cv::Point3d>* points,
                 std::vector<cv::Point2d>* targets) {
  std::vector<cv::Point2d> projected;
  cv::projectPoints(samples.points, rvec, tvec, K, cv::noArray(), projected);
  int inliers = 0;
  for (size_t n = 0; n < projected.size(); ++n) {
    if (cv::norm(projected[n] - samples.targets[n]) > kMotionFitTolerance) continue;
    ++inliers;
    if (points != nullptr) points->push_back(samples.points[n]);
    if (targets != nullptr) targets->push_back(samples.targets[n]);
  }
  return inliers;
}

// 16-bit census signatures of an 8-bit or float grey image (replicated border).
cv::Mat CensusSignatures(const cv::Mat& image) {
  cv::Mat grey;
  image.convertTo(grey, CV_32F);
  constexpr int kReach = 3;
  cv::Mat padded;
  cv::copyMakeBorder(grey, padded, kReach, kReach, kReach, kReach, cv::BORDER_REPLICATE);
  cv::Mat signatures(grey.size(), CV_16U);
  static const int kOffsets[4] = {-3, -1, 1, 3};
  ParallelRows(grey.rows, [&](int begin, int end) {
    for (int y = begin; y < end; ++y) {
      std::uint16_t* out = signatures.ptr<std::uint16_t>(y);
      for (int x = 0; x < grey.cols; ++x) {
        const float centre = padded.ptr<float>(y + kReach)[x + kReach];
        std::uint16_t code = 0;
        int bit = 0;
        for (int dy : kOffsets) {
          const float* row = padded.ptr<float>(y + kReach + dy);
          for (int dx : kOffsets) {
            if (row[x + kReach + dx] > centre + kCensusThreshold) code |= 1u << bit;
            ++bit;
          }
        }
        out[x] = code;
      }
    }
  });
  return signatures;
}

// The signature distance between the `reference` signatures and those of `image` sampled at
// (map_x, map_y), averaged over the cost window, added into `cost`.
void AddCensusCost(const cv::Mat& image, const cv::Mat& map_x, const cv::Mat& map_y,
                   const cv::Mat& reference, cv::Mat& cost) {
  cv::Mat warped;
  cv::remap(image, warped, map_x, map_y, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  // Smoothed as the solver smooths its warped images, to match the smoothed reference image.
  cv::GaussianBlur(warped, warped, cv::Size(3, 3), 0, 0, cv::BORDER_REPLICATE);
  const cv::Mat signatures = CensusSignatures(warped);
  cv::Mat distance(map_x.size(), CV_32F);
  for (int y = 0; y < distance.rows; ++y) {
    const std::uint16_t* a = signatures.ptr<std::uint16_t>(y);
    const std::uint16_t* b = reference.ptr<std::uint16_t>(y);
    float* d = distance.ptr<float>(y);
    for (int x = 0; x < distance.cols; ++x) d[x] = static_cast<float>(__builtin_popcount(a[x] ^ b[x]));
  }
  cv::Mat window;
  cv::boxFilter(distance, window, CV_32F, cv::Size(kCostWindow, kCostWindow), cv::Point(-1, -1),
                true, cv::BORDER_REPLICATE);
  cost += window;
}

// The census cost of a candidate: the images of every view sampled where the candidate puts the
// point, views 1..N-1 at time 0 and every view at time t, against the reference signatures.
cv::Mat CandidateCost(const LevelGeometry& geometry, int view_count, const SceneFields& fields,
                      const std::vector<cv::Mat>& time0_images,
                      const std::vector<cv::Mat>& time_t_images, const cv::Mat& reference) {
  EstimateProjection projection;
  ProjectEstimate(geometry, view_count, fields, nullptr, projection);
  cv::Mat cost = cv::Mat::zeros(fields.Z.size(), CV_32F);
  for (int view = 1; view < view_count; ++view) {
    AddCensusCost(time0_images[view], projection.MapX0[view], projection.MapY0[view], reference,
                  cost);
  }
  for (int view = 0; view < view_count; ++view) {
    AddCensusCost(time_t_images[view], projection.MapXt[view], projection.MapYt[view], reference,
                  cost);
  }
  return cost;
}

// The depth at which the camera's motion puts each pixel's point at the start's depth at time t
// (Z + W): with the point Z·ray, its depth at time t is Z·(R₂·ray) + T₂. Where that has no
// solution in front of the camera short of far_depth, the start depth stays.
cv::Mat DepthFromTimeT(const CameraMotion& motion, const LevelGeometry& geometry,
                       const SceneFields& start, double far_depth) {
  const double s = geometry.level_factor;
  const ReferenceIntrinsics& in = geometry.intrinsics;
  cv::Mat depth = start.Z.clone();
  for (int y = 0; y < depth.rows; ++y) {
    const float* gx = geometry.gridX.ptr<float>(y);
    const float* gy = geometry.gridY.ptr<float>(y);
    const float* w = start.W.ptr<float>(y);
    float* z = depth.ptr<float>(y);
    for (int x = 0; x < depth.cols; ++x) {
      const cv::Vec3d ray((gx[x] - s * in.u0) / (s * in.f0ku), (gy[x] - s * in.v0) / (s * in.f0kv), 1);
      const double along = motion.R(2, 0) * ray[0] + motion.R(2, 1) * ray[1] + motion.R(2, 2);
      const double candidate = (z[x] + w[x] - motion.T[2]) / along;
      if (along > 0 && candidate > 0 && candidate < far_depth) z[x] = static_cast<float>(candidate);
    }
  }
  return depth;
}

}  // namespace

double StartCensusMisfit(const LevelGeometry& geometry, int view_count, const SceneFields& start,
                         const std::vector<cv::Mat>& time0_images,
                         const std::vector<cv::Mat>& time_t_images) {
  const cv::Mat reference = CensusSignatures(time0_images[0]);
  const cv::Mat cost =
      CandidateCost(geometry, view_count, start, time0_images, time_t_images, reference);
  return Median(cost) / (2 * view_count - 1);
}

RigidBackground StartMotionBackground(const SceneFields& start) {
  RigidBackground background;
  background.static_pixels = cv::Mat::zeros(start.Z.size(), CV_8U);
  background.U = start.U.clone();
  background.V = start.V.clone();
  background.W = start.W.clone();
  return background;
}

std::optional<CameraMotion> FitCameraMotion(const LevelGeometry& geometry,
                                            const SceneFields& start, double far_depth) {
  EstimateProjection projection;
  ProjectEstimate(geometry, 1, start, nullptr, projection);
  const cv::Matx33d R0(geometry.calibration.R[0]);
  const cv::Vec3d T0(geometry.calibration.T[0]);
  const FitSamples samples = SampleStart(projection, R0, T0, far_depth);
  CameraMotion motion;
  motion.samples = static_cast<int>(samples.points.size());
  if (motion.samples < kLeastInliers) return std::nullopt;

  const cv::Matx33d K = LevelIntrinsics(geometry.calibration.C[0], geometry.level_factor);
  cv::Vec3d rvec(0, 0, 0), tvec(0, 0, 0);
  std::vector<int> ransac_inliers;
  const bool found = cv::solvePnPRansac(samples.points, samples.targets, K, cv::noArray(), rvec,
                                        tvec, false, kRansacIterations, kMotionFitTolerance,
                                        kRansacConfidence, ransac_inliers, cv::SOLVEPNP_EPNP);
  if (!found) return std::nullopt;
  std::vector<cv::Point3d> points;
  std::vector<cv::Point2d> targets;
  CountInliers(samples, K, rvec, tvec, &points, &targets);
  if (static_cast<int>(points.size()) < kLeastInliers) return std::nullopt;
  cv::solvePnPRefineLM(points, targets, K, cv::noArray(), rvec, tvec);
  motion.inliers = CountInliers(samples, K, rvec, tvec, nullptr, nullptr);
  if (motion.inliers < kLeastInliers || motion.inliers < kLeastInlierShare * motion.samples) {
    return std::nullopt;
  }

  // The fit maps view-0 camera coordinates at time 0 to those at time t: q' = Rc·q + tc. With
  // q = R0·P + T0 in both, the reference-frame motion is P' = R0ᵀ·Rc·R0·P + R0ᵀ·(Rc·T0 + tc − T0).
  cv::Matx33d Rc;
  cv::Rodrigues(rvec, Rc);
  motion.R = R0.t() * Rc * R0;
  motion.T = R0.t() * (Rc * T0 + tvec - T0);
  return motion;
}

void CameraMotionFields(const CameraMotion& motion, const LevelGeometry& geometry,
                        const cv::Mat& Z, cv::Mat& U, cv::Mat& V, cv::Mat& W) {
  cv::Mat X, Y;
  BackProjectReference(Z, geometry.gridX, geometry.gridY, geometry.level_factor,
                       geometry.intrinsics, X, Y);
  for (cv::Mat* field : {&U, &V, &W}) field->create(Z.size(), CV_32F);
  const cv::Matx33d& R = motion.R;
  for (int y = 0; y < Z.rows; ++y) {
    const float* px = X.ptr<float>(y);
    const float* py = Y.ptr<float>(y);
    const float* pz = Z.ptr<float>(y);
    float* u = U.ptr<float>(y);
    float* v = V.ptr<float>(y);
    float* w = W.ptr<float>(y);
    for (int x = 0; x < Z.cols; ++x) {
      const cv::Vec3d p(px[x], py[x], pz[x]);
      const cv::Vec3d moved = R * p + motion.T - p;
      u[x] = static_cast<float>(moved[0]);
      v[x] = static_cast<float>(moved[1]);
      w[x] = static_cast<float>(moved[2]);
    }
  }
}

cv::Mat ChooseStaticPixels(const CameraMotion& motion, const LevelGeometry& geometry,
                           int view_count, const std::vector<cv::Mat>& time0_images,
                           const std::vector<cv::Mat>& time_t_images, double far_depth,
                           SceneFields& start) {
  SceneFields moved{cv::Mat(), cv::Mat(), cv::Mat(), start.Z};
  CameraMotionFields(motion, geometry, moved.Z, moved.U, moved.V, moved.W);
  SceneFields deepened{cv::Mat(), cv::Mat(), cv::Mat(),
                       DepthFromTimeT(motion, geometry, start, far_depth)};
  CameraMotionFields(motion, geometry, deepened.Z, deepened.U, deepened.V, deepened.W);

  const cv::Mat reference = CensusSignatures(time0_images[0]);
  const auto cost = [&](const SceneFields& fields) {
    return CandidateCost(geometry, view_count, fields, time0_images, time_t_images, reference);
  };
  const cv::Mat start_cost = cost(start), moved_cost = cost(moved), deepened_cost = cost(deepened);
  const double margin = kStaticMarginShare * Median(start_cost);
  cv::Mat static_pixels(start.Z.size(), CV_8U);
  cv::Mat take_moved(start.Z.size(), CV_8U), take_deepened(start.Z.size(), CV_8U);
  for (int y = 0; y < start.Z.rows; ++y) {
    const float* a = start_cost.ptr<float>(y);
    const float* b = moved_cost.ptr<float>(y);
    const float* c = deepened_cost.ptr<float>(y);
    std::uint8_t* mask = static_pixels.ptr<std::uint8_t>(y);
    std::uint8_t* first = take_moved.ptr<std::uint8_t>(y);
    std::uint8_t* second = take_deepened.ptr<std::uint8_t>(y);
    for (int x = 0; x < start.Z.cols; ++x) {
      const bool rigid = b[x] <= a[x] + margin;
      const float best = rigid ? b[x] : a[x];
      second[x] = c[x] < best ? 255 : 0;
      first[x] = rigid && !second[x] ? 255 : 0;
      mask[x] = first[x] | second[x];
    }
  }
  for (const auto& [candidate, where] : {std::pair{&moved, &take_moved}, {&deepened, &take_deepened}}) {
    candidate->U.copyTo(start.U, *where);
    candidate->V.copyTo(start.V, *where);
    candidate->W.copyTo(start.W, *where);
  }
  cv::Mat depth = start.Z.clone();
  deepened.Z.copyTo(depth, take_deepened);
  start.Z = depth;
  return static_pixels;
}

std::string DescribeRigidBackground(const RigidBackground& background) {
  const CameraMotion& m = background.motion;
  cv::Vec3d rvec;
  cv::Rodrigues(m.R, rvec);
  const double angle = cv::norm(rvec);
  const cv::Vec3d axis = angle > 0 ? rvec / angle : cv::Vec3d(0, 0, 1);
  const double static_share =
      background.static_pixels.empty()
          ? 0
          : 100.0 * cv::countNonZero(background.static_pixels) / background.static_pixels.total();
  char text[400];
  std::snprintf(text, sizeof(text),
                "camera motion: rotation %.4g deg about (%.3f, %.3f, %.3f), translation (%.6g, "
                "%.6g, %.6g); it explains %d of %d sampled start pixels; %.1f %% of the pixels "
                "move with it",
                angle * 180.0 / CV_PI, axis[0], axis[1], axis[2], m.T[0], m.T[1], m.T[2],
                m.inliers, m.samples, static_share);
  return text;
}

void UpdateMotionTargets(const CameraMotion& motion, const MotionPriorLevel& level,
                         const cv::Mat& RefPointX, const cv::Mat& RefPointY, const cv::Mat& Z,
                         const cv::Mat& RayX, const cv::Mat& RayY,
                         const std::vector<cv::Mat>& projection, MotionTargets& targets) {
  const cv::Size size = Z.size();
  cv::Mat QX(size, CV_32F), QY(size, CV_32F), QZ(size, CV_32F);
  cv::Mat DX(size, CV_32F), DY(size, CV_32F), DZ(size, CV_32F);
  const cv::Matx33d& R = motion.R;
  ParallelRows(size.height, [&](int begin, int end) {
    for (int y = begin; y < end; ++y) {
      const std::uint8_t* fixed = level.StaticPixels.ptr<std::uint8_t>(y);
      const float* px = RefPointX.ptr<float>(y);
      const float* py = RefPointY.ptr<float>(y);
      const float* pz = Z.ptr<float>(y);
      const float* rx = RayX.ptr<float>(y);
      const float* ry = RayY.ptr<float>(y);
      const float* su = level.StartU.ptr<float>(y);
      const float* sv = level.StartV.ptr<float>(y);
      const float* sw = level.StartW.ptr<float>(y);
      float* qx = QX.ptr<float>(y);
      float* qy = QY.ptr<float>(y);
      float* qz = QZ.ptr<float>(y);
      float* dx = DX.ptr<float>(y);
      float* dy = DY.ptr<float>(y);
      float* dz = DZ.ptr<float>(y);
      for (int x = 0; x < size.width; ++x) {
        const cv::Vec3d p(px[x], py[x], pz[x]), ray(rx[x], ry[x], 1.0);
        const cv::Vec3d q = fixed[x] ? R * p + motion.T : p + cv::Vec3d(su[x], sv[x], sw[x]);
        const cv::Vec3d d = fixed[x] ? R * ray : ray;
        qx[x] = static_cast<float>(q[0]);
        qy[x] = static_cast<float>(q[1]);
        qz[x] = static_cast<float>(q[2]);
        dx[x] = static_cast<float>(d[0]);
        dy[x] = static_cast<float>(d[1]);
        dz[x] = static_cast<float>(d[2]);
      }
    }
  });
  const int views = static_cast<int>(projection.size());
  for (auto* list : {&targets.MapX, &targets.MapY, &targets.DxDZ, &targets.DyDZ}) {
    list->resize(views);
  }
  for (int i = 0; i < views; ++i) {
    const cv::Matx34d P(projection[i]);
    targets.MapX[i].create(size, CV_32F);
    targets.MapY[i].create(size, CV_32F);
    for (int y = 0; y < size.height; ++y) {
      const float* qx = QX.ptr<float>(y);
      const float* qy = QY.ptr<float>(y);
      const float* qz = QZ.ptr<float>(y);
      float* u = targets.MapX[i].ptr<float>(y);
      float* v = targets.MapY[i].ptr<float>(y);
      for (int x = 0; x < size.width; ++x) {
        const double w = P(2, 0) * qx[x] + P(2, 1) * qy[x] + P(2, 2) * qz[x] + P(2, 3);
        u[x] = static_cast<float>((P(0, 0) * qx[x] + P(0, 1) * qy[x] + P(0, 2) * qz[x] + P(0, 3)) / w);
        v[x] = static_cast<float>((P(1, 0) * qx[x] + P(1, 1) * qy[x] + P(1, 2) * qz[x] + P(1, 3)) / w);
      }
    }
    ProjectionDerivative(projection[i], QX, QY, QZ, DX, DY, DZ, 0, targets.DxDZ[i]);
    ProjectionDerivative(projection[i], QX, QY, QZ, DX, DY, DZ, 1, targets.DyDZ[i]);
  }
}

}  // namespace sceneflow
