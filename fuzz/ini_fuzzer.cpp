// Feeds arbitrary bytes to the INI loader as the text of a parameter file, then writes the loaded
// set back out and checks it. A malformed line or a refused setting ends in InputError; anything
// else that escapes, and any memory or undefined-behaviour report, is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/ini_file.h"
#include "config/input_error.h"
#include "config/parameter_set.h"
#include "config/validate.h"
#include "fuzz/fuzz_input.h"

using sceneflow::fuzzing::InputPath;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sceneflow::fuzzing::WriteInput(data, size);
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
