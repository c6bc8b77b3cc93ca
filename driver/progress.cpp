#include "driver/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "config/validate.h"
#include "driver/run_inputs.h"
#include "io/pyramid.h"

namespace sceneflow {
namespace {

// Redraws closer together than this are skipped, except when the level changes.
constexpr std::chrono::milliseconds kRedrawInterval(100);
// No estimate of the time left before this share of the work is done.
constexpr double kEstimateAfterShare = 0.02;

std::string Clock(double seconds) {
  const long total = std::lround(std::max(seconds, 0.0));
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  }
  return text;
}

double Seconds(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

}  // namespace

bool ProgressLineWanted(ProgressSetting setting) {
  if (setting != ProgressSetting::kOnTerminal) return setting == ProgressSetting::kOn;
  return isatty(STDERR_FILENO) == 1;
}

ProgressLine::ProgressLine(FILE* stream)
    : stream_(stream), start_(std::chrono::steady_clock::now()), last_draw_(start_) {}

ProgressLine::~ProgressLine() { Clear(); }

void ProgressLine::Stage(const std::string& name) {
  Draw(name + "  " + Clock(Seconds(std::chrono::steady_clock::now() - start_)) + " elapsed");
}

void ProgressLine::Plan(const ParameterSet& p, cv::Size reference_size) {
  reference_size_ = reference_size;
  eta_ = p.PyramidEta;
  // The solver runs at least two outer iterations and at most MaxIterOuter + 1, and at most
  // MaxIterInner + 1 inner ones.
  outer_limit_ = std::max(2, p.MaxIterOuter + 1);
  inner_limit_ = std::max(1, p.MaxIterInner + 1);
  const int levels = PyramidLevelCount(p);
  stages_.clear();
  if (IsTwoStageSchedule(p)) {
    stages_.push_back({"flow stage", levels, p.PyramidLevelsSF});
    stages_.push_back({"scene-flow stage", p.PyramidLevelsSF, p.PyramidLevelFinal});
  } else {
    stages_.push_back({"scene-flow stage", levels, p.PyramidLevelFinal});
  }
  total_work_ = 0;
  for (const StagePlan& stage : stages_) {
    for (int level = stage.first_level; level >= stage.last_level; --level) {
      total_work_ += PlannedWork(level);
    }
  }
}

double ProgressLine::PlannedWork(int level) const {
  return static_cast<double>(PyramidLevelSize(reference_size_, eta_, level).area()) * outer_limit_ *
         inner_limit_;
}

double ProgressLine::WorkDone(const SolverPosition& position) const {
  if (stages_.empty()) return 0;
  const StagePlan& stage = stages_[stage_];
  double done = work_before_stage_;
  for (int level = stage.first_level; level > position.level; --level) done += PlannedWork(level);
  const double iterations = std::min(position.outer, outer_limit_ - 1) * inner_limit_ +
                            std::min(position.inner, inner_limit_ - 1);
  return done + iterations * position.size.area();
}

void ProgressLine::Iteration(const SolverPosition& position) {
  const auto now = std::chrono::steady_clock::now();
  if (!solver_started_) {
    solver_started_ = true;
    solver_start_ = now;
  } else if (position.outer == 0 && position.inner == 0 && position.level >= last_.level &&
             stage_ + 1 < stages_.size()) {
    // A second solver run starts over at a coarser or the same level: the next stage.
    for (int level = stages_[stage_].first_level; level >= stages_[stage_].last_level; --level) {
      work_before_stage_ += PlannedWork(level);
    }
    ++stage_;
  }
  const bool new_level = position.level != last_.level;
  last_ = position;
  if (!new_level && drawn_ && now - last_draw_ < kRedrawInterval) return;

  std::string text = stages_.empty() ? std::string("solving") : stages_[stage_].name;
  char where[160];
  std::snprintf(where, sizeof where, "  level %d (%dx%d)  outer %d/%d  inner %d/%d", position.level,
                position.size.width, position.size.height, position.outer + 1, outer_limit_,
                position.inner + 1, inner_limit_);
  text += where;
  text += "  " + Clock(Seconds(now - start_)) + " elapsed";
  const double share = total_work_ > 0 ? WorkDone(position) / total_work_ : 0;
  if (share >= kEstimateAfterShare) {
    const double spent = Seconds(now - solver_start_);
    text += ", about " + Clock(spent * (1 - share) / share) + " left";
  }
  Draw(text);
  last_draw_ = now;
}

void ProgressLine::Clear() {
  if (!drawn_) return;
  std::fputs("\r\033[K", stream_);
  std::fflush(stream_);
  drawn_ = false;
}

void ProgressLine::Draw(const std::string& text) {
  std::fprintf(stream_, "\r%s\033[K", text.c_str());
  std::fflush(stream_);
  drawn_ = true;
}

}  // namespace sceneflow
