#!/usr/bin/env bash
# Installs what building, testing and running vocetta needs on Debian 12.
set -euo pipefail
packages=(
  cmake g++ make pkg-config binutils clang-format
  dpkg-dev                               # dpkg-shlibdeps, for the Debian package
  libsleef-dev                           # the library's one dependency
  libgtest-dev libgmock-dev libbenchmark-dev
  libaubio-dev                           # the peer in the benchmarks
  libsndfile1-dev libpng-dev nlohmann-json3-dev libcli11-dev libsoxr-dev  # the command-line tool
  espeak-ng sox                           # the tool's --text; the default profile and the sample
  chromium                                # the preview page's test in a headless browser
  help2man                                # the man pages, from the tool's --help
  pybind11-dev python3-dev python3-numpy python3-pytest  # the Python package and its tests
  blender                                 # the Python package's Blender add-on, tested inside it
  mono-mcs mono-runtime                   # the C# host and its test
  cargo                                   # the Rust binding and its test
)
sudo_if_needed=()
if [[ $(id -u) -ne 0 ]]; then sudo_if_needed=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_if_needed[@]}" apt-get update -qq
"${sudo_if_needed[@]}" apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
