#pragma once

namespace sceneflow {

// The whole run, from the command line to the result files. Returns the process exit status:
// 0 after a finished run, 1 after a reported input error, 3 after the usage text.
int RunSceneFlow(int argc, char** argv);

}  // namespace sceneflow
