// sceneflow-prepare: turns images and calibration as users have them into a run folder that the
// estimator runs on directly (OUT_DIR/run.sh, or cd OUT_DIR && sceneflow run.ini).

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "config/input_error.h"
#include "io/program_errors.h"
#include "tools/common/arguments.h"
#include "tools/common/number_text.h"
#include "tools/prepare/preparation.h"

namespace {

using sceneflow::InputError;
using sceneflow::prepare::PrepareOptions;

void PrintUsage(FILE* stream, const char* program) {
  std::fprintf(
      stream,
      "Usage: %s kitti KITTI_DIR FRAME OUT_DIR [--calib FILE]\n"
      "       %s pair LEFT_0 RIGHT_0 LEFT_T RIGHT_T OUT_DIR --focal F --baseline B\n"
      "              [--cx X --cy Y] [--doffs D]\n"
      "       %s mono FRAME_0 FRAME_T OUT_DIR [--focal F]\n"
      "       %s views LIST OUT_DIR\n"
      "Prepares a run folder: images as the estimator reads them, calibration files, start values\n"
      "and run.ini, whose settings are derived from the data and each say why. Run it with\n"
      "  OUT_DIR/run.sh\n"
      "which runs the sceneflow beside this program (or $SCENEFLOW) on run.ini with the priors\n"
      "chosen for the start: SCENEFLOW_DEPTH_PRIOR and SCENEFLOW_MOTION_PRIOR (README)\n"
      "Forms:\n"
      "  kitti  the benchmark's layout: image_2/FRAME_10.png, _11.png (left, the reference) and\n"
      "         image_3 (right); calibration from calib_cam_to_cam/FRAME.txt, a drive's\n"
      "         calib_cam_to_cam.txt or --calib (P_rect_02, P_rect_03)\n"
      "  pair   a rectified pair at two instants, the right camera at +B along x; the same pair\n"
      "         twice is a static scene; --doffs is Middlebury's disparity offset (depth =\n"
      "         F*B/(d + D)); the principal point defaults to the image centre\n"
      "  mono   one camera: the reference view's 2D motion is estimated, depth held constant\n"
      "         (--focal defaults to the image width)\n"
      "  views  any number of calibrated views; LIST has one line per view, view 0 first:\n"
      "           IMAGE_0 IMAGE_T C.txt R.txt T.txt    or    IMAGE_0 IMAGE_T and 21 numbers (C, R, T)\n"
      "         where a reference-frame point P lies at R*P + T in the view; '#' starts a comment\n"
      "Options:\n"
      "  --init stereo|pipeline|none  start values: depth from the bundled stereo matcher (the\n"
      "                     default with two or more views when nothing moves); pipeline adds\n"
      "                     optical flow (OpenCV DIS) turned into U, V, W with stereo at both\n"
      "                     instants (the default when the scene moves, and for mono); none: a\n"
      "                     constant depth and no motion\n"
      "  --photometric match|structure-texture|local|none  make the images comparable (default\n"
      "                     match: each image's mean and deviation set to the reference image's)\n"
      "  --scale S          resize the images by S (0 < S <= 1) before anything else\n"
      "  --max-disparity N  stereo search range (default a quarter of the width, at most 127)\n"
      "Derived settings, each overridable:\n"
      "  --alpha-sf A --alpha-w A --alpha-z A   smoothness weights of U and V, of W, of Z\n"
      "  --max-z Z          depth limit        --eta E      pyramid reduction factor\n"
      "  --levels N         coarsest level     --sf-level N depth estimated from level N on\n"
      "  --outer N --inner N --sor N           iteration limits\n",
      program, program, program, program);
}

double ParseNumber(const std::string& text, const std::string& option) {
  const std::optional<double> value = sceneflow::tools::NumberIn(text);
  if (!value || !std::isfinite(*value)) {
    throw InputError("Error: " + option + " needs a number, not \"" + text + "\"");
  }
  return *value;
}

int ParseWhole(const std::string& text, const std::string& option) {
  const std::optional<long> value = sceneflow::tools::WholeNumberIn(text);
  if (!value || *value < 1 || *value > 1000) {
    throw InputError("Error: " + option + " needs a whole number from 1 to 1000, not \"" + text + "\"");
  }
  return static_cast<int>(*value);
}

double ParsePositive(const std::string& text, const std::string& option) {
  const double value = ParseNumber(text, option);
  if (!(value > 0)) throw InputError("Error: " + option + " must be positive, not " + text);
  return value;
}

// Sets the option `a` of `o` to `value`; throws InputError for an unknown option or a bad value.
void SetOption(PrepareOptions& o, const std::string& a, const std::string& value) {
  if (a == "--focal") o.focal = ParsePositive(value, a);
  else if (a == "--baseline") o.baseline = ParsePositive(value, a);
  else if (a == "--cx") o.cx = ParseNumber(value, a);
  else if (a == "--cy") o.cy = ParseNumber(value, a);
  else if (a == "--doffs") o.doffs = ParseNumber(value, a);
  else if (a == "--calib") o.calib_file = value;
  else if (a == "--init") {
    if (value != "stereo" && value != "pipeline" && value != "none") {
      throw InputError("Error: --init takes stereo, pipeline or none, not \"" + value + "\"");
    }
    o.init = value;
  } else if (a == "--photometric") {
    if (!sceneflow::prepare::ParsePhotometric(value, o.photometric)) {
      throw InputError("Error: --photometric takes match, structure-texture, local or none, not \"" + value + "\"");
    }
  } else if (a == "--scale") {
    o.scale = ParsePositive(value, a);
    if (o.scale > 1) throw InputError("Error: --scale must be at most 1, not " + value);
  } else if (a == "--max-disparity") {
    o.max_disparity = ParseWhole(value, a);
    if (o.max_disparity > 127) throw InputError("Error: --max-disparity must be at most 127, not " + value);
  } else if (a == "--alpha-sf") o.alpha_sf = ParsePositive(value, a);
  else if (a == "--alpha-w") o.alpha_w = ParsePositive(value, a);
  else if (a == "--alpha-z") o.alpha_z = ParsePositive(value, a);
  else if (a == "--max-z") o.max_z = ParsePositive(value, a);
  else if (a == "--eta") {
    o.eta = ParsePositive(value, a);
    if (*o.eta >= 1) throw InputError("Error: --eta must be below 1, not " + value);
  } else if (a == "--levels") o.levels = ParseWhole(value, a);
  else if (a == "--sf-level") o.sf_level = ParseWhole(value, a);
  else if (a == "--outer") o.outer = ParseWhole(value, a);
  else if (a == "--inner") o.inner = ParseWhole(value, a);
  else if (a == "--sor") o.sor = ParseWhole(value, a);
  else throw InputError("Error: unknown option " + a + " (see --help)");
}

// Reads the command line of a run without -h or --help.
PrepareOptions ParseArguments(int argc, char** argv) {
  PrepareOptions o;
  std::vector<std::string> positional;
  sceneflow::tools::ArgumentHandlers handlers;
  handlers.option = [&](const std::string& option, const std::string& value) {
    SetOption(o, option, value);
    return true;
  };
  handlers.positional = [&](const std::string& argument) {
    positional.push_back(argument);
    return true;
  };
  handlers.bare_dashes_positional = true;
  sceneflow::tools::WalkArguments(argc, argv, 1, handlers);
  if (positional.empty()) throw InputError("Error: no form given (kitti, pair, mono or views; see --help)");
  o.form = positional[0];
  static const std::map<std::string, size_t> kInputCount{{"kitti", 2}, {"pair", 4}, {"mono", 2}, {"views", 1}};
  const auto form = kInputCount.find(o.form);
  if (form == kInputCount.end()) {
    throw InputError("Error: unknown form \"" + o.form + "\" (kitti, pair, mono or views)");
  }
  if (positional.size() != form->second + 2) {
    throw InputError("Error: " + o.form + " takes " + std::to_string(form->second) +
                     " input(s) and OUT_DIR, got " + std::to_string(positional.size() - 1) +
                     " argument(s) (see --help)");
  }
  o.inputs.assign(positional.begin() + 1, positional.end() - 1);
  o.out_dir = positional.back();
  if (o.form == "pair" && (!o.focal || !o.baseline)) {
    throw InputError("Error: pair needs --focal F and --baseline B");
  }
  if (o.form != "kitti" && !o.calib_file.empty()) throw InputError("Error: --calib belongs to the kitti form");
  return o;
}

// The estimator that run.sh calls: the sceneflow beside this program, else the one on the PATH.
std::string EstimatorBesideThisProgram(const char* argv0) {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) self = std::filesystem::absolute(argv0, error);
  const std::filesystem::path beside = self.parent_path() / "sceneflow";
  if (!error && std::filesystem::is_regular_file(beside, error)) return beside.string();
  return "sceneflow";
}

