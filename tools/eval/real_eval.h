#pragma once

namespace sceneflow::eval {

// `sceneflow-eval real RUN_DIR ...`: accuracy of a run folder made by sceneflow-prepare against
// real ground truth (disparity, optical flow) or a synthetic scene's truth, for the start values,
// the pipeline start and the result side by side. argv[1] is "real". Returns the exit status;
// throws InputError on a bad argument or input.
int RunRealForm(int argc, char** argv);

// `sceneflow-eval rigid RUN_DIR ...`: the camera's own motion from a robust rigid fit of the
// pipeline start's 3D points at the two instants, against the median W of the static pixels.
// argv[1] is "rigid".
int RunRigidForm(int argc, char** argv);

}  // namespace sceneflow::eval
