// Feeds arbitrary bytes to the INI loader as the text of a parameter file, then writes the loaded
// set back out and checks it. A malformed line or a refused setting ends in InputError; anything
// else that escapes, and any memory or undefined-behaviour report, is a finding.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/ini_file.h"
#include "config/input_error.h"
#include "config/parameter_set.h"
#include "config/validate.h"

namespace {

// One temporary file for the whole session, rewritten for every input.
const std::string& InputPath() {
  static const std::string path = [] {
    char name[] = "/tmp/sceneflow-ini-fuzz-XXXXXX";
    const int descriptor = mkstemp(name);
    if (descriptor < 0) std::abort();
    close(descriptor);
    std::atexit([] { std::remove(InputPath().c_str()); });
    return std::string(name);
  }();
  return path;
}

bool WriteInput(const uint8_t* data, size_t size) {
  FILE* file = std::fopen(InputPath().c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!WriteInput(data, size)) std::abort();
  sceneflow::ParameterSet parameters;
  try {
    if (sceneflow::LoadParameters(parameters, InputPath().c_str()) != 0) std::abort();
  } catch (const sceneflow::InputError&) {
    return 0;
  }
  static FILE* sink = std::fopen("/dev/null", "w");
  sceneflow::WriteParameters(parameters, sink);
  try {
    sceneflow::ValidateParameters(parameters);
  } catch (const sceneflow::InputError&) {
  }
  return 0;
}
