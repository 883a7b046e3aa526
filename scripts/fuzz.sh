#!/usr/bin/env bash
# Builds every libFuzzer target (clang, in build-fuzz/) and runs each for SECONDS seconds from its
# seed corpus (fuzz/corpus/NAME) and dictionary (fuzz/dict), one target at a time. Prints
# "NAME: N runs, K findings" per target and "T targets, F findings" last; exits non-zero on any
# finding. A finding stops its target; the input is kept in build-fuzz/findings/NAME/ and the log
# in build-fuzz/logs/NAME.log. Reproduce one with build-fuzz/fuzz_NAME FILE.
#
#   scripts/fuzz.sh 600    # ten CPU-minutes per target
#   scripts/fuzz.sh 15     # the CI budget
set -euo pipefail
seconds=${1:?usage: scripts/fuzz.sh SECONDS}
cd "$(dirname "$0")/.."

scripts/install-deps.sh
if ! command -v clang++ >/dev/null ||
   ! compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null; then
  sudo_if_needed=()
  if [[ $(id -u) -ne 0 ]]; then sudo_if_needed=(sudo); fi
  DEBIAN_FRONTEND=noninteractive "${sudo_if_needed[@]}" \
    apt-get install -y -qq --no-install-recommends clang libclang-rt-14-dev >/dev/null
fi

build=build-fuzz
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVOCETTA_FUZZ=ON \
  -DVOCETTA_BUILD_TESTS=OFF -DVOCETTA_BUILD_BENCHMARKS=OFF -DVOCETTA_BUILD_TOOL=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" --target vocetta_fuzz >/dev/null

source scripts/fuzz-common.sh

targets=0
total_findings=0
mkdir -p "$build/logs"
while read -r name; do
  [[ -n $name ]] || continue
  findings=$build/findings/$name
  log=$build/logs/$name.log
  fuzz_options "$name" "$findings"
  "$build/fuzz_$name" -max_total_time="$seconds" "${fuzz_args[@]}" >"$log" 2>&1 || true
  fuzz_outcome "$log" "$findings"
  runs=$fuzz_runs
  found=$fuzz_found
  echo "$name: $runs runs, $found findings"
  targets=$((targets + 1))
  total_findings=$((total_findings + found))
done <"$build/fuzz-targets.txt"

echo "$targets targets, $total_findings findings"
[[ $total_findings -eq 0 ]]
