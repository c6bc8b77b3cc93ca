// The estimator's runs for Python: estimate() on arrays, a run folder's run and preparation, and
// the results of a finished run. Long work runs with the GIL released, on a worker pool of the
// caller's size; the solver's observer takes the GIL back briefly to report progress and to let a
// Ctrl-C stop the run.

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <pybind11/stl.h>

#include "config/ini_file.h"
#include "config/input_error.h"
#include "driver/estimate.h"
#include "driver/run_options.h"
#include "driver/stage_options.h"
#include "geometry/camera.h"
#include "io/image_file.h"
#include "parallel/worker_pool.h"
#include "python/arrays.h"
#include "python/bindings.h"
#include "tools/export/run_results.h"
#include "tools/export/scene_geometry.h"
#include "tools/prepare/preparation.h"
#include "tools/prepare/run_folder.h"

namespace sceneflow::python {
namespace {

namespace fs = std::filesystem;

// Tells the Python progress callable where the solver stands, and ends the run when a signal
// handler raised (KeyboardInterrupt after Ctrl-C): the exception unwinds the solver like any
// other and is raised again in the caller. Called on the solver's thread before every inner
// iteration; it holds the GIL only while it runs.
class PythonObserver : public SolverObserver {
 public:
  explicit PythonObserver(py::object progress) : progress_(std::move(progress)) {}

  void Iteration(const SolverPosition& position) override {
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (progress_.is_none()) return;
    progress_(position.depth_fixed ? "flow" : "scene flow", position.level,
              py::make_tuple(position.outer, position.inner));
  }

 private:
  py::object progress_;
};

// The solver's settings from the named arguments: the same choices as the environment variables
// SCENEFLOW_SOLVER, SCENEFLOW_DEPTH_PRIOR and SCENEFLOW_MOTION_PRIOR.
SolverSettings MakeSolverSettings(const std::string& solver, const std::string& depth_prior,
                                  const std::string& motion_prior) {
  SolverSettings settings;
  const std::optional<SorMethod> sor = SorMethodNamed(solver);
  if (!sor) {
    throw py::value_error("solver is \"" + solver + "\", it must be \"exact\" or \"parallel\"");
  }
  settings.sor = *sor;
  const std::optional<DepthPrior> depth = DepthPriorNamed(depth_prior);
  if (!depth) {
    throw py::value_error("depth_prior is \"" + depth_prior +
                          "\", it must be None, \"none\", \"start\" or \"auto\"");
  }
  settings.depth_prior = *depth;
  const std::optional<MotionPrior> motion = MotionPriorNamed(motion_prior);
  if (!motion) {
    throw py::value_error("motion_prior is \"" + motion_prior +
                          "\", it must be None, \"none\", \"start\", \"camera\" or \"auto\"");
  }
  settings.motion_prior = *motion;
  return settings;
}

// Runs `run` without the GIL on a worker pool of `threads` threads of its own (at most 256, as
// SCENEFLOW_THREADS), so that other Python threads go on and two runs never share a pool.
template <typename Run>
RunOutcome RunReleasingGil(int threads, const Run& run) {
  if (threads < 1) throw py::value_error("threads is " + std::to_string(threads) + ", at least 1");
  py::gil_scoped_release released;
  WorkerPool pool(std::min(threads, 256));
  UseWorkerPool use(pool);
  return run();
}

// A text value of the settings: a str or a path; None leaves the key unset.
OptionalString TextSetting(const py::handle& value, const std::string& key) {
  if (value.is_none()) return std::nullopt;
  if (py::isinstance<py::str>(value)) return value.cast<std::string>();
  if (py::hasattr(value, "__fspath__")) {
    return py::module_::import("os").attr("fspath")(value).cast<std::string>();
  }
  throw py::value_error("settings[\"" + key + "\"] must be a str or a path, not " +
                        py::str(py::type::of(value).attr("__name__")).cast<std::string>());
}

void ApplySetting(const ParameterKey& key, const py::handle& value, ParameterSet& p) {
  const std::string where = std::string("settings[\"") + key.name + "\"]";
  if (auto member = std::get_if<OptionalString ParameterSet::*>(&key.member)) {
    p.*(*member) = TextSetting(value, key.name);
    return;
  }
  const bool text = py::isinstance<py::str>(value) || py::isinstance<py::bytes>(value);
  if (auto member = std::get_if<int ParameterSet::*>(&key.member)) {
    if (text || PyIndex_Check(value.ptr()) == 0) {
      throw py::value_error(where + " must be a whole number");
    }
    const long long number = py::int_(py::reinterpret_borrow<py::object>(value)).cast<long long>();
    if (number < INT32_MIN || number > INT32_MAX) throw py::value_error(where + " is out of range");
    p.*(*member) = static_cast<int>(number);
    return;
  }
  if (text || PyNumber_Check(value.ptr()) == 0 || PyComplex_Check(value.ptr())) {
    throw py::value_error(where + " must be a number");
  }
  p.*std::get<double ParameterSet::*>(key.member) =
      py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>();
}

// The parameter set of the INI's keys in `settings` (a dict, or None) over the defaults, with no
// log file unless the settings name one. A key the set does not know raises ValueError with the
// nearest known one, as the INI loader's warning names it.
ParameterSet ParametersFromSettings(const py::handle& settings) {
  ParameterSet p;
  p.LogFile.reset();
  if (settings.is_none()) return p;
  if (!py::isinstance<py::dict>(settings)) throw py::value_error("settings must be a dict or None");
  for (const auto& [name_object, value] : settings.cast<py::dict>()) {
    if (!py::isinstance<py::str>(name_object)) throw py::value_error("settings keys must be str");
    const std::string name = name_object.cast<std::string>();
    const ParameterKey* key = FindParameterKey(name);
    if (key == nullptr) {
      std::string message = "settings: unknown key " + name;
      if (const ParameterKey* nearest = NearestParameterKey(name)) {
        message += "; did you mean " + std::string(nearest->name) + "?";
      }
      throw py::value_error(message);
    }
    ApplySetting(*key, value, p);
  }
  return p;
}

py::dict ParametersToDict(const ParameterSet& p) {
  py::dict values;
  for (const ParameterKey& key : ParameterKeys()) {
    if (auto member = std::get_if<double ParameterSet::*>(&key.member)) {
      values[key.name] = p.*(*member);
    } else if (auto member = std::get_if<int ParameterSet::*>(&key.member)) {
      values[key.name] = p.*(*member);
    } else {
      const OptionalString& text = p.*std::get<OptionalString ParameterSet::*>(key.member);
      values[key.name] = text ? py::object(py::str(*text)) : py::object(py::none());
    }
  }
  return values;
}

// What flow() and points() of a result need: the reference intrinsics, the results' level and
// view 0's camera, held for the exporter's geometry.
struct ResultGeometry {
  exporting::RunResults run;  // fields empty; filled per call

