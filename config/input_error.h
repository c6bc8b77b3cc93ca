#pragma once

#include <stdexcept>
#include <string>

namespace sceneflow {

// A problem with the user's input (a missing file, a bad value, a malformed line). The message is
// the one line the driver writes to standard error before ending the run with status 1.
class InputError : public std::runtime_error {
 public:
  explicit InputError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace sceneflow
