#include "tools/eval/real_eval.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "config/input_error.h"
#include "io/image_file.h"
#include "tools/common/arguments.h"
#include "tools/common/number_text.h"
#include "tools/eval/field_files.h"
#include "tools/eval/metrics.h"
#include "tools/eval/real_metrics.h"
#include "tools/eval/run_folder.h"
#include "tools/eval/truth_files.h"

namespace sceneflow::eval {
namespace {

namespace fs = std::filesystem;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double ParseNumber(const std::string& text, const std::string& option, double lowest) {
  const std::optional<double> value = tools::NumberIn(text);
  if (!value || !std::isfinite(*value) || *value < lowest) {
    throw InputError("Error: " + option + " needs a number of at least " + std::to_string(lowest) + ", not \"" +
                     text + "\"");
  }
  return *value;
}

std::string Format(double value) {
  if (std::isnan(value)) return "-";
  char text[64];
  std::snprintf(text, sizeof(text), "%.4g", value);
  return text;
}

// One line of the comparison table: a label for people, a key for scripts, a value per column.
struct TableRow {
  std::string label;
  std::string key;
  std::vector<double> values;
};

void PrintTable(const std::vector<std::string>& columns, const std::vector<TableRow>& rows, bool keys) {
  if (keys) {
    std::printf("%-14s", "key");
    for (const std::string& column : columns) std::printf(" %12s", column.c_str());
    std::printf("\n");
    for (const TableRow& row : rows) {
      std::printf("%-14s", row.key.c_str());
      for (double value : row.values) std::printf(" %12s", Format(value).c_str());
      std::printf("\n");
    }
    return;
  }
  std::printf("%-36s", "");
  for (const std::string& column : columns) std::printf(" %12s", column.c_str());
  std::printf("\n");
  for (const TableRow& row : rows) {
    std::printf("%-36s", row.label.c_str());
    for (double value : row.values) std::printf(" %12s", Format(value).c_str());
    std::printf("\n");
  }
}

// OpenCV's DIS optical flow (preset medium) from frame_0 to frame_t, CV_64FC2.
cv::Mat DisFlow(const std::string& frame_0, const std::string& frame_t) {
  const cv::Mat first = LoadGreyImage(frame_0), second = LoadGreyImage(frame_t);
  if (first.size() != second.size()) {
    throw InputError("Error: the frames " + frame_0 + " and " + frame_t + " differ in size");
  }
  cv::Mat flow;
  cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_MEDIUM)->calc(first, second, flow);
  cv::Mat flow64;
  flow.convertTo(flow64, CV_64FC2);
  return flow64;
}

double MeanMotionLength(const SceneFlowFields& fields) {
  double sum = 0;
  for (int y = 0; y < fields.Z.rows; ++y) {
    for (int x = 0; x < fields.Z.cols; ++x) {
      sum += cv::norm(cv::Vec3d(fields.U.at<double>(y, x), fields.V.at<double>(y, x), fields.W.at<double>(y, x)));
    }
  }
  return sum / static_cast<double>(fields.Z.total());
}

SceneFlowFields FieldsAtSize(const SceneFlowFields& fields, cv::Size size) {
  if (fields.Z.size() == size) return fields;
  SceneFlowFields resized;
  cv::resize(fields.Z, resized.Z, size, 0, 0, cv::INTER_LINEAR);
  cv::resize(fields.U, resized.U, size, 0, 0, cv::INTER_LINEAR);
  cv::resize(fields.V, resized.V, size, 0, 0, cv::INTER_LINEAR);
  cv::resize(fields.W, resized.W, size, 0, 0, cv::INTER_LINEAR);
  return resized;
}

void CheckSize(const cv::Mat& truth, const RunFolder& run, const std::string& path) {
  if (truth.size() != run.prepared.original_size) {
    throw InputError("Error: " + path + " is " + SizeText(truth.size()) + " but the run's original images are " +
                     SizeText(run.prepared.original_size));
  }
}

struct RealOptions {
  std::string run_dir;
  std::string results;
  std::string disparity;
  double disparity_scale = 0;
  std::string mask;
  std::string flow;
  std::string truth;
  std::string dis_frame_0, dis_frame_t;
  std::string matcher;  // a stereo program's output image, 8-bit twice the disparity
  bool keys = false;
};

void PrintRealUsage(const char* program) {
  std::printf(
      "Usage: %s real RUN_DIR [options]\n"
      "Compares the start values (start/Z0.txt with zero motion), the pipeline start (start/Z0.txt\n"
      "with start/U.txt, V.txt, W.txt, when present) and the result (results/*_final.txt) of a\n"
      "folder made by sceneflow-prepare with ground truth of the reference view, in original\n"
      "pixels: disparity d = (focal/scale)*baseline/Z - doffs and the 2D flow implied by depth and\n"
      "motion (values of prepared.txt). Fields smaller than the images are resized bilinearly.\n"
      "Options:\n"
      "  --disparity FILE        true disparity: .pfm (inf unknown), 16-bit PNG (value/256, KITTI)\n"
      "                          or 8-bit PNG (value/4, Middlebury); 0 unknown in PNGs\n"
      "  --disparity-scale S     divisor of the PNG values instead of 256 or 4\n"
      "  --mask IMAGE            evaluate the disparity only where IMAGE is 255 (e.g. nonocc.png)\n"
      "  --flow FILE             true optical flow: .flo (Middlebury) or KITTI flow PNG\n"
      "  --dis FRAME_0 FRAME_T   add a column with OpenCV's DIS optical flow (preset medium)\n"
      "  --matcher IMAGE         add a disparity column for a stereo program's output: an 8-bit\n"
      "                          image of twice the disparity at the original size, as\n"
      "                          sceneflow-stereo writes it (0 unknown)\n"
      "  --truth DIR             a synthetic scene's truth (Z.txt, U.txt, V.txt, W.txt, valid.png):\n"
      "                          3D end-point error and depth error\n"
      "  --results DIR           the result fields (default RUN_DIR/results)\n"
      "  --keys                  label rows with short keys for scripts\n"
      "Measures: bad 1 px / bad 2 px = share of pixels off by more than 1 / 2 px; D1 = off by more\n"
      "than 3 px and 5 %%; EPE = mean end-point error; Fl = flow off by more than 3 px and 5 %%;\n"
      "2D motion = mean length of the flow over the image (0 for a static scene).\n",
      program);
}

std::optional<RealOptions> ParseRealOptions(int argc, char** argv) {
  RealOptions options;
  tools::ArgumentHandlers handlers;
  handlers.texts = {
      {"--disparity", &options.disparity}, {"--mask", &options.mask},       {"--flow", &options.flow},
      {"--truth", &options.truth},         {"--results", &options.results}, {"--matcher", &options.matcher}};
  handlers.flags = {"--keys"};
  handlers.flag = [&](const std::string&) { options.keys = true; };
  handlers.pair_options = {{"--dis", "Error: --dis needs two frames"}};
  handlers.pair_option = [&](const std::string&, const std::string& frame_0, const std::string& frame_t) {
    options.dis_frame_0 = frame_0;
    options.dis_frame_t = frame_t;
  };
  handlers.option = [&](const std::string& option, const std::string& value) {
    if (option != "--disparity-scale") return false;
    options.disparity_scale = ParseNumber(value, option, 1e-9);
    return true;
  };
  handlers.positional = tools::OnePositional(options.run_dir);
  if (!tools::WalkArguments(argc, argv, 2, handlers)) return std::nullopt;
  if (options.run_dir.empty()) throw InputError("Error: RUN_DIR is needed (see real --help)");
  return options;
}

// The estimates of the run folder: start, pipeline start and result, as far as present.
std::vector<RunEstimate> LoadRealEstimates(const RunFolder& run, const RealOptions& options) {
  std::vector<RunEstimate> estimates;
  if (std::optional<RunEstimate> start = LoadStartEstimate(run)) estimates.push_back(std::move(*start));
  if (std::optional<RunEstimate> pipeline = LoadPipelineEstimate(run)) estimates.push_back(std::move(*pipeline));
  if (std::optional<RunEstimate> result = LoadResultEstimate(run, options.results)) {
    estimates.push_back(std::move(*result));
  } else if (!options.results.empty()) {
    throw InputError("Error: no Z0_final.txt, U_final.txt, V_final.txt, W_final.txt in " + options.results);
  }
  if (estimates.empty()) {
    throw InputError("Error: " + run.folder + " holds neither start/Z0.txt nor results/*_final.txt");
  }
  return estimates;
}

// The table of the real form: a column per estimate, then DIS and the matcher when asked for,
// rows of measures, and the lines describing the inputs, printed above the table once everything
// has been read.
struct RealTable {
  std::vector<std::string> columns;
  size_t flow_columns = 0;  // the estimates and DIS
  std::vector<TableRow> rows;
  std::vector<std::string> notes;

