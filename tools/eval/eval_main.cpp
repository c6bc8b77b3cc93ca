// sceneflow-eval: compares the estimator's final depth and motion with a synthetic scene's ground
// truth, beside the same measures for the start values (the start depth with zero motion).

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "config/ini_file.h"
#include "config/input_error.h"
#include "io/atomic_file.h"
#include "io/image_file.h"
#include "io/program_errors.h"
#include "tools/common/arguments.h"
#include "tools/common/number_text.h"
#include "tools/eval/field_files.h"
#include "tools/eval/json_text.h"
#include "tools/eval/kitti_eval.h"
#include "tools/eval/metrics.h"
#include "tools/eval/real_eval.h"

namespace {

namespace fs = std::filesystem;
using sceneflow::InputError;
using sceneflow::SizeText;
using namespace sceneflow::eval;

struct Options {
  std::string result_dir;
  std::string truth_dir;
  std::string json_path;
  std::string images_dir;
  std::string start_depth;
  std::string start_disparity;
  std::string ini;
  int border = 5;
  bool start_only = false;
  bool row = false;
};

void PrintUsage(FILE* stream, const char* program) {
  std::fprintf(stream,
               "Usage: %s RESULT_DIR GROUND_TRUTH_DIR [options]\n"
               "Compares Z0_final.txt, U_final.txt, V_final.txt, W_final.txt of RESULT_DIR with Z.txt,\n"
               "U.txt, V.txt, W.txt of GROUND_TRUTH_DIR (or of its truth folder) over the pixels of\n"
               "valid.png away from the border, beside the start values (start depth, zero motion).\n"
               "Options:\n"
               "  --json FILE             also write the measures as JSON\n"
               "  --border N              leave out N pixels at each image edge (default 5)\n"
               "  --start-depth FILE      start depth as a text matrix (resized bilinearly if smaller)\n"
               "  --start-disparity IMAGE start depth from a stereo disparity image (needs --ini)\n"
               "  --ini FILE              the run's INI: Tx, f0ku, maxZ for --start-disparity, and the\n"
               "                          reference intrinsics when the truth has no camera.txt\n"
               "  --start-only            evaluate only the start values (no result needed)\n"
               "  --images DIR            write colour pictures of depth and end-point error\n"
               "  --row                   print only one tab-separated line of result measures:\n"
               "                          epe_mean epe_rms z_rms z_mean_abs w_rms flow2d_epe_mean\n"
               "                          angular_mean_degrees outliers_percent\n"
               "Without --start-depth or --start-disparity the start depth is Z_start.txt of the truth\n"
               "folder, else Z0_start.txt of RESULT_DIR.\n"
               "\n"
               "       %s real RUN_DIR [--disparity FILE] [--flow FILE] [--truth DIR] [options]\n"
               "Compares a folder made by sceneflow-prepare with real ground truth (real --help).\n"
               "       %s rigid RUN_DIR [options]\n"
               "Fits the camera's motion to the pipeline start's 3D points and compares the median W\n"
               "of the static pixels (rigid --help).\n"
               "       %s kitti ESTIMATE_DIR GROUND_TRUTH_DIR [--frames LIST|FRAME,...] [--json FILE]\n"
               "Scores files in the KITTI 2015 scene-flow submission layout with the benchmark's D1, D2,\n"
               "Fl and SF (kitti --help).\n",
               program, program, program, program);
}

int ParseInt(const std::string& text, const std::string& option) {
  const std::optional<long> value = sceneflow::tools::WholeNumberIn(text);
  if (!value || *value < 0) {
    throw InputError("Error: " + option + " needs a whole number of at least 0, not \"" + text + "\"");
  }
  return static_cast<int>(*value);
}

// Returns std::nullopt when the usage text was requested.
std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  int positional = 0;
  sceneflow::tools::ArgumentHandlers handlers;
  handlers.texts = {
      {"--json", &options.json_path},        {"--start-depth", &options.start_depth},
      {"--start-disparity", &options.start_disparity}, {"--ini", &options.ini},
      {"--images", &options.images_dir}};
  handlers.flags = {"--start-only", "--row"};
  handlers.flag = [&](const std::string& flag) { (flag == "--row" ? options.row : options.start_only) = true; };
  handlers.option = [&](const std::string& option, const std::string& value) {
    if (option != "--border") return false;
    options.border = ParseInt(value, option);
    return true;
  };
  handlers.positional = [&](const std::string& argument) {
    if (positional == 2) return false;
    (positional++ == 0 ? options.result_dir : options.truth_dir) = argument;
    return true;
  };
  if (!sceneflow::tools::WalkArguments(argc, argv, 1, handlers)) return std::nullopt;
  if (positional < 2) throw InputError("Error: RESULT_DIR and GROUND_TRUTH_DIR are needed (see --help)");
  if (!options.start_disparity.empty() && options.ini.empty()) {
    throw InputError("Error: --start-disparity needs --ini for Tx, f0ku and maxZ");
  }
  return options;
}

