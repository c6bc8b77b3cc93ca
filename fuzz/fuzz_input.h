#pragma once

// The fuzz input as a file: the loaders under test read paths, not memory.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace sceneflow::fuzzing {

// One temporary file for the whole session, rewritten for every input and removed at exit.
inline const std::string& InputPath() {
  static const std::string path = [] {
    char name[] = "/tmp/sceneflow-fuzz-XXXXXX";
    const int descriptor = mkstemp(name);
    if (descriptor < 0) std::abort();
    close(descriptor);
    std::atexit([] { std::remove(InputPath().c_str()); });
    return std::string(name);
  }();
  return path;
}

// Writes the input into InputPath(); a failed write is a broken harness, not a finding.
inline void WriteInput(const uint8_t* data, size_t size) {
  FILE* file = std::fopen(InputPath().c_str(), "wb");
  if (file == nullptr) std::abort();
  const bool written = std::fwrite(data, 1, size, file) == size;
  if (std::fclose(file) != 0 || !written) std::abort();
}

}  // namespace sceneflow::fuzzing
