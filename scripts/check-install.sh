#!/usr/bin/env bash
# Installs a built tree twice into temporary directories (cmake --install
# --prefix P, then DESTDIR=D with the configured prefix) and checks each:
# programs, core library and plug-in where they belong, manual pages and bash
# completion, pqpm set-user-id, no
# run path into the build or source tree, and the installed programs run with
# the build tree's core library out of reach.
# Usage: scripts/check-install.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd -P)
build=$(realpath "${1:-build}")

cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
prefix=$(cache_value CMAKE_INSTALL_PREFIX)
libdir=$(cache_value CMAKE_INSTALL_LIBDIR)
bindir=$(cache_value CMAKE_INSTALL_BINDIR)
[ -n "$prefix" ] && [ -n "$libdir" ] && [ -n "$bindir" ] || {
    echo "check-install: $build is not a configured build tree" >&2
    exit 2
}
# GNUInstallDirs leaves these empty in the cache until set: then they derive
# from the data root.
datarootdir=$(cache_value CMAKE_INSTALL_DATAROOTDIR)
mandir=$(cache_value CMAKE_INSTALL_MANDIR)
mandir=${mandir:-${datarootdir:-share}/man}
datadir=$(cache_value CMAKE_INSTALL_DATADIR)
datadir=${datadir:-${datarootdir:-share}}
scdoc=$(cache_value SCDOC_EXECUTABLE)
full_libdir=$libdir
[ "${libdir#/}" != "$libdir" ] || full_libdir=$prefix/$libdir
programs=(pqpm qpm qpm-key qpm-adm qpm-pack)

scratch=$(mktemp -d)
aside=$scratch/aside
mkdir "$aside"
restore() {
    # The build tree's core library comes back whatever happened.
    if compgen -G "$aside/libqpm.so*" >/dev/null; then
        mv "$aside"/libqpm.so* "$build/lib/"
    fi
    rm -rf "$scratch"
}
trap restore EXIT

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# check_tree ROOT: ROOT is where the prefix's bin/ and lib/ landed.
check_tree() {
    local root=$1 f paths
    for f in "${programs[@]}"; do
        [ -x "$root/$bindir/$f" ] || fail "$root/$bindir/$f missing or not executable"
    done
    [ -u "$root/$bindir/pqpm" ] || fail "$root/$bindir/pqpm is not set-user-id"
    for f in "${programs[@]}"; do
        [ "$f" = pqpm ] || [ ! -u "$root/$bindir/$f" ] || fail "$root/$bindir/$f is set-user-id"
    done
    compgen -G "$root/$libdir/libqpm.so.*" >/dev/null || fail "no $root/$libdir/libqpm.so.*"
    [ -e "$root/$libdir/libqpm.so" ] || fail "no $root/$libdir/libqpm.so"
    [ -f "$root/lib/qpm/qpc-dirs.so" ] || fail "no plug-in $root/lib/qpm/qpc-dirs.so"
    # Manual pages when the build found scdoc; bash completion always.
    if [ -n "$scdoc" ] && [ "${scdoc%NOTFOUND}" = "$scdoc" ]; then
        for f in man8/pqpm.8 man8/qpm.8 man8/qpm-key.8 man8/qpm-adm.8 man1/qpm-pack.1 man5/qpm.conf.5; do
            [ -s "$root/$mandir/$f" ] || fail "no manual page $root/$mandir/$f"
        done
    fi
    for f in pqpm qpm qpm-key qpm-adm; do
        grep -q "^complete -F .* $f\$" "$root/$datadir/bash-completion/completions/$f" 2>/dev/null ||
            fail "no bash completion $root/$datadir/bash-completion/completions/$f"
    done

    for f in "$root/$bindir"/* "$root/$libdir"/libqpm.so.* "$root/lib/qpm"/*.so; do
        [ -f "$f" ] && [ ! -L "$f" ] || continue
        paths=$(readelf -d "$f" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')
        case ":$paths:" in
        *"$build"* | *"$src"*) fail "$f carries a build or source path in its run path: $paths" ;;
        esac
    done
    paths=$(readelf -d "$root/$bindir/pqpm" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')
    [ "$paths" = "$full_libdir" ] ||
        fail "pqpm's run path is \"$paths\", not the installed library directory $full_libdir"
}

# run_tree ROOT: the installed programs run on the installed core library.
run_tree() {
    local root=$1 out status
    if ! out=$("$root/$bindir/qpm-adm" -o help 2>&1); then
        fail "$root/$bindir/qpm-adm -o help failed: $out"
    fi
    local found
    found=$(ldd "$root/$bindir/qpm-adm" | sed -n 's/^[[:space:]]*libqpm\.so[^ ]* => \([^ ]*\) .*/\1/p')
    [ -n "$found" ] && [ "$(realpath "$found")" = "$(realpath "$root/$libdir/libqpm.so.2")" ] ||
        fail "$root/$bindir/qpm-adm loads \"$found\", not $root/$libdir/libqpm.so.2"
    # pqpm finds the library by its absolute run path only; below a temporary
    # root it is shown the way explicitly.
    status=0
    out=$(LD_LIBRARY_PATH="$root/$libdir" "$root/$bindir/pqpm" 2>&1) || status=$?
    if [ "$status" -ne 1 ] || ! grep -q '^Usage: pqpm' <<<"$out"; then
        fail "$root/$bindir/pqpm without arguments: status $status (want 1 with its usage): $out"
    fi
    if [ "$(id -u)" -eq 0 ]; then
        LD_LIBRARY_PATH="$root/$libdir" "$root/$bindir/pqpm" allowed ||
            fail "$root/$bindir/pqpm allowed failed for root"
    fi
}

p=$scratch/prefix
cmake --install "$build" --prefix "$p" >/dev/null
d=$scratch/destdir
DESTDIR=$d cmake --install "$build" >/dev/null

check_tree "$p"
check_tree "$d$prefix"

# The build tree's core library out of reach for the runs.
mv "$build/lib"/libqpm.so* "$aside/"
run_tree "$p"
run_tree "$d$prefix"

if [ "$failures" -ne 0 ]; then
    echo "check-install: $failures check(s) failed"
    exit 1
fi
echo "check-install: --prefix and DESTDIR installs are complete, carry no build path and run"
