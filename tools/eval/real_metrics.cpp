#include "tools/eval/real_metrics.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

namespace sceneflow::eval {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool Selected(const cv::Mat& mask, int y, int x) { return mask.empty() || mask.at<uint8_t>(y, x) != 0; }

double Percent(int count, int total) { return total > 0 ? 100.0 * count / total : kNaN; }

int CountInliers(const std::vector<cv::Vec3d>& from, const std::vector<cv::Vec3d>& to,
                 const std::vector<double>& tolerance, const RigidMotion& motion,
                 std::vector<unsigned char>* inlier) {
  int count = 0;
  for (size_t i = 0; i < from.size(); ++i) {
    const bool fits = cv::norm(motion.R * from[i] + motion.T - to[i]) <= tolerance[i];
    count += fits;
    if (inlier != nullptr) (*inlier)[i] = fits;
  }
  return count;
}

}  // namespace

DisparityMetrics CompareDisparity(const cv::Mat& estimate, const cv::Mat& truth, const cv::Mat& mask) {
  CV_Assert(estimate.size() == truth.size() && estimate.type() == CV_64F && truth.type() == CV_64F);
  DisparityMetrics m;
  int bad1 = 0, bad2 = 0, d1 = 0;
  double sum = 0;
  std::vector<double> signed_errors;
  for (int y = 0; y < truth.rows; ++y) {
    const double* t = truth.ptr<double>(y);
    const double* e = estimate.ptr<double>(y);
    for (int x = 0; x < truth.cols; ++x) {
      if (std::isnan(t[x]) || !Selected(mask, y, x)) continue;
      const double error = std::isnan(e[x]) ? std::abs(t[x]) : std::abs(e[x] - t[x]);
      const bool unknown = std::isnan(e[x]);
      if (!unknown) signed_errors.push_back(e[x] - t[x]);
      ++m.pixels;
      sum += error;
      bad1 += unknown || error > 1.0;
      bad2 += unknown || error > 2.0;
      d1 += unknown || (error > 3.0 && error > 0.05 * std::abs(t[x]));
    }
  }
  m.bad1_percent = Percent(bad1, m.pixels);
  m.bad2_percent = Percent(bad2, m.pixels);
  m.d1_percent = Percent(d1, m.pixels);
  m.mean_abs = m.pixels > 0 ? sum / m.pixels : kNaN;
  m.median_signed = Median(std::move(signed_errors));
  return m;
}

FlowMetrics CompareFlow(const cv::Mat& estimate, const cv::Mat& truth, const cv::Mat& mask) {
  CV_Assert(estimate.size() == truth.size() && estimate.type() == CV_64FC2 && truth.type() == CV_64FC2);
  FlowMetrics m;
  int fl = 0;
  double sum = 0;
  for (int y = 0; y < truth.rows; ++y) {
    const cv::Vec2d* t = truth.ptr<cv::Vec2d>(y);
    const cv::Vec2d* e = estimate.ptr<cv::Vec2d>(y);
    for (int x = 0; x < truth.cols; ++x) {
      if (std::isnan(t[x][0]) || std::isnan(t[x][1]) || !Selected(mask, y, x)) continue;
      const cv::Vec2d guess = std::isnan(e[x][0]) || std::isnan(e[x][1]) ? cv::Vec2d(0, 0) : e[x];
      const double error = cv::norm(guess - t[x]);
      ++m.pixels;
      sum += error;
      fl += error > 3.0 && error > 0.05 * cv::norm(t[x]);
    }
  }
  m.epe_mean = m.pixels > 0 ? sum / m.pixels : kNaN;
  m.fl_percent = Percent(fl, m.pixels);
  return m;
}

double MeanFlowLength(const cv::Mat& flow) {
  double sum = 0;
  int count = 0;
  for (int y = 0; y < flow.rows; ++y) {
    const cv::Vec2d* f = flow.ptr<cv::Vec2d>(y);
    for (int x = 0; x < flow.cols; ++x) {
      if (std::isnan(f[x][0]) || std::isnan(f[x][1])) continue;
      sum += cv::norm(f[x]);
      ++count;
    }
  }
  return count > 0 ? sum / count : kNaN;
}

