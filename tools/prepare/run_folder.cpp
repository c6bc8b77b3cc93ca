#include "tools/prepare/run_folder.h"

#include <filesystem>
#include <sstream>

#include "config/input_error.h"
#include "tools/common/number_text.h"
#include "tools/common/output_files.h"

namespace sceneflow::prepare {
namespace {

namespace fs = std::filesystem;
using tools::MakeFolder;
using tools::NumberText;
using tools::WriteImage;
using tools::WriteText;
using tools::WriteTextMatrixFile;

constexpr char kImagesDir[] = "images";
constexpr char kCalibrationDir[] = "calib";
constexpr char kStartDir[] = "start";
constexpr char kResultsDir[] = "results";
constexpr char kTime0Prefix[] = "images/img0_";
constexpr char kTimeTPrefix[] = "images/imgt_";

// Quotes a path for the shell: inside single quotes, each ' written as '\''.
std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// "Key = value ; why" lines of run.ini.
class IniWriter {
 public:
  void Line(const std::string& key, const std::string& value, const std::string& why) {
    text_ << key << " = " << value;
    if (!why.empty()) text_ << " ; " << why;
    text_ << "\n";
  }
  void Line(const std::string& key, const Setting& setting) { Line(key, NumberText(setting.value), setting.why); }
  void Raw(const std::string& text) { text_ << text; }
  std::string Text() const { return text_.str(); }

