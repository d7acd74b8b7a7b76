#!/usr/bin/env bash
# What bash offers, one per line, for Tab at the end of LINE, with the
# completion SCRIPT loaded.   complete_line.sh SCRIPT LINE
source "$1" || exit 1
line=$2 command=${2%% *}
spec=$(complete -p "${command##*/}") || exit 1
function=${spec##* -F } && function=${function%% *}
COMP_LINE=$line COMP_POINT=${#line}
read -ra COMP_WORDS <<<"$line"
[[ $line == *" " ]] && COMP_WORDS+=("")
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
"$function" "$command" "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
printf '%s\n' "${COMPREPLY[@]}"
