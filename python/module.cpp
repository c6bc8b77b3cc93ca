// The extension module sceneflow._sceneflow; the package sceneflow (sceneflow/__init__.py) is the
// interface users see and documents it.

#include "config/input_error.h"
#include "python/bindings.h"

PYBIND11_MODULE(_sceneflow, module) {
  module.doc() = "The estimator's library for Python; use the package sceneflow.";
  // Input errors carry the command line's one-line message.
  pybind11::register_exception<sceneflow::InputError>(module, "InputError", PyExc_Exception);
  module.attr("ESTIMATOR_PROGRAM") = SCENEFLOW_ESTIMATOR_PROGRAM;
  sceneflow::python::AddRunFunctions(module);
  sceneflow::python::AddFileFunctions(module);
}
