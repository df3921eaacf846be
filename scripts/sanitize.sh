#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer
# (into build-asan, or the directory given) and runs the whole test suite;
# any memory error or undefined behaviour fails the test that caused it.
# Usage: scripts/sanitize.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-asan}
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B "$build" -G Ninja -DQPM_SANITIZE=address,undefined "${launcher[@]}" >/dev/null
cmake --build "$build"
# Programs the tests start inherit these; a report ends the program with a failure.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=0:detect_stack_use_after_return=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$build"
# Left out: the crash test runs pqpm under ptrace (strace) and the
# set-user-id tests run it set-user-id in a namespace with a clean
# environment; LeakSanitizer cannot work in either and stops the program.
LC_ALL=C ctest --output-on-failure -j"$(nproc)" -E 'CrashTest\.|PqpmSetuidRoot\.'

