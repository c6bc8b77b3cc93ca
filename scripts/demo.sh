#!/usr/bin/env bash
# The demo behind `make demo`: renders the two-view 320x240 sphere scene into BUILD_DIR/demo,
# starts the depth from the bundled stereo program (or, without it, from the scene's blurred noisy
# start depth), runs sceneflow on it, prints the accuracy of the start values and of the result and
# exports the result (point cloud, optical flow, pictures and a page with a 3D view) with
# sceneflow-export when it is built.
#
#   scripts/demo.sh BUILD_DIR
#
# Exits non-zero only when the scene cannot be rendered; a failed estimator run is reported and
# the evaluation of its result skipped.
set -uo pipefail

build=${1:-build}
bin="$build/bin"
demo="$build/demo"
for program in sceneflow sceneflow-synth sceneflow-eval; do
  if [[ ! -x "$bin/$program" ]]; then
    echo "Error: $bin/$program is not built (run make first)" >&2
    exit 1
  fi
done
bin=$(cd "$bin" && pwd)

stereo_option=()
if [[ -x "$bin/sceneflow-stereo" ]]; then
  stereo_option=(--stereo "$bin/sceneflow-stereo")
fi

echo "== Rendering the scene (preset sphere2) into $demo"
rm -rf "$demo"
if ! "$bin/sceneflow-synth" "$demo" --preset sphere2 "${stereo_option[@]}"; then
  echo "Error: rendering the demo scene failed" >&2
  exit 1
fi
demo=$(cd "$demo" && pwd)
sed -n '5,16p' "$demo/description.txt"

echo
echo "== Running sceneflow scene.ini in $demo"
start_time=$(date +%s)
(cd "$demo" && "$bin/sceneflow" scene.ini) > "$demo/results/stdout.txt" 2> "$demo/results/stderr.txt"
status=$?
seconds=$(($(date +%s) - start_time))
if ((status == 0)); then
  echo "sceneflow finished in ${seconds} s (log: $demo/results/sf.log)"
else
  echo "sceneflow stopped with exit status $status after ${seconds} s:"
  sed -n '1,3p' "$demo/results/stderr.txt"
  echo "Note: this build of sceneflow produced no result, so the evaluation of the result is skipped;"
  echo "the table shows the start values only."
fi

# The start values: the stereo program's depth where it ran (the estimator runs it itself; when the
# estimator stopped earlier, it is run here on the same images), else the blurred noisy depth.
start_option=()
if ((${#stereo_option[@]})); then
  disparity="$demo/results/D0_stereo.png"
  if [[ ! -s "$disparity" ]]; then
    (cd "$demo" && "$bin/sceneflow-stereo" img0_0.png img0_1.png "$disparity") 2> "$demo/results/stereo_error.txt"
  fi
  if [[ -s "$disparity" ]]; then
    start_option=(--start-disparity "$disparity" --ini "$demo/scene.ini")
  else
    echo "Note: the stereo program failed ($(head -n 1 "$demo/results/stereo_error.txt")); the start values"
    echo "shown are the scene's blurred noisy start depth."
  fi
else
  echo "Note: sceneflow-stereo is not built; the start depth is the scene's blurred noisy depth."
fi

echo
echo "== Accuracy over the valid pixels (units of the scene; 2D flow in pixels)"
evaluation=(--json "$demo/evaluation.json" --images "$demo/images" "${start_option[@]}")
if ((status == 0)); then
  "$bin/sceneflow-eval" "$demo/results" "$demo/truth" "${evaluation[@]}" || echo "Note: the evaluation failed."
else
  "$bin/sceneflow-eval" "$demo/results" "$demo/truth" --start-only "${evaluation[@]}" ||
    echo "Note: the evaluation failed."
fi

exported=0
if ((status == 0)) && [[ -x "$bin/sceneflow-export" ]]; then
  echo
  echo "== Exporting the result into $demo/export"
  if "$bin/sceneflow-export" "$demo" --ini scene.ini --ply "$demo/export/cloud.ply" \
       --flo "$demo/export/flow.flo" --pictures "$demo/export" --html "$demo/export/view.html" \
       > "$demo/export.txt" 2>&1; then
    exported=1
  else
    echo "Note: the export failed: $(tail -n 1 "$demo/export.txt")"
  fi
fi

echo
echo "== Pictures"
if ((status == 0)); then
  echo "motion U, V, W:       $demo/results/U_final.png, V_final.png, W_final.png"
  echo "depth (result):       $demo/images/Z_result.png"
  echo "3D end-point error:   $demo/images/EPE_result.png (beside EPE_start.png)"
fi
if ((exported)); then
  echo "optical flow:         $demo/export/flow.png (colour wheel), flow.flo (Middlebury)"
  echo "point cloud:          $demo/export/cloud.ply (motion U, V, W per vertex)"
  echo "robust colour ranges: $demo/export/Z.png, U.png, V.png, W.png"
  echo "3D view (browser):    $demo/export/view.html (turn, zoom, play time 0 to t)"
fi
echo "depth (truth, start): $demo/images/Z_truth.png, Z_start.png (same colour scale)"
echo "scene:                $demo/img0_0.png (view 0, time 0), description.txt, scene.ini"
exit 0
