#include "io/pyramid.h"

#include <cmath>

#include <opencv2/imgproc.hpp>

namespace sceneflow {

double AccumulatedFactor(double eta, int level) {
  // Counts the level - 1 factors without stepping past level, which may be the largest int. Once
  // a factor leaves the product unchanged (it has reached 0, or the smallest subnormal number that
  // rounds back to itself), the remaining factors would too, so they are skipped.
  double factor = 1.0;
  for (int k = 1; k < level; ++k) {
    const double next = factor * eta;
    if (next == factor) break;
    factor = next;
  }
  return factor;
}

cv::Size PyramidLevelSize(cv::Size full_size, double eta, int level) {
  const double factor = AccumulatedFactor(eta, level);
  return {static_cast<int>(std::ceil(full_size.width * factor)),
          static_cast<int>(std::ceil(full_size.height * factor))};
}

ImagePyramid BuildImagePyramid(const cv::Mat& image, int levels, double eta) {
  ImagePyramid pyramid;
  pyramid.reserve(levels > 1 ? levels : 1);
  pyramid.push_back(image.clone());
  for (int level = 2; level <= levels; ++level) {
    cv::Mat reduced;
    cv::resize(pyramid.back(), reduced, PyramidLevelSize(image.size(), eta, level), 0, 0,
               cv::INTER_AREA);
    pyramid.push_back(reduced);
  }
  return pyramid;
}

}  // namespace sceneflow
