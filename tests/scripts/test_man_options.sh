#!/usr/bin/env bash
# Keeps the manual pages in step with the programs: every option and option
# key a program's help shows is in its page (as *-x*, *--name* or *key*), and
# every option a page shows for qpm-key, qpm-adm and qpm-pack is one that the
# program's help knows.
# Usage: test_man_options.sh MAN_DIR PQPM QPM_KEY QPM_ADM QPM_PACK [QPM]
set -uo pipefail
man=$1 pqpm=$2 qpm_key=$3 qpm_adm=$4 qpm_pack=$5 qpm=${6:-}
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Options in a help text: -x or --name after a blank, '[', '|', ',' or '('.
options_of() {
    grep -oE -- "(^|[][[:space:]|,(])--?[A-Za-z][A-Za-z0-9-]*" | sed 's/^[^-]//' | sort -u
}
# Option keys in a help text: "  key            : what it does".
keys_of() {
    sed -nE 's/^  ([a-z_]+) +: .*/\1/p' | sort -u
}

# in_page PAGE WORD...: each WORD is shown bold in the page source.
in_page() {
    local page=$man/$1 word
    shift
    local text
    text=$(<"$page")
    for word in "$@"; do
        [[ $text == *"*$word*"* ]] || fail "${page##*/} lacks *$word*"
    done
}

# help_of NAME COMMAND...: the command's output (both streams); a failure is
# reported.
help_of() {
    local name=$1 out
    shift
    out=$("$@" 2>&1) || fail "$name: \"$*\" failed: $out"
    printf '%s\n' "$out"
}

# Both ways for the tools whose help lists every option.
both_ways() {
    local page=$1 known word
    known=" $(options_of <<<"$2" | tr '\n' ' ') "
    # shellcheck disable=SC2086
    in_page "$page" $known
    for word in $(grep -oE -- '\*--?[A-Za-z][A-Za-z0-9-]*\*' "$man/$page" | tr -d '*' | sort -u); do
        [[ $known == *" $word "* ]] || fail "$page shows $word, which the help does not know"
    done
}

both_ways qpm-key.8.scd "$(help_of qpm-key "$qpm_key" --help)"
both_ways qpm-adm.8.scd "$(help_of qpm-adm "$qpm_adm" --help)"
both_ways qpm-pack.1.scd "$(help_of qpm-pack "$qpm_pack" --help)"
# shellcheck disable=SC2046
in_page qpm-adm.8.scd $(help_of qpm-adm "$qpm_adm" -o help | keys_of)

# pqpm answers only those who may use it.
if "$pqpm" allowed 2>/dev/null; then
    for action in install upgrade refresh cleanup; do
        # shellcheck disable=SC2046
        in_page pqpm.8.scd "$action" $(help_of pqpm "$pqpm" "$action" -o help | keys_of)
    done
else
    echo "SKIP: pqpm refuses this user; its option help is not compared"
fi

if [ -n "$qpm" ]; then
    # shellcheck disable=SC2046
    in_page qpm.8.scd $(help_of qpm "$qpm" --help | options_of)
    for command in $(sed -n '/^# COMMANDS/,/^# OPTIONS/s/^\*\([a-z]*\)\*.*/\1/p' "$man/qpm.8.scd"); do
        # shellcheck disable=SC2046
        in_page qpm.8.scd $(help_of "qpm $command" "$qpm" "$command" --help | options_of)
    done
fi

if [ "$failures" -ne 0 ]; then
    echo "test_man_options: $failures difference(s) between the help texts and the pages"
    exit 1
fi
echo "test_man_options: the pages show every option the programs know"
