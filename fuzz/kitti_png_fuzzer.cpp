// Reads arbitrary bytes as the KITTI ground-truth PNGs (a 16-bit disparity map and a 16-bit
// three-channel flow map) and as a grey image the way the estimator loads its views. A file the
// decoder refuses, or whose header asks for more pixels than the file could hold, ends in
// InputError (an empty image for the grey load); anything else that escapes, and any memory or
// undefined-behaviour report (an allocation beyond the fuzzer's limit among them), is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>

#include "config/input_error.h"
#include "fuzz/fuzz_input.h"
#include "io/image_file.h"
#include "tools/eval/truth_files.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  cv::setNumThreads(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sceneflow::fuzzing::WriteInput(data, size, "input.png");
  const std::string path = sceneflow::fuzzing::InputPath("input.png");
  try {
    const cv::Mat disparity = sceneflow::eval::ReadDisparityTruth(path);
    if (disparity.type() != CV_64F) std::abort();
  } catch (const sceneflow::InputError&) {
  }
  try {
    const cv::Mat flow = sceneflow::eval::ReadFlowTruth(path);
    if (flow.type() != CV_64FC2) std::abort();
  } catch (const sceneflow::InputError&) {
  }
  const cv::Mat grey = sceneflow::LoadImageQuietly(path);
  if (!grey.empty() && grey.type() != CV_8U) std::abort();
  return 0;
}
