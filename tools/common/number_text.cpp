#include "tools/common/number_text.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sceneflow::tools {

std::optional<double> NumberIn(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0') return std::nullopt;
  return value;
}

std::optional<double> FiniteNumberIn(const std::string& text) {
  errno = 0;
  const std::optional<double> value = NumberIn(text);
  if (!value || errno == ERANGE || !std::isfinite(*value)) return std::nullopt;
  return value;
}

std::optional<long> WholeNumberIn(const std::string& text) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0') return std::nullopt;
  return value;
}

std::string NumberText(double value) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.10g", value);
  return text;
}

}  // namespace sceneflow::tools
