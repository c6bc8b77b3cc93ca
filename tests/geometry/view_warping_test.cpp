#include "geometry/view_warping.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "geometry/masks.h"
#include "tests/support/temp_dir.h"

namespace sceneflow {
namespace {

constexpr double kFocal = 200;
const cv::Size kSize(64, 48);
const ReferenceIntrinsics kIntrinsics{kFocal, kFocal, 32, 24};

// A textured background plane Z = depth + slope·X, optionally with a nearer textured strip
// Z = strip_depth for strip_left <= X < strip_right, all in the reference frame.
struct Scene {
  double depth = 100;
  double slope = 0;
  bool strip = false;
  double strip_depth = 50;
  double strip_left = 0;
  double strip_right = 0;
};

struct Camera {
  cv::Matx33d R = cv::Matx33d::eye();
  cv::Vec3d T = {0, 0, 0};
};

double Background(double X, double Y) {
  return 128 + 50 * std::sin(0.45 * X + 0.2 * Y) + 30 * std::cos(0.35 * Y - 0.1 * X);
}
double Strip(double X, double Y) { return 120 + 60 * std::sin(0.9 * Y + 0.3 * X); }

// Casts the ray of full-size pixel (u, v) of `camera` into the scene: the grey value it sees and
// the depth of the hit in the reference frame.
void CastRay(const Scene& scene, const Camera& camera, double u, double v, double& grey,
             double& depth) {
  const cv::Vec3d centre = -(camera.R.t() * camera.T);
  const cv::Vec3d ray = camera.R.t() * cv::Vec3d((u - kIntrinsics.u0) / kFocal,
                                                (v - kIntrinsics.v0) / kFocal, 1);
  const double t = (scene.depth + scene.slope * centre[0] - centre[2]) / (ray[2] - scene.slope * ray[0]);
  cv::Vec3d hit = centre + t * ray;
  grey = Background(hit[0], hit[1]);
  if (scene.strip) {
    const double ts = (scene.strip_depth - centre[2]) / ray[2];
    const cv::Vec3d near = centre + ts * ray;
    if (ts > 0 && ts < t && near[0] >= scene.strip_left && near[0] < scene.strip_right) {
      hit = near;
      grey = Strip(hit[0], hit[1]);
    }
  }
  depth = hit[2];
}

// The 8-bit image a camera sees at the level with factor s, and the reference depth field.
cv::Mat Render(const Scene& scene, const Camera& camera, double s, cv::Mat* depth = nullptr) {
  const cv::Size size(static_cast<int>(std::ceil(kSize.width * s)),
                      static_cast<int>(std::ceil(kSize.height * s)));
  cv::Mat image(size, CV_8U);
  if (depth) depth->create(size, CV_32F);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      double grey, z;
      CastRay(scene, camera, x / s, y / s, grey, z);
      image.at<uchar>(y, x) = cv::saturate_cast<uchar>(grey);
      if (depth) depth->at<float>(y, x) = static_cast<float>(z);
    }
  }
  return image;
}

cv::Mat ReferenceC() {
  return (cv::Mat_<double>(3, 3) << kFocal, 0, kIntrinsics.u0, 0, kFocal, kIntrinsics.v0, 0, 0, 1);
}

CalibrationSet Calibration(const std::vector<Camera>& cameras) {
  CalibrationSet set;
  for (const Camera& camera : cameras) {
    set.C.push_back(ReferenceC());
    set.R.push_back(cv::Mat(camera.R, true));
    set.T.push_back(cv::Mat(camera.T, true));
  }
  return set;
}

cv::Mat Smoothed(const cv::Mat& image) {
  cv::Mat smoothed;
  cv::GaussianBlur(image, smoothed, cv::Size(3, 3), 0, 0, cv::BORDER_REPLICATE);
  return smoothed;
}

// Warps the views of a static scene (time t = time 0, no motion) with the true depth.
struct StaticRun {
  StaticRun(const Scene& scene, const std::vector<Camera>& cameras, int level,
            WarpOptions options_in = WarpOptions(), bool depth_fixed = false,
            const cv::Mat& black_line = cv::Mat())
      : options(std::move(options_in)), calibration(Calibration(cameras)) {
    options.NumOfViews = static_cast<int>(cameras.size());
    const double s = LevelFactor(0.5, level);
    std::vector<ImagePyramid> pyramids;
    for (const Camera& camera : cameras) {
      pyramids.push_back(BuildImagePyramid(Render(scene, camera, 1.0), level, 0.5));
    }
    reference = pyramids[0][level - 1];
    Render(scene, cameras[0], s, &fields.Z);
    EXPECT_EQ(fields.Z.size(), reference.size());
    for (cv::Mat* field : {&fields.U, &fields.V, &fields.W}) {
      *field = cv::Mat::zeros(fields.Z.size(), CV_32F);
    }
    centres = ComputeViewCentres(calibration.R, calibration.T, {0, 0, 0}, options.NumOfViews);
    MakePixelGrids(fields.Z.size(), gridX, gridY);
    const LevelGeometry geometry{calibration, centres, kIntrinsics, s, gridX, gridY};
    WarpViewsOntoReference(options, geometry, pyramids, pyramids, black_line, level, fields,
                           depth_fixed, warping);
  }

