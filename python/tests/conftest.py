"""Shared inputs of the Python tests: the programs and a tiny rendered scene, the same one the
command line runs on."""

import os
import subprocess

import numpy as np
import pytest

import sceneflow

# The keys of a scene.ini that name files; estimate() takes their contents as arrays instead.
FILE_KEYS = {"Img_0_FileName", "Img_t_FileName", "ImgPrefix", "CMat_FileName", "RMat_FileName",
             "TMat_FileName", "TxtResultsDir", "LogFile", "SF_Z0_start_Txt_FileName",
             "SF_U_Final_FileName", "SF_V_Final_FileName", "SF_W_Final_FileName"}


@pytest.fixture(scope="session")
def bin_dir():
    path = os.environ.get("SCENEFLOW_BIN_DIR") or os.path.join(
        os.path.dirname(sceneflow.__file__), os.pardir, os.pardir, "bin")
    if not os.path.isfile(os.path.join(path, "sceneflow")):
        pytest.skip(f"the programs are not built in {path}")
    return path


def run_program(program, *arguments, cwd=None, env=None):
    """Runs a program without the SCENEFLOW_ variables of the environment (unless `env` gives
    them); returns the finished process with its output streams as text."""
    clean = {k: v for k, v in os.environ.items() if not k.startswith("SCENEFLOW")}
    clean.update(env or {})
    return subprocess.run([program, *arguments], cwd=cwd, env=clean, capture_output=True,
                          text=True, timeout=120)


class Scene:
    """The tiny scene of sceneflow-synth with a two-stage schedule (scene.ini runs one stage)."""

    def __init__(self, folder, bin_dir):
        self.folder = str(folder)
        self.bin_dir = bin_dir
        done = run_program(os.path.join(bin_dir, "sceneflow-synth"), self.folder, "--preset", "tiny")
        assert done.returncode == 0, done.stderr
        with open(self.path("scene.ini")) as ini:
            text = ini.read().replace("PyramidLevelsFlow = 3", "PyramidLevelsFlow = 4")
        with open(self.path("stages.ini"), "w") as ini:
            ini.write(text)
        self.settings = {}
        for line in text.splitlines():
            key, _, value = line.split(";")[0].partition("=")
            key, value = key.strip(), value.strip()
            if value and key not in FILE_KEYS:
                self.settings[key] = int(value) if value.lstrip("-").isdigit() else float(value)

    def path(self, *names):
        return os.path.join(self.folder, *names)

    def text_matrix(self, name):
        return np.loadtxt(self.path(name), ndmin=2)

    def arrays(self):
        """The images, cameras and start depth as estimate() takes them."""
        images_0 = [sceneflow.read_image(self.path(f"img0_{v}.png"), grey=True) for v in (0, 1)]
        images_t = [sceneflow.read_image(self.path(f"imgt_{v}.png"), grey=True) for v in (0, 1)]
        cameras = [tuple(self.text_matrix(f"calib/{m}{v}.txt") for m in "CRT") for v in (0, 1)]
        return images_0, images_t, cameras, {"Z": self.text_matrix("truth/Z_start.txt")}

    def run_command_line(self, ini, env=None):
        done = run_program(os.path.join(self.bin_dir, "sceneflow"), ini, cwd=self.folder, env=env)
        assert done.returncode == 0, done.stderr
        return done


@pytest.fixture(scope="session")
def scene(tmp_path_factory, bin_dir):
    return Scene(tmp_path_factory.mktemp("tiny"), bin_dir)


def text_matrix(field):
    """A field as the estimator writes its text results: "%f\\t" per element, a line per row."""
    return "".join("".join("%f\t" % value for value in row) + "\n" for row in field)
