#include "tools/eval/json_text.h"

#include <cmath>
#include <cstdio>

namespace sceneflow::eval {

std::string JsonValue(double value) {
  if (!std::isfinite(value)) return "null";
  char text[64];
  std::snprintf(text, sizeof(text), "%.6g", value);
  return text;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace sceneflow::eval
