#!/usr/bin/env python3
"""KITTI 2015 scene-flow frame 000002 from Python: prepare a run folder, run the estimator on it,
read the result and draw its depth and optical flow beside the benchmark's ground-truth flow.

    python3 examples/kitti_frame.py [DATA_DIR] [--out OUT_DIR] [--scale S]

DATA_DIR holds kitti2015-sf-gt (default: ../shared/data beside the project); without it the
example says so and ends. OUT_DIR (default build/kitti-example) receives the run folder run/ and
the figure kitti_000002.png (with matplotlib), or depth.png, flow.png and flow_truth.png without.
--scale resizes the images first (default 1: the full 1242x375, about 20 s on two cores).
"""

import argparse
import os
import sys
import time

import numpy as np

PROJECT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FRAME = "000002"

try:
    import sceneflow
except ImportError:  # not installed: the build tree's module
    sys.path.insert(0, os.path.join(PROJECT, "build", "python"))
    import sceneflow


def arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("data", nargs="?", default=os.path.join(PROJECT, os.pardir, "shared", "data"))
    parser.add_argument("--out", default=os.path.join(PROJECT, "build", "kitti-example"))
    parser.add_argument("--scale", type=float, default=1.0)
    return parser.parse_args()


def flow_at(truth, valid, size):
    """The ground-truth flow at the pixels of a grid of `size` (width, height), in its pixels:
    each pixel takes the nearest original pixel's flow, scaled by the grid's size."""
    height, width = truth.shape[:2]
    rows = np.minimum((np.arange(size[1]) + 0.5) * height / size[1], height - 1).astype(int)
    cols = np.minimum((np.arange(size[0]) + 0.5) * width / size[0], width - 1).astype(int)
    factor = size[0] / width
    return truth[rows][:, cols] * factor, valid[rows][:, cols]


def draw(out, image, result, flow, truth_flow):
    """One figure with matplotlib, else the pictures of sceneflow-export as PNG files."""
    inverse_depth = np.where(result.Z > 0, 1 / np.maximum(result.Z, 1e-6), 0)
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        sceneflow.write_image(os.path.join(out, "depth.png"),
                              sceneflow.false_colour_picture(inverse_depth))
        sceneflow.write_image(os.path.join(out, "flow.png"), sceneflow.flow_picture(flow))
        sceneflow.write_image(os.path.join(out, "flow_truth.png"), sceneflow.flow_picture(truth_flow))
        return ["depth.png", "flow.png", "flow_truth.png"]
    figure, axes = plt.subplots(4, 1, figsize=(10, 12))
    panels = [(image, "view 0 at time 0", {"cmap": "gray"}),
              (inverse_depth, "1 / depth (m⁻¹)", {"cmap": "magma"}),
              (sceneflow.flow_picture(flow), "optical flow of view 0 (estimated)", {}),
              (sceneflow.flow_picture(truth_flow), "optical flow, ground truth (black: unknown)", {})]
    for axis, (picture, title, style) in zip(axes, panels):
        shown = axis.imshow(picture, **style)
        axis.set_title(title)
        axis.axis("off")
        if style.get("cmap") == "magma":
            figure.colorbar(shown, ax=axis, fraction=0.02)
    figure.tight_layout()
    figure.savefig(os.path.join(out, f"kitti_{FRAME}.png"), dpi=100)
    return [f"kitti_{FRAME}.png"]


def main():
    args = arguments()
    kitti = os.path.join(args.data, "kitti2015-sf-gt")
    if not os.path.isdir(os.path.join(kitti, "image_2")):
        print(f"Skipped: no KITTI frame in {kitti} (see the README's Python section)")
        return 0
    os.makedirs(args.out, exist_ok=True)

    # The run folder, as `sceneflow-prepare kitti DATA FRAME OUT --scale S` makes it.
    folder = sceneflow.prepare("kitti", kitti, FRAME, out_dir=os.path.join(args.out, "run"),
                               scale=args.scale)
    print(f"Prepared {folder.path} (priors: depth {folder.depth_prior or 'none'}, "
          f"motion {folder.motion_prior or 'none'})")

    # The run, as run.sh runs it; the progress callable sees every inner iteration.
    levels = set()
    started = time.time()
    result = folder.run(progress=lambda stage, level, iteration: levels.add((stage, level)))
    print(f"Ran {len(levels)} levels in {time.time() - started:.0f} s; "
          f"final energy at level 1: Edata {result.energies[-1]['Edata']:.4g}")

    # The same fields as the run folder's text results, read back.
    read = sceneflow.read_results(folder.path)
    print(f"Depth {np.median(result.Z):.1f} m (median); text results agree to "
          f"{np.abs(read.Z - result.Z).max():.1e} m")

    flow = result.flow()
    height, width = result.Z.shape
    truth, valid = sceneflow.read_kitti_flow(os.path.join(kitti, "flow_occ", f"{FRAME}_10.png"))
    truth_flow, truth_valid = flow_at(truth, valid, (width, height))
    error = np.linalg.norm(flow - truth_flow, axis=2)[truth_valid & np.isfinite(flow).all(axis=2)]
    print(f"Flow end-point error against the ground truth: {error.mean():.2f} px of the "
          f"{width}x{height} grid, mean over {error.size} pixels")

    image = sceneflow.read_image(os.path.join(folder.path, "images", "img0_0.png"))
    written = draw(args.out, image, result, flow, np.where(truth_valid[..., None], truth_flow, np.nan))
    print("Wrote " + ", ".join(os.path.join(args.out, name) for name in written))
    return 0


if __name__ == "__main__":
    sys.exit(main())
