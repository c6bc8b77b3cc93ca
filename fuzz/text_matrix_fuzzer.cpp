// Reads arbitrary bytes as a text matrix into matrices of several shapes and element types, then
// writes them back out. Reading never fails on content, so every call must return true.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <opencv2/core.hpp>

#include "fuzz/fuzz_input.h"
#include "io/text_matrix.h"

using sceneflow::fuzzing::InputPath;

namespace {

void ReadAndWrite(int rows, int cols, int type, FILE* sink) {
  cv::Mat matrix(rows, cols, type, cv::Scalar(-7));
  if (!sceneflow::ReadTextMatrix(InputPath().c_str(), matrix)) std::abort();
  sceneflow::WriteTextMatrix(matrix, sink);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sceneflow::fuzzing::WriteInput(data, size);

  static FILE* sink = std::fopen("/dev/null", "w");
  ReadAndWrite(1, 1, CV_64F, sink);
  ReadAndWrite(3, 3, CV_64F, sink);
  ReadAndWrite(7, 5, CV_32F, sink);
  return 0;
}
