#!/usr/bin/env bash
# Runs scripts/check-layers.sh on small made-up trees: a clean tree passes,
# an upward include or an unknown area fails and names the offending line.
# Usage: test_check_layers.sh PATH_TO_CHECK_LAYERS_SH
set -uo pipefail
check=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

# expect NAME WANT_STATUS WANT_TEXT: runs the check on $scratch/NAME/lib.
expect() {
    local out status
    out=$("$check" "$scratch/$1/lib" 2>&1)
    status=$?
    if [ "$status" -ne "$2" ] || ! grep -qF -- "$3" <<<"$out"; then
        echo "FAIL $1: status $status (want $2), output lacks \"$3\":"
        echo "$out"
        failures=$((failures + 1))
    fi
}

tree() {
    mkdir -p "$scratch/$1/lib"/{util,record,ui,package,engine}
}

tree clean
printf '#include "util/a.h"\n#include <vector>\n' >"$scratch/clean/lib/util/b.h"
printf '#include "record/r.h"\n#include "util/a.h"\n' >"$scratch/clean/lib/ui/u.cpp"
printf '#include "engine/e.h"\n#include "package/p.h"\n#include "local.h"\n' >"$scratch/clean/lib/engine/x.cpp"
touch "$scratch/clean/lib/CMakeLists.txt"
expect clean 0 "runs one way (util -> record -> ui -> package -> engine)"

tree upward
printf '#include "util/a.h"\n  #  include "engine/inventory.h"\n' >"$scratch/upward/lib/package/qpf.h"
printf '// #include "ui/ui.h" in a comment does not count\n' >"$scratch/upward/lib/util/c.h"
expect upward 1 "upward/lib/package/qpf.h:2: package includes engine (upward)"
if "$check" "$scratch/upward/lib" 2>&1 | grep -q 'util/c.h'; then
    echo "FAIL upward: a commented include was reported"
    failures=$((failures + 1))
fi

tree neighbour
printf '#include "ui/ui.h"\n' >"$scratch/neighbour/lib/record/r.cpp"
expect neighbour 1 "neighbour/lib/record/r.cpp:1: record includes ui (upward)"

tree unknown
mkdir -p "$scratch/unknown/lib/extra"
printf '#include "util/a.h"\n' >"$scratch/unknown/lib/extra/x.cpp"
expect unknown 1 "unknown/lib/extra/x.cpp: area \"extra\" is not one of"

expect missing 2 "no directory"

[ "$failures" -eq 0 ] && echo "check-layers: all cases behave"
exit $((failures > 0))