  // Appends a row without values; returns its index.
  size_t AddRow(const std::string& label, const std::string& key) {
    rows.push_back({label, key, std::vector<double>(columns.size(), kNaN)});
    return rows.size() - 1;
  }
};

RealTable RealTableFor(const RunFolder& run, const std::vector<RunEstimate>& estimates, const RealOptions& options) {
  RealTable table;
  for (const RunEstimate& estimate : estimates) table.columns.push_back(estimate.name);
  if (!options.dis_frame_0.empty()) table.columns.push_back("DIS");
  table.flow_columns = table.columns.size();
  if (!options.matcher.empty() && options.disparity.empty()) {
    throw InputError("Error: --matcher needs --disparity, the truth to compare it with");
  }
  if (!options.matcher.empty()) table.columns.push_back("matcher");

  const tools::PreparedFile& prepared = run.prepared;
  char note[1024];
  std::snprintf(note, sizeof(note), "Run folder %s (%s, images %s from %s, scale %g, focal %g, baseline %g, doffs %g)",
                run.folder.c_str(), prepared.form.empty() ? "?" : prepared.form.c_str(), SizeText(prepared.size).c_str(),
                SizeText(prepared.original_size).c_str(), prepared.scale, prepared.focal, prepared.baseline,
                prepared.doffs);
  table.notes.push_back(note);
  for (const RunEstimate& estimate : estimates) {
    if (estimate.stored_size != prepared.size) {
      table.notes.push_back(estimate.name + ": fields of " + SizeText(estimate.stored_size) + " resized to " +
                            SizeText(prepared.size));
    }
  }
  return table;
}

void SetDisparityColumn(RealTable& table, size_t first_row, size_t column, const DisparityMetrics& m) {
  table.rows[first_row].values[column] = m.bad1_percent;
  table.rows[first_row + 1].values[column] = m.bad2_percent;
  table.rows[first_row + 2].values[column] = m.mean_abs;
  table.rows[first_row + 3].values[column] = m.d1_percent;
  table.rows[first_row + 4].values[column] = m.median_signed;
}

// The disparity rows: every estimate and the matcher's output against the true disparity.
void AddDisparityRows(RealTable& table, const RunFolder& run, const std::vector<RunEstimate>& estimates,
                      const RealOptions& options) {
  if (!(run.prepared.baseline > 0)) throw InputError("Error: " + run.folder + " has no stereo baseline for a disparity");
  const cv::Mat truth = ReadDisparityTruth(options.disparity, options.disparity_scale);
  CheckSize(truth, run, options.disparity);
  cv::Mat mask;
  if (!options.mask.empty()) {
    mask = LoadGreyImage(options.mask) == 255;
    CheckSize(mask, run, options.mask);
  }
  const size_t first = table.AddRow("disparity bad 1 px (%)", "bad1");
  table.AddRow("disparity bad 2 px (%)", "bad2");
  table.AddRow("disparity mean abs error px", "disp_mae");
  table.AddRow("disparity D1 (%, >3 px and >5 %)", "d1");
  table.AddRow("disparity error, median signed px", "disp_bias");
  for (size_t c = 0; c < estimates.size(); ++c) {
    SetDisparityColumn(table, first, c, CompareDisparity(EstimatedDisparity(run, estimates[c].fields), truth, mask));
  }
  if (!options.matcher.empty()) {
    const cv::Mat image = LoadGreyImage(options.matcher);
    CheckSize(image, run, options.matcher);
    cv::Mat disparity;
    image.convertTo(disparity, CV_64F, 0.5);
    SetDisparityColumn(table, first, table.columns.size() - 1, CompareDisparity(disparity, truth, mask));
    table.notes.push_back("matcher: the stereo program's output " + options.matcher + " (value/2)");
  }
  table.notes.push_back("disparity truth: " + options.disparity + ", " +
                        std::to_string(CompareDisparity(truth, truth, mask).pixels) + " known pixels" +
                        (options.mask.empty() ? "" : " inside the mask"));
}

// The flow of every flow column: the estimates' implied flow, then DIS's when asked for.
std::vector<cv::Mat> ColumnFlows(RealTable& table, const RunFolder& run, const std::vector<RunEstimate>& estimates,
                                 const RealOptions& options) {
  std::vector<cv::Mat> flows;
  for (const RunEstimate& estimate : estimates) flows.push_back(EstimatedFlow(run, estimate.fields));
  if (!options.dis_frame_0.empty()) {
    const cv::Mat dis = DisFlow(options.dis_frame_0, options.dis_frame_t);
    table.notes.push_back("DIS: OpenCV's DIS optical flow (preset medium) from " + options.dis_frame_0 + " to " +
                          options.dis_frame_t);
    if (dis.size() != run.prepared.original_size) {
      throw InputError("Error: the frames for --dis are " + SizeText(dis.size()) + " but the run's originals " +
                       SizeText(run.prepared.original_size));
    }
    flows.push_back(dis);
  }
  return flows;
}

void AddFlowRows(RealTable& table, const RunFolder& run, const std::vector<cv::Mat>& flows,
                 const RealOptions& options) {
  const cv::Mat truth = ReadFlowTruth(options.flow);
  CheckSize(truth, run, options.flow);
  const size_t epe_row = table.AddRow("2D flow end-point error px", "flow_epe");
  const size_t fl_row = table.AddRow("2D flow Fl (%, >3 px and >5 %)", "fl");
  for (size_t c = 0; c < table.flow_columns; ++c) {
    const FlowMetrics m = CompareFlow(flows[c], truth);
    table.rows[epe_row].values[c] = m.epe_mean;
    table.rows[fl_row].values[c] = m.fl_percent;
  }
  table.notes.push_back("flow truth: " + options.flow + ", " + std::to_string(CompareFlow(truth, truth).pixels) +
                        " known pixels");
}

void AddMotionRows(RealTable& table, const std::vector<cv::Mat>& flows, const std::vector<RunEstimate>& estimates) {
  const size_t motion_row = table.AddRow("2D motion, mean length px", "motion2d");
  table.AddRow("3D motion, mean length", "motion3d");
  for (size_t c = 0; c < table.flow_columns; ++c) table.rows[motion_row].values[c] = MeanFlowLength(flows[c]);
  for (size_t c = 0; c < estimates.size(); ++c) {
    table.rows[motion_row + 1].values[c] = MeanMotionLength(estimates[c].fields);
  }
}

// The rows against a synthetic scene's truth folder.
void AddSceneTruthRows(RealTable& table, const RunFolder& run, const std::vector<RunEstimate>& estimates,
                       const std::string& truth_option) {
  const std::string truth_dir = TruthFolder(truth_option);
  const SceneFlowFields truth = ReadFields(truth_dir, "Z.txt", ".txt");
  cv::Mat valid;
  const fs::path valid_path = fs::path(truth_dir) / "valid.png";
  if (fs::exists(valid_path)) valid = LoadGreyImage(valid_path.string());
  if (!valid.empty() && valid.size() != truth.Z.size()) {
    throw InputError("Error: " + valid_path.string() + " does not match the truth's size");
  }
  const cv::Mat mask = EvaluationMask(valid, truth.Z.size(), 5);
  ReferenceIntrinsics camera = RunIntrinsics(run);
  const fs::path camera_file = fs::path(truth_dir) / "camera.txt";
  if (fs::exists(camera_file)) camera = ReadIntrinsics(camera_file.string());
  const size_t first = table.AddRow("3D end-point error, mean", "epe3d");
  table.AddRow("Z RMS error", "z_rms");
  table.AddRow("2D flow end-point error vs truth px", "flow2d_truth");
  for (size_t c = 0; c < estimates.size(); ++c) {
    const Metrics m = ComputeMetrics(FieldsAtSize(estimates[c].fields, truth.Z.size()), truth, mask, camera);
    table.rows[first].values[c] = m.epe_mean;
    table.rows[first + 1].values[c] = m.z_rms;
    table.rows[first + 2].values[c] = m.flow2d_epe_mean;
  }
  table.notes.push_back("scene truth: " + truth_dir + ", " + std::to_string(cv::countNonZero(mask)) + " valid pixels");
}

}  // namespace

