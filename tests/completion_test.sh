#!/usr/bin/env bash
# Drives the bash completion as bash does (COMP_WORDS, COMP_CWORD, then the function) against
# the built tool, whose --help the completion reads.
#   completion_test.sh completion.bash path/to/vocetta
set -uo pipefail
source "$1"
tool=$2
failures=0

# complete_words WORD... : COMPREPLY as bash leaves it after completing the last WORD.
complete_words() {
    COMP_WORDS=("$tool" "$@")
    COMP_CWORD=$#
    COMPREPLY=()
    _vocetta
}
# expect WANTED WORD... : completing the last WORD offers WANTED (a space-separated set).
expect() {
    local wanted=$1
    shift
    complete_words "$@"
    local got=" ${COMPREPLY[*]} "
    for word in $wanted; do
        if [[ $got != *" $word "* ]]; then
            echo "completing '$*': expected $word, got:$got" >&2
            failures=$((failures + 1))
        fi
    done
}
# reject UNWANTED WORD... : completing the last WORD never offers UNWANTED.
reject() {
    local unwanted=$1
    shift
    complete_words "$@"
    for word in "${COMPREPLY[@]}"; do
        if [[ " $unwanted " == *" $word "* ]]; then
            echo "completing '$*': unexpected $word" >&2
            failures=$((failures + 1))
        fi
    done
}

expect "analyze calibrate render preview evaluate info" ""
expect "analyze" an
reject "calibrate render" an
expect "--segments --silence" analyze --s
reject "--output" analyze --s
expect "--profile --output --cues" analyze -q --
expect "csv tsv json" analyze -f ""
expect "csv" analyze --format c
reject "csv tsv json" analyze --hop ""

folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
touch "$folder/voice.json" "$folder/take.wav"
expect "$folder/voice.json" analyze -p "$folder/v"
expect "$folder/take.wav" analyze "$folder/t"

exit $((failures > 0))