sceneflow::ParameterSet LoadIni(const std::string& path) {
  sceneflow::ParameterSet parameters;
  if (sceneflow::LoadParameters(parameters, path.c_str()) != 0) throw InputError("Error: cannot read " + path);
  return parameters;
}

// The start depth at the truth's size and a phrase naming its source; empty when none is found.
cv::Mat LoadStartDepth(const Options& options, const std::string& truth_dir, cv::Size size,
                       std::string& source) {
  cv::Mat depth;
  if (!options.start_disparity.empty()) {
    const sceneflow::ParameterSet parameters = LoadIni(options.ini);
    const cv::Mat grey = sceneflow::LoadImageQuietly(options.start_disparity);
    if (grey.empty()) throw InputError("Error: cannot read disparity image " + options.start_disparity);
    depth = DepthFromDisparityImage(grey, parameters.Tx * parameters.f0ku, parameters.maxZ, 0);
    source = "disparity image " + options.start_disparity;
  } else {
    std::string path = options.start_depth;
    if (path.empty()) {
      const fs::path truth_start = fs::path(truth_dir) / "Z_start.txt";
      const fs::path result_start = fs::path(options.result_dir) / "Z0_start.txt";
      if (fs::exists(truth_start)) {
        path = truth_start.string();
      } else if (fs::exists(result_start)) {
        path = result_start.string();
      } else {
        return cv::Mat();
      }
    }
    depth = ReadTextField(path);
    source = path;
  }
  if (depth.size() != size) {
    if (depth.cols > size.width || depth.rows > size.height) {
      throw InputError("Error: the start depth (" + source + ") is " + SizeText(depth.size()) +
                       ", larger than the ground truth's " + SizeText(size));
    }
    source += " (" + SizeText(depth.size()) + ", resized bilinearly)";
    cv::resize(depth, depth, size, 0, 0, cv::INTER_LINEAR);
  }
  return depth;
}

ReferenceIntrinsics LoadIntrinsics(const Options& options, const std::string& truth_dir, cv::Size size) {
  const fs::path camera_file = fs::path(truth_dir) / "camera.txt";
  if (fs::exists(camera_file)) return ReadIntrinsics(camera_file.string());
  if (options.ini.empty()) {
    throw InputError("Error: " + camera_file.string() + " not found; give the run's INI with --ini");
  }
  const sceneflow::ParameterSet p = LoadIni(options.ini);
  ReferenceIntrinsics camera;
  camera.fu = p.f0ku;
  camera.fv = p.f0kv;
  camera.u0 = p.u0 == -1 ? size.width / 2 : p.u0;
  camera.v0 = p.v0 == -1 ? size.height / 2 : p.v0;
  return camera;
}

std::string FormatValue(double value) {
  if (std::isnan(value)) return "n/a";
  char text[64];
  std::snprintf(text, sizeof(text), "%.4g", value);
  return text;
}

std::string JsonMetrics(const Metrics& metrics) {
  std::string json = "{\"pixels\": " + std::to_string(metrics.pixels) +
                     ", \"flow2d_undefined\": " + std::to_string(metrics.flow2d_undefined);
  for (const MetricEntry& entry : MetricEntries(metrics)) {
    json += ", " + JsonString(entry.key) + ": " + JsonValue(entry.value);
  }
  return json + "}";
}

