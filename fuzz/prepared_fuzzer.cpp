// Reads arbitrary bytes as prepared.txt, the description of a run folder, with both of its
// readers: the evaluation's and the export's. A missing required value or one that is not a
// number where a number belongs ends in InputError; anything else that escapes, and any memory
// or undefined-behaviour report, is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "config/input_error.h"
#include "fuzz/fuzz_input.h"
#include "tools/eval/run_folder.h"
#include "tools/export/run_results.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sceneflow::fuzzing::WriteInput(data, size, "prepared.txt");
  try {
    const sceneflow::eval::PreparedRun run = sceneflow::eval::ReadPreparedRun(sceneflow::fuzzing::InputFolder());
    if (run.size.width < 1 || run.size.height < 1 || !(run.focal > 0) || !(run.scale > 0)) std::abort();
    sceneflow::eval::RunIntrinsics(run);
  } catch (const sceneflow::InputError&) {
  }
  try {
    const sceneflow::exporting::PreparedInfo info =
        sceneflow::exporting::ReadPreparedInfo(sceneflow::fuzzing::InputPath("prepared.txt"));
    if (!info.present || !(info.scale > 0)) std::abort();
  } catch (const sceneflow::InputError&) {
  }
  return 0;
}
