// Reads arbitrary bytes as prepared.txt, the description of a run folder, with its one reader,
// which every tool uses. A missing required value or one that is not usable where a number
// belongs ends in InputError; anything else that escapes, and any memory or undefined-behaviour
// report, is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "config/input_error.h"
#include "fuzz/fuzz_input.h"
#include "tools/common/prepared_file.h"
#include "tools/eval/run_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sceneflow::fuzzing::WriteInput(data, size, "prepared.txt");
  try {
    const sceneflow::eval::RunFolder run = sceneflow::eval::ReadRunFolder(sceneflow::fuzzing::InputFolder());
    const sceneflow::tools::PreparedFile& prepared = run.prepared;
    if (prepared.size.width < 1 || prepared.size.height < 1 || prepared.original_size.width < 1 ||
        prepared.original_size.height < 1 || !(prepared.focal > 0) || !(prepared.scale > 0)) {
      std::abort();
    }
    sceneflow::eval::RunIntrinsics(run);
  } catch (const sceneflow::InputError&) {
  }
  return 0;
}
