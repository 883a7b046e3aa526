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
  local corpus=$build/corpus/$name findings=$build/findings/$name log=$build/logs/$name.long.log
  if [[ ! -x $build/fuzz_$name ]]; then
    echo "$name: no such target in $build" >&2
    return 1
  fi
  rm -rf "$findings"
  mkdir -p "$corpus" "$findings" "$build/logs"
  local options=(-timeout=60 -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1
                 -artifact_prefix="$findings/")
  case $name in
    profile_loader) options+=(-dict=fuzz/dict/profile.dict) ;;
    manifest_parser) options+=(-dict=fuzz/dict/manifest.dict) ;;
    audio_reader) options+=(-dict=fuzz/dict/audio.dict) ;;
  esac
  local seeds=()
  if [[ -d fuzz/corpus/$name ]]; then seeds=("fuzz/corpus/$name"); fi
  "$build/fuzz_$name" "${options[@]}" "$corpus" "${seeds[@]}" >"$log" 2>&1 &
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
  local runs found
  runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | tail -n 1 | awk '{print $2}')
  found=$(find "$findings" -type f | wc -l)
  # A run that ends without its statistics died in a way libFuzzer could not report.
  if [[ -z $runs ]]; then
    runs=0
    if [[ $found -eq 0 ]]; then found=1; fi
  fi
  echo "$name: $runs runs, $cpu CPU s, $found findings"
  [[ $found -eq 0 ]]
}
export -f run_one

printf '%s\n' "${targets[@]}" | xargs -P "${JOBS:-2}" -I{} bash -c 'run_one "$1" "$2"' _ {} "$seconds"
