# bash completion for vocetta. Subcommands and options come from the tool's own --help, so they
# follow the tool as it changes; an option whose help shows a FILE, PATH or AUDIO argument
# completes file names, other arguments (MS, N, DB, ...) nothing, FMT the output formats.

_vocetta_help() {
    "$@" --help 2>/dev/null
}

_vocetta() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local tool=${COMP_WORDS[0]} sub="" i
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            -*) ;;
            *) sub=${COMP_WORDS[i]}; break ;;
        esac
    done

    if [[ -z $sub ]]; then
        local commands
        commands=$(_vocetta_help "$tool" | awk '/^commands:/ { on = 1; next }
                                               on && /^  [a-z]/ { print $1 }
                                               on && /^$/ { on = 0 }')
        COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
        return
    fi

    # One "option ARGUMENT" line per option of the subcommand, from lines like
    # "  -p,--profile FILE   profile to use" (or "-p, --profile"); ARGUMENT is "-" for a flag.
    local table
    table=$(_vocetta_help "$tool" "$sub" | awk '/^ +-/ {
        n = 0
        for (f = 1; f <= NF && $f ~ /^-/; f++) {
            m = split($f, parts, ",")
            for (k = 1; k <= m; k++) if (parts[k] != "") names[++n] = parts[k]
        }
        argument = (f <= NF && $f ~ /^[A-Z][A-Z_.]*$/) ? $f : "-"
        for (k = 1; k <= n; k++) print names[k], argument
    }')
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$(cut -d' ' -f1 <<<"$table")" -- "$cur"))
        return
    fi
    if [[ $prev == -* ]]; then
        case $(awk -v o="$prev" '$1 == o { print $2 }' <<<"$table") in
            "" | -) ;;
            FMT) COMPREPLY=($(compgen -W "csv tsv json xml dat" -- "$cur")); return ;;
            FILE | PATH | AUDIO | DIR) COMPREPLY=($(compgen -f -- "$cur")); return ;;
            *) COMPREPLY=(); return ;;
        esac
    fi
    COMPREPLY=($(compgen -f -- "$cur"))
}

complete -o filenames -o bashdefault -F _vocetta vocetta
