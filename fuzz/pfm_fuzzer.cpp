// Reads arbitrary bytes as a PFM image, directly and as a disparity truth. A file that is not one,
// or is shorter than its header says, ends in InputError before anything is allocated for it;
// anything else that escapes, and any memory or undefined-behaviour report (an allocation beyond
// the fuzzer's limit among them), is a finding.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <opencv2/core.hpp>

#include "config/input_error.h"
#include "fuzz/fuzz_input.h"
#include "tools/eval/truth_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sceneflow::fuzzing::WriteInput(data, size, "input.pfm");
  const std::string path = sceneflow::fuzzing::InputPath("input.pfm");
  try {
    const cv::Mat field = sceneflow::eval::ReadPfm(path);
    if (field.type() != CV_64F || field.total() * 4 > size) std::abort();
    const cv::Mat disparity = sceneflow::eval::ReadDisparityTruth(path);
    if (disparity.size() != field.size()) std::abort();
    for (auto it = disparity.begin<double>(); it != disparity.end<double>(); ++it) {
      if (std::isinf(*it)) std::abort();  // not finite means unknown: NaN
    }
  } catch (const sceneflow::InputError&) {
  }
  return 0;
}
