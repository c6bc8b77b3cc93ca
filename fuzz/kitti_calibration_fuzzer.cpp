// Reads arbitrary bytes as a KITTI cam-to-cam calibration file. A file without the two
// projections of the colour cameras, or with ones that give no rectified pair, ends in
// InputError; anything else that escapes, and any memory or undefined-behaviour report, is a
// finding.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "config/input_error.h"
#include "fuzz/fuzz_input.h"
#include "tools/prepare/calibration_import.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sceneflow::fuzzing::WriteInput(data, size, "calib_cam_to_cam.txt");
  try {
    const sceneflow::prepare::RectifiedPair pair =
        sceneflow::prepare::ReadKittiCalibration(sceneflow::fuzzing::InputPath("calib_cam_to_cam.txt"));
    // A pair read is one the preparation can use.
    if (!(pair.focal > 0) || !(pair.baseline > 0)) std::abort();
    sceneflow::prepare::PairCameras(pair);
  } catch (const sceneflow::InputError&) {
  }
  return 0;
}
