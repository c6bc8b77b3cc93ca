// Reads arbitrary bytes as a text matrix into matrices of several shapes and element types, then
// writes them back out. Lenient reading never fails on content, so every call must return true;
// strict reading may refuse the content, but only with InputError.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <opencv2/core.hpp>

#include "config/input_error.h"
#include "fuzz/fuzz_input.h"
#include "io/text_matrix.h"

using sceneflow::fuzzing::InputPath;

namespace {

void ReadAndWrite(int rows, int cols, int type, FILE* sink) {
  cv::Mat matrix(rows, cols, type, cv::Scalar(-7));
  if (!sceneflow::ReadTextMatrix(InputPath().c_str(), matrix)) std::abort();
  sceneflow::WriteTextMatrix(matrix, sink);
}

// Strict reading into a given shape, or (rows 0) into the shape of the file's layout.
void ReadStrictlyAndWrite(int rows, int cols, int type, FILE* sink) {
  cv::Mat matrix;
  if (rows > 0) matrix.create(rows, cols, type);
  try {
    if (!sceneflow::ReadTextMatrix(InputPath().c_str(), matrix,
                                   sceneflow::TextMatrixReading::kStrict)) {
      std::abort();
    }
  } catch (const sceneflow::InputError&) {
    return;
  }
  if (!cv::checkRange(matrix)) std::abort();  // every number read strictly is finite
  sceneflow::WriteTextMatrix(matrix, sink);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sceneflow::fuzzing::WriteInput(data, size);

  static FILE* sink = std::fopen("/dev/null", "w");
  ReadAndWrite(1, 1, CV_64F, sink);
  ReadAndWrite(3, 3, CV_64F, sink);
  ReadAndWrite(7, 5, CV_32F, sink);
  ReadStrictlyAndWrite(3, 3, CV_64F, sink);
  ReadStrictlyAndWrite(0, 0, CV_64F, sink);
  return 0;
}
