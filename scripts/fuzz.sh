#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (into build-fuzz, or $QPM_FUZZ_BUILD)
# and runs each for SECONDS (default 10). Exits non-zero when any harness
# finds a crash, a hang or a broken property; what broke it is kept as
# <build>/fuzz-artifacts/<harness>-crash-* (replay: <build>/tests/fuzz/fuzz_<harness> FILE).
# Inputs that found new paths accumulate in <build>/fuzz-corpus/<harness>
# and are read again by the next run; the seeds are tests/fuzz/corpus/<harness>.
# Usage: scripts/fuzz.sh [SECONDS] [HARNESS...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
shift || true
build=${QPM_FUZZ_BUILD:-build-fuzz}
all=(base64 ekva ldif conf qpk_info qpf qpk_index)
if [ $# -gt 0 ]; then harnesses=("$@"); else harnesses=("${all[@]}"); fi

launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DQPM_FUZZ=ON -DQPM_BUILD_TESTS=OFF \
    "${launcher[@]}" >/dev/null
cmake --build "$build" --target fuzzers

artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
# Package files are made at run time rather than kept in the tree.
generated="$build/fuzz-seeds/qpf"
mkdir -p "$generated"
"$build/tests/fuzz/make_qpk_seeds" "$generated"

failed=()
for name in "${harnesses[@]}"; do
    corpus="$build/fuzz-corpus/$name"
    mkdir -p "$corpus"
    seeds=(tests/fuzz/corpus/"$name")
    [ "$name" = qpf ] && seeds+=("$generated")
    dict=()
    [ -f "tests/fuzz/$name.dict" ] && dict=(-dict="tests/fuzz/$name.dict")
    echo "fuzz: $name for ${seconds}s"
    # Standard output and error of the readers are closed (libFuzzer keeps
    # its own reports); a run slower than 25 s on one input counts as a hang.
    # libarchive allocates what a cpio header's size field says (up to 4 GiB)
    # before it finds the data missing: such a single allocation is let be.
    if ! "$build/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -malloc_limit_mb=4200 \
            -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$artifacts/$name-" \
            "${dict[@]}" "$corpus" "${seeds[@]}" >"$artifacts/$name.log" 2>&1; then
        failed+=("$name")
        echo "fuzz: $name FAILED; its report:"
        grep -v '^#' "$artifacts/$name.log" | tail -n 40
    else
        grep -E '^(stat::number_of_executed_units|stat::new_units_added)' "$artifacts/$name.log" |
            sed "s/^/fuzz: $name /" || true
    fi
done
echo "fuzz: $((${#harnesses[@]} - ${#failed[@]})) passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
