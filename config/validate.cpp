#include "config/validate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <variant>

#include "config/input_error.h"

namespace sceneflow {
namespace {

std::string FormatNumber(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

void RequirePositive(double value, const char* key) {
  if (!(value > 0)) {
    throw InputError(std::string("Error: ") + key + " is " + FormatNumber(value) + ", it must be positive");
  }
}

void RequireNonNegative(double value, const char* key) {
  if (!(value >= 0)) {
    throw InputError(std::string("Error: ") + key + " is " + FormatNumber(value) +
                     ", it must not be negative");
  }
}

// Every number of the set must be finite: an infinity or a NaN in any of them can only spread
// into the fields.
void RequireFiniteNumbers(const ParameterSet& p) {
  for (const ParameterKey& key : ParameterKeys()) {
    auto member = std::get_if<double ParameterSet::*>(&key.member);
    if (member && !std::isfinite(p.*(*member))) {
      throw InputError(std::string("Error: ") + key.name + " is " + FormatNumber(p.*(*member)) +
                       ", it must be a finite number");
    }
  }
}

void RequireSet(const OptionalString& value, const char* key) {
  if (!value) throw InputError(std::string("Error: ") + key + " is not set");
}

void RequireViews(const ParameterSet& p) {
  if (p.NumOfViews < 1) {
    throw InputError("Error: NumOfViews is " + std::to_string(p.NumOfViews) +
                     ", at least 1 view is needed");
  }
}

// The checks that do not concern input and output files.
void ValidateSettings(const ParameterSet& p) {
  if (!(p.PyramidEta > 0.0 && p.PyramidEta < 1.0)) {
    throw InputError("Error: PyramidEta is " + FormatNumber(p.PyramidEta) +
                     ", it must lie between 0 and 1 (both excluded)");
  }
  RequirePositive(p.f0ku, "f0ku");
  RequirePositive(p.f0kv, "f0kv");
  RequirePositive(p.maxZ, "maxZ");
  if (!(p.OmegaSOR > 0.0 && p.OmegaSOR < 2.0)) {
    throw InputError("Error: OmegaSOR is " + FormatNumber(p.OmegaSOR) +
                     ", the relaxation converges only between 0 and 2 (both excluded)");
  }
  RequireNonNegative(p.Alpha, "Alpha");
  for (const auto& [value, key] : {std::pair{p.AlphaSF, "AlphaSF"}, std::pair{p.AlphaW, "AlphaW"},
                                   std::pair{p.AlphaZ, "AlphaZ"}}) {
    if (value != -1) RequireNonNegative(value, key);  // -1 stands for Alpha
  }
  for (const auto& [value, key] : {std::pair{p.MuU, "MuU"}, std::pair{p.MuV, "MuV"},
                                   std::pair{p.MuW, "MuW"}, std::pair{p.MuZ, "MuZ"}}) {
    RequireNonNegative(value, key);
  }
  if (p.InitStereo != 0 && p.Tx * p.f0ku == 0) {
    throw InputError("Error: Tx is 0, so a disparity cannot be turned into depth");
  }
  if (p.BLACK_LINE != 0 && !p.Zt_initFile) {
    throw InputError("Error: BLACK_LINE is set but Zt_initFile, the black-line image, is not");
  }
  // PyramidLevelsSF never exceeds the level count, which is the larger of it and PyramidLevelsFlow.
  if (!(1 <= p.PyramidLevelFinal && p.PyramidLevelFinal <= p.PyramidLevelsSF)) {
    throw InputError("Error: pyramid levels must satisfy 1 <= PyramidLevelFinal <= PyramidLevelsSF"
                     " (PyramidLevelFinal is " + std::to_string(p.PyramidLevelFinal) +
                     ", PyramidLevelsSF is " + std::to_string(p.PyramidLevelsSF) + ")");
  }
  RequireFiniteNumbers(p);
}

}  // namespace

int PyramidLevelCount(const ParameterSet& parameters) {
  return std::max(parameters.PyramidLevelsSF, parameters.PyramidLevelsFlow);
}

void ValidateParameters(const ParameterSet& p) {
  RequireViews(p);
  RequireSet(p.Img_0_FileName, "Img_0_FileName");
  RequireSet(p.Img_t_FileName, "Img_t_FileName");
  RequireSet(p.CMat_FileName, "CMat_FileName");
  RequireSet(p.RMat_FileName, "RMat_FileName");
  RequireSet(p.TMat_FileName, "TMat_FileName");
  RequireSet(p.TxtResultsDir, "TxtResultsDir");
  ValidateSettings(p);
}

void ValidateInMemoryParameters(const ParameterSet& p) {
  RequireViews(p);
  ValidateSettings(p);
}

}  // namespace sceneflow
