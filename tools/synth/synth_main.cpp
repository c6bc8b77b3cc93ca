// sceneflow-synth: renders a synthetic scene with ground truth into a folder that sceneflow runs
// on directly.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "config/input_error.h"
#include "io/program_errors.h"
#include "tools/common/arguments.h"
#include "tools/common/number_text.h"
#include "tools/synth/scene.h"
#include "tools/synth/scene_files.h"

namespace {

using sceneflow::InputError;

void PrintUsage(FILE* stream, const char* program) {
  std::fprintf(stream,
               "Usage: %s OUTPUT_DIR [--preset NAME] [--seed N] [--size WxH] [--views N]\n"
               "          [--layout line|grid] [--rotate DEGREES] [--baseline UNITS] [--supersample N]\n"
               "          [--stereo EXECUTABLE]\n"
               "Renders a textured scene of rigid objects seen by calibrated views at time 0 and time t,\n"
               "with ground truth for view 0, a start depth and a ready-to-run scene.ini.\n"
               "Presets (default sphere2):\n%s"
               "--seed varies object positions, motions and textures; --rotate gives views 1..N-1\n"
               "random rotations up to that many degrees about each axis. --stereo writes an INI whose\n"
               "start depth comes from that stereo program run on views 0 and 1.\n",
               program, sceneflow::synth::PresetHelp().c_str());
}

int ParseInt(const std::string& text, const std::string& option) {
  const std::optional<long> value = sceneflow::tools::WholeNumberIn(text);
  if (!value) throw InputError("Error: " + option + " needs a whole number, not \"" + text + "\"");
  return static_cast<int>(*value);
}

double ParseDouble(const std::string& text, const std::string& option) {
  const std::optional<double> value = sceneflow::tools::NumberIn(text);
  if (!value) throw InputError("Error: " + option + " needs a number, not \"" + text + "\"");
  return *value;
}

cv::Size ParseSize(const std::string& text) {
  const size_t x = text.find('x');
  if (x == std::string::npos) throw InputError("Error: --size needs WIDTHxHEIGHT, not \"" + text + "\"");
  return cv::Size(ParseInt(text.substr(0, x), "--size"), ParseInt(text.substr(x + 1), "--size"));
}

int Run(int argc, char** argv) {
  std::string folder;
  std::string stereo;
  sceneflow::synth::SceneOptions options;
  sceneflow::tools::ArgumentHandlers handlers;
  handlers.option = [&](const std::string& argument, const std::string& value) {
    if (argument == "--preset") {
      options.preset = value;
    } else if (argument == "--seed") {
      options.seed = static_cast<unsigned>(ParseInt(value, argument));
    } else if (argument == "--size") {
      options.size = ParseSize(value);
    } else if (argument == "--views") {
      options.views = ParseInt(value, argument);
      if (options.views == 0) throw InputError("Error: --views must be 1 to 9");
    } else if (argument == "--layout") {
      options.layout = value;
    } else if (argument == "--rotate") {
      options.rotate_degrees = ParseDouble(value, argument);
      if (options.rotate_degrees < 0) throw InputError("Error: --rotate must not be negative");
    } else if (argument == "--baseline") {
      options.baseline = ParseDouble(value, argument);
      if (!(options.baseline > 0)) throw InputError("Error: --baseline must be positive");
    } else if (argument == "--stereo") {
      std::error_code error;
      stereo = std::filesystem::absolute(value, error).string();
      if (error) throw InputError("Error: bad path for --stereo: " + value);
    } else if (argument == "--supersample") {
      options.supersampling = ParseInt(value, argument);
      if (options.supersampling < 1) throw InputError("Error: --supersample must be at least 1");
    } else {
      return false;
    }
    return true;
  };
  handlers.positional = [&](const std::string& argument) {
    if (!folder.empty()) {
      throw InputError("Error: more than one output folder given (" + folder + ", " + argument + ")");
    }
    folder = argument;
    return true;
  };
  if (!sceneflow::tools::WalkArguments(argc, argv, 1, handlers)) {
    PrintUsage(stdout, argv[0]);
    return 0;
  }
  if (folder.empty()) {
    PrintUsage(stderr, argv[0]);
    return 1;
  }
  const sceneflow::synth::Scene scene = sceneflow::synth::MakeScene(options);
  sceneflow::synth::WriteSceneFolder(scene, folder, stereo);
  std::printf("Rendered scene \"%s\" (seed %u, %dx%d, %zu views) into %s\n", scene.preset.c_str(),
              scene.seed, scene.size.width, scene.size.height, scene.cameras.size(), folder.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return sceneflow::RunReportingErrors([&] { return Run(argc, argv); });
}
