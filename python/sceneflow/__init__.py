"""The multi-view scene-flow estimator, with numpy arrays in and out.

    result = sceneflow.estimate(images_0, images_t, cameras, start={"Z": depth})
    result.Z, result.U, result.V, result.W     # (H, W) float32 depth and 3D motion
    result.flow(), result.points()             # view 0's 2D flow, the surface points
    result.energies                            # the energy reports of the log, per level

Run folders as sceneflow-prepare makes them:

    folder = sceneflow.prepare("kitti", kitti_dir, "000002", out_dir="run")
    result = folder.run()                      # as run.sh runs it, in this process
    result = sceneflow.read_results("run")     # a finished run's results

and the file formats of sceneflow-export and sceneflow-eval: read_flo, write_flo, read_pfm,
write_pfm, read_kitti_disparity, write_kitti_disparity, read_kitti_flow, write_kitti_flow,
write_ply, read_image and write_image, and their pictures: false_colour_picture (the estimator's
colour images) and flow_picture (sceneflow-export's colour wheel).

The computations are the command line's own: the same images, calibration, start values and
settings give the same fields bit for bit. Problems with the input raise InputError with the
command line's one-line message; wrong shapes, dtypes or values of arguments raise ValueError
naming the argument. The GIL is released while the estimator runs; Ctrl-C stops it.
"""

import math
import os
import re

from . import _sceneflow
from ._sceneflow import (InputError, false_colour_picture, flow_picture, read_flo,
                         read_kitti_disparity, read_kitti_flow, read_pfm, write_flo, write_image,
                         write_kitti_disparity, write_kitti_flow, write_pfm, write_ply)

__all__ = [
    "InputError", "Result", "RunFolder", "estimate", "prepare", "read_results", "read_image",
    "read_flo", "write_flo", "read_pfm", "write_pfm", "read_kitti_disparity",
    "write_kitti_disparity", "read_kitti_flow", "write_kitti_flow", "write_ply", "write_image",
    "false_colour_picture", "flow_picture",
]

InputError.__module__ = __name__

_SOLVERS = ("exact", "parallel")
_DEPTH_PRIORS = ("none", "start", "auto")
_MOTION_PRIORS = ("none", "start", "camera", "auto")
_FORMS = {"kitti": 2, "pair": 4, "mono": 2, "views": 1}
_FOLDER_CHOICE = object()  # a run folder's own prior, as its run.sh sets it


class Result:
    """The final fields of a run and what its log says.

    Z, U, V, W: (H, W) float32 depth and 3D motion of every pixel of view 0, on the grid of level
        PyramidLevelFinal (the images' size at the default level 1).
    settings: every key of the parameter set, with the derived defaults applied (AlphaSF, u0, ...).
    log: the text of the run's log ("" when there is none).
    energies: one dict per energy report of the log, in its order: level, size (width, height),
        when ("start" or "final" of the level), Edata, Esmooth, E_ref_flow, Eintensity, flow,
        surface, and views: per view from 1 on, a dict of E_flow, E_Stere0, E_Stereo_t.
    """

    def __init__(self, fields, log):
        self.Z = fields["Z"]
        self.U = fields["U"]
        self.V = fields["V"]
        self.W = fields["W"]
        self.settings = fields["settings"]
        self.log = log
        self.energies = _energy_reports(log)
        self._geometry = fields["geometry"]

    def flow(self):
        """The 2D optical flow of view 0, (H, W, 2) float32 in pixels of the results' grid: each
        moved point projected into view 0 minus its pixel. NaN where it lies at or behind the
        camera."""
        return self._geometry.flow(self.Z, self.U, self.V, self.W)

    def points(self):
        """The surface point of every pixel at time 0, (H, W, 3) float64 in the reference frame;
        add the motion (U, V, W) for time t."""
        return self._geometry.points(self.Z)

    def __repr__(self):
        height, width = self.Z.shape
        return f"<sceneflow.Result {width}x{height}, {len(self.energies)} energy reports>"


