# Bash completion for tavrin-merge, tavrin-transcode and tavrin-probe.
# Option names, format names and frame sizes are asked of the program being
# completed, so they always match its version.

# Option names from the program's --help.
_tavrin_options() {
    "$1" --help 2>/dev/null | grep -oE '(^|[ ,[|])--?[a-z][a-z-]*' | tr -d ' ,[|' | sort -u
}

# The value of an option given earlier on the line ("--format X" or "--format=X").
_tavrin_given() {
    local option=$1 i word
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $word == "$option" ]]; then
            # Bash splits "--format=X" into "--format", "=" and "X".
            [[ ${COMP_WORDS[i + 1]} == "=" ]] && ((i++))
            printf '%s\n' "${COMP_WORDS[i + 1]}"
            return
        fi
        if [[ $word == "$option="* ]]; then
            printf '%s\n' "${word#*=}"
            return
        fi
    done
}

_tavrin_merge() {
    local program=${COMP_WORDS[0]/#\~/$HOME} cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]} words format
    COMPREPLY=()
    if [[ $prev == "=" ]]; then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi
    case $prev in
        --format | --list-sizes)
            # The table's first column, between its header and the blank line
            # before a note.
            words=$("$program" --list-formats 2>/dev/null | awk 'NR > 1 && NF == 0 { exit } NR > 1 { print $1 }')
            ;;
        --size)
            format=$(_tavrin_given --format)
            # Without --format the stored format applies; the long list fits
            # every format but 3GP.
            words=$("$program" --list-sizes "${format:-MP4}" 2>/dev/null |
                awk '{ print $1 } NF > 2 && $1 != "Auto" { print $NF }')
            ;;
        --quality | --fade-out)
            words="0 1 2 3 4 5 6 7 8 9 10"
            ;;
        --video-sound)
            words="0 10 20 25 30 40 50 60 70 75 80 90 100"
            ;;
        --out)
            mapfile -t COMPREPLY < <(compgen -d -- "$cur")
            return
            ;;
        *)
            if [[ $cur == -* ]]; then
                words=$(_tavrin_options "$program")
            else
                return # files: the default completion
            fi
            ;;
    esac
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
}

_tavrin_transcode() {
    local program=${COMP_WORDS[0]/#\~/$HOME} cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]} words
    COMPREPLY=()
    case $prev in
        -loglevel | -v)
            words="quiet panic fatal error warning info verbose debug"
            ;;
        *)
            [[ $cur == -* ]] || return
            words=$(_tavrin_options "$program")
            ;;
    esac
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
}

_tavrin_probe() {
    local program=${COMP_WORDS[0]/#\~/$HOME} cur=${COMP_WORDS[COMP_CWORD]}
    COMPREPLY=()
    [[ $cur == -* ]] || return
    mapfile -t COMPREPLY < <(compgen -W "$(_tavrin_options "$program")" -- "$cur")
}

complete -o default -F _tavrin_merge tavrin-merge
complete -o default -F _tavrin_transcode tavrin-transcode
complete -o default -F _tavrin_probe tavrin-probe