  exporting::RunResults With(const py::handle& Z, const py::handle& U, const py::handle& V,
                             const py::handle& W) const {
    exporting::RunResults filled = run;
    filled.Z = RealMatrix(Z, "Z", -1, -1, 1, CV_64F);
    const cv::Size size = filled.Z.size();
    filled.U = U.is_none() ? cv::Mat::zeros(size, CV_64F) : RealMatrix(U, "U", size.height, size.width, 1, CV_64F);
    filled.V = V.is_none() ? cv::Mat::zeros(size, CV_64F) : RealMatrix(V, "V", size.height, size.width, 1, CV_64F);
    filled.W = W.is_none() ? cv::Mat::zeros(size, CV_64F) : RealMatrix(W, "W", size.height, size.width, 1, CV_64F);
    return filled;
  }
};

ResultGeometry GeometryOf(const ParameterSet& parameters, cv::Size full_size, const cv::Mat& C0,
                          const cv::Mat& R0, const cv::Mat& T0) {
  ResultGeometry geometry;
  exporting::RunResults& run = geometry.run;
  run.parameters = parameters;
  run.intrinsics = ReferenceIntrinsicsOf(parameters);
  run.full_size = full_size;
  run.level = parameters.PyramidLevelFinal;
  run.level_factor = LevelFactor(parameters.PyramidEta, run.level);
  run.C0 = C0.clone();
  run.R0 = R0.clone();
  run.T0 = T0.clone();
  return geometry;
}

py::array Float32Array(const cv::Mat& field) {
  cv::Mat single;
  field.convertTo(single, CV_32F);
  return ToArray(single);
}

// What the Python layer makes a Result of.
py::dict ResultDict(const ParameterSet& parameters, const cv::Mat& Z, const cv::Mat& U,
                    const cv::Mat& V, const cv::Mat& W, ResultGeometry geometry,
                    const std::string& log) {
  py::dict result;
  result["Z"] = Float32Array(Z);
  result["U"] = Float32Array(U);
  result["V"] = Float32Array(V);
  result["W"] = Float32Array(W);
  result["settings"] = ParametersToDict(parameters);
  result["geometry"] = std::move(geometry);
  result["log"] = log;
  return result;
}

py::dict OutcomeDict(const RunOutcome& outcome) {
  return ResultDict(outcome.parameters, outcome.fields.Z, outcome.fields.U, outcome.fields.V,
                    outcome.fields.W,
                    GeometryOf(outcome.parameters, outcome.full_size, outcome.C0, outcome.R0,
                               outcome.T0),
                    outcome.log);
}

std::string Item(const char* argument, size_t index) {
  return std::string(argument) + "[" + std::to_string(index) + "]";
}

// The images of one instant, one per view.
std::vector<cv::Mat> ReadImages(const py::handle& images, const char* argument) {
  if (!py::isinstance<py::sequence>(images) || py::isinstance<py::str>(images)) {
    throw py::value_error(std::string(argument) + " must be a list of images, one per view");
  }
  std::vector<cv::Mat> read;
  const py::sequence sequence = images.cast<py::sequence>();
  for (size_t view = 0; view < sequence.size(); ++view) {
    read.push_back(GreyImage(sequence[view], Item(argument, view)));
  }
  return read;
}

// Every image of view 0's time-0 size and one element type (32-bit float when any is float).
void MatchImages(ViewImages& images) {
  const cv::Size size = images.time0[0].size();
  bool any_float = false;
  for (const auto& [instant, argument] : {std::pair{&images.time0, "images_0"},
                                          std::pair{&images.timet, "images_t"}}) {
    for (size_t view = 0; view < instant->size(); ++view) {
      const cv::Mat& image = (*instant)[view];
      if (image.size() != size) {
        throw py::value_error(Item(argument, view) + " is " + SizeText(image.size()) +
                              " pixels, images_0[0] is " + SizeText(size));
      }
      any_float = any_float || image.depth() == CV_32F;
    }
  }
  if (!any_float) return;
  for (std::vector<cv::Mat>* instant : {&images.time0, &images.timet}) {
    for (cv::Mat& image : *instant) image.convertTo(image, CV_32F);
  }
}

CalibrationSet ReadCameras(const py::handle& cameras) {
  if (!py::isinstance<py::sequence>(cameras) || py::isinstance<py::str>(cameras)) {
    throw py::value_error("cameras must be a list of (C, R, T), one per view");
  }
  CalibrationSet calibration;
  const py::sequence sequence = cameras.cast<py::sequence>();
  for (size_t view = 0; view < sequence.size(); ++view) {
    const std::string name = Item("cameras", view);
    const py::handle camera = sequence[view];
    if (!py::isinstance<py::sequence>(camera) || py::len(camera) != 3) {
      throw py::value_error(name + " must be (C, R, T)");
    }
    const py::sequence parts = camera.cast<py::sequence>();
    calibration.C.push_back(RealMatrix(parts[0], name + "[0] (C)", 3, 3, 1, CV_64F));
    calibration.R.push_back(RealMatrix(parts[1], name + "[1] (R)", 3, 3, 1, CV_64F));
    calibration.T.push_back(RealMatrix(parts[2], name + "[2] (T)", 3, 1, 1, CV_64F));
  }
  return calibration;
}

GivenStartValues ReadStart(const py::handle& start, cv::Size size) {
  GivenStartValues given;
  if (start.is_none()) return given;
  if (!py::isinstance<py::dict>(start)) throw py::value_error("start must be a dict or None");
  for (const auto& [name_object, value] : start.cast<py::dict>()) {
    const std::string name = py::str(name_object).cast<std::string>();
    GivenStartValue* field = name == "Z"   ? &given.Z
                             : name == "U" ? &given.U
                             : name == "V" ? &given.V
                             : name == "W" ? &given.W
                                           : nullptr;
    if (field == nullptr) {
      throw py::value_error("start: unknown field " + name + "; the fields are Z, U, V and W");
    }
    const std::string argument = "start[\"" + name + "\"]";
    const py::array array = py::array::ensure(value);
    if (array && array.ndim() == 0) {
      const cv::Mat number = RealMatrix(array.attr("reshape")(1, 1), argument, 1, 1, 1, CV_64F);
      if (!cv::checkRange(number)) throw py::value_error(argument + " is not a finite number");
      field->constant = number.at<double>(0, 0);
      continue;
    }
    field->full = FiniteField(value, argument);
    if (field->full.size() != size) {
      throw py::value_error(argument + " is " + SizeText(field->full.size()) +
                            " pixels, the images are " + SizeText(size));
    }
  }
  return given;
}

py::dict Estimate(const py::handle& images_0, const py::handle& images_t,
                  const py::handle& cameras, const py::handle& start,
                  const py::handle& settings, const std::string& solver, int threads,
                  const std::string& depth_prior, const std::string& motion_prior,
                  py::object progress) {
  ParameterSet parameters = ParametersFromSettings(settings);
  InMemoryInputs inputs;
  inputs.images.time0 = ReadImages(images_0, "images_0");
  inputs.images.timet = ReadImages(images_t, "images_t");
  inputs.calibration = ReadCameras(cameras);
  const size_t views = inputs.images.time0.size();
  if (views == 0) throw py::value_error("images_0 holds no image");
  if (inputs.images.timet.size() != views || inputs.calibration.C.size() != views) {
    throw py::value_error("images_0, images_t and cameras must hold one entry per view (" +
                          std::to_string(views) + ", " + std::to_string(inputs.images.timet.size()) +
                          " and " + std::to_string(inputs.calibration.C.size()) + " given)");
  }
  if (settings.is_none() || !settings.cast<py::dict>().contains("NumOfViews")) {
    parameters.NumOfViews = static_cast<int>(views);
  } else if (parameters.NumOfViews != static_cast<int>(views)) {
    throw py::value_error("settings[\"NumOfViews\"] is " + std::to_string(parameters.NumOfViews) +
                          " but " + std::to_string(views) + " views are given");
  }
  MatchImages(inputs.images);
  inputs.start = ReadStart(start, inputs.images.time0[0].size());
  SolverSettings solver_settings = MakeSolverSettings(solver, depth_prior, motion_prior);
  PythonObserver observer(std::move(progress));
  solver_settings.observer = &observer;
  const RunOutcome outcome = RunReleasingGil(
      threads, [&] { return RunInMemory(parameters, inputs, solver_settings); });
  return OutcomeDict(outcome);
}

py::dict RunFolderFiles(const std::string& folder, const std::string& ini_name,
                        const std::string& solver, int threads, const std::string& depth_prior,
                        const std::string& motion_prior, py::object progress) {
  SolverSettings settings = MakeSolverSettings(solver, depth_prior, motion_prior);
  PythonObserver observer(std::move(progress));
  settings.observer = &observer;
  const RunOutcome outcome =
      RunReleasingGil(threads, [&] { return RunFolder(folder, ini_name, settings); });
  return OutcomeDict(outcome);
}

py::dict ReadResults(const std::string& folder, const std::string& ini_name) {
  const std::string ini_path = (fs::path(folder) / ini_name).string();
  ParameterSet parameters;
  if (LoadParameters(parameters, ini_path.c_str()) != 0) {
    throw InputError("Error: cannot read " + ini_path);
  }
  ResolveFileNames(parameters, folder);
  const exporting::RunResults run = exporting::LoadRunResults(
      parameters, ini_path, (fs::path(folder) / tools::kPreparedFile).string());
  ResultGeometry geometry;
  geometry.run = run;
  geometry.run.Z = geometry.run.U = geometry.run.V = geometry.run.W = cv::Mat();
  return ResultDict(run.parameters, run.Z, run.U, run.V, run.W, std::move(geometry), "");
}

template <typename T>
std::optional<T> Optional(const py::dict& options, const char* name) {
  if (!options.contains(name) || options[name].is_none()) return std::nullopt;
  return options[name].cast<T>();
}

// The options of sceneflow-prepare, by the names of its flags (max_disparity for
// --max-disparity); the Python layer has checked their values.
prepare::PrepareOptions PrepareOptionsOf(const std::string& form, std::vector<std::string> inputs,
                                         const std::string& out_dir, const py::dict& options) {
  prepare::PrepareOptions o;
  o.form = form;
  o.inputs = std::move(inputs);
  o.out_dir = out_dir;
  o.focal = Optional<double>(options, "focal");
  o.baseline = Optional<double>(options, "baseline");
  o.cx = Optional<double>(options, "cx");
  o.cy = Optional<double>(options, "cy");
  o.doffs = Optional<double>(options, "doffs").value_or(0.0);
  o.calib_file = Optional<std::string>(options, "calib").value_or("");
  o.init = Optional<std::string>(options, "init").value_or("");
  const std::string photometric = Optional<std::string>(options, "photometric").value_or("match");
  if (!prepare::ParsePhotometric(photometric, o.photometric)) {
    throw py::value_error("photometric is \"" + photometric +
                          "\", it must be match, structure-texture, local or none");
  }
  o.scale = Optional<double>(options, "scale").value_or(1.0);
  o.max_disparity = Optional<int>(options, "max_disparity").value_or(0);
  o.alpha_sf = Optional<double>(options, "alpha_sf");
  o.alpha_w = Optional<double>(options, "alpha_w");
  o.alpha_z = Optional<double>(options, "alpha_z");
  o.max_z = Optional<double>(options, "max_z");
  o.eta = Optional<double>(options, "eta");
  o.levels = Optional<int>(options, "levels");
  o.sf_level = Optional<int>(options, "sf_level");
  o.outer = Optional<int>(options, "outer");
  o.inner = Optional<int>(options, "inner");
  o.sor = Optional<int>(options, "sor");
  return o;
}

py::dict PrepareFolder(const std::string& form, const std::vector<std::string>& inputs,
                       const std::string& out_dir, const py::dict& options,
                       const std::string& estimator) {
  const prepare::PrepareOptions prepare_options = PrepareOptionsOf(form, inputs, out_dir, options);
  prepare::PreparedFolder run;
  {
    py::gil_scoped_release released;
    run = prepare::Prepare(prepare_options);
    prepare::WriteRunFolder(run, out_dir, estimator);
  }
  py::dict prepared;
  prepared["width"] = run.time0[0].cols;
  prepared["height"] = run.time0[0].rows;
  prepared["views"] = run.cameras.size();
  prepared["init"] = run.init;
  prepared["photometric"] = run.photometric;
  return prepared;
}

py::tuple RunPriors(const std::string& init, size_t views) {
  const prepare::RunPriors priors = prepare::RunPriorsOf(init, views);
  return py::make_tuple(priors.depth, priors.motion);
}

py::array ReadImage(const std::string& path, bool grey) {
  cv::Mat image = LoadImageQuietly(path, grey ? cv::IMREAD_GRAYSCALE : cv::IMREAD_UNCHANGED);
  if (image.empty()) throw InputError("Error: cannot read image " + path);
  if (image.channels() == 3) cv::cvtColor(image, image, cv::COLOR_BGR2RGB);
  if (image.channels() == 4) cv::cvtColor(image, image, cv::COLOR_BGRA2RGBA);
  return ToArray(image);
}

}  // namespace

void AddRunFunctions(py::module_& m) {
  py::class_<ResultGeometry>(m, "_ResultGeometry")
      .def("points",
           [](const ResultGeometry& g, const py::handle& Z) {
             return ToArray(exporting::ReferencePoints(g.With(Z, py::none(), py::none(), py::none())));
           })
      .def("flow", [](const ResultGeometry& g, const py::handle& Z, const py::handle& U,
                      const py::handle& V, const py::handle& W) {
        return ToArray(exporting::ReferenceFlow(g.With(Z, U, V, W)));
      });
  m.def("estimate", &Estimate, py::arg("images_0"), py::arg("images_t"), py::arg("cameras"),
        py::arg("start"), py::arg("settings"), py::arg("solver"), py::arg("threads"),
        py::arg("depth_prior"), py::arg("motion_prior"), py::arg("progress"));
  m.def("run_folder", &RunFolderFiles, py::arg("folder"), py::arg("ini"), py::arg("solver"),
        py::arg("threads"), py::arg("depth_prior"), py::arg("motion_prior"),
        py::arg("progress"));
  m.def("read_results", &ReadResults, py::arg("folder"), py::arg("ini"));
  m.def("prepare", &PrepareFolder, py::arg("form"), py::arg("inputs"), py::arg("out_dir"),
        py::arg("options"), py::arg("estimator"));
  m.def("run_priors", &RunPriors, py::arg("init"), py::arg("views"));
  m.def("read_image", &ReadImage, py::arg("path"), py::arg("grey"));
}

}  // namespace sceneflow::python
