#!/usr/bin/env bash
# Installs the Debian packages the build and its tests need (lld links the tests faster; Chromium
# opens the exported 3D view; pybind11, Python's headers, numpy and pytest build and test the
# Python module), and only those that are missing, so that a second run is quick and needs no
# network. Further packages named as arguments (the fuzzing build's compiler, say) are installed
# the same way.
set -euo pipefail

packages=(g++ cmake make lld libopencv-dev libiniparser-dev googletest libgtest-dev libbenchmark-dev parallel chromium
  pybind11-dev python3-dev python3-numpy python3-pytest "$@")
missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "Installing missing packages: ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