  // Largest grey-level difference between view `view`'s warped time-0 image and the smoothed
  // reference over interior pixels whose point lands well inside the view and that `usable`
  // accepts; `checked` counts them.
  double WarpError(int view, const std::function<bool(int, int)>& usable, int& checked) const {
    const cv::Mat expected = Smoothed(reference);
    const cv::Mat& warped = warping.Warped0[view];
    const cv::Mat& mapX = warping.estimate.MapX0[view];
    const cv::Mat& mapY = warping.estimate.MapY0[view];
    double worst = 0;
    checked = 0;
    for (int y = 2; y < warped.rows - 2; ++y) {
      for (int x = 2; x < warped.cols - 2; ++x) {
        const float u = mapX.at<float>(y, x), v = mapY.at<float>(y, x);
        if (u < 2 || v < 2 || u > warped.cols - 3 || v > warped.rows - 3 || !usable(y, x)) continue;
        ++checked;
        worst = std::max(worst, std::fabs(double(warped.at<uchar>(y, x)) - expected.at<uchar>(y, x)));
      }
    }
    return worst;
  }

  WarpOptions options;
  CalibrationSet calibration;
  std::vector<cv::Mat> centres;
  cv::Mat gridX, gridY, reference;
  SceneFields fields;
  ViewWarping warping;
};

// Interior of a mask (without its outermost rows and columns).
cv::Mat Interior(const cv::Mat& mask) {
  return mask(cv::Rect(1, 1, mask.cols - 2, mask.rows - 2));
}

bool BorderIs127(const cv::Mat& mask) {
  cv::Mat border = mask.clone();
  Interior(border).setTo(kMaskOutsideSafeArea);
  return cv::countNonZero(border != kMaskOutsideSafeArea) == 0;
}

Camera SlantedView() {
  Camera camera;
  cv::Mat R;
  cv::Rodrigues(cv::Vec3d(0.01, 0.06, 0.02), R);
  camera.R = cv::Matx33d(R);
  camera.T = {-4, 0.5, 1};
  return camera;
}

TEST(ViewWarpingTest, SecondViewOfASlantedPlaneWarpsBackOntoTheReference) {
  Scene scene;
  scene.slope = 0.3;
  for (int level : {1, 2}) {
    StaticRun run(scene, {Camera(), SlantedView()}, level);
    const ViewWarping& w = run.warping;
    int checked = 0;
    const double error = run.WarpError(1, [](int, int) { return true; }, checked);
    EXPECT_GT(checked, run.reference.total() / 2) << level;
    EXPECT_LE(error, level == 1 ? 3 : 4) << "level " << level << ", " << checked << " pixels";

    // The reference view at time t sees its own grid again; view 1 at time t equals time 0.
    EXPECT_LE(cv::norm(w.WarpedT[0], Smoothed(run.reference), cv::NORM_INF), 1) << level;
    EXPECT_EQ(cv::norm(w.WarpedT[1], w.Warped0[1], cv::NORM_INF), 0) << level;
    EXPECT_EQ(w.Warped0Dx[1].type(), CV_32F);
    EXPECT_EQ(w.WarpedTDy[0].size(), run.reference.size());

    // A plane hides nothing: only the borders are switched off.
    for (const cv::Mat* mask : {&w.RefFlowMask, &w.StereoMask0[1], &w.ViewMaskT[1], &w.ViewMaskTCopy[1]}) {
      EXPECT_TRUE(BorderIs127(*mask)) << level;
      EXPECT_EQ(cv::countNonZero(Interior(*mask)), 0) << level;
    }
    EXPECT_NE(w.ViewMaskT[1].data, w.ViewMaskTCopy[1].data);
  }
}

TEST(ViewWarpingTest, PixelsHiddenBehindANearerStripAreMarkedOccluded) {
  // Baseline 5 at focal length 200: the background (Z = 100) shifts by 10 columns, the strip
  // (Z = 50, reference columns 20..29) by 20, so it covers the background of columns 10..19.
  Scene scene;
  scene.strip = true;
  scene.strip_left = (19.5 - 32) * 50 / kFocal;
  scene.strip_right = (29.5 - 32) * 50 / kFocal;
  Camera right;
  right.T = {-5, 0, 0};
  StaticRun run(scene, {Camera(), right}, 1);
  const ViewWarping& w = run.warping;

  cv::Mat expected(kSize, CV_8U, cv::Scalar(kMaskActive));
  expected.colRange(10, 20).setTo(kMaskOccluded);
  MarkMaskBorder(expected);
  for (const cv::Mat* mask : {&w.StereoMask0[1], &w.ViewMaskT[1], &w.ViewMaskTCopy[1]}) {
    EXPECT_EQ(cv::norm(*mask, expected, cv::NORM_INF), 0);
  }
  EXPECT_EQ(cv::countNonZero(Interior(w.RefFlowMask)), 0);

  // Unoccluded pixels away from the depth edges come back; those that project out of view 1
  // (reference columns 0..9) are warped to 0.
  int checked = 0;
  const double error = run.WarpError(
      1, [](int, int x) { return (x >= 22 && x <= 27) || x >= 32; }, checked);
  EXPECT_GT(checked, 600);
  EXPECT_LE(error, 2);
  EXPECT_EQ(cv::countNonZero(w.Warped0[1].colRange(0, 7)), 0);
}