int RunRealForm(int argc, char** argv) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  const std::optional<RealOptions> parsed = ParseRealOptions(argc, argv);
  if (!parsed) {
    PrintRealUsage(argv[0]);
    return 0;
  }
  const RealOptions& options = *parsed;
  const RunFolder run = ReadRunFolder(options.run_dir);
  const std::vector<RunEstimate> estimates = LoadRealEstimates(run, options);
  RealTable table = RealTableFor(run, estimates, options);
  if (!options.disparity.empty()) AddDisparityRows(table, run, estimates, options);
  const std::vector<cv::Mat> flows = ColumnFlows(table, run, estimates, options);
  if (!options.flow.empty()) AddFlowRows(table, run, flows, options);
  AddMotionRows(table, flows, estimates);
  if (!options.truth.empty()) AddSceneTruthRows(table, run, estimates, options.truth);
  for (const std::string& line : table.notes) std::printf("%s\n", line.c_str());
  PrintTable(table.columns, table.rows, options.keys);
  return 0;
}

namespace {

struct RigidOptions {
  std::string run_dir;
  std::string results;
  double tolerance_pixels = 1.0;
  double max_depth = 0;
  int stride = 2;
  bool keys = false;
};

void PrintRigidUsage(const char* program) {
  std::printf(
      "Usage: %s rigid RUN_DIR [options]\n"
      "Fits one rigid motion (RANSAC over three-point samples, then a weighted least-squares refit)\n"
      "to the pipeline start's 3D points of the reference view at the two instants: X at time 0\n"
      "from start/Z0.txt, X + (U, V, W) at time t from start/U.txt, V.txt, W.txt. Its inliers are\n"
      "the static majority (road, background); the median W there is given for the fit, the\n"
      "pipeline start and the result (results/*_final.txt) with the camera's forward motion.\n"
      "Options:\n"
      "  --tolerance PX   inlier tolerance in pixels of disparity (of image motion without a\n"
      "                   baseline) at the point's depth (default 1)\n"
      "  --max-depth Z    leave out points deeper than Z (default: none)\n"
      "  --stride N       use every N-th pixel in each direction for the fit (default 2)\n"
      "  --results DIR    the result fields (default RUN_DIR/results)\n"
      "  --keys           label rows with short keys for scripts\n",
      program);
}

std::optional<RigidOptions> ParseRigidOptions(int argc, char** argv) {
  RigidOptions options;
  tools::ArgumentHandlers handlers;
  handlers.flags = {"--keys"};
  handlers.flag = [&](const std::string&) { options.keys = true; };
  handlers.texts = {{"--results", &options.results}};
  handlers.option = [&](const std::string& option, const std::string& value) {
    if (option == "--tolerance") {
      options.tolerance_pixels = ParseNumber(value, option, 1e-9);
    } else if (option == "--max-depth") {
      options.max_depth = ParseNumber(value, option, 0);
    } else if (option == "--stride") {
      const double stride = ParseNumber(value, option, 1);
      if (stride > 1000 || stride != std::floor(stride)) {
        throw InputError("Error: --stride needs a whole number from 1 to 1000, not \"" + value + "\"");
      }
      options.stride = static_cast<int>(stride);
    } else {
      return false;
    }
    return true;
  };
  handlers.positional = tools::OnePositional(options.run_dir);
  if (!tools::WalkArguments(argc, argv, 2, handlers)) return std::nullopt;
  if (options.run_dir.empty()) throw InputError("Error: RUN_DIR is needed (see rigid --help)");
  return options;
}

// The 3D points of the reference view at both instants, and how far each may miss the fit: the
// tolerance in pixels turned into scene units at the point's depth (disparity changes by f·B/Z²
// per unit of depth; without a baseline the image moves by f/Z per unit).
struct RigidSamples {
  struct Pixel {
    int x, y;
  };
  std::vector<cv::Vec3d> from, to;
  std::vector<double> tolerance;
  std::vector<Pixel> where;
};

RigidSamples RigidSamplesOf(const RunFolder& run, const SceneFlowFields& start, const RigidOptions& options) {
  const ReferenceIntrinsics camera = RunIntrinsics(run);
  RigidSamples samples;
  for (int y = 0; y < run.prepared.size.height; ++y) {
    for (int x = 0; x < run.prepared.size.width; ++x) {
      const double z = start.Z.at<double>(y, x);
      if (!(z > 0) || !std::isfinite(z) || (options.max_depth > 0 && z > options.max_depth)) continue;
      const cv::Vec3d point((x - camera.u0) * z / camera.fu, (y - camera.v0) * z / camera.fv, z);
      const cv::Vec3d motion(start.U.at<double>(y, x), start.V.at<double>(y, x), start.W.at<double>(y, x));
      const double pixels_per_unit =
          run.prepared.baseline > 0 ? camera.fu * run.prepared.baseline / (z * z) : camera.fu / z;
      samples.from.push_back(point);
      samples.to.push_back(point + motion);
      samples.tolerance.push_back(options.tolerance_pixels / pixels_per_unit);
      samples.where.push_back({x, y});
    }
  }
  if (samples.from.size() < 3) {
    throw InputError("Error: fewer than 3 pixels of " + run.folder + " have a usable depth");
  }
  return samples;
}

// The rigid motion of the static majority and the samples it explains.
struct StaticMotion {
  RigidMotion motion;
  std::vector<int> static_pixels;  // indices of the samples
};

// RANSAC on a thinned grid, then the inliers over every pixel refitted by weighted least squares.
StaticMotion FitStaticMotion(const RigidSamples& samples, int stride) {
  std::vector<cv::Vec3d> thin_from, thin_to;
  std::vector<double> thin_tolerance;
  for (size_t i = 0; i < samples.from.size(); ++i) {
    if (samples.where[i].x % stride != 0 || samples.where[i].y % stride != 0) continue;
    thin_from.push_back(samples.from[i]);
    thin_to.push_back(samples.to[i]);
    thin_tolerance.push_back(samples.tolerance[i]);
  }
  const RobustRigidFit thin = FitRigidMotionRansac(thin_from, thin_to, thin_tolerance);
  StaticMotion fit;
  std::vector<double> weight(samples.from.size());
  for (size_t i = 0; i < samples.from.size(); ++i) {
    weight[i] = 1.0 / (samples.tolerance[i] * samples.tolerance[i]);
    if (cv::norm(thin.motion.R * samples.from[i] + thin.motion.T - samples.to[i]) <= samples.tolerance[i]) {
      fit.static_pixels.push_back(static_cast<int>(i));
    }
  }
  fit.motion = fit.static_pixels.size() >= 3 ? FitRigidMotion(samples.from, samples.to, fit.static_pixels, weight)
                                             : thin.motion;
  return fit;
}

// Median W of the static pixels: of the fit, of the pipeline start and of the result (NaN without one).
struct StaticDepthMotion {
  double fit = 0, start = 0, result = 0;
};

StaticDepthMotion MedianStaticW(const RigidSamples& samples, const StaticMotion& fit, const SceneFlowFields& start,
                                const std::optional<RunEstimate>& result) {
  std::vector<double> w_fit, w_start, w_result;
  for (int i : fit.static_pixels) {
    const RigidSamples::Pixel& pixel = samples.where[i];
    w_fit.push_back((fit.motion.R * samples.from[i] + fit.motion.T - samples.from[i])[2]);
    w_start.push_back(start.W.at<double>(pixel.y, pixel.x));
    if (result) w_result.push_back(result->fields.W.at<double>(pixel.y, pixel.x));
  }
  return {Median(w_fit), Median(w_start), Median(w_result)};
}

void PrintRigidReport(const RunFolder& run, const RigidSamples& samples, const StaticMotion& fit,
                      const StaticDepthMotion& w, bool with_result, bool keys) {
  const RigidMotion& motion = fit.motion;
  const cv::Vec3d camera_centre = -(motion.R.t() * motion.T);
  cv::Vec3d rotation;
  cv::Rodrigues(cv::Mat(motion.R), rotation);
  const double static_percent = 100.0 * fit.static_pixels.size() / samples.from.size();
  std::printf("Run folder %s (%s, images %s): rigid fit over %zu of %zu pixels with a depth (%.1f %% static)\n",
              run.folder.c_str(), run.prepared.form.empty() ? "?" : run.prepared.form.c_str(),
              SizeText(run.prepared.size).c_str(), fit.static_pixels.size(), samples.from.size(), static_percent);
  std::printf("fit: T = (%.4g, %.4g, %.4g), rotation %.3g deg; camera moves by (%.4g, %.4g, %.4g)\n", motion.T[0],
              motion.T[1], motion.T[2], cv::norm(rotation) * 180.0 / CV_PI, camera_centre[0], camera_centre[1],
              camera_centre[2]);
  const std::vector<std::string> columns = {"value"};
  std::vector<TableRow> rows = {
      {"camera forward motion (fit)", "forward", {camera_centre[2]}},
      {"static pixels (%)", "static_percent", {static_percent}},
      {"median W of static pixels: fit", "w_fit", {w.fit}},
      {"median W of static pixels: pipeline", "w_pipeline", {w.start}},
      {"median W of static pixels: result", "w_result", {with_result ? w.result : kNaN}},
      {"result / fit", "w_ratio", {with_result ? w.result / w.fit : kNaN}},
  };
  PrintTable(columns, rows, keys);
}

}  // namespace

int RunRigidForm(int argc, char** argv) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  const std::optional<RigidOptions> parsed = ParseRigidOptions(argc, argv);
  if (!parsed) {
    PrintRigidUsage(argv[0]);
    return 0;
  }
  const RigidOptions& options = *parsed;
  const RunFolder run = ReadRunFolder(options.run_dir);
  const std::optional<RunEstimate> pipeline = LoadPipelineEstimate(run);
  if (!pipeline) {
    throw InputError("Error: " + run.folder + "/start has no U.txt, V.txt, W.txt (prepare it with --init pipeline)");
  }
  const std::optional<RunEstimate> result = LoadResultEstimate(run, options.results);
  if (!result && !options.results.empty()) {
    throw InputError("Error: no Z0_final.txt, U_final.txt, V_final.txt, W_final.txt in " + options.results);
  }
  const RigidSamples samples = RigidSamplesOf(run, pipeline->fields, options);
  const StaticMotion fit = FitStaticMotion(samples, options.stride);
  const StaticDepthMotion w = MedianStaticW(samples, fit, pipeline->fields, result);
  PrintRigidReport(run, samples, fit, w, result.has_value(), options.keys);
  return 0;
}

}  // namespace sceneflow::eval
