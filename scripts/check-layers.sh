#!/usr/bin/env bash
# The areas of lib/ build one way: util -> record -> ui -> package -> engine.
# A file may include its own area and the areas before it, never one after.
# Fails, naming every offending line, when an include runs upward or a
# source file stands in an area this list does not know.
# Usage: scripts/check-layers.sh [LIB_DIR]   (default: the lib/ of this tree)
set -euo pipefail
if [ $# -eq 0 ]; then
    cd "$(dirname "$0")/.."
    set -- lib
fi
lib=$1
lib=${lib%/}
[ -d "$lib" ] || { echo "check-layers: no directory $lib" >&2; exit 2; }
layers="util record ui package engine"

# Every source file with its includes of the form "area/...", one per line:
# path:line:text (a file without such an include still gets a line, so that
# its area is checked).
{
    find "$lib" -mindepth 2 -type f \( -name '*.h' -o -name '*.cpp' \) -printf '%p:0:\n'
    grep -rnE --include='*.h' --include='*.cpp' \
        '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' "$lib" || true
} | LC_ALL=C sort -t: -k1,1 -k2,2n | awk -v lib="$lib" -v layers="$layers" '
BEGIN {
    n = split(layers, names, " ")
    for (i = 1; i <= n; i++) {
        rank[names[i]] = i
        order = order (i > 1 ? " -> " : "") names[i]
    }
}
{
    split($0, parts, ":")
    path = parts[1]
    line = parts[2]
    text = substr($0, length(path) + length(line) + 3)
    area = substr(path, length(lib) + 2)
    sub(/\/.*/, "", area)
    if (!(area in rank)) {
        if (!(path in told)) {
            print path ": area \"" area "\" is not one of: " layers
            told[path] = 1
        }
        bad = 1
        next
    }
    if (line == 0)
        next
    target = text
    sub(/^[[:space:]]*#[[:space:]]*include[[:space:]]*"/, "", target)
    sub(/\/.*/, "", target)
    if ((target in rank) && rank[target] > rank[area]) {
        print path ":" line ": " area " includes " target " (upward): " text
        bad = 1
    }
}
END {
    if (bad) {
        print "check-layers: includes must run " order " (an area includes only itself and those before it)"
        exit 1
    }
    print "check-layers: every include in " lib " runs one way (" order ")"
}'
