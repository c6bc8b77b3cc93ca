#pragma once

#include <optional>
#include <string>

namespace sceneflow::tools {

// The number the whole of `text` spells (as strtod reads it, so "inf" and "nan" are numbers);
// std::nullopt when the text is empty or anything follows the number.
std::optional<double> NumberIn(const std::string& text);

// The same, and only when the number is finite and strtod reads it without overflow or
// underflow.
std::optional<double> FiniteNumberIn(const std::string& text);

// The whole number (base 10, as strtol reads it) the whole of `text` spells; std::nullopt when the
// text is empty or anything follows the number.
std::optional<long> WholeNumberIn(const std::string& text);

// A number as the run folder's files write it: printf's %.10g.
std::string NumberText(double value);

}  // namespace sceneflow::tools
