"""estimate() against the command line on the same scene: the same numbers, the same errors."""

import os
import signal
import threading
import time

import numpy as np
import pytest

import sceneflow
from conftest import run_program, text_matrix

RESULT_FILES = {"Z": "Z0_final.txt", "U": "U_final.txt", "V": "V_final.txt", "W": "W_final.txt"}
PRIORS = {"SCENEFLOW_DEPTH_PRIOR": "start", "SCENEFLOW_MOTION_PRIOR": "camera"}


@pytest.fixture(scope="module")
def command_line(scene):
    """The command line's run of the two-stage INI with both priors; its log's energy reports."""
    scene.run_command_line("stages.ini", env=PRIORS)
    with open(scene.path("results", "sf.log")) as log:
        return sceneflow._energy_reports(log.read())


def test_estimate_gives_the_command_lines_results_byte_for_byte(scene, command_line):
    images_0, images_t, cameras, start = scene.arrays()
    calls = []
    result = sceneflow.estimate(images_0, images_t, cameras, start=start, settings=scene.settings,
                                depth_prior="start", motion_prior="camera", threads=2,
                                progress=lambda *position: calls.append(position))
    for name, file_name in RESULT_FILES.items():
        field = getattr(result, name)
        assert field.dtype == np.float32 and field.shape == (48, 64)
        with open(scene.path("results", file_name)) as text:
            assert text_matrix(field) == text.read(), name
    assert result.energies == command_line
    assert [(r["level"], r["when"]) for r in result.energies[:2]] == [(4, "start"), (4, "final")]
    # The flow stage runs levels 4 and 3 with depth held, the scene-flow stage levels 3 to 1.
    assert calls[0] == ("flow", 4, (0, 0)) and calls[-1][:2] == ("scene flow", 1)
    assert {level for stage, level, _ in calls if stage == "flow"} == {4, 3}

    # The same run on one thread from RGB images of the same grey: the same fields.
    colour = [np.repeat(image[:, :, None], 3, axis=2) for image in images_0]
    again = sceneflow.estimate(colour, images_t, cameras, start=start, settings=scene.settings,
                               depth_prior="start", motion_prior="camera", threads=1)
    for name in RESULT_FILES:
        assert np.array_equal(getattr(again, name), getattr(result, name)), name


def test_float_images_run_as_with_floating_point_pyramids(scene):
    images_0, images_t, cameras, start = scene.arrays()
    as_float = sceneflow.estimate(images_0, [image.astype(np.float64) for image in images_t],
                                  cameras, start=start, settings=scene.settings)
    converted = sceneflow.estimate(images_0, images_t, cameras, start=start,
                                   settings=dict(scene.settings, PyramidFloatingPoint=1))
    for name in RESULT_FILES:
        assert np.array_equal(getattr(as_float, name), getattr(converted, name)), name


def test_a_run_folder_runs_as_the_command_line_does(scene, command_line):
    folder = sceneflow.RunFolder(scene.folder, ini="stages.ini")
    result = folder.run(depth_prior="start", motion_prior="camera")
    for name, file_name in RESULT_FILES.items():
        with open(scene.path("results", file_name)) as text:
            assert text_matrix(getattr(result, name)) == text.read(), name
    assert result.energies == command_line
    read = sceneflow.read_results(scene.folder, "stages.ini")
    assert np.allclose(read.Z, result.Z, rtol=0, atol=5e-4) and read.energies == command_line
    assert read.flow().shape == (48, 64, 2) and np.isfinite(read.points()).all()


def test_ctrl_c_stops_a_run_which_leaves_nothing_behind(scene):
    images_0, images_t, cameras, start = scene.arrays()
    calls = []

    def interrupt(*position):
        calls.append(position)
        os.kill(os.getpid(), signal.SIGINT)

    with pytest.raises(KeyboardInterrupt):
        sceneflow.estimate(images_0, images_t, cameras, start=start, settings=scene.settings,
                           progress=interrupt)
    assert len(calls) == 1  # stopped at the next iteration
    with pytest.raises(ZeroDivisionError):
        sceneflow.estimate(images_0, images_t, cameras, start=start, settings=scene.settings,
                           progress=lambda *position: 1 / 0)
    finished = sceneflow.estimate(images_0, images_t, cameras, start=start, settings=scene.settings)
    assert np.isfinite(finished.Z).all()


