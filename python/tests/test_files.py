"""The file formats through the module: each written and read back with exact values."""

import struct

import numpy as np
import pytest

import sceneflow


def test_flow_and_field_formats_read_back_exactly(tmp_path):
    flow = np.arange(24, dtype=np.float32).reshape(3, 4, 2) / 8 - 1
    flow[1, 2] = np.nan
    sceneflow.write_flo(tmp_path / "f.flo", flow)
    assert np.array_equal(sceneflow.read_flo(tmp_path / "f.flo"), flow, equal_nan=True)

    field = np.linspace(-5, 5, 12, dtype=np.float32).reshape(3, 4)
    sceneflow.write_pfm(str(tmp_path / "z.pfm"), field)
    assert np.array_equal(sceneflow.read_pfm(tmp_path / "z.pfm"), field)

    disparity = np.array([[1.5, 0.0], [np.nan, 200.25]], dtype=np.float32)
    sceneflow.write_kitti_disparity(tmp_path / "d.png", disparity)
    expected = np.array([[1.5, np.nan], [np.nan, 200.25]], dtype=np.float32)
    assert np.array_equal(sceneflow.read_kitti_disparity(tmp_path / "d.png"), expected,
                          equal_nan=True)
    assert sceneflow.read_image(tmp_path / "d.png").tolist() == [[384, 0], [0, 51264]]

    rgb = np.arange(24, dtype=np.uint8).reshape(2, 4, 3)
    sceneflow.write_image(tmp_path / "rgb.png", rgb)
    assert np.array_equal(sceneflow.read_image(tmp_path / "rgb.png"), rgb)

    kitti_flow = np.array([[[1.5, -2.25], [0.0, 3.0]]], dtype=np.float32)
    sceneflow.write_kitti_flow(tmp_path / "flow.png", kitti_flow, valid=[[True, False]])
    read, valid = sceneflow.read_kitti_flow(tmp_path / "flow.png")
    assert valid.tolist() == [[True, False]]
    assert np.array_equal(read, [[[1.5, -2.25], [np.nan, np.nan]]], equal_nan=True)


def test_point_cloud_holds_the_points_that_are_kept(tmp_path):
    points = np.arange(18, dtype=np.float64).reshape(2, 3, 3)
    points[0, 1, 2] = np.nan
    colours = np.zeros((2, 3, 3), dtype=np.uint8)
    colours[0, 0] = (10, 20, 30)
    sceneflow.write_ply(tmp_path / "c.ply", points, colours=colours, motion=points / 2)
    data = (tmp_path / "c.ply").read_bytes()
    header, body = data.split(b"end_header\n")
    assert b"element vertex 5\n" in header and b"property float U\n" in header
    assert len(body) == 5 * (3 * 4 + 3 + 3 * 4)
    assert struct.unpack("<3f3B3f", body[:27]) == (0, 1, 2, 10, 20, 30, 0, 0.5, 1)


def test_wrong_arrays_and_missing_files_are_reported(tmp_path):
    with pytest.raises(ValueError, match=r"flow has shape \(3, 4, 3\)"):
        sceneflow.write_flo(tmp_path / "f.flo", np.zeros((3, 4, 3)))
    with pytest.raises(ValueError, match="valid"):
        sceneflow.write_kitti_flow(tmp_path / "f.png", np.zeros((3, 4, 2)), valid=np.ones((4, 3)))
    with pytest.raises(sceneflow.InputError, match="missing.flo"):
        sceneflow.read_flo(tmp_path / "missing.flo")
    with pytest.raises(sceneflow.InputError, match="cannot read image"):
        sceneflow.read_image(tmp_path / "missing.png")