def estimate(images_0, images_t, cameras, start=None, settings=None, solver="exact", threads=None,
             depth_prior=None, motion_prior=None, progress=None):
    """Estimates depth and 3D motion of view 0 between time 0 and time t.

    images_0, images_t: one image per view, view 0 the reference: (H, W) grey, (H, W, 3) RGB or
        (H, W, 4) RGBA; uint8, or float holding grey levels 0 to 255. All of one size.
    cameras: one (C, R, T) per view, as the INI's calibration files hold them: C the 3x3
        intrinsic matrix, R the 3x3 rotation and T the translation (3 numbers), so that a point P
        of the reference frame lies at R @ P + T in the view.
    start: start values by field name, "Z", "U", "V", "W": an (H, W) array or a number. A field
        not given comes from the settings (Z_CONST, SF_Z0_start_Txt_FileName, ...; else 0).
    settings: the INI's keys and values ({"PyramidLevelsSF": 3, "AlphaSF": 40, ...}); the keys
        naming the images, the calibration and TxtResultsDir are not needed. The fields come back
        as arrays: no start or result file is written, and no log file unless LogFile is given
        (the solver's own pictures, SF_D0_FileName and the warped images, when they are named).
    solver: "exact" or "parallel" (the SOR variants of SCENEFLOW_SOLVER).
    threads: the worker threads (default: every CPU this process may use). The results are the
        same for any number.
    depth_prior: None or "none", "start" (depth held near the start depth) or "auto" (held where
        the start's census misfit says brightness cannot be trusted); SCENEFLOW_DEPTH_PRIOR.
    motion_prior: None or "none", "start", "camera" (static pixels held on the camera's motion
        fitted to the start) or "auto"; SCENEFLOW_MOTION_PRIOR.
    progress: a callable taking (stage, level, (outer, inner)) before every inner iteration;
        stage is "flow" (depth held) or "scene flow", level 1 the full size.

    Returns a Result. Raises ValueError for wrong arguments and InputError for what the command
    line reports as an error.
    """
    fields = _sceneflow.estimate(images_0, images_t, cameras, start, settings,
                                 *_solver_arguments(solver, threads, depth_prior, motion_prior,
                                                    progress))
    return Result(fields, fields["log"])


class RunFolder:
    """A run folder as sceneflow-prepare writes it: run.ini, run.sh, prepared.txt, images/, calib/,
    start/ and results/. `ini` names the parameter file inside it; its relative file names are
    taken from the folder.

    depth_prior, motion_prior: the priors its run.sh sets, from the start kind that prepared.txt
    records ("" where run.sh sets none).
    """

    def __init__(self, path, ini="run.ini"):
        self.path = os.fspath(path)
        self.ini = os.fspath(ini)
        ini_path = os.path.join(self.path, self.ini)
        if not os.path.isfile(ini_path):
            raise InputError(f"Error: cannot read {ini_path}")
        prepared = _prepared_description(os.path.join(self.path, "prepared.txt"))
        self.depth_prior, self.motion_prior = _sceneflow.run_priors(
            prepared.get("init", ""), int(prepared.get("views", "0")))

    def run(self, solver="exact", threads=None, depth_prior=_FOLDER_CHOICE,
            motion_prior=_FOLDER_CHOICE, progress=None):
        """Runs the estimator on the folder as its run.sh does, in this process: run.ini with the
        folder's priors (unless given here; None or "none" runs without), writing the start and
        result files and the log where run.ini names them. The other arguments are estimate()'s.
        Returns the Result."""
        if depth_prior is _FOLDER_CHOICE:
            depth_prior = self.depth_prior or None
        if motion_prior is _FOLDER_CHOICE:
            motion_prior = self.motion_prior or None
        fields = _sceneflow.run_folder(self.path, self.ini,
                                       *_solver_arguments(solver, threads, depth_prior,
                                                          motion_prior, progress))
        return Result(fields, _read_log(fields["settings"]))

    def results(self):
        """The results of the folder's last finished run (read_results)."""
        return read_results(self.path, self.ini)

    def __repr__(self):
        return f"<sceneflow.RunFolder {self.path}>"


