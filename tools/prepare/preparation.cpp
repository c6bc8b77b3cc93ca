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

// The views as read, before any resizing: the images, the cameras, the reference pair (focal and
// principal point; baseline and disparity offset of the original images) and views 0 and 1 as a
// rectified pair (baseline 0 when they are not one).
struct InputViews {
  ViewImages images;
  std::vector<ViewCamera> cameras;
  RectifiedPair pair;
  RectifiedPair rectified;
};

InputViews ReadKittiViews(const PrepareOptions& o, PreparedFolder& run) {
  InputViews views;
  const fs::path root(o.inputs[0]);
  const std::string& frame = o.inputs[1];
  run.frame = frame;
  views.pair = ReadKittiCalibration(FindKittiCalibration(o.inputs[0], frame, o.calib_file));
  AddView(views.images, (root / "image_2" / (frame + "_10.png")).string(),
          (root / "image_2" / (frame + "_11.png")).string());
  AddView(views.images, (root / "image_3" / (frame + "_10.png")).string(),
          (root / "image_3" / (frame + "_11.png")).string());
  views.cameras = PairCameras(views.pair);
  run.source = "KITTI frame " + frame + " in " + o.inputs[0];
  return views;
}

InputViews ReadPairViews(const PrepareOptions& o, PreparedFolder& run) {
  InputViews views;
  AddView(views.images, o.inputs[0], o.inputs[2]);
  AddView(views.images, o.inputs[1], o.inputs[3]);
  views.pair.focal = *o.focal;
  views.pair.baseline = *o.baseline;
  views.pair.cx = o.cx.value_or(views.images.time0[0].cols / 2);
  views.pair.cy = o.cy.value_or(views.images.time0[0].rows / 2);
  views.pair.doffs = o.doffs;
  views.cameras = PairCameras(views.pair);
  run.source = "the pair " + o.inputs[0] + ", " + o.inputs[1] + " (time 0) and " + o.inputs[2] + ", " +
               o.inputs[3] + " (time t)";
  return views;
}

InputViews ReadMonoViews(const PrepareOptions& o, PreparedFolder& run) {
  InputViews views;
  AddView(views.images, o.inputs[0], o.inputs[1]);
  const cv::Size size = views.images.time0[0].size();
  // Without a focal length, a field of view of about 53 degrees: the focal length only sets the
  // units, since one camera measures no depth.
  views.pair.focal = o.focal.value_or(size.width);
  views.pair.cx = size.width / 2;
  views.pair.cy = size.height / 2;
  views.cameras.resize(1);
  views.cameras[0].C = cv::Matx33d(views.pair.focal, 0, views.pair.cx, 0, views.pair.focal, views.pair.cy, 0, 0, 1);
  run.source = "the frames " + o.inputs[0] + " and " + o.inputs[1];
  return views;
}

InputViews ReadListedViews(const PrepareOptions& o, PreparedFolder& run) {
  InputViews views;
  const std::vector<ListedView> listed = ReadViewList(o.inputs[0]);
  for (const ListedView& view : listed) {
    AddView(views.images, view.image_time0, view.image_timet);
    views.cameras.push_back(view.camera);
  }
  views.cameras = RelativeToReference(views.cameras);
  const ViewCamera& reference = views.cameras[0];
  views.pair.focal = reference.C(0, 0);
  views.pair.cx = reference.C(0, 2);
  views.pair.cy = reference.C(1, 2);
  // A rectified pair among the views is matched directly; prepared.txt still gives baseline 0,
  // as views carry their own calibration.
  if (views.cameras.size() > 1 && IsRectifiedPair(views.cameras[0], views.cameras[1])) {
    views.rectified.baseline = -views.cameras[1].T[0];
    views.rectified.doffs = views.cameras[1].C(0, 2) - views.cameras[0].C(0, 2);
  }
  run.source = "the view list " + o.inputs[0];
  return views;
}

InputViews ReadInputViews(const PrepareOptions& o, PreparedFolder& run) {
  if (o.form == "kitti") return ReadKittiViews(o, run);
  if (o.form == "views") return ReadListedViews(o, run);
  InputViews views = o.form == "pair" ? ReadPairViews(o, run) : ReadMonoViews(o, run);
  views.rectified = views.pair;
  return views;
}

// Resizes every image and the intrinsics by the scale. Throws InputError when the images are, or
// the scale leaves them, smaller than 16×12 pixels.
void ResizeViews(InputViews& views, double scale) {
  const cv::Size original_size = views.images.time0[0].size();
  if (original_size.width < 16 || original_size.height < 12) {
    throw InputError("Error: the images are " + SizeText(original_size) + " pixels, at least 16x12 are needed");
  }
  if (scale != 1) {
    ViewImages& images = views.images;
    for (std::vector<cv::Mat>* list : {&images.time0, &images.timet, &images.stored0, &images.storedt}) {
      for (cv::Mat& image : *list) {
        cv::Mat resized;
        cv::resize(image, resized, cv::Size(), scale, scale, cv::INTER_AREA);
        image = resized;
      }
    }
    for (ViewCamera& camera : views.cameras) camera.C = ScaleIntrinsics(camera.C, scale);
  }
  const cv::Size size = views.images.time0[0].size();
  if (size.width < 16 || size.height < 12) {
    char text[32];
    std::snprintf(text, sizeof(text), "%g", scale);
    throw InputError("Error: --scale " + std::string(text) + " leaves " + SizeText(size) +
                     " pixels, at least 16x12 are needed");
  }
}

