#!/usr/bin/env bash
# Kills pqpm at each mutating system call of an install and of an upgrade,
# re-runs the same command until it succeeds, and compares the root with the
# one an uninterrupted run leaves: the same files, modes, links and
# contents, the same records and action-log lines (times left out) and the
# same effects of the configure scripts and hooks.
#
# The points are found by tracing one uninterrupted run (pqpm itself, not
# the scripts it starts): every write to a file, every open for writing,
# rename, unlink, mkdir, rmdir, link, chmod, truncate, sync and fork. Point
# i is the n-th call of its system call, and a run is killed there with
# `strace -e inject=CALL:signal=SIGKILL:when=n`.
#
# Usage: scripts/crash-test.sh [--sample[=K]] [--action=install|upgrade|all]
#                              [--keep] [BUILD_DIR]
#   --sample   every K-th point (default: about 30 points per action, two
#              minutes in all), for CI; without it every point.
# Needs root (package scripts run chrooted) and strace, else ends with
# status 77 (skipped). Ends with the line "crash test: tried N points, M
# converged"; status 0 when all converged.
set -euo pipefail
cd "$(dirname "$0")/.."

sample=0
action=all
keep=0
build=build
for arg in "$@"; do
  case $arg in
    --sample) sample=auto ;;
    --sample=*) sample=${arg#--sample=} ;;
    --action=*) action=${arg#--action=} ;;
    --keep) keep=1 ;;
    -*) echo "crash-test: unknown option $arg" >&2; exit 2 ;;
    *) build=$arg ;;
  esac
done
build=$(realpath -m "$build")

if [ "$(id -u)" != 0 ]; then
  echo "crash-test: needs root (package scripts run chrooted)" >&2
  exit 77
fi
command -v strace >/dev/null || { echo "crash-test: needs strace" >&2; exit 77; }
for tool in pqpm/pqpm qpm-adm/qpm-adm qpm-key/qpm-key qpm-pack/qpm-pack qpc-dirs/qpc-dirs.so; do
  [ -e "$build/$tool" ] || { echo "crash-test: no $build/$tool (build first)" >&2; exit 2; }
done

work=$(mktemp -d "$build/crash-test.XXXXXX")
cleanup() { [ "$keep" = 1 ] || rm -rf "$work"; }
trap cleanup EXIT
repo=$work/repo
mkdir -p "$repo" "$work/src"

in_root() { # ROOT PROGRAM ARGS...
  local root=$1
  shift
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C HOME="$work" QPM_ROOT="$root" "$@"
}
pqpm() { local root=$1; shift; in_root "$root" "$build/pqpm/pqpm" "$@"; }

# --- packages: two versions of a program with a dependency, scripts, a
# configuration file and a library with its link; version 2 adds a
# dependency and drops a file.
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Crash Test/emailAddress=crash@quendari.example" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
make_sources() { # VERSION DIR
  local v=$1 dir=$2
  cp -r examples/hello examples/libgreet "$dir/"
  sed -i "s/^version=.*/version=$v/" "$dir/hello/qpk.conf" "$dir/libgreet/qpk.conf"
  echo "greeting=$v" >>"$dir/hello/conf/etc/hello.conf"
  mkdir -p "$dir/hello/data/usr/share/doc/hello"
  echo "$v" >"$dir/hello/data/usr/share/hello-version"
  if [ "$v" = 1.0 ]; then
    echo "dropped in 2.0" >"$dir/hello/data/usr/share/doc/hello/OLD"
  else
    echo "new in 2.0" >"$dir/hello/data/usr/share/doc/hello/NEW"
    sed -i 's/^depends=.*/depends=libgreet,greet-data/' "$dir/hello/qpk.conf"
    mkdir -p "$dir/greet-data/data/usr/share/greet" "$dir/greet-data/init"
    printf 'name=greet-data\nversion=2.0\narchitecture=any\ncreator=Quendari examples\ndescription="Greetings"\n' \
      >"$dir/greet-data/qpk.conf"
    echo "hello" >"$dir/greet-data/data/usr/share/greet/words"
    echo 'echo "configured $QPK_NAME $QPK_VERSION" > /etc/greet-data.configured' >"$dir/greet-data/init/99-cfg.sh"
  fi
}
for v in 1.0 2.0; do
  mkdir -p "$work/src/$v" "$work/pkgs-$v"
  make_sources "$v" "$work/src/$v"
  for p in "$work/src/$v"/*; do
    "$build/qpm-pack/qpm-pack" -k "$work/key.pem" -c "$work/cert.pem" -o "$work/pkgs-$v" "$p" >/dev/null
  done
done

# --- the root every run starts from: an inventory, the signer, a hook.
template=$work/template
in_root "$template" "$build/qpm-adm/qpm-adm" -B -f \
  -o "qpm_busybox=/bin/busybox,qpc_plugin=$build/qpc-dirs/qpc-dirs.so,qpc_dirs=$repo" >/dev/null 2>&1
in_root "$template" "$build/qpm-key/qpm-key" -A "$work/cert.pem" -f >/dev/null 2>&1
mkdir -p "$template/etc/qpm/hooks.d"
cat >"$template/etc/qpm/hooks.d/mark.qph" <<'EOF'
dn: eqphName=mark
eqphName: mark
eqphType: 99-cfg
eqphCond: data:/usr/*
eqphExec: /var/lib/qpm/scriptdir/ash -c 'echo hooked > /etc/hooked.${eqpkName}'
EOF

# The listing a comparison uses: every path with its type, mode, owner and
# link target; the contents of regular files; records and the action log
# without their times. The program's own log and the lock file are left out.
snapshot() { # ROOT
  local r=$1
  (
    cd "$r"
    find . \( -path ./var/log -o -path ./var/lib/qpm/lock \) -prune -o -printf '%p %y %m %U:%G %l\n' | LC_ALL=C sort
    find . \( -path ./var/log -o -path ./var/lib/qpm/lock -o -path ./var/lib/qpm/install.log \
      -o -path './var/lib/qpm/installed/*/inst.txt' \) -prune -o -type f -print0 | LC_ALL=C sort -z | xargs -0 -r sha1sum
    for f in var/lib/qpm/installed/*/inst.txt; do
      [ -e "$f" ] || continue
      echo "== $f"
      sed -E 's/^(eqpkInstallTime|eqpkUpdateTime): .*/\1: T/' "$f"
    done
    echo "== install.log"
    [ -e var/lib/qpm/install.log ] && sed -E 's/^[0-9-]+ [0-9:]+: //' var/lib/qpm/install.log
    true
  )
}

