// Reads arbitrary bytes as a Middlebury .flo optical flow, the evaluation's flow truth. A file
// that is not one, or is shorter than its header says, ends in InputError before anything is
// allocated for it; anything else that escapes, and any memory or undefined-behaviour report
// (an allocation beyond the fuzzer's limit among them), is a finding.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <opencv2/core.hpp>

#include "config/input_error.h"
#include "fuzz/fuzz_input.h"
#include "tools/eval/truth_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sceneflow::fuzzing::WriteInput(data, size, "input.flo");
  cv::Mat flow;
  try {
    flow = sceneflow::eval::ReadFlowTruth(sceneflow::fuzzing::InputPath("input.flo"));
  } catch (const sceneflow::InputError&) {
    return 0;
  }
  // Every flow read holds a whole number of pixels from the file, known or NaN in both channels.
  if (flow.type() != CV_64FC2 || flow.total() * 8 + 12 > size) std::abort();
  for (auto it = flow.begin<cv::Vec2d>(); it != flow.end<cv::Vec2d>(); ++it) {
    if (std::isnan((*it)[0]) != std::isnan((*it)[1])) std::abort();
  }
  return 0;
}
