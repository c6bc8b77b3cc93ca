// sceneflow-export: turns a finished run's final text fields (or, with --start, its start values) into
// the files other tools open: a PLY point cloud, Middlebury .flo optical flow with its colour-wheel
// picture, PFM images, the KITTI submission PNGs, pictures of depth and motion with robust colour
// ranges and a page with a 3D view of the scene and its motion for a browser.

#include <cstdio>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "config/input_error.h"
#include "io/false_colour.h"
#include "io/image_file.h"
#include "io/program_errors.h"
#include "tools/common/arguments.h"
#include "tools/common/prepared_file.h"
#include "tools/export/file_formats.h"
#include "tools/export/pictures.h"
#include "tools/export/run_results.h"
#include "tools/export/scene_geometry.h"
#include "tools/export/viewer_page.h"

namespace {

namespace fs = std::filesystem;
using sceneflow::InputError;
using namespace sceneflow::exporting;

struct Options {
  std::string run_dir;
  std::string ini = "run.ini";
  std::string ply, ply_t, flo, pfm_dir, kitti_dir, pictures_dir, html;
  bool start = false;  // the start values instead of the final fields
};

void PrintUsage(FILE* stream, const char* program) {
  std::fprintf(stream,
               "Usage: %s RUN_DIR [--ini FILE] [--ply FILE] [--ply-t FILE] [--flo FILE] [--pfm DIR]\n"
               "                  [--kitti DIR] [--pictures DIR] [--html FILE] [--start]\n"
               "Reads the final fields Z0_final.txt, U_final.txt, V_final.txt, W_final.txt of a finished\n"
               "run (in the INI's TxtResultsDir) with the INI's reference camera and image, and writes:\n"
               "  --ply FILE      point cloud of the reference surface at time 0 (binary PLY), coloured\n"
               "                  from the reference image, with the motion U, V, W per vertex\n"
               "  --ply-t FILE    the same points moved to time t, coloured likewise\n"
               "  --flo FILE      2D optical flow of the reference view (Middlebury .flo)\n"
               "  --pfm DIR       Z.pfm, U.pfm, V.pfm, W.pfm and, with a stereo baseline in\n"
               "                  prepared.txt, disparity.pfm of the reference view\n"
               "  --kitti DIR     KITTI submission PNGs DIR/disp_0/FRAME_10.png, DIR/disp_1/FRAME_10.png,\n"
               "                  DIR/flow/FRAME_10.png (needs a folder made by sceneflow-prepare kitti)\n"
               "  --pictures DIR  Z.png, U.png, V.png, W.png (colour range from the 2nd to the 98th\n"
               "                  percentile) and flow.png (colour wheel with a legend)\n"
               "  --html FILE     a page with a 3D view of the surface points and their motion, to turn\n"
               "                  and play in a browser (WebGL); self-contained, it opens offline\n"
               "  --ini FILE      the run's INI, relative to RUN_DIR unless absolute (default run.ini)\n"
               "  --start         write the start values instead of the final fields: the text files\n"
               "                  the INI names (start/Z0.txt, U.txt, V.txt, W.txt in a folder made by\n"
               "                  sceneflow-prepare), at the full size of the images (level 1)\n"
               "Without an output option everything is written into RUN_DIR/export (RUN_DIR/export-start\n"
               "with --start).\n"
               "The cloud, the PFM fields and the pictures of Z, U, V, W are on the grid of the results\n"
               "(level PyramidLevelFinal). With a prepared.txt (a folder made by sceneflow-prepare), the\n"
               "flow, the disparity and the KITTI files are at the size of the original images, in their\n"
               "pixels (disparity = focal/scale * baseline / Z - doffs); otherwise the flow is on the grid\n"
               "of the results, in its pixels. Undefined flow is 1e10 in .flo and invalid in KITTI files;\n"
               "undefined disparity is inf in PFM and 0 in KITTI files.\n",
               program);
}

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  sceneflow::tools::ArgumentHandlers handlers;
  handlers.texts = {
      {"--ini", &options.ini},        {"--ply", &options.ply},
      {"--ply-t", &options.ply_t},    {"--flo", &options.flo},
      {"--pfm", &options.pfm_dir},    {"--kitti", &options.kitti_dir},
      {"--pictures", &options.pictures_dir}, {"--html", &options.html}};
  handlers.flags = {"--start"};
  handlers.flag = [&](const std::string&) { options.start = true; };
  handlers.positional = sceneflow::tools::OnePositional(options.run_dir);
  if (!sceneflow::tools::WalkArguments(argc, argv, 1, handlers)) return std::nullopt;
  if (options.run_dir.empty()) throw InputError("Error: RUN_DIR is needed (see --help)");
  return options;
}

