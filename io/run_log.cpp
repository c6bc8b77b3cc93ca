#include "io/run_log.h"

#include <cstdarg>

namespace sceneflow {

RunLog::RunLog(const char* path) {
  if (path != nullptr) stream_ = std::fopen(path, "w");
}

RunLog::~RunLog() {
  if (stream_ != nullptr) std::fclose(stream_);
}

void RunLog::Line(const char* format, ...) const {
  if (stream_ == nullptr) return;
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stream_, format, arguments);
  va_end(arguments);
  std::fflush(stream_);
}

}  // namespace sceneflow
