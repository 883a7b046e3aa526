#!/usr/bin/env bash
# Builds libvocetta.so with SLEEF linked in from a SLEEF source tree and runs the whole suite
# against it, comparing every entry with the default build (Debian's libsleef.so.3) bit for bit.
#   scripts/test-static-sleef.sh SLEEF_SOURCE_DIR
# The default build goes to build/ (as scripts/test.sh), the self-contained one to build-static/.
set -euo pipefail
if [[ $# -ne 1 || ! -f $1/src/libm/CMakeLists.txt ]]; then
  echo "usage: $0 SLEEF_SOURCE_DIR  (a SLEEF 3.5 or later source tree)" >&2
  exit 2
fi
sleef=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
jobs=$(nproc)
scripts/install-deps.sh

# The reference: the default build, whose libraries the static build's checks and tests load.
cmake -S . -B build -DVOCETTA_SLEEF_SOURCE_DIR= -DVOCETTA_REFERENCE_BUILD=
cmake --build build -j"$jobs" --target vocetta vocetta_testing

# SLEEF's own build runs two compilers at most, whatever -j says.
cmake -S . -B build-static -DVOCETTA_SLEEF_SOURCE_DIR="$sleef" -DVOCETTA_REFERENCE_BUILD="$PWD/build"
cmake --build build-static -j"$jobs"
ctest --test-dir build-static --output-on-failure -j"$jobs"
