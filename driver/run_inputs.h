#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "config/derived_defaults.h"
#include "config/parameter_set.h"
#include "geometry/calibration.h"
#include "geometry/calibration_files.h"
#include "io/image_file.h"
#include "io/pyramid.h"

namespace sceneflow {

// The grey images of every view at both instants, indexed by view.
struct ViewImages {
  std::vector<cv::Mat> time0;
  std::vector<cv::Mat> timet;
};

// The pyramids of every view at both instants, indexed by view.
struct ViewPyramids {
  std::vector<ImagePyramid> time0;
  std::vector<ImagePyramid> timet;
};

// Writes the usage line, the explanation and the listing of every default to `stream`.
void WriteUsage(FILE* stream, const char* program);

// Loads the INI files in order into `parameters` (see LoadParameters), appending a warning line
// for every unknown section or key to `warnings`. A file that cannot be read is skipped; throws
// InputError naming every file when none of them can be read.
void LoadParameterFiles(const std::vector<std::string>& paths, ParameterSet& parameters,
                        std::vector<std::string>& warnings);

// Loads the time-0 and time-t images of every view as 8-bit grey images, view by view. Throws
// InputError when an image cannot be loaded or differs in size from view 0's time-0 image.
ViewImages LoadViewImages(const ParameterSet& parameters);

// Throws InputError with the "Too many pyramid levels" message when level `levels` of an image of
// the given size would be smaller than 4×4.
void CheckCoarsestLevelSize(cv::Size reference_size, double eta, int levels);

// Throws InputError when the pyramids of all views at both instants would need more memory than
// the machine has (a PyramidEta close to 1 with very many levels), before any of it is allocated.
void CheckPyramidMemory(cv::Size reference_size, double eta, int levels, int views,
                        size_t bytes_per_pixel, double available_bytes);

// Physical memory of this machine in bytes.
double PhysicalMemoryBytes();

// Converts every image, in place, to 32-bit floats holding the same values.
void ConvertImagesToFloat(ViewImages& images);

// Builds the time-0 pyramids, smooths every level of the reference time-0 pyramid with a 3×3
// Gaussian, then builds the time-t pyramids.
ViewPyramids BuildViewPyramids(const ViewImages& images, int levels, double eta);

// Throws InputError unless `directory` is a directory this process can write into, so that no
// long run ends without a place for its results.
void CheckResultsDirectory(const std::string& directory);

// True when a flow stage over the coarse levels runs before the scene-flow stage.
bool IsTwoStageSchedule(const ParameterSet& parameters);

// Smooths an image in place with a 3×3 Gaussian whose sigma follows from the aperture, replicating
// the border.
void SmoothGaussian3x3(cv::Mat& image);

}  // namespace sceneflow
