#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace sceneflow {

// Loads an image file (grey by default: 8-bit, one channel, colour converted). Returns an empty
// matrix when the file is missing, unreadable or corrupt, or when the header of a PNG or PNM file
// asks for more pixels than the file could hold (checked before the decoder allocates them);
// whatever the image decoders would print about it is kept off standard error, so that the
// caller's one line is all the user sees.
cv::Mat LoadImageQuietly(const std::string& path, int flags = cv::IMREAD_GRAYSCALE);

// LoadImageQuietly as grey, or InputError "Error: cannot read image <path>" when that fails.
cv::Mat LoadGreyImage(const std::string& path);

// Writes an image file, its format chosen by the extension of `path` and `parameters` as
// cv::imwrite takes them. The image is encoded in memory and written through WriteFileAtomically,
// so that a failed write (a full disk) is noticed and leaves the earlier file in place. Returns
// false when the image could not be encoded or written.
bool SaveImageAtomically(const std::string& path, const cv::Mat& image,
                         const std::vector<int>& parameters = {});

// The file name of a view's image: "%s%d.%s", name prefix, view number, extension.
std::string ViewFileName(const std::string& prefix, int view, const std::string& extension);

// An image size as messages write it: "<width>x<height>".
std::string SizeText(cv::Size size);

}  // namespace sceneflow
