#pragma once

#include <cstdio>
#include <string>

#include <opencv2/core.hpp>

namespace sceneflow {

// Writes a single-channel matrix as text: one line per row, each element as "%f\t", each line
// ended by "\n". 32-bit floats are widened to double; any other type is read as a 64-bit float.
// Writes nothing when the matrix is empty or the stream is absent. The caller opens and closes
// the stream.
void WriteTextMatrix(const cv::Mat& matrix, FILE* stream);

// WriteTextMatrix into the file `path` through WriteFileAtomically: the file holds the whole
// matrix or, after a failure, what it held before. Returns false when it could not be written.
bool WriteTextMatrixFile(const cv::Mat& matrix, const std::string& path);

// How ReadTextMatrix treats a file that does not hold exactly the numbers of the matrix.
enum class TextMatrixReading {
  // When the numbers run out, or a token that is not a number is met, every remaining element
  // takes the last number read (0 when none was read); numbers beyond the matrix are ignored.
  // A file holding one number fills a whole field.
  kLenient,
  // Every blank-separated token must be a finite number, and the file must hold exactly as many
  // as the matrix has elements. Problems throw InputError with one line naming the file.
  kStrict,
};

// Fills an existing single-channel matrix (CV_32F or CV_64F, rows, columns and type chosen by the
// caller) row by row from the numbers in the file; line breaks carry no meaning. In strict
// reading an empty matrix takes its shape from the file instead: each line holding numbers is a
// row, every row must hold as many numbers as the first, and the matrix becomes CV_64F.
// Returns false, leaving the matrix untouched, when the file cannot be opened (in strict reading
// also when it cannot be read, a directory for example). In lenient reading an empty matrix or no
// path reads nothing and returns true.
bool ReadTextMatrix(const char* path, cv::Mat& matrix,
                    TextMatrixReading reading = TextMatrixReading::kLenient);

}  // namespace sceneflow