def test_runs_release_the_gil_and_two_at_once_agree(scene):
    images_0, images_t, cameras, start = scene.arrays()
    alone = sceneflow.estimate(images_0, images_t, cameras, start=start, settings=scene.settings)
    results = []

    def run():
        results.append(sceneflow.estimate(images_0, images_t, cameras, start=start,
                                          settings=scene.settings, threads=2))

    threads = [threading.Thread(target=run) for _ in range(2)]
    for thread in threads:
        thread.start()
    turns = 0  # of this thread while the runs go on: none if they held the GIL throughout
    while any(thread.is_alive() for thread in threads):
        time.sleep(0.001)
        turns += 1
    assert turns > 10
    assert len(results) == 2
    for result in results:
        assert all(np.array_equal(getattr(result, name), getattr(alone, name))
                   for name in RESULT_FILES)


def test_wrong_arguments_raise_value_error_naming_them(scene):
    images_0, images_t, cameras, start = scene.arrays()

    def estimate(**changes):
        arguments = dict(images_0=images_0, images_t=images_t, cameras=cameras, start=start,
                         settings=scene.settings)
        arguments.update(changes)
        with pytest.raises(ValueError) as raised:
            sceneflow.estimate(**arguments)
        return str(raised.value)

    assert "did you mean PyramidLevelsSF?" in estimate(settings={"PyramidLevelSF": 3})
    assert "MaxIterSOR" in estimate(settings={"MaxIterSOR": 2.5})
    assert "images_0[1]" in estimate(images_0=[images_0[0], images_0[1].astype(np.int64)])
    assert "images_t[1] is 32x48" in estimate(images_t=[images_t[0], images_t[1][:, :32]])
    assert "cameras[1][2] (T)" in estimate(cameras=[cameras[0], (np.eye(3), np.eye(3), [1, 2])])
    assert "start[\"Z\"] is 64x40" in estimate(start={"Z": start["Z"][:40]})
    assert "start: unknown field D" in estimate(start={"D": 1.0})
    assert "one entry per view" in estimate(cameras=cameras[:1])
    assert "threads" in estimate(threads=0)
    assert "motion_prior" in estimate(motion_prior="rigid")


def test_input_errors_carry_the_command_lines_message(scene):
    images_0, images_t, cameras, start = scene.arrays()
    with open(scene.path("scene.ini")) as ini:
        text = ini.read().replace("PyramidEta = 0.8", "PyramidEta = 1.5")
    with open(scene.path("bad.ini"), "w") as ini:
        ini.write(text)
    done = run_program(os.path.join(scene.bin_dir, "sceneflow"), "bad.ini", cwd=scene.folder)
    assert done.returncode == 1
    with pytest.raises(sceneflow.InputError) as raised:
        sceneflow.estimate(images_0, images_t, cameras, start=start,
                           settings=dict(scene.settings, PyramidEta=1.5))
    assert str(raised.value) + "\n" == done.stderr

    with pytest.raises(sceneflow.InputError, match="smaller than 4x4"):
        sceneflow.estimate(images_0, images_t, cameras, settings={"PyramidLevelsFlow": 30})
    flat = (np.diag([0.0, 60.0, 1.0]), np.eye(3), np.zeros(3))
    with pytest.raises(sceneflow.InputError, match="camera 1 has a focal length of 0"):
        sceneflow.estimate(images_0, images_t, [cameras[0], flat], start=start)
    with pytest.raises(sceneflow.InputError, match="cannot read"):
        sceneflow.read_results(scene.path("missing"))