def prepare(form, *inputs, out_dir, focal=None, baseline=None, cx=None, cy=None, doffs=0.0,
            calib=None, init=None, photometric="match", scale=1.0, max_disparity=None,
            alpha_sf=None, alpha_w=None, alpha_z=None, max_z=None, eta=None, levels=None,
            sf_level=None, outer=None, inner=None, sor=None, estimator=None):
    """Prepares a run folder as sceneflow-prepare does and returns its RunFolder.

    The forms and their inputs, as on the command line:
        prepare("kitti", KITTI_DIR, FRAME, out_dir=..., calib=None)
        prepare("pair", LEFT_0, RIGHT_0, LEFT_T, RIGHT_T, out_dir=..., focal=F, baseline=B)
        prepare("mono", FRAME_0, FRAME_T, out_dir=..., focal=None)
        prepare("views", LIST, out_dir=...)
    The keyword arguments are the program's flags (max_disparity for --max-disparity, ...).
    estimator: the program that the folder's run.sh calls (default: the sceneflow built with this
    module, else sceneflow on the PATH).
    """
    if form not in _FORMS:
        raise ValueError(f"form is {form!r}, it must be one of kitti, pair, mono, views")
    if len(inputs) != _FORMS[form]:
        raise ValueError(f"{form} takes {_FORMS[form]} input(s) before out_dir, got {len(inputs)}")
    if form == "pair" and (focal is None or baseline is None):
        raise ValueError("pair needs focal and baseline")
    if calib is not None and form != "kitti":
        raise ValueError("calib belongs to the kitti form")
    if init not in (None, "stereo", "pipeline", "none"):
        raise ValueError(f"init is {init!r}, it must be None, 'stereo', 'pipeline' or 'none'")
    options = {
        "focal": _positive(focal, "focal"), "baseline": _positive(baseline, "baseline"),
        "cx": _finite(cx, "cx"), "cy": _finite(cy, "cy"), "doffs": _finite(doffs, "doffs"),
        "calib": None if calib is None else os.fspath(calib), "init": init,
        "photometric": photometric,
        "scale": _positive(scale, "scale", upper=1.0, upper_included=True),
        "max_disparity": _whole(max_disparity, "max_disparity", 127),
        "alpha_sf": _positive(alpha_sf, "alpha_sf"), "alpha_w": _positive(alpha_w, "alpha_w"),
        "alpha_z": _positive(alpha_z, "alpha_z"), "max_z": _positive(max_z, "max_z"),
        "eta": _positive(eta, "eta", upper=1.0, upper_included=False),
        "levels": _whole(levels, "levels"), "sf_level": _whole(sf_level, "sf_level"),
        "outer": _whole(outer, "outer"), "inner": _whole(inner, "inner"), "sor": _whole(sor, "sor"),
    }
    if estimator is None:
        built = _sceneflow.ESTIMATOR_PROGRAM
        estimator = built if os.access(built, os.X_OK) else "sceneflow"
    out_dir = os.fspath(out_dir)
    _sceneflow.prepare(form, [os.fspath(i) for i in inputs], out_dir, options,
                       os.fspath(estimator))
    return RunFolder(out_dir)


def read_results(run_dir, ini="run.ini"):
    """The results of a finished run: the final text fields in the INI's TxtResultsDir (at the
    text files' precision, six decimals), with the INI's reference camera; relative file names
    of the INI are taken from run_dir. Returns a Result whose energies come from the run's log."""
    fields = _sceneflow.read_results(os.fspath(run_dir), os.fspath(ini))
    return Result(fields, _read_log(fields["settings"]))


def read_image(path, grey=False):
    """Reads an image file as the estimator reads it with grey=True ((H, W) uint8, colour turned
    grey by the image decoder), else as stored: (H, W), (H, W, 3) RGB or (H, W, 4) RGBA, uint8 or
    uint16."""
    return _sceneflow.read_image(os.fspath(path), bool(grey))


