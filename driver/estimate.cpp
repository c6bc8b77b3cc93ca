#include "driver/estimate.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <variant>
#include <vector>

#include "config/ini_file.h"
#include "config/input_error.h"
#include "config/validate.h"
#include "geometry/masks.h"
#include "io/atomic_file.h"
#include "io/image_file.h"
#include "io/run_log.h"

namespace sceneflow {
namespace {

std::string ViewText(int view) { return "camera " + std::to_string(view); }

// The images: one per view at both instants, all of view 0's size and of one element type.
void CheckImages(const ViewImages& images, int views) {
  if (static_cast<int>(images.time0.size()) != views ||
      static_cast<int>(images.timet.size()) != views) {
    throw InputError("Error: " + std::to_string(views) + " views need " + std::to_string(views) +
                     " images at each instant");
  }
  const cv::Mat& reference = images.time0[0];
  for (const std::vector<cv::Mat>* instant : {&images.time0, &images.timet}) {
    for (size_t view = 0; view < instant->size(); ++view) {
      const cv::Mat& image = (*instant)[view];
      if (image.type() != reference.type() || (image.type() != CV_8U && image.type() != CV_32F)) {
        throw InputError("Error: the images must be grey, all 8-bit or all 32-bit float");
      }
      if (image.size() != reference.size()) {
        throw InputError("Error: an image of view " + std::to_string(view) + " is " +
                         SizeText(image.size()) + " pixels, the reference image is " +
                         SizeText(reference.size()));
      }
    }
  }
}

// The checks ReadCalibrationSet makes of the files' matrices, on matrices handed over.
void CheckCalibration(const CalibrationSet& calibration, int views) {
  if (static_cast<int>(calibration.C.size()) != views ||
      static_cast<int>(calibration.R.size()) != views ||
      static_cast<int>(calibration.T.size()) != views) {
    throw InputError("Error: " + std::to_string(views) + " views need " + std::to_string(views) +
                     " cameras");
  }
  for (int view = 0; view < views; ++view) {
    const cv::Mat& C = calibration.C[view];
    const cv::Mat& R = calibration.R[view];
    const cv::Mat& T = calibration.T[view];
    if (C.size() != cv::Size(3, 3) || R.size() != cv::Size(3, 3) || T.size() != cv::Size(1, 3) ||
        C.type() != CV_64F || R.type() != CV_64F || T.type() != CV_64F) {
      throw InputError("Error: " + ViewText(view) + " needs C and R of 3x3 and T of 3 numbers");
    }
    if (!cv::checkRange(C) || !cv::checkRange(R) || !cv::checkRange(T)) {
      throw InputError("Error: " + ViewText(view) + " holds a value that is not a finite number");
    }
    if (C.at<double>(0, 0) == 0 || C.at<double>(1, 1) == 0) {
      throw InputError("Error: " + ViewText(view) + " has a focal length of 0");
    }
    if (std::fabs(cv::determinant(R)) < 1e-6) {
      throw InputError("Error: the rotation of " + ViewText(view) + " is singular");
    }
  }
}

// Everything a log stream has taken so far.
std::string StreamText(FILE* stream) {
  if (stream == nullptr) return "";
  std::fflush(stream);
  std::rewind(stream);
  std::string text;
  char buffer[4096];
  size_t read;
  while ((read = std::fread(buffer, 1, sizeof buffer, stream)) > 0) text.append(buffer, read);
  return text;
}

void WriteLogFile(const std::string& path, const std::string& text) {
  const bool written = WriteFileAtomically(path, "w", [&](FILE* stream) {
    std::fwrite(text.data(), 1, text.size(), stream);
  });
  if (!written) throw InputError("Error: could not write log file " + path);
}

bool IsFileExtension(const ParameterKey& key) {
  return std::get<OptionalString ParameterSet::*>(key.member) == &ParameterSet::ImgPrefix ||
         std::get<OptionalString ParameterSet::*>(key.member) == &ParameterSet::IMG_TYPE;
}

}  // namespace

RunOutcome RunInMemory(const ParameterSet& parameters, const InMemoryInputs& inputs,
                       SolverSettings& settings) {
  RunOutcome outcome;
  outcome.parameters = parameters;
  ParameterSet& p = outcome.parameters;
  // The log goes to an anonymous temporary file, read back at the end; without one, there is none.
  const RunLog log(std::tmpfile());
  WriteParameters(p, log.stream());
  ValidateInMemoryParameters(p);
  CheckImages(inputs.images, p.NumOfViews);
  CheckCalibration(inputs.calibration, p.NumOfViews);

  ViewImages images = inputs.images;
  const cv::Size reference_size = images.time0[0].size();
  ApplyDerivedDefaults(p, reference_size);
  const CalibrationSet& calibration = inputs.calibration;  // the solver scales copies
  const cv::Mat black_line = p.BLACK_LINE != 0 ? LoadBlackLineImage(p.Zt_initFile) : cv::Mat();
  const int levels = PyramidLevelCount(p);
  if (p.PyramidFloatingPoint != 0) ConvertImagesToFloat(images);
  CheckCoarsestLevelSize(reference_size, p.PyramidEta, levels);
  CheckPyramidMemory(reference_size, p.PyramidEta, levels, p.NumOfViews, images.time0[0].elemSize(),
                     PhysicalMemoryBytes());
  const ViewPyramids pyramids = BuildViewPyramids(images, levels, p.PyramidEta);
  images = ViewImages();

  const ImagePyramid& reference = pyramids.time0[0];
  StartGrids grids{reference_size, reference[levels - 1].size(), cv::Size()};
  if (IsTwoStageSchedule(p)) grids.scene_flow = reference[p.PyramidLevelsSF - 1].size();
  const StartFields start = ComputeStartFields(p, grids, log, inputs.start);

  outcome.fields = MakeResultFields(p, pyramids);
  RunStages(p, pyramids, log, start, calibration, black_line, settings, outcome.fields);
  outcome.full_size = reference_size;
  outcome.C0 = calibration.C[0];
  outcome.R0 = calibration.R[0];
  outcome.T0 = calibration.T[0];
  outcome.log = StreamText(log.stream());
  if (p.LogFile) WriteLogFile(*p.LogFile, outcome.log);
  return outcome;
}

RunOutcome RunFolder(const std::string& folder, const std::string& ini_name,
                     SolverSettings& settings) {
  ParameterSet parameters;
  std::vector<std::string> warnings;
  LoadParameterFiles({(std::filesystem::path(folder) / ini_name).string()}, parameters, warnings);
  ResolveFileNames(parameters, folder);
  LoadedRun run = PrepareLoadedRun(parameters, warnings);
  RunOutcome outcome;
  outcome.fields = MakeResultFields(run.parameters, run.pyramids);
  RunStages(run.parameters, run.pyramids, *run.log, run.start, run.calibration, run.black_line,
            settings, outcome.fields);
  SaveResults(run.parameters, *run.log, outcome.fields);
  outcome.parameters = run.parameters;
  outcome.full_size = run.pyramids.time0[0][0].size();
  outcome.C0 = run.calibration.C[0];
  outcome.R0 = run.calibration.R[0];
  outcome.T0 = run.calibration.T[0];
  return outcome;
}

void ResolveFileNames(ParameterSet& parameters, const std::string& folder) {
  for (const ParameterKey& key : ParameterKeys()) {
    auto member = std::get_if<OptionalString ParameterSet::*>(&key.member);
    if (member == nullptr || IsFileExtension(key)) continue;
    OptionalString& name = parameters.*(*member);
    if (!name || name->empty() || std::filesystem::path(*name).is_absolute()) continue;
    if (*member == &ParameterSet::StereoExecutable && name->find('/') == std::string::npos) {
      continue;
    }
    name = (std::filesystem::path(folder) / *name).string();
  }
}

}  // namespace sceneflow
