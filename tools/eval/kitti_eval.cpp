#include "tools/eval/kitti_eval.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/core/utils/logger.hpp>

#include "config/input_error.h"
#include "io/atomic_file.h"
#include "io/image_file.h"
#include "tools/common/arguments.h"
#include "tools/eval/json_text.h"
#include "tools/eval/kitti_scores.h"
#include "tools/eval/truth_files.h"

namespace sceneflow::eval {
namespace {

namespace fs = std::filesystem;

// The file of a frame in each folder of the benchmark's layout.
constexpr char kFrameSuffix[] = "_10.png";

struct KittiOptions {
  std::string estimate_dir;
  std::string truth_dir;
  std::string frames;  // a file listing frames, or frames separated by commas; empty: all
  std::string json_path;
  bool keys = false;
};

void PrintKittiUsage(const char* program) {
  std::printf(
      "Usage: %s kitti ESTIMATE_DIR GROUND_TRUTH_DIR [options]\n"
      "Scores an estimate in the KITTI 2015 scene-flow submission layout (ESTIMATE_DIR/disp_0,\n"
      "disp_1, flow/FRAME_10.png, as sceneflow-export --kitti writes them) against the benchmark's\n"
      "ground truth (GROUND_TRUTH_DIR/disp_occ_0, disp_occ_1, flow_occ and disp_noc_0, disp_noc_1,\n"
      "flow_noc) as its development kit does, per frame and as the mean of the per-frame values:\n"
      "  D1, D2, Fl  %% of the truth's pixels where disp_0, disp_1 or the flow is off by more than\n"
      "              3 px and more than 5 %% of the true value (of the true flow's length)\n"
      "  SF          %% of the pixels where all three truths are known that are off in any of them\n"
      "  EPE         mean end-point error of the flow over the flow truth's pixels, px\n"
      "  density     %% of the image where each estimate file (and all three) is valid\n"
      "for the truth of all pixels (occ) and of the non-occluded ones (noc). Invalid estimates are\n"
      "first filled by the kit's background interpolation (density is measured before).\n"
      "Options:\n"
      "  --frames LIST|FRAME,...  the frames to score: a file naming them, or names separated by\n"
      "                           commas (default: every FRAME_10.png in ESTIMATE_DIR/disp_0)\n"
      "  --json FILE              also write the scores as JSON\n"
      "  --keys                   print one table with short keys for scripts: a row per measure\n"
      "                           (d1_occ ... epe_noc, density_disp_0 ... density_all), a column\n"
      "                           per frame and the mean\n",
      program);
}

std::optional<KittiOptions> ParseKittiOptions(int argc, char** argv) {
  KittiOptions options;
  int positional = 0;
  tools::ArgumentHandlers handlers;
  handlers.flags = {"--keys"};
  handlers.flag = [&](const std::string&) { options.keys = true; };
  handlers.texts = {{"--frames", &options.frames}, {"--json", &options.json_path}};
  handlers.positional = [&](const std::string& argument) {
    if (positional == 2) return false;
    (positional++ == 0 ? options.estimate_dir : options.truth_dir) = argument;
    return true;
  };
  if (!tools::WalkArguments(argc, argv, 2, handlers)) return std::nullopt;
  if (positional < 2) throw InputError("Error: ESTIMATE_DIR and GROUND_TRUTH_DIR are needed (see kitti --help)");
  return options;
}

// Every FRAME of FRAME_10.png in the folder, sorted.
std::vector<std::string> FramesInFolder(const fs::path& folder) {
  std::error_code error;
  fs::directory_iterator entries(folder, error);
  if (error) throw InputError("Error: cannot read the estimate folder " + folder.string());
  const std::string suffix = kFrameSuffix;
  std::vector<std::string> frames;
  for (const fs::directory_entry& entry : entries) {
    const std::string name = entry.path().filename().string();
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      frames.push_back(name.substr(0, name.size() - suffix.size()));
    }
  }
  if (frames.empty()) throw InputError("Error: no FRAME" + suffix + " in " + folder.string());
  std::sort(frames.begin(), frames.end());
  return frames;
}

// The frames of --frames: the words of a file of that name, else the names between its commas.
std::vector<std::string> FramesNamed(const std::string& text) {
  std::vector<std::string> frames;
  std::string word;
  if (fs::is_regular_file(text)) {
    std::ifstream list(text);
    while (list >> word) frames.push_back(word);
    if (list.bad()) throw InputError("Error: cannot read the frame list " + text);
    if (frames.empty()) throw InputError("Error: the frame list " + text + " names no frame");
    return frames;
  }
  std::istringstream names(text);
  while (std::getline(names, word, ',')) {
    if (word.empty()) throw InputError("Error: --frames \"" + text + "\" holds an empty frame name");
    frames.push_back(word);
  }
  if (frames.empty()) throw InputError("Error: --frames names no frame");
  return frames;
}

// The three files of one frame under `root`, in the named subfolders, all of one size.
KittiFrame ReadFrame(const fs::path& root, const std::string& frame, const std::array<const char*, 3>& folders) {
  const std::string name = frame + kFrameSuffix;
  const std::array<std::string, 3> paths = {(root / folders[0] / name).string(), (root / folders[1] / name).string(),
                                            (root / folders[2] / name).string()};
  KittiFrame files{ReadKittiDisparity(paths[0]), ReadKittiDisparity(paths[1]), ReadKittiFlow(paths[2])};
  const cv::Size size = files.disparity_0.size();
  for (const auto& [field, path] : {std::pair{&files.disparity_1, &paths[1]}, std::pair{&files.flow, &paths[2]}}) {
    if (field->size() != size) {
      throw InputError("Error: " + *path + " is " + SizeText(field->size()) + " but " + paths[0] + " is " +
                       SizeText(size));
    }
  }
  return files;
}

void CheckSameSize(const KittiFrame& truth, const KittiFrame& estimate, const std::string& frame,
                   const std::string& truth_name) {
  if (truth.flow.size() != estimate.flow.size()) {
    throw InputError("Error: frame " + frame + ": the " + truth_name + " ground truth is " +
                     SizeText(truth.flow.size()) + " but the estimate is " + SizeText(estimate.flow.size()));
  }
}

// The reported measures, by column, with their keys for scripts and their labels for people.
struct ColumnName {
  const char* key;
  const char* label;
};
constexpr std::array<ColumnName, 5> kErrorColumns = {
    {{"d1", "D1 %"}, {"d2", "D2 %"}, {"fl", "Fl %"}, {"sf", "SF %"}, {"epe", "EPE px"}}};
constexpr std::array<ColumnName, 4> kDensityColumns = {
    {{"disp_0", "disp_0 %"}, {"disp_1", "disp_1 %"}, {"flow", "flow %"}, {"all", "all three %"}}};
constexpr std::array<const char*, 2> kTruthKinds = {"occ", "noc"};

// The values of one frame, or their means over the frames, in the order of the columns above.
struct KittiValues {
  std::array<std::array<double, 5>, 2> errors;  // occ, noc
  std::array<double, 4> density;
};

std::array<double, 5> ErrorValues(const KittiErrors& e) {
  return {e.d1.Percent(), e.d2.Percent(), e.fl.Percent(), e.sf.Percent(), e.flow_epe};
}

KittiValues ValuesOf(const KittiFrameScore& score) {
  const KittiDensity& d = score.density;
  return {{ErrorValues(score.occ), ErrorValues(score.noc)}, {d.disparity_0, d.disparity_1, d.flow, d.all}};
}

// The mean of the defined values (NaN when a frame's truth has no pixel for the measure).
double MeanOfDefined(const std::vector<double>& values) {
  double sum = 0;
  int count = 0;
  for (double value : values) {
    if (std::isnan(value)) continue;
    sum += value;
    ++count;
  }
  return count > 0 ? sum / count : std::numeric_limits<double>::quiet_NaN();
}

KittiValues MeanOf(const std::vector<KittiValues>& frames) {
  KittiValues mean;
  const auto mean_of = [&frames](auto pick) {
    std::vector<double> values;
    for (const KittiValues& frame : frames) values.push_back(pick(frame));
    return MeanOfDefined(values);
  };
  for (size_t kind = 0; kind < kTruthKinds.size(); ++kind) {
    for (size_t c = 0; c < kErrorColumns.size(); ++c) {
      mean.errors[kind][c] = mean_of([&](const KittiValues& v) { return v.errors[kind][c]; });
    }
  }
  for (size_t c = 0; c < kDensityColumns.size(); ++c) {
    mean.density[c] = mean_of([&](const KittiValues& v) { return v.density[c]; });
  }
  return mean;
}

struct ScoredFrame {
  std::string frame;
  cv::Size size;
  KittiFrameScore score;
  KittiValues values;
};

ScoredFrame ScoreFrame(const KittiOptions& options, const std::string& frame) {
  const KittiFrame estimate = ReadFrame(options.estimate_dir, frame, {"disp_0", "disp_1", "flow"});
  const KittiFrame occ = ReadFrame(options.truth_dir, frame, {"disp_occ_0", "disp_occ_1", "flow_occ"});
  const KittiFrame noc = ReadFrame(options.truth_dir, frame, {"disp_noc_0", "disp_noc_1", "flow_noc"});
  CheckSameSize(occ, estimate, frame, "occ");
  CheckSameSize(noc, estimate, frame, "noc");
  ScoredFrame scored{frame, estimate.flow.size(), ScoreKittiFrame(estimate, occ, noc), {}};
  scored.values = ValuesOf(scored.score);
  return scored;
}

std::string Format(double value) {
  if (std::isnan(value)) return "-";
  char text[64];
  std::snprintf(text, sizeof(text), "%.4g", value);
  return text;
}

void PrintTables(const std::vector<ScoredFrame>& frames, const KittiValues& mean) {
  std::printf("%-12s %-5s", "frame", "truth");
  for (const ColumnName& column : kErrorColumns) std::printf(" %10s", column.label);
  std::printf("\n");
  const auto print_errors = [](const std::string& name, const KittiValues& values) {
    for (size_t kind = 0; kind < kTruthKinds.size(); ++kind) {
      std::printf("%-12s %-5s", name.c_str(), kTruthKinds[kind]);
      for (double value : values.errors[kind]) std::printf(" %10s", Format(value).c_str());
      std::printf("\n");
    }
  };
  for (const ScoredFrame& frame : frames) print_errors(frame.frame, frame.values);
  print_errors("mean", mean);

  std::printf("\n%-12s %-5s", "density", "");
  for (const ColumnName& column : kDensityColumns) std::printf(" %12s", column.label);
  std::printf("\n");
  const auto print_density = [](const std::string& name, const KittiValues& values) {
    std::printf("%-12s %-5s", name.c_str(), "");
    for (double value : values.density) std::printf(" %12s", Format(value).c_str());
    std::printf("\n");
  };
  for (const ScoredFrame& frame : frames) print_density(frame.frame, frame.values);
  print_density("mean", mean);
  std::printf("mean: the mean of the per-frame values over %zu frame%s\n", frames.size(),
              frames.size() == 1 ? "" : "s");
}

void PrintKeys(const std::vector<ScoredFrame>& frames, const KittiValues& mean) {
  std::printf("%-16s", "key");
  for (const ScoredFrame& frame : frames) std::printf(" %12s", frame.frame.c_str());
  std::printf(" %12s\n", "mean");
  const auto print_row = [&](const std::string& key, auto pick) {
    std::printf("%-16s", key.c_str());
    for (const ScoredFrame& frame : frames) std::printf(" %12s", Format(pick(frame.values)).c_str());
    std::printf(" %12s\n", Format(pick(mean)).c_str());
  };
  for (size_t kind = 0; kind < kTruthKinds.size(); ++kind) {
    for (size_t c = 0; c < kErrorColumns.size(); ++c) {
      print_row(std::string(kErrorColumns[c].key) + "_" + kTruthKinds[kind],
                [&](const KittiValues& v) { return v.errors[kind][c]; });
    }
  }
  for (size_t c = 0; c < kDensityColumns.size(); ++c) {
    print_row(std::string("density_") + kDensityColumns[c].key, [&](const KittiValues& v) { return v.density[c]; });
  }
}

// {"d1": ..., "d2": ..., "fl": ..., "sf": ..., "epe": ...}, with the truth's pixel counts when given.
std::string JsonErrors(const std::array<double, 5>& values, const KittiErrors* counts) {
  std::string json = "{";
  for (size_t c = 0; c < kErrorColumns.size(); ++c) {
    json += (c > 0 ? ", " : "") + JsonString(kErrorColumns[c].key) + ": " + JsonValue(values[c]);
  }
  if (counts != nullptr) {
    json += ", \"pixels\": {\"d1\": " + std::to_string(counts->d1.pixels) + ", \"d2\": " +
            std::to_string(counts->d2.pixels) + ", \"fl\": " + std::to_string(counts->fl.pixels) +
            ", \"sf\": " + std::to_string(counts->sf.pixels) + "}";
  }
  return json + "}";
}

std::string JsonDensity(const std::array<double, 4>& values) {
  std::string json = "{";
  for (size_t c = 0; c < kDensityColumns.size(); ++c) {
    json += (c > 0 ? ", " : "") + JsonString(kDensityColumns[c].key) + ": " + JsonValue(values[c]);
  }
  return json + "}";
}

void WriteJson(const std::string& path, const KittiOptions& options, const std::vector<ScoredFrame>& frames,
               const KittiValues& mean) {
  std::string json = "{\n  \"estimate\": " + JsonString(options.estimate_dir) +
                     ",\n  \"ground_truth\": " + JsonString(options.truth_dir) + ",\n  \"frames\": [\n";
  for (size_t i = 0; i < frames.size(); ++i) {
    const ScoredFrame& f = frames[i];
    json += "    {\"frame\": " + JsonString(f.frame) + ", \"width\": " + std::to_string(f.size.width) +
            ", \"height\": " + std::to_string(f.size.height) + ",\n     \"occ\": " +
            JsonErrors(f.values.errors[0], &f.score.occ) + ",\n     \"noc\": " +
            JsonErrors(f.values.errors[1], &f.score.noc) + ",\n     \"density\": " + JsonDensity(f.values.density) +
            "}" + (i + 1 < frames.size() ? "," : "") + "\n";
  }
  json += "  ],\n  \"mean\": {\"of\": \"the per-frame values\", \"frames\": " + std::to_string(frames.size()) +
          ",\n     \"occ\": " + JsonErrors(mean.errors[0], nullptr) + ",\n     \"noc\": " +
          JsonErrors(mean.errors[1], nullptr) + ",\n     \"density\": " + JsonDensity(mean.density) + "}\n}\n";
  if (!WriteFileAtomically(path, "w", [&json](FILE* stream) { std::fputs(json.c_str(), stream); })) {
    throw InputError("Error: cannot write " + path);
  }
}

}  // namespace

