#include "io/text_matrix.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "config/input_error.h"
#include "io/atomic_file.h"

namespace sceneflow {
namespace {

using File = std::unique_ptr<FILE, decltype(&std::fclose)>;

void SetElement(cv::Mat& matrix, int r, int c, double value) {
  if (matrix.depth() == CV_32F) {
    matrix.at<float>(r, c) = static_cast<float>(value);
  } else {
    matrix.at<double>(r, c) = value;
  }
}

// One line of a file that holds numbers, with its line number (counting from 1).
struct NumberLine {
  int number = 0;
  std::vector<double> values;
};

// The lines of a file that hold numbers, every token checked: a token that is not a finite number
// (or whose magnitude is beyond a double) throws InputError. Returns false when the file cannot
// be read.
bool ReadNumberLines(const char* path, FILE* file, std::vector<NumberLine>& lines) {
  char* buffer = nullptr;
  size_t capacity = 0;
  int line_number = 0;
  ssize_t length;
  std::string failure;
  while (failure.empty() && (length = getline(&buffer, &capacity, file)) >= 0) {
    ++line_number;
    const std::string text(buffer, static_cast<size_t>(length));
    std::vector<double> values;
    size_t position = 0;
    const char* blanks = " \t\r\n\v\f";
    while ((position = text.find_first_not_of(blanks, position)) != std::string::npos) {
      const size_t end_of_token = text.find_first_of(blanks, position);
      const std::string token = text.substr(position, end_of_token - position);
      position = end_of_token;
      char* end = nullptr;
      errno = 0;
      const double value = std::strtod(token.c_str(), &end);
      if (*end != '\0' || errno == ERANGE || !std::isfinite(value)) {
        failure = "Error: " + std::string(path) + " line " + std::to_string(line_number) + ": \"" +
                  token + "\" is not a number";
        break;
      }
      values.push_back(value);
    }
    if (!values.empty()) lines.push_back({line_number, std::move(values)});
  }
  std::free(buffer);
  if (!failure.empty()) throw InputError(failure);
  return std::ferror(file) == 0;
}

bool ReadTextMatrixStrictly(const char* path, cv::Mat& matrix) {
  File file(std::fopen(path, "r"), &std::fclose);
  if (!file) return false;
  std::vector<NumberLine> lines;
  if (!ReadNumberLines(path, file.get(), lines)) return false;
  if (matrix.empty()) {
    if (lines.empty()) throw InputError("Error: " + std::string(path) + " holds no values");
    const size_t columns = lines.front().values.size();
    for (const NumberLine& line : lines) {
      if (line.values.size() != columns) {
        throw InputError("Error: " + std::string(path) + " is not a rectangular text matrix (line " +
                         std::to_string(line.number) + " has " + std::to_string(line.values.size()) +
                         " values, the first line " + std::to_string(columns) + ")");
      }
    }
    cv::Mat shaped(static_cast<int>(lines.size()), static_cast<int>(columns), CV_64F);
    for (int r = 0; r < shaped.rows; ++r) {
      for (int c = 0; c < shaped.cols; ++c) shaped.at<double>(r, c) = lines[r].values[c];
    }
    matrix = shaped;
    return true;
  }
  std::vector<double> numbers;
  for (const NumberLine& line : lines) numbers.insert(numbers.end(), line.values.begin(), line.values.end());
  if (numbers.size() != matrix.total()) {
    throw InputError("Error: " + std::string(path) + " holds " + std::to_string(numbers.size()) +
                     (numbers.size() == 1 ? " number" : " numbers") + ", not the " +
                     std::to_string(matrix.total()) + " of a " + std::to_string(matrix.rows) + "x" +
                     std::to_string(matrix.cols) + " matrix");
  }
  for (double number : numbers) {
    if (matrix.depth() == CV_32F && std::fabs(number) > std::numeric_limits<float>::max()) {
      throw InputError("Error: " + std::string(path) + " holds " + std::to_string(number) +
                       ", beyond the range of a 32-bit float");
    }
  }
  for (int r = 0; r < matrix.rows; ++r) {
    for (int c = 0; c < matrix.cols; ++c) SetElement(matrix, r, c, numbers[r * matrix.cols + c]);
  }
  return true;
}

}  // namespace

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

bool WriteTextMatrixFile(const cv::Mat& matrix, const std::string& path) {
  return WriteFileAtomically(path, "w", [&](FILE* stream) { WriteTextMatrix(matrix, stream); });
}

bool ReadTextMatrix(const char* path, cv::Mat& matrix, TextMatrixReading reading) {
  if (reading == TextMatrixReading::kStrict) {
    CV_Assert(path != nullptr);
    CV_Assert(matrix.empty() || (matrix.channels() == 1 &&
                                 (matrix.depth() == CV_32F || matrix.depth() == CV_64F)));
    return ReadTextMatrixStrictly(path, matrix);
  }
  if (path == nullptr || matrix.empty()) return true;
  CV_Assert(matrix.channels() == 1 && (matrix.depth() == CV_32F || matrix.depth() == CV_64F));
  File file(std::fopen(path, "r"), &std::fclose);
  if (!file) return false;
  double last_value = 0.0;
  for (int r = 0; r < matrix.rows; ++r) {
    for (int c = 0; c < matrix.cols; ++c) {
      double value;
      if (std::fscanf(file.get(), "%lf", &value) == 1) last_value = value;
      SetElement(matrix, r, c, last_value);
    }
  }
  return true;
}

}  // namespace sceneflow
