// Reads arbitrary bytes as a text matrix into matrices of several shapes and element types, then
// writes them back out. Reading never fails on content, so every call must return true.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <opencv2/core.hpp>

#include "io/text_matrix.h"

namespace {

const std::string& InputPath() {
  static const std::string path = [] {
    char name[] = "/tmp/sceneflow-matrix-fuzz-XXXXXX";
    const int descriptor = mkstemp(name);
    if (descriptor < 0) std::abort();
    close(descriptor);
    std::atexit([] { std::remove(InputPath().c_str()); });
    return std::string(name);
  }();
  return path;
}

void ReadAndWrite(int rows, int cols, int type, FILE* sink) {
  cv::Mat matrix(rows, cols, type, cv::Scalar(-7));
  if (!sceneflow::ReadTextMatrix(InputPath().c_str(), matrix)) std::abort();
  sceneflow::WriteTextMatrix(matrix, sink);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* file = std::fopen(InputPath().c_str(), "wb");
  if (file == nullptr) std::abort();
  const bool written = std::fwrite(data, 1, size, file) == size;
  if (std::fclose(file) != 0 || !written) std::abort();

  static FILE* sink = std::fopen("/dev/null", "w");
  ReadAndWrite(1, 1, CV_64F, sink);
  ReadAndWrite(3, 3, CV_64F, sink);
  ReadAndWrite(7, 5, CV_32F, sink);
  return 0;
}
