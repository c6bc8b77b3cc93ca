#include "driver/run_options.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

#include "config/input_error.h"
#include "io/atomic_file.h"
#include "parallel/usable_cpus.h"

namespace sceneflow {
namespace {

// Most threads a run may ask for.
constexpr long kMaxThreads = 256;

// The value of an environment variable; null when it is not set or is empty.
const char* Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

[[noreturn]] void Refuse(const char* name, const char* value, const std::string& rule) {
  throw InputError(std::string("Error: ") + name + " is " + value + ", it must be " + rule);
}

// The choice a variable names among `choices`, `unset` when it is not set.
template <typename Choice>
Choice ChoiceOf(const char* name, std::initializer_list<std::pair<const char*, Choice>> choices,
                Choice unset) {
  const char* value = Variable(name);
  if (value == nullptr) return unset;
  std::string rule;
  size_t index = 0;
  for (const auto& [text, choice] : choices) {
    if (std::strcmp(value, text) == 0) return choice;
    rule += (index == 0 ? "" : index + 1 == choices.size() ? " or " : ", ") + std::string(text);
    ++index;
  }
  Refuse(name, value, rule);
}

int ThreadCount() {
  const char* value = Variable("SCENEFLOW_THREADS");
  if (value == nullptr) return UsableCpuCount();
  char* end = nullptr;
  const long threads = std::strtol(value, &end, 10);
  if (end == value || *end != '\0' || threads < 1) {
    Refuse("SCENEFLOW_THREADS", value, "a whole number of at least 1");
  }
  return static_cast<int>(std::min(threads, kMaxThreads));
}

// SCENEFLOW_PHASE_TIMES, refused now rather than after the whole solve when it cannot be written.
const char* PhaseTimesFile() {
  const char* file = Variable("SCENEFLOW_PHASE_TIMES");
  if (file != nullptr && !CanWriteFileAtomically(file)) {
    throw InputError(std::string("Error: could not write phase times to ") + file);
  }
  return file;
}

}  // namespace

RunOptions RunOptionsFromEnvironment() {
  RunOptions options;
  SolverSettings& solver = options.solver;
  solver.sor = ChoiceOf<SorMethod>(
      "SCENEFLOW_SOLVER", {{"exact", SorMethod::kExact}, {"parallel", SorMethod::kParallel}},
      SorMethod::kExact);
  solver.depth_prior = ChoiceOf<DepthPrior>(
      "SCENEFLOW_DEPTH_PRIOR",
      {{"none", DepthPrior::kNone}, {"start", DepthPrior::kStart}, {"auto", DepthPrior::kAuto}},
      DepthPrior::kNone);
  solver.motion_prior = ChoiceOf<MotionPrior>("SCENEFLOW_MOTION_PRIOR",
                                              {{"none", MotionPrior::kNone},
                                               {"start", MotionPrior::kStart},
                                               {"camera", MotionPrior::kCamera},
                                               {"auto", MotionPrior::kAuto}},
                                              MotionPrior::kNone);
  solver.phase_times_file = PhaseTimesFile();
  options.threads = ThreadCount();
  options.progress = ChoiceOf<ProgressSetting>(
      "SCENEFLOW_PROGRESS", {{"0", ProgressSetting::kOff}, {"1", ProgressSetting::kOn}},
      ProgressSetting::kOnTerminal);
  return options;
}

}  // namespace sceneflow
