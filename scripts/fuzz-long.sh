#!/usr/bin/env bash
# Long fuzz runs measured in processor time, not wall time, so that a figure means the same on a
# machine shared with other work. Runs every target of an existing fuzz build (or the ones named),
# JOBS at a time, each from the corpus earlier runs grew in build-fuzz/corpus/NAME, until its
# process has used CPU_SECONDS of processor time; then interrupts it, so that libFuzzer prints its
# final statistics. Prints "NAME: N runs, C CPU s, K findings" per target and exits non-zero on any
# finding (inputs kept in build-fuzz/findings/NAME/, logs in build-fuzz/logs/NAME.long.log).
# Build the targets first with scripts/fuzz.sh (any budget).
#
#   scripts/fuzz-long.sh 600                                  # ten CPU-minutes per target
#   JOBS=1 scripts/fuzz-long.sh 600 entry_LipSyncJob_Execute  # one target
set -euo pipefail
seconds=${1:?usage: scripts/fuzz-long.sh CPU_SECONDS [TARGET...]}
shift
cd "$(dirname "$0")/.."
build="build-fuzz"
if [[ ! -f $build/fuzz-targets.txt ]]; then
  echo "fuzz-long.sh: $build/fuzz-targets.txt is missing; build the targets with scripts/fuzz.sh" >&2
  exit 2
fi
if [[ $# -eq 0 ]]; then mapfile -t targets <"$build/fuzz-targets.txt"; else targets=("$@"); fi

run_one() {
  local name=$1 seconds=$2 build="build-fuzz"
  local findings=$build/findings/$name log=$build/logs/$name.long.log
  if [[ ! -x $build/fuzz_$name ]]; then
    echo "$name: no such target in $build" >&2
    return 1
  fi
  fuzz_options "$name" "$findings"
  "$build/fuzz_$name" "${fuzz_args[@]}" >"$log" 2>&1 &
  local pid=$! cpu=0 ticks
  # utime + stime of the fuzzing process, in clock ticks.
  local hz
  hz=$(getconf CLK_TCK)
  while kill -0 "$pid" 2>/dev/null; do
    sleep 2
    ticks=$(awk '{print $14 + $15}' "/proc/$pid/stat" 2>/dev/null) || break
    cpu=$((ticks / hz))
    if ((cpu >= seconds)); then
      kill -INT "$pid"
      break
    fi
  done
  wait "$pid" || true
  fuzz_outcome "$log" "$findings"
  echo "$name: $fuzz_runs runs, $cpu CPU s, $fuzz_found findings"
  [[ $fuzz_found -eq 0 ]]
}
source scripts/fuzz-common.sh
export -f run_one fuzz_options fuzz_outcome

printf '%s\n' "${targets[@]}" | xargs -P "${JOBS:-2}" -I{} bash -c 'run_one "$1" "$2"' _ {} "$seconds"
