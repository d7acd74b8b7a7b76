#!/usr/bin/env bash
# Prints what bash offers, one per line, when Tab is pressed at the end of
# LINE, with the completion SCRIPT loaded the way bash-completion loads it.
#   complete_line.sh SCRIPT LINE
script=$1 line=$2
# shellcheck disable=SC1090
source "$script" || exit 1
command=${line%% *}
spec=$(complete -p "${command##*/}" 2>/dev/null) || {
    echo "complete_line.sh: $script registers no completion for ${command##*/}" >&2
    exit 1
}
function=$(sed -nE 's/.* -F ([^ ]+) .*/\1/p' <<<"$spec")
COMP_LINE=$line
COMP_POINT=${#line}
read -ra COMP_WORDS <<<"$line"
[[ $line == *" " ]] && COMP_WORDS+=("")
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
COMPREPLY=()
"$function" "$command" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
printf '%s\n' "${COMPREPLY[@]}"
