#pragma once

namespace sceneflow::tools {

// A rectified stereo pair as the run folders describe it: the right camera at +baseline along x,
// focal·baseline in pixels times scene units, and the disparity offset doffs of the images (the
// difference of the principal points' columns, Middlebury's doffs). A point at depth Z has the
// disparity d = focal·baseline / Z − doffs, and a disparity d the depth focal·baseline / (d + doffs).
// Each caller decides which depths and disparities it has a value for.
inline double DisparityOfDepth(double focal_baseline, double depth, double doffs) {
  return focal_baseline / depth - doffs;
}

inline double DepthOfDisparity(double focal_baseline, double disparity, double doffs) {
  return focal_baseline / (disparity + doffs);
}

}  // namespace sceneflow::tools