int Run(int argc, char** argv) {
  if (sceneflow::tools::AsksForHelp(argc, argv)) {
    PrintUsage(stdout, argv[0]);
    return 0;
  }
  if (argc < 2) {
    PrintUsage(stderr, argv[0]);
    return 1;
  }
  const PrepareOptions options = ParseArguments(argc, argv);
  const sceneflow::prepare::PreparedFolder run = sceneflow::prepare::Prepare(options);
  sceneflow::prepare::WriteRunFolder(run, options.out_dir, EstimatorBesideThisProgram(argv[0]));
  const sceneflow::prepare::RunPriors priors = sceneflow::prepare::RunPriorsOf(run);
  std::string with;
  if (!priors.depth.empty()) with = "SCENEFLOW_DEPTH_PRIOR=" + priors.depth;
  if (!priors.motion.empty()) {
    with += (with.empty() ? "" : " ") + std::string("SCENEFLOW_MOTION_PRIOR=") + priors.motion;
  }
  std::printf("Prepared %s (%dx%d, %zu view(s), %s start, %s photometric step)\n"
              "Run it with: %s/run.sh%s\n",
              options.out_dir.c_str(), run.time0[0].cols, run.time0[0].rows, run.cameras.size(),
              run.init.c_str(), run.photometric.c_str(), options.out_dir.c_str(),
              with.empty() ? "" : (" (sceneflow run.ini with " + with + ")").c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return sceneflow::RunReportingErrors([&] { return Run(argc, argv); });
}
