#pragma once

// The fuzz input as a file: the loaders under test read paths, not memory.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace sceneflow::fuzzing {

// One temporary folder for the whole session, removed with its files at exit. Its name is kept
// in a plain array, which no destructor frees before the exit handler has run.
inline std::string InputFolder() {
  static char folder[] = "/tmp/sceneflow-fuzz-XXXXXX";
  static const bool created = [] {
    if (mkdtemp(folder) == nullptr) std::abort();
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(folder, ignored);
    });
    return true;
  }();
  (void)created;
  return folder;
}

// The input file in that folder. Its name matters to readers that choose the format by the
// extension (input.flo) or read a fixed name (prepared.txt).
inline std::string InputPath(const std::string& name = "input") { return InputFolder() + "/" + name; }

// Writes the input into InputPath(name), replacing it; a failed write is a broken harness, not a
// finding.
inline void WriteInput(const uint8_t* data, size_t size, const std::string& name = "input") {
  FILE* file = std::fopen(InputPath(name).c_str(), "wb");
  if (file == nullptr) std::abort();
  const bool written = std::fwrite(data, 1, size, file) == size;
  if (std::fclose(file) != 0 || !written) std::abort();
}

}  // namespace sceneflow::fuzzing
