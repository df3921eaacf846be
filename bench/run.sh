#!/usr/bin/env bash
# run.sh - runs the package-manager comparison (bench.sh) with our tool from a build tree.
#
#   bench/run.sh [-B BUILD_DIR] [bench.sh options and command]
#
# Gathers pqpm, qpm-pack, qpm-adm, qpm-key and qpc-dirs.so of BUILD_DIR (default
# build-bench/ in the repository) into BUILD_DIR/bench-bin, the single directory the hook
# wants, and puts target roots on tmpfs unless ROOTS says otherwise. Everything after the
# options goes to bench.sh unchanged; see bench/README.md.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$REPO/build-bench
if [[ ${1:-} == -B ]]; then
  [[ $# -ge 2 ]] || { echo "run.sh: -B needs a build directory" >&2; exit 2; }
  BUILD=$(cd "$2" && pwd); shift 2
fi
: "${BENCH_PEERS:=$REPO/../shared/bench-peers}"
[[ -x $BENCH_PEERS/bench.sh ]] || { echo "run.sh: no bench.sh in $BENCH_PEERS (set BENCH_PEERS)" >&2; exit 1; }

declare -A built=([pqpm]=pqpm/pqpm [qpm-pack]=qpm-pack/qpm-pack [qpm-adm]=qpm-adm/qpm-adm
                  [qpm-key]=qpm-key/qpm-key [qpc-dirs.so]=qpc-dirs/qpc-dirs.so)
missing=()
for t in "${!built[@]}"; do [[ -f $BUILD/${built[$t]} ]] || missing+=("$t"); done
if [[ ${#missing[@]} -gt 0 ]]; then
  echo "run.sh: $BUILD lacks: ${missing[*]}. Build a release tree first:" >&2
  echo "  cmake -S $REPO -B $BUILD -G Ninja -DCMAKE_BUILD_TYPE=Release" >&2
  echo "  ninja -C $BUILD -j2 pqpm qpm-pack qpm-adm qpm-key qpc-dirs" >&2
  exit 1
fi
mkdir -p "$BUILD/bench-bin"
for t in "${!built[@]}"; do ln -sfn "$BUILD/${built[$t]}" "$BUILD/bench-bin/$t"; done

export QPM_BIN=$BUILD/bench-bin
export OWN_HOOK=$REPO/bench/own-hook.sh
export ROOTS=${ROOTS:-/dev/shm/pmbench-roots}
exec "$BENCH_PEERS/bench.sh" "$@"