calls=write,pwrite64,writev,openat,rename,renameat,renameat2,unlink,unlinkat,mkdir,mkdirat,rmdir,symlink,symlinkat
calls=$calls,link,linkat,chmod,fchmod,fchmodat,fchown,fchownat,ftruncate,truncate,syncfs,fsync,fdatasync
calls=$calls,clone,clone3,vfork,fork

# The points of one traced run: "CALL N" per mutating call, in order. Writes
# to standard output and error and opens for reading change nothing.
points() { # TRACE
  awk '
    { call = $0; sub(/\(.*/, "", call); n[call]++ }
    /^(write|pwrite64|writev)\([012],/ { next }
    /^openat\(/ && !/O_WRONLY|O_RDWR|O_CREAT/ { next }
    /^[a-z0-9_]+\(/ { print call, n[call] }
  ' "$1"
}

tried=0
converged=0
not_killed=0
failed_points=()

run_action() { # NAME PREPARE COMMAND...
  local name=$1 prepare=$2
  shift 2
  local base=$work/$name-base
  cp -a "$template" "$base"
  rm -rf "$repo" && mkdir -p "$repo"
  "$prepare" "$base"

  # The uninterrupted run, traced.
  local ref=$work/$name-ref
  cp -a "$base" "$ref"
  strace -qq -o "$work/$name.trace" -e trace="$calls" -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C \
    HOME="$work" QPM_ROOT="$ref" "$build/pqpm/pqpm" "$@" >"$work/$name-ref.out" 2>&1 || {
    cat "$work/$name-ref.out"
    echo "crash-test: the uninterrupted $name failed" >&2
    exit 1
  }
  snapshot "$ref" >"$work/$name-ref.snap"
  mapfile -t all < <(points "$work/$name.trace")
  local step=1
  if [ "$sample" = auto ]; then
    step=$(((${#all[@]} + 29) / 30))
  elif [ "$sample" != 0 ]; then
    step=$sample
  fi
  echo "crash test: $name: ${#all[@]} points, trying every ${step}th" >&2

  local i run
  for ((i = 0; i < ${#all[@]}; i += step)); do
    read -r call nth <<<"${all[$i]}"
    run=$work/$name-run
    rm -rf "$run"
    cp -a "$base" "$run"
    # In a shell of its own, which reports the kill to /dev/null.
    (
      status=0
      strace -qq -o /dev/null -e trace="$call" -e inject="$call:signal=SIGKILL:when=$nth" -- env -i \
        PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C HOME="$work" QPM_ROOT="$run" "$build/pqpm/pqpm" "$@" \
        >"$work/killed.out" 2>&1 || status=$?
      echo "$status" >"$work/killed.status"
    ) 2>/dev/null
    # strace ends as its tracee did: 128 + 9 after the kill.
    [ "$(cat "$work/killed.status")" = 137 ] || not_killed=$((not_killed + 1))
    local again=0 ok=0
    while [ $again -lt 4 ]; do
      again=$((again + 1))
      if pqpm "$run" "$@" >"$work/rerun.out" 2>&1; then
        ok=1
        break
      fi
    done
    tried=$((tried + 1))
    if [ $ok = 1 ] && snapshot "$run" | cmp -s - "$work/$name-ref.snap"; then
      converged=$((converged + 1))
    else
      failed_points+=("$name@$call:$nth")
      echo "crash test: $name killed at $call #$nth (point $((i + 1))) did not converge" >&2
      if [ "$keep" = 1 ]; then
        cp -a "$run" "$work/failed-$name-$call-$nth"
        snapshot "$run" | diff "$work/$name-ref.snap" - | head -20 >&2 || true
        tail -5 "$work/rerun.out" >&2
      fi
    fi
  done
}

prepare_install() { cp "$work/pkgs-1.0"/*.qpk "$repo/"; }
prepare_upgrade() {
  cp "$work/pkgs-1.0"/*.qpk "$repo/"
  pqpm "$1" install hello >/dev/null 2>&1
  rm -f "$repo"/*.qpk
  cp "$work/pkgs-2.0"/*.qpk "$repo/"
}

started=$SECONDS
case $action in
  install) run_action install prepare_install install hello ;;
  upgrade) run_action upgrade prepare_upgrade upgrade ;;
  all)
    run_action install prepare_install install hello
    run_action upgrade prepare_upgrade upgrade
    ;;
  *) echo "crash-test: unknown action $action" >&2; exit 2 ;;
esac
[ "$not_killed" = 0 ] || echo "crash test: $not_killed runs ended before their point" >&2
echo "crash test: tried $tried points, $converged converged ($((SECONDS - started)) s)"
[ "$tried" = "$converged" ]
