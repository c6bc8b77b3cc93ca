#pragma once

#include <functional>

namespace sceneflow {

// The body of a program's main: runs `run` and turns whatever it throws into one line on standard
// error and status 1. An InputError's message is the line as it stands; running out of memory
// gives `out_of_memory`; any other exception, a broken invariant, gives "Error: internal failure: "
// and its message on one line, saying where it broke. OpenCV's own log messages are silenced
// first: they would only repeat the line in other words. Returns run's status otherwise.
int RunReportingErrors(const std::function<int()>& run,
                       const char* out_of_memory = "Error: out of memory");

}  // namespace sceneflow
