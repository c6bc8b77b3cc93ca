#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace sceneflow {

// The levels of one image: index k - 1 holds level k; level 1 is full size, the last the coarsest.
using ImagePyramid = std::vector<cv::Mat>;

// Scale of level `level` (1-based) relative to full size: eta multiplied level - 1 times in
// succession, so that every caller gets bit-identical factors.
double AccumulatedFactor(double eta, int level);

// Size of level `level` of an image of the given full size: ceil(W·f) × ceil(H·f).
cv::Size PyramidLevelSize(cv::Size full_size, double eta, int level);

// Builds `levels` levels (at least one): level 1 is a copy of the image, each further level the
// area-interpolated reduction of the level above it to PyramidLevelSize. Keeps the element type.
ImagePyramid BuildImagePyramid(const cv::Mat& image, int levels, double eta);

}  // namespace sceneflow
