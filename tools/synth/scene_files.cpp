#include "tools/synth/scene_files.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "config/input_error.h"
#include "tools/common/output_files.h"

namespace sceneflow::synth {
namespace {

namespace fs = std::filesystem;
using tools::MakeFolder;
using tools::WriteImage;
using tools::WriteText;
using tools::WriteTextMatrixFile;

std::string ViewFile(const std::string& prefix, int view, const std::string& extension) {
  char name[256];
  std::snprintf(name, sizeof(name), "%s%d.%s", prefix.c_str(), view, extension.c_str());
  return name;
}

struct Range {
  double lo = 0, hi = 0;
  int count = 0;
  void Add(double value) {
    if (count == 0 || value < lo) lo = value;
    if (count == 0 || value > hi) hi = value;
    ++count;
  }
};

std::string Vector(const cv::Vec3d& v) {
  char text[128];
  std::snprintf(text, sizeof(text), "(%.2f, %.2f, %.2f)", v[0], v[1], v[2]);
  return text;
}

const char* ShapeName(Shape shape) {
  switch (shape) {
    case Shape::kPlane: return "plane";
    case Shape::kSphere: return "sphere";
    case Shape::kBox: return "box";
  }
  return "?";
}

}  // namespace

std::string SceneIni(const Scene& scene, const std::string& stereo_executable) {
  const bool stereo = !stereo_executable.empty();
  const SolverSettings& s = scene.solver;
  const Camera& reference = scene.cameras[0];
  std::ostringstream ini;
  ini.precision(12);
  ini << "; Synthetic scene \"" << scene.preset << "\" (seed " << scene.seed << ") from sceneflow-synth.\n"
      << "; Run it from this folder: sceneflow " << kIniName << "\n"
      << "; The reference intrinsics below equal calib/C0.txt; Tx is minus the baseline of view 1.\n"
      << "\n[Global]\n"
      << "AlphaSF = " << s.alpha_sf << "\n"
      << "AlphaW = " << s.alpha_w << "\n"
      << "AlphaZ = " << s.alpha_z << "\n"
      << "f0ku = " << reference.C(0, 0) << "\n"
      << "f0kv = " << reference.C(1, 1) << "\n"
      << "u0 = " << reference.C(0, 2) << "\n"
      << "v0 = " << reference.C(1, 2) << "\n"
      << "Tx = " << -scene.baseline << "\n"
      << "maxZ = " << s.max_z << "\n"
      << "NumOfViews = " << scene.cameras.size() << "\n"
      << "MaxIterOuter = " << s.max_iter_outer << "\n"
      << "MaxIterInner = " << s.max_iter_inner << "\n"
      << "MaxIterSOR = " << s.max_iter_sor << "\n"
      << "OmegaSOR = " << s.omega_sor << "\n"
      << "PyramidLevelsSF = " << s.pyramid_levels << "\n"
      << "PyramidLevelsFlow = " << s.pyramid_levels << "\n"
      << "PyramidLevelFinal = 1\n"
      << "PyramidEta = " << s.pyramid_eta << "\n"
      << "LogFile = " << kResultsDir << "/sf.log\n"
      << "InitStereo = " << (stereo ? 1 : 0) << "\n";
  if (stereo) {
    ini << "InitStereoBP = 1\n"
        << "StereoExecutable = " << stereo_executable << "\n"
        << "Il0_FileName = " << ViewFile(kTime0Prefix, 0, "png") << "\n"
        << "Ir0_FileName = " << ViewFile(kTime0Prefix, 1, "png") << "\n";
  }
  ini << "Img_0_FileName = " << kTime0Prefix << "\n"
      << "Img_t_FileName = " << kTimeTPrefix << "\n"
      << "ImgPrefix = png\n"
      << "CMat_FileName = " << kCalibrationDir << "/C\n"
      << "RMat_FileName = " << kCalibrationDir << "/R\n"
      << "TMat_FileName = " << kCalibrationDir << "/T\n"
      << "TxtResultsDir = " << kResultsDir << "\n"
      << "\n[Stereo]\n";
  if (stereo) ini << "ST_D0_Init_Middlebury_FileName = " << kStereoDisparityName << "\n";
  ini << "\n[SceneFlow]\n"
      << "SF_Z0_start_Txt_FileName = " << kStartDepthName << "\n"
      << "SF_U_Final_FileName = " << kResultsDir << "/U_final.png\n"
      << "SF_V_Final_FileName = " << kResultsDir << "/V_final.png\n"
      << "SF_W_Final_FileName = " << kResultsDir << "/W_final.png\n";
  return ini.str();
}

std::string SceneDescription(const Scene& scene, const GroundTruth& truth) {
  Range depth, u, v, w;
  int valid = 0;
  for (int y = 0; y < truth.Z.rows; ++y) {
    for (int x = 0; x < truth.Z.cols; ++x) {
      if (truth.valid.at<uint8_t>(y, x) == 0) continue;
      ++valid;
      depth.Add(truth.Z.at<double>(y, x));
      u.Add(truth.U.at<double>(y, x));
      v.Add(truth.V.at<double>(y, x));
      w.Add(truth.W.at<double>(y, x));
    }
  }
  const double middle = depth.count > 0 ? 0.5 * (depth.lo + depth.hi) : 550.0;
  std::ostringstream text;
  char line[512];
  text << "Synthetic scene \"" << scene.preset << "\", seed " << scene.seed << ", rendered by sceneflow-synth.\n";
  std::snprintf(line, sizeof(line),
                "Images %dx%d, %zu view(s) in a %s layout, baseline %g units, view rotations up to %g deg,\n"
                "focal length %g pixels, principal point (%g, %g), %dx%d rays per pixel.\n",
                scene.size.width, scene.size.height, scene.cameras.size(), scene.layout.c_str(),
                scene.baseline, scene.rotate_degrees, scene.focal, scene.cameras[0].C(0, 2),
                scene.cameras[0].C(1, 2), scene.supersampling, scene.supersampling);
  text << line;
  if (scene.noise_sigma > 0 || scene.gain_time_t != 1) {
    std::snprintf(line, sizeof(line), "Sensor: noise of %g grey levels, images at time t %+g %% brighter.\n",
                  scene.noise_sigma, 100.0 * (scene.gain_time_t - 1));
    text << line;
  }
  text << "\nObjects (positions in the reference camera frame, motion from time 0 to time t):\n";
  for (const SceneObject& object : scene.objects) {
    std::snprintf(line, sizeof(line), "  %-16s %-6s centre %s, moves by %s, turns by %.2f deg\n",
                  object.name.c_str(), ShapeName(object.shape), Vector(object.centre).c_str(),
                  Vector(object.translation).c_str(), cv::norm(object.rotation) * 180.0 / M_PI);
    text << line;
  }
  std::snprintf(line, sizeof(line),
                "\nGround truth over the %d valid pixels (%.1f %% of the image):\n"
                "  depth Z %.1f to %.1f, U %.2f to %.2f, V %.2f to %.2f, W %.2f to %.2f\n",
                valid, 100.0 * valid / truth.Z.total(), depth.lo, depth.hi, u.lo, u.hi, v.lo, v.hi,
                w.lo, w.hi);
  text << line;
  std::snprintf(line, sizeof(line),
                "\nUnits: at depth %.0f one unit of U or V moves the projection in view 0 by %.3f pixels;\n"
                "one unit of Z changes the disparity to view 1 by %.4f pixels (W alike, plus a looming\n"
                "shift of (x - u0)/Z pixels per unit at column x).\n",
                middle, PixelsPerUnitMotion(scene, middle), PixelsPerUnitDepth(scene, middle));
  text << line;
  std::snprintf(line, sizeof(line),
                "Smoothness weights in %s: AlphaSF %g, AlphaW %g, AlphaZ %g (maxZ %g, %d pyramid levels,\n"
                "PyramidEta %g).\n",
                kIniName, scene.solver.alpha_sf, scene.solver.alpha_w, scene.solver.alpha_z,
                scene.solver.max_z, scene.solver.pyramid_levels, scene.solver.pyramid_eta);
  text << line;
  text << "\nFiles: " << kTime0Prefix << "N.png and " << kTimeTPrefix
       << "N.png (view N at time 0 and t), calib/CN.txt, RN.txt, TN.txt,\n"
       << "truth/Z.txt, U.txt, V.txt, W.txt (full-size ground truth of view 0), truth/valid.png (255 =\n"
       << "visible in every view at both instants and away from silhouettes), truth/camera.txt (f0ku f0kv\n"
       << "u0 v0), " << kStartDepthName << " (blurred noisy start depth), " << kIniName << ", results/.\n"
       << "Evaluate a run with: sceneflow-eval results truth\n";
  return text.str();
}

void WriteSceneFolder(const Scene& scene, const std::string& folder, const std::string& stereo_executable) {
  if (!stereo_executable.empty()) {
    if (scene.cameras.size() < 2 || scene.rotate_degrees > 0) {
      throw InputError("Error: a stereo start needs views 0 and 1 as an unrotated pair (2 or more views, --rotate 0)");
    }
  }
  const fs::path root(folder);
  MakeFolder(folder);
  MakeFolder((root / kCalibrationDir).string());
  MakeFolder((root / kTruthDir).string());
  MakeFolder((root / kResultsDir).string());

  for (size_t view = 0; view < scene.cameras.size(); ++view) {
    const int v = static_cast<int>(view);
    WriteImage(RenderView(scene, v, Instant::kTime0), (root / ViewFile(kTime0Prefix, v, "png")).string());
    WriteImage(RenderView(scene, v, Instant::kTimeT), (root / ViewFile(kTimeTPrefix, v, "png")).string());
    const Camera& camera = scene.cameras[view];
    const fs::path calibration = root / kCalibrationDir;
    WriteTextMatrixFile(cv::Mat(camera.C), (calibration / ViewFile("C", v, "txt")).string());
    WriteTextMatrixFile(cv::Mat(camera.R), (calibration / ViewFile("R", v, "txt")).string());
    WriteTextMatrixFile(cv::Mat(camera.T), (calibration / ViewFile("T", v, "txt")).string());
  }

  const GroundTruth truth = ComputeGroundTruth(scene);
  const fs::path truth_dir = root / kTruthDir;
  WriteTextMatrixFile(truth.Z, (truth_dir / "Z.txt").string());
  WriteTextMatrixFile(truth.U, (truth_dir / "U.txt").string());
  WriteTextMatrixFile(truth.V, (truth_dir / "V.txt").string());
  WriteTextMatrixFile(truth.W, (truth_dir / "W.txt").string());
  WriteImage(truth.valid, (truth_dir / "valid.png").string());
  const Camera& reference = scene.cameras[0];
  const cv::Mat camera = (cv::Mat_<double>(1, 4) << reference.C(0, 0), reference.C(1, 1),
                          reference.C(0, 2), reference.C(1, 2));
  WriteTextMatrixFile(camera, (truth_dir / "camera.txt").string());
  WriteTextMatrixFile(MakeStartDepth(truth.Z, scene.seed), (root / kStartDepthName).string());

  WriteText(SceneIni(scene, stereo_executable), (root / kIniName).string());
  WriteText(SceneDescription(scene, truth), (root / "description.txt").string());
}

}  // namespace sceneflow::synth
