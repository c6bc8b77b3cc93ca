#include "tools/prepare/preparation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "config/input_error.h"
#include "io/image_file.h"
#include "stereo/dense_stereo.h"

namespace sceneflow::prepare {
namespace {

namespace fs = std::filesystem;

// Depth given to pixels without a stereo match: where the disparity would be this many pixels.
constexpr double kSmallestDisparity = 0.5;
// Motion that the start values do not hold is measured as this percentile of the flow's length.
constexpr double kMotionPercentile = 0.99;
// A scene moves (and gets a start that holds its motion) when that percentile exceeds this many
// pixels: a static scene seen twice moves by the sensor noise alone, far less than a pixel.
constexpr double kLeastSceneMotion = 1.0;

double Percentile(const cv::Mat& field, double share) {
  std::vector<float> values(field.begin<float>(), field.end<float>());
  if (values.empty()) return 0;
  const size_t k = std::min(values.size() - 1, static_cast<size_t>(share * values.size()));
  std::nth_element(values.begin(), values.begin() + k, values.end());
  return values[k];
}

double FlowLengthPercentile(const cv::Mat& flow, double share) {
  std::vector<cv::Mat> parts;
  cv::split(flow, parts);
  cv::Mat length;
  cv::magnitude(parts[0], parts[1], length);
  return Percentile(length, share);
}

// The images of every view at both instants, all of the reference image's size: grey, as the
// estimator reads them, and as stored (colour when they are), for the stereo matcher.
struct ViewImages {
  std::vector<cv::Mat> time0, timet;
  std::vector<cv::Mat> stored0, storedt;
  std::vector<std::string> names;
};

// An image as stored, colour or grey, with any alpha channel dropped.
cv::Mat LoadStoredImage(const std::string& path) {
  cv::Mat image = LoadImageQuietly(path, cv::IMREAD_ANYCOLOR);
  if (image.empty()) throw InputError("Error: cannot read image " + path);
  if (image.channels() == 4) cv::cvtColor(image, image, cv::COLOR_BGRA2BGR);
  return image;
}

void AddView(ViewImages& images, const std::string& time0, const std::string& timet) {
  images.time0.push_back(LoadGreyImage(time0));
  images.timet.push_back(LoadGreyImage(timet));
  images.stored0.push_back(LoadStoredImage(time0));
  images.storedt.push_back(LoadStoredImage(timet));
  images.names.push_back(time0);
  images.names.push_back(timet);
  const cv::Size reference = images.time0[0].size();
  for (const cv::Mat* image : {&images.time0.back(), &images.timet.back()}) {
    if (image->size() != reference) {
      const std::string& name = image == &images.time0.back() ? time0 : timet;
      throw InputError("Error: image " + name + " is " + SizeText(image->size()) +
                       " pixels, the reference image is " + SizeText(reference));
    }
  }
}

// Intrinsics of an image resized by `scale`: pixel centres keep their meaning.
cv::Matx33d ScaleIntrinsics(const cv::Matx33d& C, double scale) {
  cv::Matx33d scaled = C;
  scaled(0, 0) *= scale;
  scaled(1, 1) *= scale;
  scaled(0, 1) *= scale;
  scaled(0, 2) = (C(0, 2) + 0.5) * scale - 0.5;
  scaled(1, 2) = (C(1, 2) + 0.5) * scale - 0.5;
  return scaled;
}

// Is view 1 the right camera of a rectified pair with view 0 (same rotation and intrinsics apart
// from the principal point's column, centre along +x)?
bool IsRectifiedPair(const ViewCamera& left, const ViewCamera& right) {
  const double tolerance = 1e-6;
  return cv::norm(left.R, cv::Matx33d::eye()) < tolerance &&
         cv::norm(right.R, cv::Matx33d::eye()) < tolerance && cv::norm(left.T) < tolerance &&
         right.T[0] < 0 && std::fabs(right.T[1]) < tolerance && std::fabs(right.T[2]) < tolerance &&
         std::fabs(left.C(0, 0) - right.C(0, 0)) < tolerance &&
         std::fabs(left.C(1, 1) - right.C(1, 1)) < tolerance &&
         std::fabs(left.C(1, 2) - right.C(1, 2)) < tolerance;
}

void ApplyOverrides(const PrepareOptions& o, DerivedSettings& s) {
  const auto set = [](Setting& setting, const auto& value, const char* flag) {
    if (!value) return;
    setting.value = *value;
    setting.why = std::string("set by ") + flag;
  };
  set(s.alpha_sf, o.alpha_sf, "--alpha-sf");
  set(s.alpha_w, o.alpha_w, "--alpha-w");
  set(s.alpha_z, o.alpha_z, "--alpha-z");
  set(s.max_z, o.max_z, "--max-z");
  set(s.eta, o.eta, "--eta");
  set(s.levels_flow, o.levels, "--levels");
  set(s.outer, o.outer, "--outer");
  set(s.inner, o.inner, "--inner");
  set(s.sor, o.sor, "--sor");
  // The flow stage reaches down to the level where depth estimation starts.
  if (s.levels_flow.value < s.levels_sf.value) {
    s.levels_flow.value = s.levels_sf.value;
    s.levels_flow.why = "no coarser than PyramidLevelsSF";
  }
}

}  // namespace

PreparedRun Prepare(const PrepareOptions& o) {
  PreparedRun run;
  run.form = o.form;
  ViewImages images;
  std::vector<ViewCamera> cameras;
  RectifiedPair pair;
  RectifiedPair rectified;  // views 0 and 1 as a rectified pair; baseline 0 when they are not one
  if (o.form == "kitti") {
    const fs::path root(o.inputs[0]);
    const std::string& frame = o.inputs[1];
    run.frame = frame;
    pair = ReadKittiCalibration(FindKittiCalibration(o.inputs[0], frame, o.calib_file));
    AddView(images, (root / "image_2" / (frame + "_10.png")).string(), (root / "image_2" / (frame + "_11.png")).string());
    AddView(images, (root / "image_3" / (frame + "_10.png")).string(), (root / "image_3" / (frame + "_11.png")).string());
    cameras = PairCameras(pair);
    run.source = "KITTI frame " + frame + " in " + o.inputs[0];
  } else if (o.form == "pair") {
    AddView(images, o.inputs[0], o.inputs[2]);
    AddView(images, o.inputs[1], o.inputs[3]);
    pair.focal = *o.focal;
    pair.baseline = *o.baseline;
    pair.cx = o.cx.value_or(images.time0[0].cols / 2);
    pair.cy = o.cy.value_or(images.time0[0].rows / 2);
    pair.doffs = o.doffs;
    cameras = PairCameras(pair);
    run.source = "the pair " + o.inputs[0] + ", " + o.inputs[1] + " (time 0) and " + o.inputs[2] +
                 ", " + o.inputs[3] + " (time t)";
  } else if (o.form == "mono") {
    AddView(images, o.inputs[0], o.inputs[1]);
    const cv::Size size = images.time0[0].size();
    // Without a focal length, a field of view of about 53 degrees: the focal length only sets the
    // units, since one camera measures no depth.
    pair.focal = o.focal.value_or(size.width);
    pair.cx = size.width / 2;
    pair.cy = size.height / 2;
    cameras.resize(1);
    cameras[0].C = cv::Matx33d(pair.focal, 0, pair.cx, 0, pair.focal, pair.cy, 0, 0, 1);
    run.source = "the frames " + o.inputs[0] + " and " + o.inputs[1];
  } else {
    const std::vector<ListedView> listed = ReadViewList(o.inputs[0]);
    for (const ListedView& view : listed) {
      AddView(images, view.image_time0, view.image_timet);
      cameras.push_back(view.camera);
    }
    cameras = RelativeToReference(cameras);
    pair.focal = cameras[0].C(0, 0);
    pair.cx = cameras[0].C(0, 2);
    pair.cy = cameras[0].C(1, 2);
    // A rectified pair among the views is matched directly; prepared.txt still gives baseline 0,
    // as views carry their own calibration.
    if (cameras.size() > 1 && IsRectifiedPair(cameras[0], cameras[1])) {
      rectified.baseline = -cameras[1].T[0];
      rectified.doffs = cameras[1].C(0, 2) - cameras[0].C(0, 2);
    }
    run.source = "the view list " + o.inputs[0];
  }
  const int views = static_cast<int>(cameras.size());
  run.original_size = images.time0[0].size();
  if (run.original_size.width < 16 || run.original_size.height < 12) {
    throw InputError("Error: the images are " + SizeText(run.original_size) + " pixels, at least 16x12 are needed");
  }

  // Resize every image and the intrinsics by the scale.
  run.scale = o.scale;
  if (o.scale != 1) {
    for (std::vector<cv::Mat>* list : {&images.time0, &images.timet, &images.stored0, &images.storedt}) {
      for (cv::Mat& image : *list) {
        cv::Mat resized;
        cv::resize(image, resized, cv::Size(), o.scale, o.scale, cv::INTER_AREA);
        image = resized;
      }
    }
    for (ViewCamera& camera : cameras) camera.C = ScaleIntrinsics(camera.C, o.scale);
  }
  const cv::Size size = images.time0[0].size();
  if (size.width < 16 || size.height < 12) {
    char scale[32];
    std::snprintf(scale, sizeof(scale), "%g", o.scale);
    throw InputError("Error: --scale " + std::string(scale) + " leaves " + SizeText(size) +
                     " pixels, at least 16x12 are needed");
  }
  run.reference = pair;
  run.reference.focal = cameras[0].C(0, 0);
  run.reference.cx = cameras[0].C(0, 2);
  run.reference.cy = cameras[0].C(1, 2);
  if (o.form != "views") rectified = pair;
  RectifiedPair scaled_pair = run.reference;
  scaled_pair.baseline = rectified.baseline;
  scaled_pair.doffs = rectified.doffs * o.scale;

  // Start values.
  const bool stereo_pair = views > 1 && rectified.baseline > 0;
  // The reference view's optical flow tells whether the scene moves: a start that holds the motion
  // when it does, the stereo start alone (zero motion) when nothing moves.
  const cv::Mat flow = ReferenceFlow(images.time0[0], images.timet[0]);
  double uncovered_motion = FlowLengthPercentile(flow, kMotionPercentile);
  run.init = !o.init.empty() ? o.init
                             : (views == 1 || uncovered_motion > kLeastSceneMotion ? "pipeline" : "stereo");
  if (run.init == "stereo" && views == 1) {
    throw InputError("Error: a stereo start needs two views; one camera takes --init pipeline or none");
  }
  const int max_disparity = o.max_disparity > 0 ? o.max_disparity : DefaultMaxDisparity(size.width);
  // Baseline of views 0 and 1 (the distance of view 1's centre), for units and the far limit.
  const double baseline = views > 1 ? cv::norm(cameras[1].R.t() * cameras[1].T) : 0;
  const double start_max_z = run.reference.focal * baseline / kSmallestDisparity;
  // Depth of view 0 from views 0 and 1 at one instant, matched on the images as stored (colour
  // or grey, whichever matches more consistently): a rectified pair directly, other views
  // through rectification.
  const auto stereo_depth = [&](cv::Mat image0, cv::Mat image1) {
    if (image0.channels() != image1.channels()) {
      if (image0.channels() == 3) cv::cvtColor(image0, image0, cv::COLOR_BGR2GRAY);
      if (image1.channels() == 3) cv::cvtColor(image1, image1, cv::COLOR_BGR2GRAY);
    }
    if (stereo_pair) return StereoDepth(image0, image1, scaled_pair, max_disparity, start_max_z);
    return ViewPairDepth(image0, image1, cameras[1], cameras[0].C, max_disparity, start_max_z);
  };
  const double mono_depth = run.reference.focal;  // U and V in pixels of the reference view
  if (run.init == "pipeline") {
    if (views == 1) {
      run.start = MonoStart(images.time0[0], images.timet[0], cameras[0].C, mono_depth);
    } else {
      run.start = TriangulateFlow(stereo_depth(images.stored0[0], images.stored0[1]),
                                  stereo_depth(images.storedt[0], images.storedt[1]), flow, cameras[0].C);
    }
    uncovered_motion = 0;
  } else if (run.init == "stereo") {
    run.start.Z = stereo_depth(images.stored0[0], images.stored0[1]);
  } else {
    // A constant depth: where the disparity is half the largest one searched; the mono units
    // for one camera or views without a baseline.
    const double depth = baseline > 0 ? run.reference.focal * baseline / (0.5 * max_disparity) : mono_depth;
    run.start.Z = cv::Mat(size, CV_32F, cv::Scalar(depth));
  }

  // Photometric preparation, the reference image first.
  run.photometric = PhotometricName(o.photometric);
  std::vector<cv::Mat> all{images.time0[0], images.timet[0]};
  for (int view = 1; view < views; ++view) {
    all.push_back(images.time0[view]);
    all.push_back(images.timet[view]);
  }
  const std::vector<cv::Mat> prepared = ApplyPhotometric(o.photometric, all);
  for (int view = 0; view < views; ++view) {
    run.time0.push_back(prepared[2 * view]);
    run.timet.push_back(prepared[2 * view + 1]);
  }
  run.cameras = cameras;

  SceneMeasures measures;
  measures.size = size;
  measures.focal = run.reference.focal;
  measures.baseline = baseline;
  measures.median_depth = Percentile(run.start.Z, 0.5);
  measures.far_depth = Percentile(run.start.Z, 0.99);
  measures.uncovered_motion = uncovered_motion;
  measures.motion_started = !run.start.U.empty();
  measures.views = views;
  run.settings = DeriveSettings(measures, o.sf_level.value_or(0));
  ApplyOverrides(o, run.settings);
  return run;
}

}  // namespace sceneflow::prepare
