#pragma once

#include <string>

namespace sceneflow::eval {

// Pieces of the JSON the evaluation writes.

// A number with six significant digits; null when it is not finite (JSON has no NaN).
std::string JsonValue(double value);

// A string in double quotes, with quotes and backslashes escaped.
std::string JsonString(const std::string& text);

}  // namespace sceneflow::eval
