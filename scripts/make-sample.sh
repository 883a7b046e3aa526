#!/usr/bin/env bash
# Regenerates samples/sample.flac, the short recording the README analyses.
set -euo pipefail
cd "$(dirname "$0")/.."
raw=$(mktemp --suffix=.wav)
trap 'rm -f "$raw"' EXIT
espeak-ng -v en-us+f3 -s 130 -w "$raw" "Hello! Watch my mouth: ah, ee, oo, eh, oh."
sox "$raw" -r 16000 -b 16 samples/sample.flac
