#include "tools/common/output_files.h"

#include <filesystem>
#include <system_error>

#include "config/input_error.h"
#include "io/atomic_file.h"
#include "io/image_file.h"
#include "io/text_matrix.h"

namespace sceneflow::tools {

void MakeFolder(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  if (error) throw InputError("Error: cannot create folder " + path + " (" + error.message() + ")");
}

void WriteText(const std::string& text, const std::string& path) {
  if (!WriteTextAtomically(path, text)) throw InputError("Error: cannot write " + path);
}

void WriteImage(const cv::Mat& image, const std::string& path) {
  if (!SaveImageAtomically(path, image)) throw InputError("Error: cannot write image " + path);
}

void WriteTextMatrixFile(const cv::Mat& matrix, const std::string& path) {
  if (!sceneflow::WriteTextMatrixFile(matrix, path)) throw InputError("Error: cannot write " + path);
}

}  // namespace sceneflow::tools
