#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "config/parameter_set.h"
#include "solver/solver_observer.h"

namespace sceneflow {

// Whether a run draws the progress line: forced off or on (SCENEFLOW_PROGRESS=0 or 1), or on
// exactly when standard error is a terminal, so that redirected output never changes.
enum class ProgressSetting { kOnTerminal, kOff, kOn };
bool ProgressLineWanted(ProgressSetting setting);

// One line on standard error, redrawn in place with a carriage return: the stage, the level and
// its size, the outer and inner iteration, the elapsed time and an estimate of the time left. The
// estimate assumes every level runs its full iteration limits, each iteration costing in
// proportion to the level's pixel count, and scales the time spent so far by the work left.
class ProgressLine : public SolverObserver {
 public:
  explicit ProgressLine(FILE* stream = stderr);
  ~ProgressLine() override;  // clears the line
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Shows a stage without iterations ("preparing", "saving results").
  void Stage(const std::string& name);

  // The levels the solver will run: a flow stage from the coarsest level to PyramidLevelsSF
  // (two-stage schedules only), then the scene-flow stage down to PyramidLevelFinal.
  void Plan(const ParameterSet& parameters, cv::Size reference_size);

  void Iteration(const SolverPosition& position) override;

  // Removes the line, leaving the cursor at the start of an empty line.
  void Clear();

 private:
  struct StagePlan {
    std::string name;
    int first_level = 0;  // coarsest
    int last_level = 0;   // finest
  };
  double PlannedWork(int level) const;  // units of one pixel-iteration
  double WorkDone(const SolverPosition& position) const;
  void Draw(const std::string& text);

  FILE* stream_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point solver_start_;
  std::chrono::steady_clock::time_point last_draw_;
  bool solver_started_ = false;
  bool drawn_ = false;
  cv::Size reference_size_;
  double eta_ = 1;
  int outer_limit_ = 1;
  int inner_limit_ = 1;
  std::vector<StagePlan> stages_;
  size_t stage_ = 0;
  SolverPosition last_;
  double total_work_ = 0;
  double work_before_stage_ = 0;
};

}  // namespace sceneflow
