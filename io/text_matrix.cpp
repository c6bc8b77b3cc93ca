#include "io/text_matrix.h"

#include <memory>

namespace sceneflow {

void WriteTextMatrix(const cv::Mat& matrix, FILE* stream) {
  if (matrix.empty() || stream == nullptr) return;
  CV_Assert(matrix.channels() == 1 && (matrix.depth() == CV_32F || matrix.depth() == CV_64F));
  for (int r = 0; r < matrix.rows; ++r) {
    for (int c = 0; c < matrix.cols; ++c) {
      const double value = matrix.depth() == CV_32F ? static_cast<double>(matrix.at<float>(r, c))
                                                    : matrix.at<double>(r, c);
      std::fprintf(stream, "%f\t", value);
    }
    std::fputs("\n", stream);
  }
}

bool ReadTextMatrix(const char* path, cv::Mat& matrix) {
  if (path == nullptr || matrix.empty()) return true;
  CV_Assert(matrix.channels() == 1 && (matrix.depth() == CV_32F || matrix.depth() == CV_64F));
  std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path, "r"), &std::fclose);
  if (!file) return false;
  double last_value = 0.0;
  for (int r = 0; r < matrix.rows; ++r) {
    for (int c = 0; c < matrix.cols; ++c) {
      double value;
      if (std::fscanf(file.get(), "%lf", &value) == 1) last_value = value;
      if (matrix.depth() == CV_32F) {
        matrix.at<float>(r, c) = static_cast<float>(last_value);
      } else {
        matrix.at<double>(r, c) = last_value;
      }
    }
  }
  return true;
}

}  // namespace sceneflow
