#pragma once

#include <optional>
#include <string>

#include <opencv2/core.hpp>

namespace sceneflow {

// Values of an ActiveMask, an 8-bit mask on the reference grid that gates one data term: 0 means
// the term is active at that reference pixel, any other value switches it off there. The view
// warping writes 100, 127 and 150; the data terms write 127 and 191 while they are assembled.
constexpr unsigned char kMaskActive = 0;
constexpr unsigned char kMaskOccluded = 100;         // hidden in the view by a nearer point
constexpr unsigned char kMaskOutsideSafeArea = 127;  // grid border, or outside the safe area
constexpr unsigned char kMaskBeyondDepth = 150;      // Z at or beyond 0.95·maxZ
// Share of maxZ from which on a depth counts as beyond every surface (no data term uses it).
constexpr double kFarDepthShare = 0.95;
constexpr unsigned char kMaskIllConditioned = 191;   // ill-conditioned warp

// What the occlusion test of MarkOcclusions reads of the configuration.
struct OcclusionOptions {
  // Occl_Z: while not 0, a pixel whose depth is not below kFarDepthShare·maxZ is marked
  // kMaskBeyondDepth and claims no target pixel.
  double Occl_Z = 1;
  double maxZ = 950;  // largest depth of the scene, in the units of the calibration
};

// Z-buffer test of one view over the reference pixels. MapX, MapY say where each reference pixel's
// point (PX, PY, PZ) lands in the view. Pixels are visited column by column (x outer, y inner);
// each claims the target pixel its map rounds to (halves to even), within the reference grid's
// bounds. A claim on a target already held by a reference pixel that is not a 4-neighbour is
// decided by the squared distance from `view_centre` (3×1; empty means the origin): the newcomer
// takes over only when nearer than 0.9 times the holder's, the loser is marked 100 (a holder
// only while its mask is still 0). While Occl_Z is not 0, a pixel whose Z is not below
// 0.95·maxZ is marked 150 and claims nothing. A claim held by reference pixel (0, 0) reads as no
// claim. Other mask values are left as they are. All fields are CV_32F of the mask's size.
void MarkOcclusions(const cv::Mat& MapX, const cv::Mat& MapY, const cv::Mat& PX,
                    const cv::Mat& PY, const cv::Mat& PZ, const cv::Mat& view_centre,
                    const OcclusionOptions& options, cv::Mat& mask);

// Sets the outermost rows and columns of a mask to 127.
void MarkMaskBorder(cv::Mat& mask);

// Loads the black-line image named by the key Zt_initFile (`file_name`) as an 8-bit grey image.
// Throws InputError when the name is not set or the image cannot be loaded.
cv::Mat LoadBlackLineImage(const std::optional<std::string>& file_name);

// Resamples the black-line image into the mask (area interpolation, to the mask's size).
void ResampleBlackLine(const cv::Mat& black_line, cv::Mat& mask);

}  // namespace sceneflow
