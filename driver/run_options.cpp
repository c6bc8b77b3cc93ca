#include "driver/run_options.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <optional>
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

// The names of each setting's choices, as the environment variables and the Python module give
// them.
template <typename Choice>
using Choices = std::initializer_list<std::pair<const char*, Choice>>;
constexpr Choices<SorMethod> kSorMethods = {{"exact", SorMethod::kExact},
                                            {"parallel", SorMethod::kParallel}};
constexpr Choices<DepthPrior> kDepthPriors = {
    {"none", DepthPrior::kNone}, {"start", DepthPrior::kStart}, {"auto", DepthPrior::kAuto}};
constexpr Choices<MotionPrior> kMotionPriors = {{"none", MotionPrior::kNone},
                                                {"start", MotionPrior::kStart},
                                                {"camera", MotionPrior::kCamera},
                                                {"auto", MotionPrior::kAuto}};

template <typename Choice>
std::optional<Choice> Named(Choices<Choice> choices, const std::string& name) {
  for (const auto& [text, choice] : choices) {
    if (name == text) return choice;
  }
  return std::nullopt;
}

// The choice a variable names among `choices`, `unset` when it is not set.
template <typename Choice>
Choice ChoiceOf(const char* name, Choices<Choice> choices, Choice unset) {
  const char* value = Variable(name);
  if (value == nullptr) return unset;
  if (const std::optional<Choice> choice = Named(choices, value)) return *choice;
  std::string rule;
  size_t index = 0;
  for (const auto& entry : choices) {
    const char* separator = index == 0 ? "" : index + 1 == choices.size() ? " or " : ", ";
    rule += separator + std::string(entry.first);
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
  solver.sor = ChoiceOf("SCENEFLOW_SOLVER", kSorMethods, SorMethod::kExact);
  solver.depth_prior = ChoiceOf("SCENEFLOW_DEPTH_PRIOR", kDepthPriors, DepthPrior::kNone);
  solver.motion_prior = ChoiceOf("SCENEFLOW_MOTION_PRIOR", kMotionPriors, MotionPrior::kNone);
  solver.phase_times_file = PhaseTimesFile();
  options.threads = ThreadCount();
  options.progress = ChoiceOf<ProgressSetting>(
      "SCENEFLOW_PROGRESS", {{"0", ProgressSetting::kOff}, {"1", ProgressSetting::kOn}},
      ProgressSetting::kOnTerminal);
  return options;
}

std::optional<SorMethod> SorMethodNamed(const std::string& name) {
  return Named(kSorMethods, name);
}

std::optional<DepthPrior> DepthPriorNamed(const std::string& name) {
  return Named(kDepthPriors, name);
}

std::optional<MotionPrior> MotionPriorNamed(const std::string& name) {
  return Named(kMotionPriors, name);
}

}  // namespace sceneflow