 private:
  std::ostringstream text_;
};

// "SCENEFLOW_DEPTH_PRIOR=start and SCENEFLOW_MOTION_PRIOR=camera", the priors that are set.
std::string PriorAssignments(const RunPriors& priors) {
  std::string text;
  if (!priors.depth.empty()) text = "SCENEFLOW_DEPTH_PRIOR=" + priors.depth;
  if (!priors.motion.empty()) {
    text += (text.empty() ? "" : " and ") + std::string("SCENEFLOW_MOTION_PRIOR=") + priors.motion;
  }
  return text;
}

}  // namespace

RunPriors RunPriorsOf(const PreparedFolder& run) { return RunPriorsOf(run.init, run.cameras.size()); }

RunPriors RunPriorsOf(const std::string& init, size_t view_count) {
  const bool views = view_count > 1;
  if (views && init == "stereo") return {"start", "camera"};
  if (views && init == "pipeline") return {"auto", "auto"};
  if (!views && init == "pipeline") return {"", "auto"};
  return {};
}

std::string RunIni(const PreparedFolder& run) {
  const DerivedSettings& s = run.settings;
  const ViewCamera& reference = run.cameras[0];
  const bool motion_start = !run.start.U.empty();
  IniWriter ini;
  ini.Raw("; Prepared by sceneflow-prepare (" + run.form + ") from " + run.source + "\n");
  ini.Raw("; Run it from this folder: sceneflow " + std::string(kRunIni) + "\n");
  const RunPriors priors = RunPriorsOf(run);
  if (!priors.depth.empty() || !priors.motion.empty()) {
    ini.Raw("; run.sh runs it with " + PriorAssignments(priors) + " (see run.sh).\n");
  }
  ini.Raw("; Every derived setting says why it was chosen; change any of them here or with the\n"
          "; corresponding sceneflow-prepare flag.\n\n[Global]\n");
  ini.Line("NumOfViews", std::to_string(run.cameras.size()),
           run.cameras.size() == 1 ? "one camera: the reference view's 2D motion is estimated"
                                   : "view 0 is the reference camera");
  ini.Line("f0ku", NumberText(reference.C(0, 0)), "reference focal length in pixels of images/ (calib/C0.txt)");
  ini.Line("f0kv", NumberText(reference.C(1, 1)), "");
  ini.Line("u0", NumberText(reference.C(0, 2)), "reference principal point in pixels of images/");
  ini.Line("v0", NumberText(reference.C(1, 2)), "");
  if (run.reference.baseline > 0) ini.Line("Tx", NumberText(-run.reference.baseline), "minus the baseline of view 1");
  ini.Line("AlphaSF", s.alpha_sf);
  ini.Line("AlphaW", s.alpha_w);
  ini.Line("AlphaZ", s.alpha_z);
  ini.Line("maxZ", s.max_z);
  ini.Line("PyramidEta", s.eta);
  ini.Line("PyramidLevelsFlow", s.levels_flow);
  ini.Line("PyramidLevelsSF", s.levels_sf);
  ini.Line("PyramidLevelFinal", "1", "results at the full size of images/");
  ini.Line("MaxIterOuter", s.outer);
  ini.Line("MaxIterInner", s.inner);
  ini.Line("MaxIterSOR", s.sor);
  ini.Line("InitStereo", "0", "the start values are the text files in start/");
  ini.Line("Img_0_FileName", kTime0Prefix, "view i at time 0: images/img0_i.png (" + run.photometric +
           " photometric preparation)");
  ini.Line("Img_t_FileName", kTimeTPrefix, "view i at time t: images/imgt_i.png");
  ini.Line("ImgPrefix", "png", "");
  ini.Line("CMat_FileName", "calib/C", "calib/Ci.txt, Ri.txt, Ti.txt: a reference point P lies at R*P + T in view i");
  ini.Line("RMat_FileName", "calib/R", "");
  ini.Line("TMat_FileName", "calib/T", "");
  ini.Line("TxtResultsDir", kResultsDir, "");
  ini.Line("LogFile", "run.log", "");
  ini.Raw("\n[SceneFlow]\n");
  ini.Line("SF_Z0_start_Txt_FileName", "start/Z0.txt",
           run.init == "none" ? "constant start depth" : "start depth at full size (" + run.init + " start)");
  if (motion_start) {
    ini.Line("SF_U_start_Txt_FileName", "start/U.txt", "start motion at full size (" + run.init + " start)");
    ini.Line("SF_V_start_Txt_FileName", "start/V.txt", "");
    ini.Line("SF_W_start_Txt_FileName", "start/W.txt", "");
  }
  ini.Line("SF_U_Final_FileName", "results/U_final.png", "colour pictures of the final motion");
  ini.Line("SF_V_Final_FileName", "results/V_final.png", "");
  ini.Line("SF_W_Final_FileName", "results/W_final.png", "");
  return ini.Text();
}

tools::PreparedFile PreparedFileOf(const PreparedFolder& run) {
  tools::PreparedFile prepared;
  prepared.form = run.form;
  prepared.frame = run.frame;
  prepared.size = run.time0[0].size();
  prepared.original_size = run.original_size;
  prepared.scale = run.scale;
  prepared.focal = run.reference.focal;
  prepared.cx = run.reference.cx;
  prepared.cy = run.reference.cy;
  prepared.baseline = run.reference.baseline;
  prepared.doffs = run.reference.doffs;
  prepared.init = run.init;
  prepared.photometric = run.photometric;
  prepared.views = run.cameras.size();
  return prepared;
}

std::string RunScript(const PreparedFolder& run, const std::string& estimator) {
  std::string script =
      "#!/bin/sh\n"
      "# Runs the estimator on this folder as sceneflow-prepare chose. SCENEFLOW names another\n"
      "# estimator; arguments are passed on after run.ini.\n"
      "cd \"$(dirname \"$0\")\" || exit 1\n";
  const RunPriors priors = RunPriorsOf(run);
  if (priors.depth == "start") {
    script += "# A static scene: depth held near the stereo start where the views observe it, and\n"
              "# the motion on the camera's, which does not move.\n";
  } else if (!priors.motion.empty()) {
    script += "# Depth and motion held near the start where the images contradict it beyond what\n"
              "# brightness constancy allows (lighting, exposure, reflections): the estimator\n"
              "# measures that first (\"** Start misfit\" in the log).\n";
  }
  for (const auto& [name, value] : {std::pair{"SCENEFLOW_DEPTH_PRIOR", priors.depth},
                                    std::pair{"SCENEFLOW_MOTION_PRIOR", priors.motion}}) {
    if (value.empty()) continue;
    script += std::string(name) + "=${" + name + ":-" + value + "}\nexport " + name + "\n";
  }
  if (!priors.depth.empty() || !priors.motion.empty()) {
    script += "# Set outside, SCENEFLOW_DEPTH_PRIOR=none or SCENEFLOW_MOTION_PRIOR=none runs without.\n";
  }
  script += "estimator=${SCENEFLOW:-" + ShellQuoted(estimator) + "}\n";
  script += "exec \"$estimator\" " + std::string(kRunIni) + " \"$@\"\n";
  return script;
}

void WriteRunFolder(const PreparedFolder& run, const std::string& folder, const std::string& estimator) {
  const fs::path root(folder);
  for (const char* sub : {kImagesDir, kCalibrationDir, kStartDir, kResultsDir}) MakeFolder(root / sub);
  for (size_t view = 0; view < run.cameras.size(); ++view) {
    const std::string index = std::to_string(view);
    WriteImage(run.time0[view], root / (kTime0Prefix + index + ".png"));
    WriteImage(run.timet[view], root / (kTimeTPrefix + index + ".png"));
    const ViewCamera& camera = run.cameras[view];
    const fs::path calibration = root / kCalibrationDir;
    WriteTextMatrixFile(cv::Mat(camera.C), (calibration / ("C" + index + ".txt")).string());
    WriteTextMatrixFile(cv::Mat(camera.R), (calibration / ("R" + index + ".txt")).string());
    WriteTextMatrixFile(cv::Mat(camera.T), (calibration / ("T" + index + ".txt")).string());
  }
  const fs::path start = root / kStartDir;
  WriteTextMatrixFile(run.start.Z, (start / "Z0.txt").string());
  if (!run.start.U.empty()) {
    WriteTextMatrixFile(run.start.U, (start / "U.txt").string());
    WriteTextMatrixFile(run.start.V, (start / "V.txt").string());
    WriteTextMatrixFile(run.start.W, (start / "W.txt").string());
  }
  WriteText(RunIni(run), root / kRunIni);
  WriteText(RunScript(run, estimator), root / kRunScript);
  std::error_code error;
  fs::permissions(root / kRunScript,
                  fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::add, error);
  if (error) throw InputError("Error: cannot make " + (root / kRunScript).string() + " executable");
  WriteText(tools::PreparedFileText(PreparedFileOf(run)), root / tools::kPreparedFile);
}

}  // namespace sceneflow::prepare
