#include "tools/export/run_results.h"

#include <filesystem>


#include <opencv2/imgproc.hpp>

#include "config/ini_file.h"
#include "config/input_error.h"
#include "config/derived_defaults.h"
#include "geometry/calibration_files.h"
#include "io/image_file.h"
#include "io/pyramid.h"
#include "io/text_matrix.h"

namespace sceneflow::exporting {
namespace {

// A final field of the run at the level's size, read strictly: a file of another level, a
// truncated one or one holding text is refused instead of being padded with its last number.
cv::Mat ReadFinalField(const std::string& directory, const char* name, cv::Size size) {
  const std::string path = directory + "/" + name;
  cv::Mat field(size, CV_64F);
  if (!ReadTextMatrix(path.c_str(), field, TextMatrixReading::kStrict)) {
    throw InputError("Error: cannot read result file " + path + " (has the run finished?)");
  }
  return field;
}

// A start field read as the estimator reads it: the numbers fill the full-size field row by row
// and, when they run out, the last one fills the rest (a file of one number is a constant field).
cv::Mat ReadStartField(const std::string& path, cv::Size size) {
  cv::Mat field(size, CV_64F, cv::Scalar(0));
  if (!ReadTextMatrix(path.c_str(), field) || !cv::checkRange(field)) {
    throw InputError("Error: cannot read start field file " + path);
  }
  return field;
}

cv::Mat StartMotion(const OptionalString& text_path, double constant, cv::Size size) {
  if (text_path) return ReadStartField(*text_path, size);
  return cv::Mat(size, CV_64F, cv::Scalar(constant));
}

// The start values, when the INI gives them as text files (as sceneflow-prepare writes it).
void LoadStartFields(const ParameterSet& p, const std::string& ini_path, cv::Size size, RunResults& run) {
  if (p.InitStereo != 0 || p.SF_Z0_start_init_FileName || p.SF_U_start_init_FileName ||
      p.SF_V_start_init_FileName || p.SF_W_start_init_FileName || !p.SF_Z0_start_Txt_FileName) {
    throw InputError("Error: " + ini_path + " does not give the start values as text files "
                     "(SF_Z0_start_Txt_FileName, as in a folder made by sceneflow-prepare)");
  }
  run.Z = ReadStartField(*p.SF_Z0_start_Txt_FileName, size);
  run.U = StartMotion(p.SF_U_start_Txt_FileName, p.U_CONST, size);
  run.V = StartMotion(p.SF_V_start_Txt_FileName, p.V_CONST, size);
  run.W = StartMotion(p.SF_W_start_Txt_FileName, p.W_CONST, size);
}

}  // namespace

RunResults LoadRunResults(const std::string& ini_path, const std::string& prepared_path, RunFields fields) {
  ParameterSet parameters;
  if (LoadParameters(parameters, ini_path.c_str()) != 0) throw InputError("Error: cannot read " + ini_path);
  return LoadRunResults(parameters, ini_path, prepared_path, fields);
}

RunResults LoadRunResults(const ParameterSet& parameters, const std::string& ini_path,
                          const std::string& prepared_path, RunFields fields) {
  RunResults run;
  run.parameters = parameters;
  ParameterSet& p = run.parameters;
  if (!p.TxtResultsDir || !p.Img_0_FileName || !p.ImgPrefix) {
    throw InputError("Error: " + ini_path + " names no TxtResultsDir or reference image");
  }
  if (!p.CMat_FileName || !p.RMat_FileName || !p.TMat_FileName) {
    throw InputError("Error: " + ini_path + " names no calibration files (CMat_FileName, RMat_FileName, TMat_FileName)");
  }
  if (p.PyramidLevelFinal < 1 || !(p.PyramidEta > 0 && p.PyramidEta <= 1)) {
    throw InputError("Error: " + ini_path + " has no usable PyramidLevelFinal and PyramidEta");
  }

  const std::string image_path = ViewFileName(*p.Img_0_FileName, 0, *p.ImgPrefix);
  const cv::Mat reference = LoadImageQuietly(image_path, cv::IMREAD_COLOR);
  if (reference.empty()) throw InputError("Error: cannot read the reference image " + image_path);
  run.full_size = reference.size();
  ApplyDerivedDefaults(p, run.full_size);
  run.intrinsics = {p.f0ku, p.f0kv, p.u0, p.v0};
  if (run.intrinsics.f0ku == 0 || run.intrinsics.f0kv == 0) {
    throw InputError("Error: " + ini_path + " gives the reference camera a focal length of 0");
  }

  run.level = fields == RunFields::kStart ? 1 : p.PyramidLevelFinal;
  run.level_factor = LevelFactor(p.PyramidEta, run.level);
  const cv::Size size = PyramidLevelSize(run.full_size, p.PyramidEta, run.level);
  if (fields == RunFields::kStart) {
    LoadStartFields(p, ini_path, size, run);
  } else {
    run.Z = ReadFinalField(*p.TxtResultsDir, "Z0_final.txt", size);
    run.U = ReadFinalField(*p.TxtResultsDir, "U_final.txt", size);
    run.V = ReadFinalField(*p.TxtResultsDir, "V_final.txt", size);
    run.W = ReadFinalField(*p.TxtResultsDir, "W_final.txt", size);
  }
  if (size == run.full_size) {
    run.colour = reference;
  } else {
    cv::resize(reference, run.colour, size, 0, 0, cv::INTER_AREA);
  }

  // Only the reference view's calibration is needed.
  const CalibrationSet calibration = ReadCalibrationSet(
      {.views = 1, .C = *p.CMat_FileName, .R = *p.RMat_FileName, .T = *p.TMat_FileName});
  run.C0 = calibration.C[0];
  run.R0 = calibration.R[0];
  run.T0 = calibration.T[0];
  if (std::filesystem::exists(prepared_path)) run.prepared = tools::ReadPreparedFile(prepared_path);
  return run;
}

}  // namespace sceneflow::exporting
