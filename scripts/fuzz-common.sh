# Sourced by scripts/fuzz.sh and scripts/fuzz-long.sh: what every run of a target shares.

# fuzz_options NAME FINDINGS: sets the array fuzz_args to libFuzzer's options for NAME, its corpus
# directories last, and prepares FINDINGS (emptied) and the corpus.
fuzz_options() {
  local name=$1 findings=$2 corpus=build-fuzz/corpus/$1
  rm -rf "$findings"
  mkdir -p "$corpus" "$findings" build-fuzz/logs
  fuzz_args=(-timeout=60 -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1
             -artifact_prefix="$findings/")
  case $name in
    profile_loader) fuzz_args+=(-dict=fuzz/dict/profile.dict) ;;
    manifest_parser) fuzz_args+=(-dict=fuzz/dict/manifest.dict) ;;
    audio_reader) fuzz_args+=(-dict=fuzz/dict/audio.dict) ;;
    baked_line) fuzz_args+=(-dict=fuzz/dict/baked.dict) ;;
  esac
  fuzz_args+=("$corpus")
  if [[ -d fuzz/corpus/$name ]]; then fuzz_args+=("fuzz/corpus/$name"); fi
}

# fuzz_outcome LOG FINDINGS: sets fuzz_runs and fuzz_found from a finished run.
fuzz_outcome() {
  fuzz_runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$1" | tail -n 1 | awk '{print $2}')
  fuzz_found=$(find "$2" -type f | wc -l)
  # A run that ends without its statistics died in a way libFuzzer could not report.
  if [[ -z $fuzz_runs ]]; then
    fuzz_runs=0
    if [[ $fuzz_found -eq 0 ]]; then fuzz_found=1; fi
  fi
}