void WriteJson(const std::string& path, int pixels, cv::Size size, int border, const std::string& start_source,
               const std::optional<Metrics>& start, const std::optional<Metrics>& result) {
  const bool written = sceneflow::WriteFileAtomically(path, "w", [&](FILE* file) {
    std::fprintf(file, "{\n  \"width\": %d,\n  \"height\": %d,\n  \"border\": %d,\n  \"pixels\": %d,\n",
                 size.width, size.height, border, pixels);
    std::fprintf(file, "  \"start_source\": %s,\n", start ? JsonString(start_source).c_str() : "null");
    std::fprintf(file, "  \"start\": %s,\n", start ? JsonMetrics(*start).c_str() : "null");
    std::fprintf(file, "  \"result\": %s\n}\n", result ? JsonMetrics(*result).c_str() : "null");
  });
  if (!written) throw InputError("Error: cannot write " + path);
}

void PrintTable(const std::optional<Metrics>& start, const std::optional<Metrics>& result) {
  std::printf("%-36s %12s %12s\n", "", "start", "result");
  const std::vector<MetricEntry> start_entries = start ? MetricEntries(*start) : std::vector<MetricEntry>();
  const std::vector<MetricEntry> result_entries = result ? MetricEntries(*result) : std::vector<MetricEntry>();
  const std::vector<MetricEntry>& labels = start ? start_entries : result_entries;
  for (size_t i = 0; i < labels.size(); ++i) {
    std::printf("%-36s %12s %12s\n", labels[i].label,
                start ? FormatValue(start_entries[i].value).c_str() : "-",
                result ? FormatValue(result_entries[i].value).c_str() : "-");
  }
}

void PrintRow(const Metrics& m) {
  std::printf("%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", FormatValue(m.epe_mean).c_str(),
              FormatValue(m.epe_rms).c_str(), FormatValue(m.z_rms).c_str(),
              FormatValue(m.z_mean_abs).c_str(), FormatValue(m.w_rms).c_str(),
              FormatValue(m.flow2d_epe_mean).c_str(), FormatValue(m.angular_mean_degrees).c_str(),
              FormatValue(m.outliers_percent).c_str());
}

void WriteColour(const cv::Mat& field, double lo, double hi, const cv::Mat& mask, const fs::path& path) {
  cv::Mat scaled;
  const double span = hi > lo ? hi - lo : 1.0;
  field.convertTo(scaled, CV_8U, 255.0 / span, -255.0 * lo / span);
  cv::Mat colour;
  cv::applyColorMap(scaled, colour, cv::COLORMAP_JET);
  if (!mask.empty()) colour.setTo(cv::Scalar::all(0), mask == 0);
  if (!sceneflow::SaveImageAtomically(path.string(), colour)) {
    throw InputError("Error: cannot write image " + path.string());
  }
}

cv::Mat EndPointError(const SceneFlowFields& estimate, const SceneFlowFields& truth) {
  cv::Mat du = estimate.U - truth.U, dv = estimate.V - truth.V, dw = estimate.W - truth.W;
  cv::Mat error;
  cv::sqrt(du.mul(du) + dv.mul(dv) + dw.mul(dw), error);
  return error;
}

void WriteImages(const std::string& folder, const SceneFlowFields& truth, const cv::Mat& mask,
                 const std::optional<SceneFlowFields>& start, const std::optional<SceneFlowFields>& result) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) throw InputError("Error: cannot create folder " + folder);
  double lo, hi;
  cv::minMaxLoc(truth.Z, &lo, &hi, nullptr, nullptr, mask);
  const fs::path root(folder);
  WriteColour(truth.Z, lo, hi, cv::Mat(), root / "Z_truth.png");
  double epe_hi = 0;
  if (start) cv::minMaxLoc(EndPointError(*start, truth), nullptr, &epe_hi, nullptr, nullptr, mask);
  if (result && epe_hi == 0) cv::minMaxLoc(EndPointError(*result, truth), nullptr, &epe_hi, nullptr, nullptr, mask);
  if (start) {
    WriteColour(start->Z, lo, hi, cv::Mat(), root / "Z_start.png");
    WriteColour(EndPointError(*start, truth), 0, epe_hi, mask, root / "EPE_start.png");
  }
  if (result) {
    WriteColour(result->Z, lo, hi, cv::Mat(), root / "Z_result.png");
    WriteColour(EndPointError(*result, truth), 0, epe_hi, mask, root / "EPE_result.png");
  }
}