TEST(ViewWarpingTest, BlackLineImageAndSavedImagesTouchOnlyTheirViews) {
  testing::TempDir dir;
  cv::Mat line(kSize.height * 2, kSize.width * 2, CV_8U, cv::Scalar(0));
  line.colRange(60, 68).setTo(50);
  ASSERT_TRUE(cv::imwrite(dir / "line.png", line));
  WarpOptions options;
  options.BLACK_LINE = 1;
  options.SF_I0_Warped_FileName = dir / "I0_";
  options.SF_It_Warped_FileName = dir / "It_";
  Scene scene;
  StaticRun run(scene, {Camera(), SlantedView(), SlantedView()}, 1, options, false,
                LoadBlackLineImage(dir / "line.png"));
  const ViewWarping& w = run.warping;

  // Columns 30..33 of the mask hold the resampled line, except where the border overwrote it.
  EXPECT_EQ(cv::countNonZero(Interior(w.ViewMaskT[1]).colRange(29, 33) == 50), 4 * (kSize.height - 2));
  EXPECT_EQ(cv::norm(w.ViewMaskT[1], w.ViewMaskTCopy[1], cv::NORM_INF), 0);
  for (const cv::Mat* mask : {&w.RefFlowMask, &w.StereoMask0[1], &w.StereoMask0[2], &w.ViewMaskT[2],
                              &w.ViewMaskTCopy[2]}) {
    EXPECT_EQ(cv::countNonZero(*mask == 50), 0);
  }
  for (const char* name : {"I0_1.png", "I0_2.png", "It_1.png", "It_2.png"}) {
    EXPECT_TRUE(std::filesystem::exists(dir / name)) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "It_0.png"));
  EXPECT_FALSE(std::filesystem::exists(dir / "I0_0.png"));
  const cv::Mat saved = cv::imread(dir / "I0_2.png", cv::IMREAD_UNCHANGED);
  EXPECT_EQ(cv::norm(saved, w.Warped0[2], cv::NORM_INF), 0);

  // With depth fixed there are no time-0 stereo masks.
  StaticRun fixed(scene, {Camera(), SlantedView()}, 1, options, true,
                  LoadBlackLineImage(dir / "line.png"));
  EXPECT_TRUE(fixed.warping.StereoMask0[1].empty());
}

TEST(ViewWarpingTest, IncrementsEnterTheDepthAndTheMovedPoint) {
  Scene scene;
  StaticRun run(scene, {Camera(), SlantedView()}, 1);
  const LevelGeometry geometry{run.calibration, run.centres, kIntrinsics, 1.0, run.gridX, run.gridY};
  SceneFields increments;
  increments.Z = cv::Mat(run.fields.Z.size(), CV_32F, cv::Scalar(5));
  increments.U = cv::Mat(run.fields.Z.size(), CV_32F, cv::Scalar(0.5));
  increments.V = cv::Mat::zeros(run.fields.Z.size(), CV_32F);
  increments.W = cv::Mat(run.fields.Z.size(), CV_32F, cv::Scalar(-2));
  SceneFields fields = run.fields;
  fields.U = cv::Mat(fields.Z.size(), CV_32F, cv::Scalar(1));
  EstimateProjection moved;
  ProjectEstimate(geometry, 2, fields, &increments, moved);
  EXPECT_FLOAT_EQ(moved.Depth.at<float>(7, 9), run.fields.Z.at<float>(7, 9) + 5);
  EXPECT_FLOAT_EQ(moved.MovedPointX.at<float>(7, 9), moved.RefPointX.at<float>(7, 9) + 1.5f);
  EXPECT_FLOAT_EQ(moved.MovedPointZ.at<float>(7, 9), moved.Depth.at<float>(7, 9) - 2);
  EXPECT_TRUE(moved.MapX0[0].empty());
  // The reference view sees the moved point through its own pinhole.
  const float mx = moved.MovedPointX.at<float>(7, 9), mz = moved.MovedPointZ.at<float>(7, 9);
  EXPECT_NEAR(moved.MapXt[0].at<float>(7, 9), kFocal * mx / mz + 32, 1e-3);
  EXPECT_GT(moved.MapXt[0].at<float>(7, 9), 9.5f);
}

}  // namespace
}  // namespace sceneflow