int RunKittiForm(int argc, char** argv) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  const std::optional<KittiOptions> parsed = ParseKittiOptions(argc, argv);
  if (!parsed) {
    PrintKittiUsage(argv[0]);
    return 0;
  }
  const KittiOptions& options = *parsed;
  if (!fs::is_directory(options.estimate_dir)) throw InputError("Error: no estimate folder " + options.estimate_dir);
  if (!fs::is_directory(options.truth_dir)) throw InputError("Error: no ground truth folder " + options.truth_dir);
  const std::vector<std::string> names = options.frames.empty()
                                             ? FramesInFolder(fs::path(options.estimate_dir) / "disp_0")
                                             : FramesNamed(options.frames);
  std::vector<ScoredFrame> frames;
  std::vector<KittiValues> values;
  for (const std::string& name : names) {
    frames.push_back(ScoreFrame(options, name));
    values.push_back(frames.back().values);
  }
  const KittiValues mean = MeanOf(values);
  if (!options.json_path.empty()) WriteJson(options.json_path, options, frames, mean);

  std::printf("KITTI scene-flow scores of %s against the ground truth %s (%zu frame%s)\n",
              options.estimate_dir.c_str(), options.truth_dir.c_str(), frames.size(), frames.size() == 1 ? "" : "s");
  if (options.keys) {
    PrintKeys(frames, mean);
  } else {
    PrintTables(frames, mean);
  }
  return 0;
}

}  // namespace sceneflow::eval
