#pragma once

#include <map>
#include <string>

#include <opencv2/core.hpp>

namespace sceneflow::tools {

// The name of the run folder's description inside the folder.
inline constexpr char kPreparedFile[] = "prepared.txt";

// What sceneflow-prepare records about a run folder in prepared.txt, one "key value" per line:
// the size of the images the estimator reads, the size of the user's originals, the reference
// camera and the stereo geometry.
struct PreparedFile {
  std::string form;                  // kitti, pair, mono or views
  std::string frame;                 // KITTI frame name, e.g. 000010; empty otherwise
  cv::Size size;                     // images/ as the estimator reads them
  cv::Size original_size;            // the user's input images
  double scale = 1;                  // size = original_size · scale
  double focal = 0, cx = 0, cy = 0;  // reference intrinsics in pixels of images/
  double baseline = 0;               // right camera at +baseline along x (pair, kitti); 0 otherwise
  double doffs = 0;                  // disparity offset of the original images (Middlebury)
  std::string init;                  // stereo, pipeline or none
  std::string photometric;           // the photometric preparation's name
  size_t views = 0;                  // number of views
  std::map<std::string, std::string> keys;  // every key as read, unknown ones included
};

// The text of prepared.txt.
std::string PreparedFileText(const PreparedFile& prepared);

// Reads prepared.txt at `path`. Unknown keys are kept; width, height and focal are required, the
// original size defaults to size / scale and the principal point to the image centre. Throws
// InputError when the file is missing, a required value is not a number, an image side is not a
// whole number from 1 to 1000000, or focal or scale is not above 0.
PreparedFile ReadPreparedFile(const std::string& path);

}  // namespace sceneflow::tools
