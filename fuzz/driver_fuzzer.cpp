// Runs the driver's preparation (INI loading, checks, images, calibration, pyramids, start fields)
// on a tiny fixed scene, with the input appended to a base parameter file that names the scene's
// files, so that mutated settings reach every step. InputError is the expected way to refuse a
// setting; any other exception, crash or sanitizer report is a finding.
//
// The harness works inside its own temporary folder, which it restores before every input, and it
// refuses inputs that could leave that folder (any '/') or start the external stereo program.
// As it changes into that folder, paths on its command line (corpus folders, inputs to replay,
// -artifact_prefix) must be absolute.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>

#include "config/ini_file.h"
#include "config/input_error.h"
#include "config/parameter_set.h"
#include "config/validate.h"
#include "driver/run.h"

namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 12;
constexpr int kHeight = 10;
constexpr int kViews = 2;
constexpr int kMaxLevels = 200;

const char* const kBaseIni =
    "[Global]\n"
    "NumOfViews = 2\n"
    "Img_0_FileName = i0_\n"
    "Img_t_FileName = it_\n"
    "ImgPrefix = png\n"
    "CMat_FileName = C\n"
    "RMat_FileName = R\n"
    "TMat_FileName = T\n"
    "TxtResultsDir = results\n"
    "LogFile = run.log\n"
    "PyramidLevelsFlow = 3\n"
    "PyramidLevelsSF = 2\n"
    "PyramidLevelFinal = 1\n"
    "PyramidEta = 0.8\n"
    "InitStereoBP = 0\n"
    "StereoExecutable = false\n";

std::string PngBytes(const cv::Mat& image) {
  std::vector<uchar> bytes;
  if (!cv::imencode(".png", image, bytes)) std::abort();
  return std::string(bytes.begin(), bytes.end());
}

// The scene's files by name: two views at two instants, their calibration, and grey images and
// text matrices that start-field settings can name.
std::map<std::string, std::string> SceneFiles() {
  std::map<std::string, std::string> files;
  cv::RNG rng(12345);
  for (int v = 0; v < kViews; ++v) {
    for (const char* prefix : {"i0_", "it_"}) {
      cv::Mat image(kHeight, kWidth, CV_8U);
      rng.fill(image, cv::RNG::UNIFORM, 0, 256);
      files[prefix + std::to_string(v) + ".png"] = PngBytes(image);
    }
    const std::string n = std::to_string(v);
    files["C" + n + ".txt"] = "100 0 6\n0 100 5\n0 0 1\n";
    files["R" + n + ".txt"] = "1 0 0\n0 1 0\n0 0 1\n";
    files["T" + n + ".txt"] = std::to_string(-v) + "\n0\n0\n";
  }
  cv::Mat grey(kHeight, kWidth, CV_8U);
  rng.fill(grey, cv::RNG::UNIFORM, 1, 256);
  files["grey.png"] = PngBytes(grey);
  files["small.png"] = PngBytes(cv::Mat(3, 4, CV_8U, cv::Scalar(9)));
  files["field.txt"] = "1.5 2 3\n4 5\n";
  files["bad.txt"] = "1 nan inf\n";
  return files;
}

struct Scene {
  fs::path folder;
  std::map<std::string, std::string> files;
};

Scene& TheScene() {
  static Scene scene = [] {
    char name[] = "/tmp/sceneflow-driver-fuzz-XXXXXX";
    if (mkdtemp(name) == nullptr) std::abort();
    Scene s{fs::path(name), SceneFiles()};
    std::atexit([] { fs::remove_all(TheScene().folder); });
    return s;
  }();
  return scene;
}

void WriteFile(const fs::path& path, std::string_view bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (std::fclose(file) != 0 || !written) std::abort();
}

// Brings the folder back to the scene alone: earlier inputs may have named scene files as outputs
// (the log, saved images) or left result files behind.
void RestoreScene(const Scene& scene) {
  for (const fs::directory_entry& entry : fs::directory_iterator(scene.folder)) {
    const std::string name = entry.path().filename().string();
    if (!scene.files.count(name)) fs::remove_all(entry.path());
  }
  fs::create_directory(scene.folder / "results");
  for (const auto& [name, bytes] : scene.files) WriteFile(scene.folder / name, bytes);
}

bool Contains(std::string_view text, std::string_view word) {
  return std::search(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == b;
         }) != text.end();
}

// Inputs that could write outside the folder or run a program are not tried.
bool Refused(std::string_view text) {
  return text.find('/') != std::string_view::npos || Contains(text, "stereoexecutable") ||
         Contains(text, "initstereobp");
}

// With PyramidEta close to 1 every level of the tiny images stays above the smallest allowed
// size, so a huge level count asks for more memory than any machine has; the driver reports that
// as running out of memory, which is no finding. Such inputs are not tried.
bool TooManyLevels(const fs::path& ini) {
  sceneflow::ParameterSet parameters;
  try {
    sceneflow::LoadParameters(parameters, ini.c_str());
  } catch (const sceneflow::InputError&) {
    return false;  // the run refuses the file in the same way
  }
  return sceneflow::PyramidLevelCount(parameters) > kMaxLevels;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  cv::setNumThreads(0);
  if (chdir(TheScene().folder.c_str()) != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (Refused(input)) return 0;
  Scene& scene = TheScene();
  RestoreScene(scene);
  const fs::path ini = scene.folder / "fuzz.ini";
  WriteFile(ini, std::string(kBaseIni) + std::string(input));
  if (TooManyLevels(ini)) return 0;
  try {
    sceneflow::PrepareRun({ini.string()});
  } catch (const sceneflow::InputError&) {
  }
  return 0;
}
