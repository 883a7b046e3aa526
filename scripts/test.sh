#!/usr/bin/env bash
# Installs the dependencies, builds everything and runs the whole suite.
#   scripts/test.sh                 release build in build/
#   scripts/test.sh --sanitize      SDK, tool and tests under ASan and UBSan, in build-sanitize/
set -euo pipefail
cd "$(dirname "$0")/.."
build=build
options=()
if [[ ${1:-} == --sanitize ]]; then
  build=build-sanitize
  options=(-DVOCETTA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOCETTA_BUILD_BENCHMARKS=OFF)
fi
scripts/install-deps.sh
cmake -S . -B "$build" "${options[@]}"
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
