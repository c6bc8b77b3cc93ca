#pragma once

namespace sceneflow::eval {

// `sceneflow-eval kitti ESTIMATE_DIR GROUND_TRUTH_DIR ...`: scores the frames of a folder in the
// KITTI 2015 scene-flow submission layout (disp_0, disp_1, flow) against the benchmark's ground
// truth folder, per frame and as the mean of the frames. argv[1] is "kitti". Returns the exit
// status; throws InputError on a bad argument or input.
int RunKittiForm(int argc, char** argv);

}  // namespace sceneflow::eval
