#include "driver/run.h"

int main(int argc, char** argv) { return sceneflow::RunSceneFlow(argc, argv); }
