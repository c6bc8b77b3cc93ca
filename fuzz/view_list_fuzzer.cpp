// Reads arbitrary bytes as a view list of sceneflow-prepare (images and calibration of each view,
// as file names or 21 numbers). A malformed line, a calibration file that cannot be read or
// numbers that are no camera end in InputError; anything else that escapes, and any memory or
// undefined-behaviour report, is a finding. File names in the list are read relative to the
// list's folder, which holds only the list itself: inputs with a '/' could reach other files
// (devices among them) and are not tried.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "config/input_error.h"
#include "fuzz/fuzz_input.h"
#include "tools/prepare/calibration_import.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (std::memchr(data, '/', size) != nullptr) return 0;
  sceneflow::fuzzing::WriteInput(data, size, "views.txt");
  try {
    const auto views = sceneflow::prepare::ReadViewList(sceneflow::fuzzing::InputPath("views.txt"));
    if (views.empty()) std::abort();
    sceneflow::prepare::RelativeToReference({views[0].camera});
  } catch (const sceneflow::InputError&) {
  }
  return 0;
}
