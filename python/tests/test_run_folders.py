"""Run folders from Python: prepared as sceneflow-prepare prepares them, run as run.sh runs them."""

import os
import sys

import pytest

import sceneflow
from conftest import run_program, text_matrix


def pair_inputs(scene):
    return [scene.path(name) for name in ("img0_0.png", "img0_1.png", "imgt_0.png", "imgt_1.png")]


def test_a_prepared_folder_runs_in_process_as_its_run_sh_does(scene, tmp_path):
    folder = sceneflow.prepare("pair", *pair_inputs(scene), out_dir=tmp_path / "run", focal=60,
                               baseline=40, init="pipeline")
    # run.sh runs a pipeline start (depth and motion) with the automatic priors.
    assert (folder.depth_prior, folder.motion_prior) == ("auto", "auto")
    done = run_program(os.path.join(folder.path, "run.sh"))
    assert done.returncode == 0, done.stderr
    by_run_sh = sceneflow.read_results(folder.path)
    files = {}
    for name in ("Z0_final", "U_final", "V_final", "W_final"):
        with open(os.path.join(folder.path, "results", name + ".txt")) as text:
            files[name[0]] = text.read()

    result = folder.run()
    for name, text in files.items():
        assert text_matrix(getattr(result, name)) == text, name
    assert result.energies == by_run_sh.energies and len(result.energies) > 2
    assert "** Start misfit" in result.log


def test_preparation_errors_are_the_programs(scene, tmp_path):
    with pytest.raises(ValueError, match="pair needs focal and baseline"):
        sceneflow.prepare("pair", *pair_inputs(scene), out_dir=tmp_path / "a", focal=60)
    with pytest.raises(ValueError, match="scale"):
        sceneflow.prepare("mono", *pair_inputs(scene)[:2], out_dir=tmp_path / "b", scale=2)
    missing = [scene.path("missing.png")] + pair_inputs(scene)[1:]
    done = run_program(os.path.join(scene.bin_dir, "sceneflow-prepare"), "pair", *missing,
                       str(tmp_path / "c"), "--focal", "60", "--baseline", "40")
    assert done.returncode == 1
    with pytest.raises(sceneflow.InputError) as raised:
        sceneflow.prepare("pair", *missing, out_dir=tmp_path / "c", focal=60, baseline=40)
    assert str(raised.value) + "\n" == done.stderr
    with pytest.raises(sceneflow.InputError, match="run.ini"):
        sceneflow.RunFolder(tmp_path / "c")


def test_the_kitti_example_ends_cleanly_without_its_data(tmp_path):
    example = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "examples",
                           "kitti_frame.py")
    done = run_program(sys.executable, example, str(tmp_path / "absent"), "--out", str(tmp_path))
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("Skipped: no KITTI frame in")