int Run(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "real") return RunRealForm(argc, argv);
  if (argc > 1 && std::string(argv[1]) == "rigid") return RunRigidForm(argc, argv);
  if (argc > 1 && std::string(argv[1]) == "kitti") return RunKittiForm(argc, argv);
  const std::optional<Options> parsed = ParseOptions(argc, argv);
  if (!parsed) {
    PrintUsage(stdout, argv[0]);
    return 0;
  }
  const Options& options = *parsed;
  const std::string truth_dir = TruthFolder(options.truth_dir);
  const SceneFlowFields truth = ReadFields(truth_dir, "Z.txt", ".txt");
  const cv::Size size = truth.Z.size();

  cv::Mat valid;
  const fs::path valid_path = fs::path(truth_dir) / "valid.png";
  if (fs::exists(valid_path)) {
    valid = sceneflow::LoadImageQuietly(valid_path.string());
    if (valid.empty()) throw InputError("Error: cannot read " + valid_path.string());
    if (valid.size() != size) {
      throw InputError("Error: " + valid_path.string() + " is " + SizeText(valid.size()) +
                       ", the ground truth " + SizeText(size));
    }
  }
  const cv::Mat mask = EvaluationMask(valid, size, options.border);
  const ReferenceIntrinsics camera = LoadIntrinsics(options, truth_dir, size);

  std::optional<SceneFlowFields> result;
  if (!options.start_only) {
    if (!fs::is_directory(options.result_dir)) throw InputError("Error: no result folder " + options.result_dir);
    result = ReadFields(options.result_dir, "Z0_final.txt", "_final.txt");
    if (result->Z.size() != size) {
      throw InputError("Error: the result fields are " + SizeText(result->Z.size()) +
                       " but the ground truth is " + SizeText(size) +
                       "; run with PyramidLevelFinal = 1 for full-size results");
    }
  }

  const int pixels = cv::countNonZero(mask);
  if (pixels == 0) {
    throw InputError("Error: no valid pixel to evaluate (valid.png is empty or the border of " +
                     std::to_string(options.border) + " pixels covers the " + SizeText(size) + " image)");
  }

  std::string start_source;
  std::optional<SceneFlowFields> start;
  const cv::Mat start_depth = LoadStartDepth(options, truth_dir, size, start_source);
  if (!start_depth.empty()) {
    start = SceneFlowFields{start_depth, cv::Mat::zeros(size, CV_64F), cv::Mat::zeros(size, CV_64F),
                            cv::Mat::zeros(size, CV_64F)};
  }

  std::optional<Metrics> start_metrics, result_metrics;
  if (start) start_metrics = ComputeMetrics(*start, truth, mask, camera);
  if (result) result_metrics = ComputeMetrics(*result, truth, mask, camera);

  if (options.row) {
    if (!result_metrics) throw InputError("Error: --row needs a result (it cannot go with --start-only)");
    PrintRow(*result_metrics);
  } else {
    std::printf("Evaluation over %d valid pixels of %s (border of %d pixels left out)\n", pixels,
                SizeText(size).c_str(), options.border);
    if (start) {
      std::printf("start: depth from %s, zero motion\n", start_source.c_str());
    } else {
      std::printf("start: no start depth found (give --start-depth)\n");
    }
    if (result) std::printf("result: %s\n", options.result_dir.c_str());
    PrintTable(start_metrics, result_metrics);
  }
  if (!options.json_path.empty()) {
    WriteJson(options.json_path, pixels, size, options.border, start_source, start_metrics, result_metrics);
  }
  if (!options.images_dir.empty()) WriteImages(options.images_dir, truth, mask, start, result);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return sceneflow::RunReportingErrors([&] { return Run(argc, argv); });
}
