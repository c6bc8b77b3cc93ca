#include "driver/run_inputs.h"

#include <unistd.h>

#include <cmath>
#include <filesystem>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "config/ini_file.h"
#include "config/input_error.h"
#include "io/image_file.h"
#include "io/text_matrix.h"

namespace sceneflow {

void WriteUsage(FILE* stream, const char* program) {
  std::fprintf(stream, "Usage: %s <primary.ini> <secondary.ini> ...\n", program);
  std::fputs(
      "Each ini file may contain the following values (default values are indicated).\n"
      "The last file on the command-line overrides the previous ones, and you can put\n"
      "different settings in different files.\n",
      stream);
  ParameterSet listing;
  LoadParameters(listing, nullptr);
  WriteParameters(listing, stream);
}

void LoadParameterFiles(const std::vector<std::string>& paths, ParameterSet& parameters,
                        std::vector<std::string>& warnings) {
  bool any_read = false;
  for (const std::string& path : paths) {
    if (LoadParameters(parameters, path.c_str(), &warnings) == 0) any_read = true;
  }
  if (!any_read) {
    std::string names;
    for (const std::string& path : paths) names += " " + path;
    throw InputError("Error: none of the parameter files could be read:" + names);
  }
}

ViewImages LoadViewImages(const ParameterSet& p) {
  const std::string extension = p.ImgPrefix.value_or("");
  ViewImages images;
  cv::Size reference_size;
  auto load = [&](const std::string& prefix, int view, const char* message) {
    const std::string path = ViewFileName(prefix, view, extension);
    cv::Mat image = LoadImageQuietly(path);
    if (image.empty()) throw InputError(message + prefix);
    if (view == 0 && images.time0.empty()) reference_size = image.size();
    if (image.size() != reference_size) {
      throw InputError("Error: image " + path + " is " + SizeText(image.size()) +
                       " pixels, the reference image is " + SizeText(reference_size));
    }
    return image;
  };
  for (int view = 0; view < p.NumOfViews; ++view) {
    images.time0.push_back(load(*p.Img_0_FileName, view, "Error: could not load Images0="));
    images.timet.push_back(load(*p.Img_t_FileName, view, "Error: could not load Imagest="));
  }
  return images;
}

void CheckCoarsestLevelSize(cv::Size reference_size, double eta, int levels) {
  const cv::Size coarsest = PyramidLevelSize(reference_size, eta, levels);
  if (coarsest.width < 4 || coarsest.height < 4) {
    throw InputError(
        "Too many pyramid levels, resulting images are smaller than 4x4, please try with less "
        "pyramid levels");
  }
}

void CheckPyramidMemory(cv::Size reference_size, double eta, int levels, int views,
                        size_t bytes_per_pixel, double available_bytes) {
  // Level sizes with the running factor, as the pyramids will have them; the sum stops growing
  // only when the levels end, so the loop ends early for any count that does not fit.
  const double bytes_per_level_pixel = 2.0 * views * static_cast<double>(bytes_per_pixel);
  double bytes = 0;
  double factor = 1.0;
  for (int level = 1; level <= levels; ++level) {
    if (level > 1) factor *= eta;
    bytes += std::ceil(reference_size.width * factor) * std::ceil(reference_size.height * factor) *
             bytes_per_level_pixel;
    if (bytes > available_bytes) {
      char message[200];
      std::snprintf(message, sizeof message,
                    "Error: %d pyramid levels would need more than the %.1f GiB of memory of this "
                    "machine; use fewer levels or a smaller PyramidEta",
                    levels, available_bytes / (1024.0 * 1024.0 * 1024.0));
      throw InputError(message);
    }
  }
}

double PhysicalMemoryBytes() {
  return static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

void ConvertImagesToFloat(ViewImages& images) {
  for (std::vector<cv::Mat>* instant : {&images.time0, &images.timet}) {
    for (cv::Mat& image : *instant) {
      cv::Mat converted;
      image.convertTo(converted, CV_32F);
      image = converted;
    }
  }
}

void CheckResultsDirectory(const std::string& directory) {
  std::error_code error;
  if (!std::filesystem::is_directory(directory, error) || access(directory.c_str(), W_OK | X_OK) != 0) {
    throw InputError("Error: TxtResultsDir " + directory + " is not a writable directory");
  }
}

bool IsTwoStageSchedule(const ParameterSet& p) { return p.PyramidLevelsFlow > p.PyramidLevelsSF; }

void SmoothGaussian3x3(cv::Mat& image) {
  cv::GaussianBlur(image, image, cv::Size(3, 3), 0, 0, cv::BORDER_REPLICATE);
}

ViewPyramids BuildViewPyramids(const ViewImages& images, int levels, double eta) {
  ViewPyramids pyramids;
  for (const cv::Mat& image : images.time0) {
    pyramids.time0.push_back(BuildImagePyramid(image, levels, eta));
  }
  for (cv::Mat& level : pyramids.time0[0]) SmoothGaussian3x3(level);
  for (const cv::Mat& image : images.timet) {
    pyramids.timet.push_back(BuildImagePyramid(image, levels, eta));
  }
  return pyramids;
}

}  // namespace sceneflow
