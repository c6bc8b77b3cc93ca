#pragma once

#include <cstdio>

#include <opencv2/core.hpp>

namespace sceneflow {

// Writes a single-channel matrix as text: one line per row, each element as "%f\t", each line
// ended by "\n". 32-bit floats are widened to double; any other type is read as a 64-bit float.
// Writes nothing when the matrix is empty or the stream is absent. The caller opens and closes
// the stream.
void WriteTextMatrix(const cv::Mat& matrix, FILE* stream);

// Fills an existing single-channel matrix (CV_32F or CV_64F, rows, columns and type chosen by the
// caller) row by row from the numbers in the file. Line breaks carry no meaning. When the numbers
// run out, or a token that is not a number is met, every remaining element takes the last number
// read (0 when none was read). Returns false, leaving the matrix untouched, when the file cannot
// be opened.
bool ReadTextMatrix(const char* path, cv::Mat& matrix);

}  // namespace sceneflow
