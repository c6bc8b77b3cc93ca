#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tests/support/run_program.h"
#include "config/ini_file.h"
#include "config/input_error.h"
#include "io/text_matrix.h"
#include "tools/synth/render.h"
#include "tools/synth/scene.h"
#include "tools/synth/scene_files.h"

namespace sceneflow::synth {
namespace {

using ::sceneflow::testing::CommandResult;
using ::sceneflow::testing::RunCommand;

namespace fs = std::filesystem;

// Bilinear grey level of an 8-bit image at a sub-pixel position (inside the image).
double Sample(const cv::Mat& image, cv::Point2d p) {
  cv::Mat patch;
  cv::getRectSubPix(image, cv::Size(1, 1), cv::Point2f(static_cast<float>(p.x), static_cast<float>(p.y)),
                    patch, CV_32F);
  return patch.at<float>(0, 0);
}

double Median(std::vector<double> values) {
  EXPECT_FALSE(values.empty());
  if (values.empty()) return 1e9;
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

// The tiny scene seen by a 2×2 rig with small rotations: small and quick, yet every view has its
// own R and T.
Scene FourViewScene(const std::string& preset) {
  SceneOptions options;
  options.preset = preset;
  options.size = cv::Size(160, 120);
  options.views = 4;
  options.layout = "grid";
  options.rotate_degrees = 1.0;
  options.supersampling = 2;
  return MakeScene(options);
}

// Back-projects reference pixel (x, y) with depth z through view 0's intrinsics.
cv::Vec3d BackProject(const Camera& reference, int x, int y, double z) {
  return cv::Vec3d((x - reference.C(0, 2)) * z / reference.C(0, 0), (y - reference.C(1, 2)) * z / reference.C(1, 1), z);
}

// Median absolute difference between the reference image at time 0 and every view at both instants
// (only at time t when `time_t_only`), sampled where the ground-truth points, moved by the scaled
// motion at time t, project.
struct RenderedViews {
  std::vector<cv::Mat> time0, timet;
};

RenderedViews RenderAll(const Scene& scene) {
  RenderedViews views;
  for (size_t view = 0; view < scene.cameras.size(); ++view) {
    views.time0.push_back(RenderView(scene, static_cast<int>(view), Instant::kTime0));
    views.timet.push_back(RenderView(scene, static_cast<int>(view), Instant::kTimeT));
  }
  return views;
}

double MedianResidual(const Scene& scene, const RenderedViews& images, const GroundTruth& truth,
                      double motion_scale, bool time_t_only) {
  const std::vector<cv::Mat>& time0 = images.time0;
  const std::vector<cv::Mat>& timet = images.timet;
  std::vector<double> residuals;
  for (int y = 0; y < truth.Z.rows; ++y) {
    for (int x = 0; x < truth.Z.cols; ++x) {
      if (truth.valid.at<uint8_t>(y, x) == 0) continue;
      const cv::Vec3d point0 = BackProject(scene.cameras[0], x, y, truth.Z.at<double>(y, x));
      const cv::Vec3d motion(truth.U.at<double>(y, x), truth.V.at<double>(y, x), truth.W.at<double>(y, x));
      const cv::Vec3d pointt = point0 + motion_scale * motion;
      const double reference = time0[0].at<uint8_t>(y, x);
      for (size_t view = 0; view < scene.cameras.size(); ++view) {
        cv::Point2d pixel;
        if (view > 0 && !time_t_only) {
          EXPECT_TRUE(ProjectPoint(scene.cameras[view], point0, pixel));
          residuals.push_back(std::abs(Sample(time0[view], pixel) - reference));
        }
        EXPECT_TRUE(ProjectPoint(scene.cameras[view], pointt, pixel));
        residuals.push_back(std::abs(Sample(timet[view], pixel) - reference));
      }
    }
  }
  return Median(residuals);
}

TEST(SynthGeometry, GroundTruthPointsLandOnMatchingIntensitiesInEveryView) {
  for (const char* preset : {"sphere2", "planes2", "boxes2"}) {
    SCOPED_TRACE(preset);
    const Scene scene = FourViewScene(preset);
    const GroundTruth truth = ComputeGroundTruth(scene);
    const double valid_share = cv::countNonZero(truth.valid) / static_cast<double>(truth.valid.total());
    EXPECT_GT(valid_share, 0.4);
    const RenderedViews images = RenderAll(scene);
    const double all = MedianResidual(scene, images, truth, 1.0, false);
    const double time_t = MedianResidual(scene, images, truth, 1.0, true);
    const double reversed = MedianResidual(scene, images, truth, -1.0, true);
    EXPECT_LT(all, 3.0);
    EXPECT_LT(time_t, 3.0);
    // The same check fails when the motion is reversed: it does test the motion.
    EXPECT_GT(reversed, 4.0);
    EXPECT_GT(reversed, 3.0 * time_t);
    std::printf("%s: median residual %.2f (time t %.2f), with reversed motion %.2f grey levels\n", preset, all,
                time_t, reversed);
  }
}

TEST(SynthGeometry, GroundTruthMotionIsTheRigidMotionOfTheObjectSeen) {
  const Scene scene = FourViewScene("boxes2");
  const GroundTruth truth = ComputeGroundTruth(scene);
  const Camera& reference = scene.cameras[0];
  std::vector<int> pixels_per_object(scene.objects.size(), 0);
  for (int y = 0; y < truth.Z.rows; ++y) {
    for (int x = 0; x < truth.Z.cols; ++x) {
      const int id = truth.object.at<int>(y, x);
      ASSERT_GE(id, 0);
      const SceneObject& object = scene.objects[id];
      const cv::Vec3d point0 = BackProject(reference, x, y, truth.Z.at<double>(y, x));
      // The point lies on the object's surface at time 0.
      const cv::Vec3d local = object.orientation.t() * (point0 - object.centre);
      if (object.shape == Shape::kSphere) {
        EXPECT_NEAR(cv::norm(local), object.size[0], 1e-6);
      }
      if (object.shape == Shape::kPlane) {
        EXPECT_NEAR(local[2], 0.0, 1e-6);
      }
      if (object.shape == Shape::kBox) {
        double outermost = 0;
        for (int axis = 0; axis < 3; ++axis) outermost = std::max(outermost, std::abs(local[axis]) / object.size[axis]);
        EXPECT_NEAR(outermost, 1.0, 1e-9);
      }
      // Motion = R·(P − c) + c + t − P with R from the object's rotation vector.
      cv::Matx33d rotation;
      cv::Rodrigues(object.rotation, rotation);
      const cv::Vec3d expected = rotation * (point0 - object.centre) + object.centre + object.translation - point0;
      EXPECT_NEAR(truth.U.at<double>(y, x), expected[0], 1e-6);
      EXPECT_NEAR(truth.V.at<double>(y, x), expected[1], 1e-6);
      EXPECT_NEAR(truth.W.at<double>(y, x), expected[2], 1e-6);
      ++pixels_per_object[id];
    }
  }
  for (size_t id = 0; id < scene.objects.size(); ++id) EXPECT_GT(pixels_per_object[id], 20) << id;
}

TEST(SynthGeometry, ValidPixelsAreAwayFromSilhouettesAndDepthsBelowTheLimit) {
  const Scene scene = FourViewScene("sphere2");
  const GroundTruth truth = ComputeGroundTruth(scene, 2);
  for (int y = 0; y < truth.Z.rows; ++y) {
    for (int x = 0; x < truth.Z.cols; ++x) {
      EXPECT_LT(truth.Z.at<double>(y, x) + std::abs(truth.W.at<double>(y, x)), 0.8 * scene.solver.max_z);
      if (truth.valid.at<uint8_t>(y, x) == 0) continue;
      const int id = truth.object.at<int>(y, x);
      for (int dy = -2; dy <= 2; ++dy) {
        for (int dx = -2; dx <= 2; ++dx) ASSERT_EQ(truth.object.at<int>(y + dy, x + dx), id);
      }
    }
  }
  // The sphere hides part of the background from the other views: such pixels are not valid.
  EXPECT_LT(cv::countNonZero(truth.valid), static_cast<int>(truth.valid.total()) - 100);
}

TEST(SynthGeometry, RenderingIsDeterministicAndTheSeedVariesTheScene) {
  SceneOptions options;
  options.preset = "tiny";
  const Scene first = MakeScene(options);
  const Scene again = MakeScene(options);
  EXPECT_EQ(cv::norm(RenderView(first, 1, Instant::kTimeT), RenderView(again, 1, Instant::kTimeT), cv::NORM_INF), 0);
  options.seed = 2;
  const Scene other = MakeScene(options);
  EXPECT_GT(cv::norm(first.objects[1].centre - other.objects[1].centre), 0.1);
  EXPECT_GT(cv::norm(first.objects[1].translation - other.objects[1].translation), 0.01);
}

// noisy2 and large2 are sphere2 with the same geometry: noisy2's images differ by noise of 3 grey
// levels and a gain of 1.06 at time t; large2's objects move three times as far.
TEST(SynthPresets, NoiseBrightnessAndLargeMotionVariants) {
  SceneOptions options;
  options.size = cv::Size(64, 48);
  options.supersampling = 1;
  const Scene clean = MakeScene(options);
  options.preset = "noisy2";
  const Scene noisy = MakeScene(options);
  options.preset = "large2";
  const Scene large = MakeScene(options);

  cv::Mat clean0, noisy0, cleant, noisyt;
  RenderView(clean, 0, Instant::kTime0).convertTo(clean0, CV_64F);
  RenderView(noisy, 0, Instant::kTime0).convertTo(noisy0, CV_64F);
  RenderView(clean, 0, Instant::kTimeT).convertTo(cleant, CV_64F);
  RenderView(noisy, 0, Instant::kTimeT).convertTo(noisyt, CV_64F);
  // Away from the grey levels where 0 and 255 clip the noise or the gain.
  cv::Scalar mean, deviation;
  cv::meanStdDev(noisy0 - clean0, mean, deviation, (clean0 > 20) & (clean0 < 230));
  EXPECT_NEAR(mean[0], 0.0, 0.3);
  EXPECT_NEAR(deviation[0], 3.0, 0.3);
  const cv::Mat unclipped = (cleant > 20) & (cleant < 230);
  ASSERT_GT(cv::countNonZero(unclipped), 1000);
  cv::meanStdDev(noisyt - 1.06 * cleant, mean, deviation, unclipped);
  EXPECT_NEAR(mean[0], 0.0, 0.3);
  EXPECT_NEAR(deviation[0], 3.0, 0.3);

  ASSERT_EQ(large.objects.size(), clean.objects.size());
  for (size_t i = 0; i < clean.objects.size(); ++i) {
    EXPECT_NEAR(cv::norm(large.objects[i].translation - 3.0 * clean.objects[i].translation), 0, 1e-12);
    EXPECT_NEAR(cv::norm(large.objects[i].rotation - 3.0 * clean.objects[i].rotation), 0, 1e-12);
    EXPECT_EQ(large.objects[i].centre, clean.objects[i].centre);
  }
  // At the full 320x240 the large motion gets a coarser pyramid.
  options.size = cv::Size();
  const int large_levels = MakeScene(options).solver.pyramid_levels;
  options.preset = "sphere2";
  EXPECT_GT(large_levels, MakeScene(options).solver.pyramid_levels);
}

TEST(SynthRig, ReferenceViewIsTheFrameAndLayoutsPlaceTheViews) {
  SceneOptions options;
  options.preset = "tiny";
  options.views = 3;
  const Scene line = MakeScene(options);
  ASSERT_EQ(line.cameras.size(), 3u);
  EXPECT_EQ(cv::norm(line.cameras[0].R - cv::Matx33d::eye()), 0);
  EXPECT_EQ(cv::norm(line.cameras[0].T), 0);
  // View 1 to the right of view 0 by one baseline, view 2 to its left.
  EXPECT_NEAR(cv::norm(line.cameras[1].Centre() - cv::Vec3d(line.baseline, 0, 0)), 0, 1e-12);
  EXPECT_NEAR(cv::norm(line.cameras[2].Centre() - cv::Vec3d(-line.baseline, 0, 0)), 0, 1e-12);

  const Scene grid = FourViewScene("tiny");
  EXPECT_NEAR(cv::norm(grid.cameras[3].Centre() - cv::Vec3d(grid.baseline, grid.baseline, 0)), 0, 1e-9);
  for (const Camera& camera : grid.cameras) {
    EXPECT_NEAR(cv::norm(camera.R * camera.R.t() - cv::Matx33d::eye()), 0, 1e-12);
  }
  EXPECT_GT(cv::norm(grid.cameras[2].R - cv::Matx33d::eye()), 1e-3);
}

TEST(SynthRig, RefusesBadOptions) {
  SceneOptions options;
  options.preset = "nope";
  EXPECT_THROW(MakeScene(options), InputError);
  options.preset = "tiny";
  options.views = 10;
  EXPECT_THROW(MakeScene(options), InputError);
  options.views = 2;
  options.layout = "circle";
  EXPECT_THROW(MakeScene(options), InputError);
  options.layout = "";
  options.size = cv::Size(8, 8);
  EXPECT_THROW(MakeScene(options), InputError);
}

TEST(SynthStartDepth, IsBlurredAndNoisyButClose) {
  SceneOptions options;
  options.preset = "tiny";
  const Scene scene = MakeScene(options);
  const GroundTruth truth = ComputeGroundTruth(scene);
  const cv::Mat start = MakeStartDepth(truth.Z, scene.seed);
  const double rms = cv::norm(start, truth.Z, cv::NORM_L2) / std::sqrt(static_cast<double>(start.total()));
  const double mean = cv::mean(truth.Z)[0];
  EXPECT_GT(rms, 0.01 * mean);
  EXPECT_LT(rms, 0.1 * mean);
}

// ---- end to end: the executable writes a folder the estimator can run on ----

fs::path FreshFolder(const std::string& name) {
  const fs::path folder = fs::temp_directory_path() / ("sceneflow_synth_test_" + name + "_" + std::to_string(getpid()));
  fs::remove_all(folder);
  return folder;
}

TEST(SynthExecutable, WritesARunnableSceneFolder) {
  const fs::path folder = FreshFolder("folder");
  const std::string synth = std::string(SCENEFLOW_BIN_DIR) + "/sceneflow-synth";
  const CommandResult run = RunCommand(synth + " " + folder.string() + " --preset tiny --views 3 --seed 5");
  ASSERT_EQ(run.status, 0) << run.output;

  for (const char* name : {"img0_0.png", "img0_2.png", "imgt_0.png", "imgt_2.png", "calib/C2.txt", "calib/R2.txt",
                           "calib/T2.txt", "truth/Z.txt", "truth/U.txt", "truth/V.txt", "truth/W.txt",
                           "truth/valid.png", "truth/camera.txt", "truth/Z_start.txt", "description.txt"}) {
    EXPECT_TRUE(fs::exists(folder / name)) << name;
  }
  EXPECT_TRUE(fs::is_directory(folder / "results"));
  const cv::Mat image = cv::imread((folder / "imgt_1.png").string(), cv::IMREAD_UNCHANGED);
  EXPECT_EQ(image.type(), CV_8UC1);
  EXPECT_EQ(image.size(), cv::Size(64, 48));

  // The INI reads back with the reference intrinsics of view 0 and paths that resolve in the folder.
  ParameterSet parameters;
  ASSERT_EQ(LoadParameters(parameters, (folder / "scene.ini").string().c_str()), 0);
  cv::Mat C(3, 3, CV_64F), T(3, 1, CV_64F);
  ASSERT_TRUE(ReadTextMatrix((folder / (*parameters.CMat_FileName + "0.txt")).string().c_str(), C));
  EXPECT_EQ(parameters.f0ku, C.at<double>(0, 0));
  EXPECT_EQ(parameters.f0kv, C.at<double>(1, 1));
  EXPECT_EQ(parameters.u0, C.at<double>(0, 2));
  EXPECT_EQ(parameters.v0, C.at<double>(1, 2));
  ASSERT_TRUE(ReadTextMatrix((folder / (*parameters.TMat_FileName + "1.txt")).string().c_str(), T));
  EXPECT_EQ(parameters.Tx, T.at<double>(0, 0));  // minus the baseline of view 1
  EXPECT_LT(parameters.Tx, 0);
  EXPECT_EQ(parameters.NumOfViews, 3);
  EXPECT_TRUE(fs::exists(folder / (*parameters.Img_t_FileName + "2." + *parameters.ImgPrefix)));
  EXPECT_TRUE(fs::is_directory(folder / *parameters.TxtResultsDir));
  ASSERT_TRUE(parameters.SF_Z0_start_Txt_FileName.has_value());
  cv::Mat start(48, 64, CV_32F);
  ASSERT_TRUE(ReadTextMatrix((folder / *parameters.SF_Z0_start_Txt_FileName).string().c_str(), start));
  double lo, hi;
  cv::minMaxLoc(start, &lo, &hi);
  EXPECT_GT(lo, 100);
  EXPECT_LT(hi, 0.95 * parameters.maxZ);
  EXPECT_GT(parameters.AlphaSF, 0);
  EXPECT_GT(parameters.AlphaSF, parameters.AlphaZ);  // a unit of U moves a projection more than one of Z
  fs::remove_all(folder);
}

TEST(SynthExecutable, StereoStartAndErrorsOnOneLine) {
  const fs::path folder = FreshFolder("stereo");
  const std::string synth = std::string(SCENEFLOW_BIN_DIR) + "/sceneflow-synth";
  const CommandResult stereo =
      RunCommand(synth + " " + folder.string() + " --preset tiny --supersample 1 --stereo /opt/stereo");
  ASSERT_EQ(stereo.status, 0) << stereo.output;
  ParameterSet parameters;
  ASSERT_EQ(LoadParameters(parameters, (folder / "scene.ini").string().c_str()), 0);
  EXPECT_EQ(parameters.InitStereo, 1);
  EXPECT_EQ(parameters.InitStereoBP, 1);
  EXPECT_EQ(*parameters.StereoExecutable, "/opt/stereo");
  EXPECT_EQ(*parameters.Il0_FileName, "img0_0.png");
  EXPECT_EQ(*parameters.Ir0_FileName, "img0_1.png");
  EXPECT_EQ(*parameters.ST_D0_Init_Middlebury_FileName, kStereoDisparityName);
  fs::remove_all(folder);

  const CommandResult unknown = RunCommand(synth + " " + folder.string() + " --preset nothing");
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.output.rfind("Error: unknown preset \"nothing\"", 0), 0u) << unknown.output;
  EXPECT_EQ(std::count(unknown.output.begin(), unknown.output.end(), '\n'), 1);
  const CommandResult bad_views = RunCommand(synth + " " + folder.string() + " --views x");
  EXPECT_EQ(bad_views.status, 1);
  for (const char* option : {"--help", "-h"}) {
    const auto help = ::sceneflow::testing::RunProgram(synth, {option}, fs::temp_directory_path().string());
    EXPECT_EQ(help.status, 0) << option;
    EXPECT_EQ(help.out.rfind("Usage: ", 0), 0u) << help.out;
    EXPECT_EQ(help.err, "") << option;
  }
  EXPECT_FALSE(fs::exists(folder));  // neither a bad option nor --help creates the folder
  const CommandResult no_folder = RunCommand(synth + " /proc/cannot_write_here --preset tiny --supersample 1");
  EXPECT_EQ(no_folder.status, 1);
  EXPECT_EQ(no_folder.output.rfind("Error: cannot create folder", 0), 0u) << no_folder.output;
}

}  // namespace
}  // namespace sceneflow::synth
