#!/usr/bin/env bash
# Fails when a program's --help and one of its documents disagree on the
# option names (and, with --codes, on the exit codes): either side may be
# rewritten freely, as long as both name the same options.
#
#   help_sync.sh man|text|completion DOCUMENT [--codes] -- PROGRAM...
#
# man: a roff page, options in the tags of its .TP paragraphs; text: a
# plain-text document laid out like the help; completion: a bash completion
# script, compared on the long options it offers. PROGRAM may start with a
# runner such as Wine's.
set -u
export LC_ALL=C
kind=$1 doc=$2
shift 2
codes=0
[ "$1" = --codes ] && codes=1 && shift
[ "$1" = -- ] && shift

# Option names in text whose lines are option definitions.
option_names() { grep -oE -- '(^|[ ,(])--?[A-Za-z][A-Za-z0-9-]*' | sed -E 's/^[ ,(]//' | sort -u; }

# The help's layout: an option definition starts within the first 8 columns;
# its wrapped description lines are indented further. Exit codes are lines
# "  N  text" after the "Exit codes:" line.
help_options() { grep -E '^ {0,8}-' | option_names; }
help_codes() { sed -n '/^Exit codes:/,$p' | sed -nE 's/^ +([0-9]+)  .*/\1/p' | sort; }

# The tag line of every .TP paragraph, without roff's font changes, escapes
# and quotes.
man_tags() {
    awk 'tag { print; tag = 0 } /^\.TP/ { tag = 1 }' |
        sed -E 's/\\f[BIRP]//g; s/\\-/-/g; s/^\.[A-Z]+ ?//; s/"//g'
}
man_options() { man_tags | grep -E '^ *-' | option_names; }
man_codes() { man_tags | sed -nE 's/^ *([0-9]+) *$/\1/p' | sort; }

completion_options() { grep -oE 'compgen -W "--[^"]*"' | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u; }

program="$*"
help=$("$@" --help 2>&1 | tr -d '\r')
document=$(tr -d '\r' <"$doc")
case $kind in
man)
    want=$(help_options <<<"$help")
    have=$(man_options <<<"$document")
    ;;
text)
    want=$(help_options <<<"$help")
    have=$(help_options <<<"$document")
    ;;
completion)
    want=$(help_options <<<"$help" | grep -- '^--')
    have=$(completion_options <<<"$document")
    ;;
*)
    echo "help_sync.sh: unknown kind '$kind'" >&2
    exit 2
    ;;
esac

failures=0
# compare WHAT HELP-SET DOC-SET
compare() {
    if ! grep -q . <<<"$2"; then
        echo "FAIL: no $1 found in the output of '$program --help'; the help's layout changed?"
        failures=$((failures + 1))
        return
    fi
    local only_help only_doc
    only_help=$(comm -23 <(echo "$2") <(echo "$3") | tr '\n' ' ')
    only_doc=$(comm -13 <(echo "$2") <(echo "$3") | tr '\n' ' ')
    if [ -n "$only_help$only_doc" ]; then
        echo "FAIL: $1 differ between --help and $doc"
        [ -n "$only_help" ] && echo "  only in --help: $only_help"
        [ -n "$only_doc" ] && echo "  only in $(basename "$doc"): $only_doc"
        failures=$((failures + 1))
    else
        echo "ok: $1 agree:" $2
    fi
}
compare "option names" "$want" "$have"
if [ $codes -eq 1 ]; then
    if [ "$kind" = man ]; then have=$(man_codes <<<"$document"); else have=$(help_codes <<<"$document"); fi
    compare "exit codes" "$(help_codes <<<"$help")" "$have"
fi
[ $failures -eq 0 ]
