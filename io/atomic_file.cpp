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

bool WriteImageAtomically(const std::string& path,
                          const std::function<bool(const std::string&)>& write) {
  // The temporary name keeps the extension last, since it chooses the image format.
  const std::filesystem::path final_path(path);
  std::string temporary = (final_path.parent_path() / ("." + final_path.stem().string() +
                           ".partial-XXXXXX")).string();
  const int descriptor = mkstemp(temporary.data());
  if (descriptor < 0) return false;
  close(descriptor);
  unlink(temporary.c_str());
  temporary += final_path.extension().string();
  bool written = false;
  try {
    written = write(temporary);
  } catch (...) {
    written = false;
  }
  if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace sceneflow
