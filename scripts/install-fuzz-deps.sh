#!/usr/bin/env bash
# Installs the compiler that the fuzzing build needs (clang with its libFuzzer and sanitizer
# runtimes), and only what is missing, so that a second run is quick and needs no network.
set -euo pipefail

packages=(clang-14 libclang-rt-14-dev)
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