// Output paths are given relative to the caller's directory; the run is read from inside RUN_DIR.
std::string Absolute(const std::string& path) { return path.empty() ? path : fs::absolute(path).string(); }

void MakeFolder(const fs::path& folder) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (error || !fs::is_directory(folder)) throw InputError("Error: cannot create folder " + folder.string());
}

// The run folder as the 3D view names it: absolute, without a trailing separator.
std::string RunFolderName(const std::string& run_dir) {
  const fs::path folder = fs::absolute(run_dir).lexically_normal();
  return (folder.has_filename() ? folder : folder.parent_path()).string();
}

void Report(const std::string& path) { std::printf("wrote %s\n", path.c_str()); }

void SavePicture(const cv::Mat& field, const cv::Mat& mask, const fs::path& path) {
  const auto [lo, hi] = RobustRange(field, mask, kColourRangeClipPercent);
  if (!sceneflow::SaveFalseColourImage(field, path.string(), lo, hi)) {
    throw InputError("Error: cannot write " + path.string());
  }
  Report(path.string());
}

// A field multiplied by a factor (NaN stays NaN).
cv::Mat Scaled(const cv::Mat& field, double factor) {
  cv::Mat scaled;
  field.convertTo(scaled, field.type(), factor);
  return scaled;
}

// Without an output option: everything into RUN_DIR/export (RUN_DIR/export-start with --start),
// the KITTI files only for a folder prepared from KITTI.
void ChooseDefaultOutputs(Options& options) {
  const fs::path out = fs::path(options.run_dir) / (options.start ? "export-start" : "export");
  options.ply = (out / "cloud.ply").string();
  options.ply_t = (out / "cloud_t.ply").string();
  options.flo = (out / "flow.flo").string();
  options.pfm_dir = (out / "pfm").string();
  options.pictures_dir = (out / "pictures").string();
  options.html = (out / "view.html").string();
  const fs::path prepared = fs::path(options.run_dir) / sceneflow::tools::kPreparedFile;
  if (fs::exists(prepared) && sceneflow::tools::ReadPreparedFile(prepared.string()).form == "kitti") {
    options.kitti_dir = (out / "kitti").string();
  }
  MakeFolder(out);
}

bool HasOutputOption(const Options& options) {
  return !options.ply.empty() || !options.ply_t.empty() || !options.flo.empty() || !options.pfm_dir.empty() ||
         !options.kitti_dir.empty() || !options.pictures_dir.empty() || !options.html.empty();
}

// Makes every output path absolute and creates the folders the output files go into.
void PrepareOutputPaths(Options& options) {
  for (std::string* path : {&options.ply, &options.ply_t, &options.flo, &options.pfm_dir,
                            &options.kitti_dir, &options.pictures_dir, &options.html}) {
    *path = Absolute(*path);
  }
  for (const std::string* file : {&options.ply, &options.ply_t, &options.flo, &options.html}) {
    if (!file->empty()) MakeFolder(fs::path(*file).parent_path());
  }
}

// What the files are made of: the run with its surface, points, motion, flow and, for a stereo
// folder, disparity, flow and disparity on the grid of the user's original images when the
// folder says what it is.
struct ExportFields {
  cv::Mat surface, points, motion, flow;
  bool stereo = false;
  cv::Size original_size;
};

ExportFields ExportFieldsOf(const RunResults& run) {
  ExportFields fields;
  fields.surface = SurfaceMask(run);
  fields.points = ReferencePoints(run);
  cv::merge(std::vector<cv::Mat>{run.U, run.V, run.W}, fields.motion);
  // Flow and disparity are compared with the user's own data: at its size, in its pixels.
  fields.flow = ReferenceFlow(run);
  if (run.prepared) {
    fields.original_size = run.prepared->original_size;
    fields.flow = ResizeWithUndefined(Scaled(fields.flow, 1.0 / (run.level_factor * run.prepared->scale)),
                                      fields.original_size);
    fields.stereo = run.prepared->baseline != 0 && run.prepared->focal > 0;
  }
  return fields;
}

cv::Mat OriginalDisparity(const RunResults& run, const ExportFields& fields, bool at_time_t) {
  return ResizeWithUndefined(ReferenceDisparity(run, at_time_t), fields.original_size);
}