RigidMotion FitRigidMotion(const std::vector<cv::Vec3d>& from, const std::vector<cv::Vec3d>& to,
                           const std::vector<int>& indices, const std::vector<double>& weight) {
  const size_t count = indices.empty() ? from.size() : indices.size();
  const auto index = [&indices](size_t k) { return indices.empty() ? k : static_cast<size_t>(indices[k]); };
  const auto weight_of = [&weight](size_t i) { return weight.empty() ? 1.0 : weight[i]; };
  RigidMotion motion;
  double total = 0;
  cv::Vec3d from_centre, to_centre;
  for (size_t k = 0; k < count; ++k) {
    const size_t i = index(k);
    from_centre += weight_of(i) * from[i];
    to_centre += weight_of(i) * to[i];
    total += weight_of(i);
  }
  if (!(total > 0)) return motion;
  from_centre /= total;
  to_centre /= total;
  // Cross-covariance H = Σ w·(p − p̄)(q − q̄)ᵀ; with H = U·S·Vᵀ the rotation is V·D·Uᵀ, D fixing a
  // reflection so that det R = +1.
  cv::Matx33d covariance = cv::Matx33d::zeros();
  for (size_t k = 0; k < count; ++k) {
    const size_t i = index(k);
    covariance += weight_of(i) * ((from[i] - from_centre) * (to[i] - to_centre).t());
  }
  cv::Matx33d u, vt;
  cv::Matx31d s;
  cv::SVD::compute(covariance, s, u, vt);
  const double reflection = cv::determinant(vt.t() * u.t()) < 0 ? -1.0 : 1.0;
  const cv::Matx33d d(1, 0, 0, 0, 1, 0, 0, 0, reflection);
  motion.R = vt.t() * d * u.t();
  motion.T = to_centre - motion.R * from_centre;
  return motion;
}

RobustRigidFit FitRigidMotionRansac(const std::vector<cv::Vec3d>& from, const std::vector<cv::Vec3d>& to,
                                    const std::vector<double>& tolerance, int iterations, unsigned seed) {
  CV_Assert(from.size() == to.size() && from.size() == tolerance.size());
  RobustRigidFit best;
  best.inlier.assign(from.size(), 0);
  if (from.size() < 3) return best;
  std::mt19937 engine(seed);
  std::uniform_int_distribution<int> pick(0, static_cast<int>(from.size()) - 1);
  for (int iteration = 0; iteration < iterations; ++iteration) {
    const std::vector<int> sample = {pick(engine), pick(engine), pick(engine)};
    if (sample[0] == sample[1] || sample[1] == sample[2] || sample[0] == sample[2]) continue;
    const RigidMotion motion = FitRigidMotion(from, to, sample);
    const int count = CountInliers(from, to, tolerance, motion, nullptr);
    if (count > best.inliers) {
      best.inliers = count;
      best.motion = motion;
    }
  }
  // Refit on the inliers until their set stops growing.
  std::vector<double> weight(from.size());
  for (size_t i = 0; i < from.size(); ++i) weight[i] = 1.0 / std::max(tolerance[i] * tolerance[i], 1e-12);
  CountInliers(from, to, tolerance, best.motion, &best.inlier);
  for (int round = 0; round < 10; ++round) {
    std::vector<int> members;
    for (size_t i = 0; i < best.inlier.size(); ++i) {
      if (best.inlier[i]) members.push_back(static_cast<int>(i));
    }
    if (members.size() < 3) break;
    const RigidMotion refined = FitRigidMotion(from, to, members, weight);
    std::vector<unsigned char> inlier(from.size(), 0);
    const int count = CountInliers(from, to, tolerance, refined, &inlier);
    if (count < best.inliers) break;
    const bool grew = count > best.inliers;
    best.motion = refined;
    best.inliers = count;
    best.inlier = std::move(inlier);
    if (!grew) break;
  }
  return best;
}

double Median(std::vector<double> values) {
  if (values.empty()) return kNaN;
  const auto middle = values.begin() + values.size() / 2;
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

}  // namespace sceneflow::eval
