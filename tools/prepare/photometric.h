#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace sceneflow::prepare {

// How the images are made comparable before the estimator sees them. Its data term assumes that a
// surface point has the same grey value in every view at both instants; real cameras break that by
// gain, exposure and vignetting, and the estimator would explain the difference by moving the
// depth.
enum class Photometric {
  kNone,              // the images as they are (grey)
  kMatch,             // each image's mean and standard deviation set to those of the reference image
  kStructureTexture,  // the texture part: image minus its TV-L1 structure part, rescaled to 8 bits
  kLocalNormalise,    // (image − local mean)/local standard deviation, rescaled to 8 bits
};

// The method of a flag value: none, match, structure-texture or local; false for another word.
bool ParsePhotometric(const std::string& word, Photometric& method);

// The flag value of a method.
std::string PhotometricName(Photometric method);

// Grey 8-bit images made comparable by the method; images[0] is the reference image (view 0 at
// time 0). Every input is 8-bit grey.
std::vector<cv::Mat> ApplyPhotometric(Photometric method, const std::vector<cv::Mat>& images);

}  // namespace sceneflow::prepare
