#pragma once

#include <pybind11/pybind11.h>

namespace sceneflow::python {

// The estimator's runs: in memory, on run folders, their preparation and their results.
void AddRunFunctions(pybind11::module_& module);

// The readers and writers of the file formats that sceneflow-export and sceneflow-eval share.
void AddFileFunctions(pybind11::module_& module);

}  // namespace sceneflow::python