void WriteClouds(const Options& options, const RunResults& run, const ExportFields& fields) {
  if (!options.ply.empty()) {
    WritePly(options.ply, fields.points, run.colour, fields.surface, fields.motion);
    Report(options.ply);
  }
  if (!options.ply_t.empty()) {
    const cv::Mat moved = fields.points + fields.motion;
    cv::Mat in_front;
    cv::extractChannel(moved, in_front, 2);
    WritePly(options.ply_t, moved, run.colour, fields.surface & (in_front > 0), cv::Mat());
    Report(options.ply_t);
  }
}

void WritePfmFields(const std::string& pfm_dir, const RunResults& run, const ExportFields& fields) {
  const fs::path folder(pfm_dir);
  MakeFolder(folder);
  const std::pair<const char*, const cv::Mat*> pfm_fields[] = {
      {"Z.pfm", &run.Z}, {"U.pfm", &run.U}, {"V.pfm", &run.V}, {"W.pfm", &run.W}};
  for (const auto& [name, field] : pfm_fields) {
    WritePfm((folder / name).string(), *field);
    Report((folder / name).string());
  }
  if (fields.stereo) {
    cv::Mat disparity = OriginalDisparity(run, fields, false);
    disparity.setTo(std::numeric_limits<float>::infinity(), disparity != disparity);
    WritePfm((folder / "disparity.pfm").string(), disparity);
    Report((folder / "disparity.pfm").string());
  } else {
    std::printf("no stereo baseline in prepared.txt: disparity.pfm not written\n");
  }
}

void WriteKittiFiles(const std::string& kitti_dir, const RunResults& run, const ExportFields& fields) {
  if (!fields.stereo || run.prepared->frame.empty()) {
    throw InputError("Error: --kitti needs a run folder made by sceneflow-prepare kitti (prepared.txt with "
                     "frame, original size, focal and baseline)");
  }
  const fs::path folder(kitti_dir);
  const std::string name = run.prepared->frame + "_10.png";
  for (const char* sub : {"disp_0", "disp_1", "flow"}) MakeFolder(folder / sub);
  WriteKittiDisparity((folder / "disp_0" / name).string(), OriginalDisparity(run, fields, false));
  Report((folder / "disp_0" / name).string());
  WriteKittiDisparity((folder / "disp_1" / name).string(), OriginalDisparity(run, fields, true));
  Report((folder / "disp_1" / name).string());
  WriteKittiFlow((folder / "flow" / name).string(), fields.flow);
  Report((folder / "flow" / name).string());
}

void WritePictures(const std::string& pictures_dir, const RunResults& run, const ExportFields& fields) {
  const fs::path folder(pictures_dir);
  MakeFolder(folder);
  SavePicture(run.Z, fields.surface, folder / "Z.png");
  SavePicture(run.U, fields.surface, folder / "U.png");
  SavePicture(run.V, fields.surface, folder / "V.png");
  SavePicture(run.W, fields.surface, folder / "W.png");
  const cv::Mat picture = RenderFlowPicture(fields.flow);
  const std::string path = (folder / "flow.png").string();
  if (!sceneflow::SaveImageAtomically(path, picture)) throw InputError("Error: cannot write " + path);
  Report(path);
}

int Run(int argc, char** argv) {
  const std::optional<Options> parsed = ParseOptions(argc, argv);
  if (!parsed) {
    PrintUsage(stdout, argv[0]);
    return 0;
  }
  Options options = *parsed;
  if (!fs::is_directory(options.run_dir)) throw InputError("Error: no run folder " + options.run_dir);
  if (!HasOutputOption(options)) ChooseDefaultOutputs(options);
  PrepareOutputPaths(options);
  const fs::path ini_path = fs::path(options.run_dir) / options.ini;
  if (!fs::is_regular_file(ini_path)) throw InputError("Error: cannot read the run's INI " + ini_path.string());
  const std::string folder = RunFolderName(options.run_dir);
  fs::current_path(options.run_dir);

  const RunResults run = LoadRunResults(options.ini, sceneflow::tools::kPreparedFile,
                                        options.start ? RunFields::kStart : RunFields::kFinal);
  const ExportFields fields = ExportFieldsOf(run);
  WriteClouds(options, run, fields);
  if (!options.flo.empty()) {
    WriteFlo(options.flo, fields.flow);
    Report(options.flo);
  }
  if (!options.pfm_dir.empty()) WritePfmFields(options.pfm_dir, run, fields);
  if (!options.kitti_dir.empty()) WriteKittiFiles(options.kitti_dir, run, fields);
  if (!options.pictures_dir.empty()) WritePictures(options.pictures_dir, run, fields);
  if (!options.html.empty()) {
    WriteViewerPage(options.html, run, folder);
    Report(options.html);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return sceneflow::RunReportingErrors([&] { return Run(argc, argv); });
}
