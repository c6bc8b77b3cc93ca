#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace sceneflow::tools {

// The companion programs' output files. Every file is written under a temporary name and renamed
// into place: after a failure (a full disk, say) a file holds what it held before, never a part
// of the new one. Each throws InputError with one line naming the file when it cannot be written.

// Creates the folder and any missing parents.
void MakeFolder(const std::string& path);

void WriteText(const std::string& text, const std::string& path);

void WriteImage(const cv::Mat& image, const std::string& path);

// A matrix as a text matrix file.
void WriteTextMatrixFile(const cv::Mat& matrix, const std::string& path);

}  // namespace sceneflow::tools
