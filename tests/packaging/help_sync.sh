#!/usr/bin/env bash
# Fails when a program's --help and a document of it name different options
# (with --codes: different exit codes), whatever the wording of either.
#   help_sync.sh man|text|completion DOCUMENT [--codes] -- PROGRAM...
# man: a roff page, options in its .TP tags; text: laid out like the help;
# completion: a bash completion, its long options. PROGRAM may start with a
# runner such as Wine's.
set -u
export LC_ALL=C
kind=$1 doc=$2 codes=
shift 2
[ "$1" = --codes ] && codes=1 && shift
shift

names() { grep -oE -- '(^|[ ,(])--?[A-Za-z][A-Za-z0-9-]*' | sed -E 's/^[ ,(]//' | sort -u; }
# In the help an option's definition starts within 8 columns; its wrapped
# description is indented further. Exit codes: "  N  text" after "Exit codes:".
help_options() { grep -E '^ {0,8}-' | names; }
help_codes() { sed -n '/^Exit codes:/,$p' | sed -nE 's/^ +([0-9]+)  .*/\1/p' | sort; }
# The tag line of every .TP paragraph, without font changes, escapes and quotes.
man_tags() { awk 'tag { print; tag = 0 } /^\.TP/ { tag = 1 }' | sed -E 's/\\f[BIRP]//g; s/\\-/-/g; s/^\.[A-Z]+ ?//; s/"//g'; }

program=$*
help=$("$@" --help 2>&1 | tr -d '\r')
text=$(tr -d '\r' <"$doc")
case $kind in
man) want=$(help_options <<<"$help") have=$(man_tags <<<"$text" | grep -E '^ *-' | names)
    have_codes=$(man_tags <<<"$text" | sed -nE 's/^ *([0-9]+) *$/\1/p' | sort) ;;
text) want=$(help_options <<<"$help") have=$(help_options <<<"$text") have_codes=$(help_codes <<<"$text") ;;
completion) want=$(help_options <<<"$help" | grep -- '^--')
    have=$(grep -oE 'compgen -W "--[^"]*"' <<<"$text" | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u) ;;
esac

failures=0
compare() { # WHAT IN-HELP IN-DOCUMENT
    if [ -z "$2" ]; then
        echo "FAIL: no $1 in the output of '$program --help': has its layout changed?"
    elif [ "$2" != "$3" ]; then
        echo "FAIL: $1 differ; only in --help: $(comm -23 <(echo "$2") <(echo "$3") | xargs);" \
            "only in $(basename "$doc"): $(comm -13 <(echo "$2") <(echo "$3") | xargs)"
    else
        echo "ok: the same $1:" $2
        return
    fi
    failures=$((failures + 1))
}
compare "option names" "$want" "$have"
[ -n "$codes" ] && compare "exit codes" "$(help_codes <<<"$help")" "$have_codes"
[ $failures -eq 0 ]