// Computes the start kind and values of the run; returns the motion the start leaves to the
// estimator, as FlowLengthPercentile measures it (0 for a start that holds the motion).
double ComputeStartValues(const PrepareOptions& o, const InputViews& input, const RectifiedPair& scaled_pair,
                          double baseline, PreparedFolder& run) {
  const ViewImages& images = input.images;
  const std::vector<ViewCamera>& cameras = input.cameras;
  const int views = static_cast<int>(cameras.size());
  const cv::Size size = images.time0[0].size();
  const bool stereo_pair = views > 1 && input.rectified.baseline > 0;
  // The reference view's optical flow tells whether the scene moves: a start that holds the motion
  // when it does, the stereo start alone (zero motion) when nothing moves.
  const cv::Mat flow = ReferenceFlow(images.time0[0], images.timet[0]);
  const double uncovered_motion = FlowLengthPercentile(flow, kMotionPercentile);
  run.init = !o.init.empty() ? o.init
                             : (views == 1 || uncovered_motion > kLeastSceneMotion ? "pipeline" : "stereo");
  if (run.init == "stereo" && views == 1) {
    throw InputError("Error: a stereo start needs two views; one camera takes --init pipeline or none");
  }
  const int max_disparity = o.max_disparity > 0 ? o.max_disparity : DefaultMaxDisparity(size.width);
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
    return 0;
  }
  if (run.init == "stereo") {
    run.start.Z = stereo_depth(images.stored0[0], images.stored0[1]);
  } else {
    // A constant depth: where the disparity is half the largest one searched; the mono units
    // for one camera or views without a baseline.
    const double depth = baseline > 0 ? run.reference.focal * baseline / (0.5 * max_disparity) : mono_depth;
    run.start.Z = cv::Mat(size, CV_32F, cv::Scalar(depth));
  }
  return uncovered_motion;
}

// The photometric preparation of every image, the reference image first, into the run's images.
void PrepareImages(Photometric photometric, const ViewImages& images, size_t views, PreparedFolder& run) {
  run.photometric = PhotometricName(photometric);
  std::vector<cv::Mat> all{images.time0[0], images.timet[0]};
  for (size_t view = 1; view < views; ++view) {
    all.push_back(images.time0[view]);
    all.push_back(images.timet[view]);
  }
  const std::vector<cv::Mat> prepared = ApplyPhotometric(photometric, all);
  for (size_t view = 0; view < views; ++view) {
    run.time0.push_back(prepared[2 * view]);
    run.timet.push_back(prepared[2 * view + 1]);
  }
}

DerivedSettings SettingsOf(const PrepareOptions& o, const PreparedFolder& run, double baseline,
                           double uncovered_motion) {
  SceneMeasures measures;
  measures.size = run.time0[0].size();
  measures.focal = run.reference.focal;
  measures.baseline = baseline;
  measures.median_depth = Percentile(run.start.Z, 0.5);
  measures.far_depth = Percentile(run.start.Z, 0.99);
  measures.uncovered_motion = uncovered_motion;
  measures.motion_started = !run.start.U.empty();
  measures.views = static_cast<int>(run.cameras.size());
  DerivedSettings settings = DeriveSettings(measures, o.sf_level.value_or(0));
  ApplyOverrides(o, settings);
  return settings;
}

}  // namespace

PreparedFolder Prepare(const PrepareOptions& o) {
  PreparedFolder run;
  run.form = o.form;
  InputViews views = ReadInputViews(o, run);
  run.original_size = views.images.time0[0].size();
  ResizeViews(views, o.scale);
  run.scale = o.scale;
  const ViewCamera& reference = views.cameras[0];
  run.reference = views.pair;
  run.reference.focal = reference.C(0, 0);
  run.reference.cx = reference.C(0, 2);
  run.reference.cy = reference.C(1, 2);
  RectifiedPair scaled_pair = run.reference;
  scaled_pair.baseline = views.rectified.baseline;
  scaled_pair.doffs = views.rectified.doffs * o.scale;
  // Baseline of views 0 and 1 (the distance of view 1's centre), for units and the far limit.
  const double baseline = views.cameras.size() > 1 ? cv::norm(views.cameras[1].R.t() * views.cameras[1].T) : 0;

  const double uncovered_motion = ComputeStartValues(o, views, scaled_pair, baseline, run);
  PrepareImages(o.photometric, views.images, views.cameras.size(), run);
  run.cameras = views.cameras;
  run.settings = SettingsOf(o, run, baseline, uncovered_motion);
  return run;
}

}  // namespace sceneflow::prepare
