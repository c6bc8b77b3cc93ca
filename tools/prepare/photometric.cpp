#include "tools/prepare/photometric.h"

#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

namespace sceneflow::prepare {
namespace {

// Structure part: TV-L1 denoising with a weak data weight keeps the large-scale shading and the
// strong edges; iterations enough for the 8-bit result to settle.
constexpr double kStructureLambda = 0.25;
constexpr int kStructureIterations = 40;
// Share of the structure removed (less than 1 keeps a trace of the shading, so that untextured
// regions are not pure noise).
constexpr double kStructureShare = 0.95;
// Texture and normalised values are mapped to 128 + gain·value; the gain for texture is chosen
// from the reference image so that its texture spreads over about a quarter of the range.
constexpr double kTextureSpread = 32.0;
// Local normalisation: Gaussian window and the floor of the local standard deviation, in grey
// levels, so that flat noise is not blown up.
constexpr double kLocalSigma = 6.0;
constexpr double kLocalStdFloor = 4.0;
constexpr double kLocalGain = 40.0;

cv::Mat MatchMeanAndDeviation(const cv::Mat& image, const cv::Scalar& mean, const cv::Scalar& deviation) {
  cv::Scalar own_mean, own_deviation;
  cv::meanStdDev(image, own_mean, own_deviation);
  const double gain = own_deviation[0] > 0 ? deviation[0] / own_deviation[0] : 1.0;
  cv::Mat matched;
  image.convertTo(matched, CV_8U, gain, mean[0] - gain * own_mean[0]);
  return matched;
}

cv::Mat TexturePart(const cv::Mat& image) {
  cv::Mat structure;
  cv::denoise_TVL1({image}, structure, kStructureLambda, kStructureIterations);
  cv::Mat texture;
  cv::Mat image_float, structure_float;
  image.convertTo(image_float, CV_32F);
  structure.convertTo(structure_float, CV_32F);
  texture = image_float - kStructureShare * structure_float;
  return texture;
}

cv::Mat LocalNormalise(const cv::Mat& image) {
  cv::Mat value, mean, square_mean;
  image.convertTo(value, CV_32F);
  cv::GaussianBlur(value, mean, cv::Size(), kLocalSigma, 0, cv::BORDER_REFLECT);
  cv::GaussianBlur(value.mul(value), square_mean, cv::Size(), kLocalSigma, 0, cv::BORDER_REFLECT);
  cv::Mat variance = square_mean - mean.mul(mean);
  cv::Mat deviation;
  cv::sqrt(cv::max(variance, 0.0), deviation);
  cv::Mat normalised = (value - mean) / cv::max(deviation, kLocalStdFloor);
  cv::Mat result;
  normalised.convertTo(result, CV_8U, kLocalGain, 128.0);
  return result;
}

}  // namespace

bool ParsePhotometric(const std::string& word, Photometric& method) {
  for (Photometric candidate : {Photometric::kNone, Photometric::kMatch,
                                Photometric::kStructureTexture, Photometric::kLocalNormalise}) {
    if (word == PhotometricName(candidate)) {
      method = candidate;
      return true;
    }
  }
  return false;
}

std::string PhotometricName(Photometric method) {
  switch (method) {
    case Photometric::kNone: return "none";
    case Photometric::kMatch: return "match";
    case Photometric::kStructureTexture: return "structure-texture";
    case Photometric::kLocalNormalise: return "local";
  }
  return "?";
}

std::vector<cv::Mat> ApplyPhotometric(Photometric method, const std::vector<cv::Mat>& images) {
  CV_Assert(!images.empty());
  for (const cv::Mat& image : images) CV_Assert(image.type() == CV_8UC1);
  std::vector<cv::Mat> result;
  switch (method) {
    case Photometric::kNone:
      for (const cv::Mat& image : images) result.push_back(image.clone());
      break;
    case Photometric::kMatch: {
      cv::Scalar mean, deviation;
      cv::meanStdDev(images[0], mean, deviation);
      result.push_back(images[0].clone());
      for (size_t i = 1; i < images.size(); ++i) {
        result.push_back(MatchMeanAndDeviation(images[i], mean, deviation));
      }
      break;
    }
    case Photometric::kStructureTexture: {
      std::vector<cv::Mat> textures;
      for (const cv::Mat& image : images) textures.push_back(TexturePart(image));
      // One gain for all images, so that the same surface keeps the same contrast in every view.
      cv::Scalar mean, deviation;
      cv::meanStdDev(textures[0], mean, deviation);
      const double gain = deviation[0] > 0 ? kTextureSpread / deviation[0] : 1.0;
      for (const cv::Mat& texture : textures) {
        cv::Scalar own_mean = cv::mean(texture);
        cv::Mat scaled;
        texture.convertTo(scaled, CV_8U, gain, 128.0 - gain * own_mean[0]);
        result.push_back(scaled);
      }
      break;
    }
    case Photometric::kLocalNormalise:
      for (const cv::Mat& image : images) result.push_back(LocalNormalise(image));
      break;
  }
  return result;
}

}  // namespace sceneflow::prepare
