#include "io/image_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "config/input_error.h"

namespace sceneflow {
namespace {

// Points standard error at /dev/null for its lifetime. Some decoders (libpng among them) write
// their complaints straight to the stream, past OpenCV's own logging switches. One at a time in
// the process: two loads on two threads (runs started from Python threads) would otherwise each
// save the other's /dev/null as the stream to restore.
class SilencedStandardError {
 public:
  SilencedStandardError() : one_at_a_time_(Mutex()) {
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    if (saved_ >= 0 && null >= 0) dup2(null, STDERR_FILENO);
    if (null >= 0) close(null);
  }
  ~SilencedStandardError() {
    std::fflush(stderr);
    if (saved_ >= 0) {
      dup2(saved_, STDERR_FILENO);
      close(saved_);
    }
  }
  SilencedStandardError(const SilencedStandardError&) = delete;
  SilencedStandardError& operator=(const SilencedStandardError&) = delete;

 private:
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }

  std::lock_guard<std::mutex> one_at_a_time_;
  int saved_ = -1;
};

}  // namespace

cv::Mat LoadImageQuietly(const std::string& path, int flags) {
  SilencedStandardError silenced;
  try {
    return cv::imread(path, flags);
  } catch (const cv::Exception&) {
    return cv::Mat();
  }
}

cv::Mat LoadGreyImage(const std::string& path) {
  cv::Mat image = LoadImageQuietly(path, cv::IMREAD_GRAYSCALE);
  if (image.empty()) throw InputError("Error: cannot read image " + path);
  return image;
}

std::string ViewFileName(const std::string& prefix, int view, const std::string& extension) {
  return prefix + std::to_string(view) + "." + extension;
}

std::string SizeText(cv::Size size) {
  return std::to_string(size.width) + "x" + std::to_string(size.height);
}

}  // namespace sceneflow