def _solver_arguments(solver, threads, depth_prior, motion_prior, progress):
    """estimate()'s solver arguments, checked, in the extension's order."""
    if solver not in _SOLVERS:
        raise ValueError(f"solver is {solver!r}, it must be 'exact' or 'parallel'")
    if depth_prior is None:
        depth_prior = "none"
    if depth_prior not in _DEPTH_PRIORS:
        raise ValueError(f"depth_prior is {depth_prior!r}, it must be None, 'none', 'start' or 'auto'")
    if motion_prior is None:
        motion_prior = "none"
    if motion_prior not in _MOTION_PRIORS:
        raise ValueError(f"motion_prior is {motion_prior!r}, "
                         "it must be None, 'none', 'start', 'camera' or 'auto'")
    if threads is None:
        threads = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError(f"threads is {threads!r}, it must be a whole number of at least 1")
    if progress is not None and not callable(progress):
        raise ValueError("progress must be callable or None")
    return solver, threads, depth_prior, motion_prior, progress


def _number(value, name):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise ValueError(f"{name} is {value!r}, it must be a finite number")
    return float(value)


def _finite(value, name):
    return None if value is None else _number(value, name)


def _positive(value, name, upper=None, upper_included=True):
    if value is None:
        return None
    number = _number(value, name)
    above = upper is not None and (number > upper if upper_included else number >= upper)
    if number <= 0 or above:
        bound = "" if upper is None else f" and {'at most' if upper_included else 'below'} {upper:g}"
        raise ValueError(f"{name} is {value!r}, it must be above 0{bound}")
    return number


def _whole(value, name, largest=1000):
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= largest:
        raise ValueError(f"{name} is {value!r}, it must be a whole number from 1 to {largest}")
    return value


def _prepared_description(path):
    """prepared.txt's "key value" lines as a dict; empty when there is no such file."""
    try:
        with open(path, encoding="utf-8") as lines:
            return dict(line.split(None, 1) for line in map(str.strip, lines) if " " in line)
    except FileNotFoundError:
        return {}


def _read_log(settings):
    """The text of a run's log file, "" when it has none."""
    path = settings.get("LogFile")
    if not path or not os.path.isfile(path):
        return ""
    with open(path, encoding="utf-8", errors="replace") as log:
        return log.read()


_LEVEL = re.compile(r"\*\* LEVEL (\d+) resolution (\d+) x (\d+)$")
_NUMBER = r"([-+0-9.eEinfa]+)"
_TOTALS = re.compile(rf"Edata = {_NUMBER} Esmooth = {_NUMBER} ")
_VIEW = re.compile(rf"View = \d+: E_flow = {_NUMBER} E_Stere0 = {_NUMBER} E_Stereo_t = {_NUMBER}")
_REF_FLOW = re.compile(rf"E_ref_flow  = {_NUMBER}")
_INTENSITY = re.compile(rf"Edata breakdown \(squared\): Eintensity = {_NUMBER}")
_SMOOTH = re.compile(rf"Esmooth breakdown \(squared\): flow = {_NUMBER} , surface = {_NUMBER}")


def _energy_reports(log):
    """The energy reports of a log, each level's start report and final report in turn."""
    reports = []
    for line in log.splitlines():
        level = _LEVEL.match(line)
        if level:
            previous = reports[-1] if reports else None
            number = int(level.group(1))
            final = previous is not None and previous["level"] == number and previous["when"] == "start"
            reports.append({"level": number, "size": (int(level.group(2)), int(level.group(3))),
                            "when": "final" if final else "start", "views": []})
            continue
        if not reports:
            continue
        report = reports[-1]
        if match := _TOTALS.match(line):
            report["Edata"], report["Esmooth"] = map(float, match.groups())
        elif match := _VIEW.match(line):
            report["views"].append(dict(zip(("E_flow", "E_Stere0", "E_Stereo_t"),
                                            map(float, match.groups()))))
        elif match := _REF_FLOW.match(line):
            report["E_ref_flow"] = float(match.group(1))
        elif match := _INTENSITY.match(line):
            report["Eintensity"] = float(match.group(1))
        elif match := _SMOOTH.match(line):
            report["flow"], report["surface"] = map(float, match.groups())
    return reports
