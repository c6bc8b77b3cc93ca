#include "geometry/warp_image.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "config/input_error.h"
#include "io/image_file.h"

namespace sceneflow {
namespace {

constexpr double kScharrNormalisation = 0.03125;  // 1/32: Scharr weights sum to 32 per side

// One Scharr derivative of `image` divided by 32 into a new CV_32F field.
cv::Mat ScaledScharr(const cv::Mat& image, int dx, int dy, cv::Mat& scratch) {
  cv::Mat derivative;
  if (image.depth() == CV_8U) {
    cv::Scharr(image, scratch, CV_16S, dx, dy, 1, 0, cv::BORDER_REPLICATE);
    scratch.convertTo(derivative, CV_32F, kScharrNormalisation);
  } else {
    cv::Scharr(image, derivative, CV_32F, dx, dy, 1, 0, cv::BORDER_REPLICATE);
    derivative.convertTo(derivative, CV_32F, kScharrNormalisation);
  }
  return derivative;
}

}  // namespace

void SaveMatrixImage(const std::string& file_name, const cv::Mat& matrix) {
  cv::Mat image = matrix;
  if (!(matrix.depth() == CV_8U && (matrix.channels() == 1 || matrix.channels() == 3))) {
    matrix.convertTo(image, CV_8U);
  }
  if (!SaveImageAtomically(file_name, image)) throw InputError("Error: could not write image " + file_name);
}

void WarpViewImage(const cv::Mat& view_image, const cv::Mat& MapX, const cv::Mat& MapY,
                   const std::optional<std::string>& save_prefix, int view,
                   const std::optional<std::string>& image_type,
                   cv::Mat& warped, cv::Mat& warped_dx, cv::Mat& warped_dy, cv::Mat& scratch) {
  CV_Assert(view_image.type() == CV_8UC1 || view_image.type() == CV_32FC1);
  CV_Assert(MapX.type() == CV_32FC1 && MapY.type() == CV_32FC1 && MapX.size() == MapY.size());
  cv::remap(view_image, warped, MapX, MapY, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0));
  cv::GaussianBlur(warped, warped, cv::Size(3, 3), 0, 0, cv::BORDER_REPLICATE);
  if (save_prefix) {
    if (!image_type) throw InputError("Error: IMG_TYPE is not set");
    SaveMatrixImage(ViewFileName(*save_prefix, view, *image_type), warped);
  }
  warped_dx = ScaledScharr(warped, 1, 0, scratch);
  warped_dy = ScaledScharr(warped, 0, 1, scratch);
}

}  // namespace sceneflow
