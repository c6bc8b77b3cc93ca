#include "io/atomic_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace sceneflow {
namespace {

// Permissions a plain fopen would give a new file: 0666 less the process's umask.
mode_t DefaultFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const char* mode,
                         const std::function<void(FILE*)>& write) {
  std::string temporary = path + ".partial-XXXXXX";
  const int descriptor = mkstemp(temporary.data());
  if (descriptor < 0) return false;
  fchmod(descriptor, DefaultFileMode());
  FILE* stream = fdopen(descriptor, mode);
  if (stream == nullptr) {
    close(descriptor);
    unlink(temporary.c_str());
    return false;
  }
  write(stream);
  const bool written = std::fflush(stream) == 0 && std::ferror(stream) == 0;
  const bool closed = std::fclose(stream) == 0;
  if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool WriteTextAtomically(const std::string& path, const std::string& text) {
  return WriteFileAtomically(path, "w", [&](FILE* stream) {
    std::fwrite(text.data(), 1, text.size(), stream);
  });
}

bool CanWriteFileAtomically(const std::string& path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) return false;
  std::string temporary = path + ".partial-XXXXXX";
  const int descriptor = mkstemp(temporary.data());
  if (descriptor < 0) return false;
  close(descriptor);
  unlink(temporary.c_str());
  return true;
}

}  // namespace sceneflow
