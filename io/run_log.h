#pragma once

#include <cstdio>

namespace sceneflow {

// The run's log: a text file created at start, or absent when it cannot be created, in which case
// every write is dropped. Each line written through Line() reaches the file at once.
class RunLog {
 public:
  RunLog() = default;
  // Creates (truncating) the file; without a name, or when it cannot be created, the log is absent.
  explicit RunLog(const char* path);
  // Writes into an open stream, which the log closes at its end (a temporary file whose text the
  // caller reads back, say).
  explicit RunLog(FILE* stream) : stream_(stream) {}
  ~RunLog();
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  // The stream, or null when the log is absent.
  FILE* stream() const { return stream_; }

  // Writes one printf-style formatted text and flushes it.
  void Line(const char* format, ...) const __attribute__((format(printf, 2, 3)));

 private:
  FILE* stream_ = nullptr;
};

}  // namespace sceneflow
