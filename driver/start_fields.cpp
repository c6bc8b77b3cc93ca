#include "driver/start_fields.h"

#include <cmath>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "config/input_error.h"
#include "geometry/disparity.h"
#include "io/atomic_file.h"
#include "io/image_file.h"
#include "io/text_matrix.h"

namespace sceneflow {
namespace {

constexpr size_t kMaxCommandLength = 1024;

std::string NameOrNull(const OptionalString& name) { return name ? *name : "(null)"; }

// Loads a grey source image of the reference image's size; `failure` is the error line when it
// cannot be loaded.
cv::Mat LoadSourceImage(const OptionalString& path, cv::Size full, const std::string& failure) {
  cv::Mat image;
  if (path) image = LoadImageQuietly(*path);
  if (image.empty()) throw InputError(failure);
  if (image.size() != full) {
    throw InputError("Error: image " + *path + " is " + SizeText(image.size()) +
                     " pixels, the reference image is " + SizeText(full));
  }
  return image;
}

// value = scale·g + offset for every grey value g, as a 32-bit float field.
cv::Mat GreyToField(const cv::Mat& grey, double scale, double offset) {
  cv::Mat field(grey.size(), CV_32F);
  for (int r = 0; r < grey.rows; ++r) {
    const uchar* g = grey.ptr<uchar>(r);
    float* value = field.ptr<float>(r);
    for (int c = 0; c < grey.cols; ++c) value[c] = static_cast<float>(scale * g[c] + offset);
  }
  return field;
}

cv::Mat ReadFullSizeText(const std::string& path, cv::Size full) {
  cv::Mat field(full, CV_32F, cv::Scalar(0));
  if (!ReadTextMatrix(path.c_str(), field)) {
    throw InputError("Error: could not read start field file " + path);
  }
  if (!cv::checkRange(field)) {
    throw InputError("Error: start field file " + path + " holds a value that is not a finite number");
  }
  return field;
}

cv::Mat ResizeArea(const cv::Mat& field, cv::Size size) {
  cv::Mat resized;
  cv::resize(field, resized, size, 0, 0, cv::INTER_AREA);
  return resized;
}

cv::Mat Constant(cv::Size size, double value) { return cv::Mat(size, CV_32F, cv::Scalar(value)); }

void SaveImage(const OptionalString& path, const cv::Mat& image) {
  if (!path) return;
  if (!SaveImageAtomically(*path, image)) throw InputError("Error: could not write image " + *path);
}

// Runs the external stereo program on the left and right images and returns the full-size
// disparity it leaves behind (D = -0.5·g).
cv::Mat DisparityFromStereoProgram(const ParameterSet& p, cv::Size full, const RunLog& log) {
  // The two images are loaded only to prove that they are readable.
  LoadSourceImage(p.Il0_FileName, full, "Error: could not load Il0=" + NameOrNull(p.Il0_FileName));
  LoadSourceImage(p.Ir0_FileName, full, "Error: could not load Ir0=" + NameOrNull(p.Ir0_FileName));
  if (!p.StereoExecutable || p.StereoExecutable->empty()) {
    throw InputError("Error: StereoExecutable is not set");
  }
  if (!p.ST_D0_Init_Middlebury_FileName) {
    throw InputError("Error: ST_D0_Init_Middlebury_FileName is not set");
  }
  const std::string command = BuildStereoCommand(p);
  if (command.size() > kMaxCommandLength) {
    throw InputError("Error: the external stereo command is longer than 1024 characters");
  }
  log.Line("** Initialization: external command \"%s\"\n", command.c_str());
  std::fflush(nullptr);  // the program's own output must come after ours
  if (std::system(command.c_str()) != 0) {
    throw InputError("Error: command \"" + command + "\" failed");
  }
  const cv::Mat grey = LoadSourceImage(
      p.ST_D0_Init_Middlebury_FileName, full,
      "Error: could not load external stereo result " + *p.ST_D0_Init_Middlebury_FileName);
  return GreyToField(grey, -0.5, 0.0);
}

cv::Mat DisparityFromImage(const ParameterSet& p, cv::Size full, const RunLog& log) {
  if (!p.ST_D0_initialFileName) throw InputError("Error: initial disparity file is not supplied!");
  const cv::Mat grey = LoadSourceImage(p.ST_D0_initialFileName, full,
                                       "Error: could not load initial disparity " +
                                           *p.ST_D0_initialFileName);
  log.Line("** Initialization: D is read from file\n");
  return GreyToField(grey, p.D_SCALE != 0 ? -1.0 / p.D_SCALE : -0.5, 0.0);
}

// Brings a full-size depth to the coarsest grid and, in a two-stage run, the scene-flow grid.
void ResizeDepth(const cv::Mat& full_depth, const StartGrids& grids, StartFields& fields) {
  fields.Z = ResizeArea(full_depth, grids.coarsest);
  if (!grids.scene_flow.empty()) fields.Z_scene_flow = ResizeArea(full_depth, grids.scene_flow);
}

void SetDepthConstant(double value, const StartGrids& grids, StartFields& fields) {
  fields.Z = Constant(grids.coarsest, value);
  if (!grids.scene_flow.empty()) fields.Z_scene_flow = Constant(grids.scene_flow, value);
}

// A given full-size field, checked against the reference image's size.
const cv::Mat& GivenFullSize(const GivenStartValue& given, char name, cv::Size full) {
  if (given.full.size() != full || given.full.type() != CV_32F) {
    throw InputError(std::string("Error: the given start ") + name + " is " +
                     SizeText(given.full.size()) + " pixels, the reference image is " +
                     SizeText(full));
  }
  return given.full;
}

void PrepareDepth(const ParameterSet& p, const StartGrids& grids, const RunLog& log,
                  const GivenStartValue& given, StartFields& fields) {
  if (!given.full.empty()) {
    ResizeDepth(GivenFullSize(given, 'Z', grids.full), grids, fields);
    log.Line("** Initialization: Z is given\n");
  } else if (given.constant) {
    SetDepthConstant(*given.constant, grids, fields);
    log.Line("** Initialization: Z is given\n");
  } else if (p.InitStereo != 0) {
    cv::Mat disparity = p.InitStereoBP != 0 ? DisparityFromStereoProgram(p, grids.full, log)
                                            : DisparityFromImage(p, grids.full, log);
    ReplicateBorder(disparity);
    SaveImage(p.ST_initD0_FileName, ResizeArea(disparity, grids.coarsest));
    cv::Mat full_depth;
    DisparityToDepth(disparity, p.Tx * p.f0ku, p.maxZ, full_depth);
    SaveImage(p.ST_initZ0_FileName, full_depth);
    ResizeDepth(full_depth, grids, fields);
  } else if (p.SF_Z0_start_init_FileName) {
    const cv::Mat grey = LoadSourceImage(p.SF_Z0_start_init_FileName, grids.full,
                                         "Error: could not load start depth image " +
                                             *p.SF_Z0_start_init_FileName);
    ResizeDepth(GreyToField(grey, p.Z0_init_Scale, 0.0), grids, fields);
    log.Line("** Initialization: Z is read from file\n");
  } else if (p.SF_Z0_start_Txt_FileName) {
    ResizeDepth(ReadFullSizeText(*p.SF_Z0_start_Txt_FileName, grids.full), grids, fields);
  } else if (p.Z_CONST != 0) {
    SetDepthConstant(p.Z_CONST, grids, fields);
    log.Line("** Initialization: Z to const\n");
  } else {
    SetDepthConstant(0.0, grids, fields);
    log.Line("** Initialization: Z to null\n");
  }
}

// One motion component from its image (50 - 0.25·g), text matrix, constant, or zero.
cv::Mat PrepareMotion(char name, const OptionalString& image_path, const OptionalString& text_path,
                      double constant, const GivenStartValue& given, const StartGrids& grids,
                      const RunLog& log) {
  if (!given.full.empty() || given.constant) {
    log.Line("** Initialization: %c is given\n", name);
    if (given.constant) return Constant(grids.coarsest, *given.constant);
    return ResizeArea(GivenFullSize(given, name, grids.full), grids.coarsest);
  }
  if (image_path) {
    const cv::Mat grey = LoadSourceImage(image_path, grids.full,
                                         std::string("Error: could not load start ") + name +
                                             " image " + *image_path);
    if (name == 'U') log.Line("** Initialization: U is read from file\n");
    return ResizeArea(GreyToField(grey, -0.25, 50.0), grids.coarsest);
  }
  if (text_path) return ResizeArea(ReadFullSizeText(*text_path, grids.full), grids.coarsest);
  if (constant != 0) {
    // The integral part, as an int would show it, but also for constants beyond the int range.
    log.Line("** Initialization: %c to %.0f\n", name, std::trunc(constant) + 0.0);
    return Constant(grids.coarsest, constant);
  }
  log.Line("** Initialization: %c to zero\n", name);
  return Constant(grids.coarsest, 0.0);
}

void WriteStartFile(const std::string& directory, const char* name, const cv::Mat& field) {
  const std::string path = directory + "/" + name;
  if (!WriteFileAtomically(path, "wb", [&](FILE* stream) { WriteTextMatrix(field, stream); })) {
    throw InputError("Error: could not write start field file " + path);
  }
}

}  // namespace

std::string QuoteForShell(const std::string& text) {
  const auto plain = [](unsigned char c) {
    return std::isalnum(c) || std::strchr("-_./+,:=@%", c) != nullptr;
  };
  if (!text.empty() && std::all_of(text.begin(), text.end(), plain)) return text;
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string BuildStereoCommand(const ParameterSet& p) {
  return NameOrNull(p.StereoExecutable) + " " + QuoteForShell(NameOrNull(p.Il0_FileName)) + " " +
         QuoteForShell(NameOrNull(p.Ir0_FileName)) + " " +
         QuoteForShell(NameOrNull(p.ST_D0_Init_Middlebury_FileName));
}

StartFields ComputeStartFields(const ParameterSet& p, const StartGrids& grids, const RunLog& log,
                               const GivenStartValues& given) {
  StartFields fields;
  PrepareDepth(p, grids, log, given.Z, fields);
  fields.U = PrepareMotion('U', p.SF_U_start_init_FileName, p.SF_U_start_Txt_FileName, p.U_CONST,
                           given.U, grids, log);
  fields.V = PrepareMotion('V', p.SF_V_start_init_FileName, p.SF_V_start_Txt_FileName, p.V_CONST,
                           given.V, grids, log);
  fields.W = PrepareMotion('W', p.SF_W_start_init_FileName, p.SF_W_start_Txt_FileName, p.W_CONST,
                           given.W, grids, log);
  return fields;
}

StartFields PrepareStartFields(const ParameterSet& p, const StartGrids& grids, const RunLog& log) {
  StartFields fields = ComputeStartFields(p, grids, log, {});
  const std::string directory = p.TxtResultsDir.value_or(".");
  WriteStartFile(directory, "Z0_start.txt", fields.Z);
  WriteStartFile(directory, "W_start.txt", fields.W);
  WriteStartFile(directory, "U_start.txt", fields.U);
  WriteStartFile(directory, "V_start.txt", fields.V);
  return fields;
}

}  // namespace sceneflow
