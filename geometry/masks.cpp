#include "geometry/masks.h"

#include <cmath>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "config/input_error.h"
#include "io/image_file.h"

namespace sceneflow {
namespace {

// Element addressing of a single-channel matrix through its base pointer and row stride.
template <typename T>
struct FieldAccess {
  explicit FieldAccess(const cv::Mat& matrix)
      : data(const_cast<T*>(matrix.ptr<T>())), stride(matrix.step1()) {}
  T& operator()(int y, int x) const { return data[y * stride + x]; }
  T* data;
  size_t stride;
};

// Rounds a map coordinate to the nearest integer (halves to even); false when it is not a number
// or lies too far out to be rounded safely (it is outside any grid then).
bool RoundCoordinate(float value, int& rounded) {
  if (!(std::fabs(value) < 1e9f)) return false;
  rounded = cvRound(value);
  return true;
}

double SquaredDistance(double x, double y, double z, const cv::Vec3d& centre) {
  const double dx = x - centre[0];
  const double dy = y - centre[1];
  const double dz = z - centre[2];
  return dx * dx + dy * dy + dz * dz;
}

}  // namespace

void MarkOcclusions(const cv::Mat& MapX, const cv::Mat& MapY, const cv::Mat& PX,
                    const cv::Mat& PY, const cv::Mat& PZ, const cv::Mat& view_centre,
                    const OcclusionOptions& options, cv::Mat& mask) {
  CV_Assert(mask.type() == CV_8UC1);
  for (const cv::Mat* field : {&MapX, &MapY, &PX, &PY, &PZ}) {
    CV_Assert(field->type() == CV_32FC1 && field->size() == mask.size());
  }
  cv::Vec3d centre(0, 0, 0);
  if (!view_centre.empty()) {
    CV_Assert(view_centre.total() == 3 && view_centre.channels() == 1);
    cv::Mat centre_values;
    view_centre.reshape(1, 3).convertTo(centre_values, CV_64F);
    centre = cv::Vec3d(centre_values.ptr<double>());
  }
  const int H = mask.rows;
  const int W = mask.cols;
  const bool test_depth = options.Occl_Z != 0;
  const double depth_limit = kFarDepthShare * options.maxZ;

  // Per target pixel, the reference pixel (column, row) that claims it; (0, 0) means unclaimed.
  // Kept between calls, so that the views and outer iterations of a level reuse the memory.
  thread_local std::vector<int> claim_column, claim_row;
  claim_column.assign(static_cast<size_t>(H) * W, 0);
  claim_row.assign(static_cast<size_t>(H) * W, 0);

  const FieldAccess<float> map_x(MapX), map_y(MapY), px(PX), py(PY), pz(PZ);
  const FieldAccess<unsigned char> marks(mask);
  for (int x = 0; x < W; ++x) {
    for (int y = 0; y < H; ++y) {
      const float z = pz(y, x);
      if (test_depth && !(z < depth_limit)) {
        marks(y, x) = kMaskBeyondDepth;
        continue;
      }
      int tc;
      int tr;
      if (!RoundCoordinate(map_x(y, x), tc) || !RoundCoordinate(map_y(y, x), tr)) continue;
      if (tc < 0 || tc >= W || tr < 0 || tr >= H) continue;
      const size_t target = static_cast<size_t>(tr) * W + tc;
      const int pc = claim_column[target];
      const int pr = claim_row[target];
      if (pc == 0 && pr == 0) {
        claim_column[target] = x;
        claim_row[target] = y;
        continue;
      }
      if ((pc - x) * (pc - x) + (pr - y) * (pr - y) < 2) continue;  // a 4-neighbour
      const double current = SquaredDistance(px(y, x), py(y, x), z, centre);
      const double holder = SquaredDistance(px(pr, pc), py(pr, pc), pz(pr, pc), centre);
      if (!(0.9 * holder > current)) {
        marks(y, x) = kMaskOccluded;
      } else {
        claim_column[target] = x;
        claim_row[target] = y;
        if (marks(pr, pc) == kMaskActive) marks(pr, pc) = kMaskOccluded;
      }
    }
  }
}

void MarkMaskBorder(cv::Mat& mask) {
  CV_Assert(mask.type() == CV_8UC1);
  if (mask.empty()) return;
  mask.row(0).setTo(kMaskOutsideSafeArea);
  mask.row(mask.rows - 1).setTo(kMaskOutsideSafeArea);
  for (int r = 1; r < mask.rows - 1; ++r) {
    unsigned char* row = mask.ptr<unsigned char>(r);
    row[0] = kMaskOutsideSafeArea;
    row[mask.cols - 1] = kMaskOutsideSafeArea;
  }
}

cv::Mat LoadBlackLineImage(const std::optional<std::string>& file_name) {
  if (!file_name) throw InputError("Error: Zt_initFile is not set");
  cv::Mat image = LoadImageQuietly(*file_name);
  if (image.empty()) throw InputError("Error: could not load Zt_initFile=" + *file_name);
  return image;
}

void ResampleBlackLine(const cv::Mat& black_line, cv::Mat& mask) {
  CV_Assert(mask.type() == CV_8UC1 && black_line.type() == CV_8UC1);
  cv::resize(black_line, mask, mask.size(), 0, 0, cv::INTER_AREA);
}

}  // namespace sceneflow
