#!/usr/bin/env bash
# A short demonstration in a demo root under the build tree: bootstrap an
# inventory, add a signer, build the example packages, install one with its
# dependency, look at what was installed and at the action log, and run the
# installed program inside the root.  Usage: scripts/demo.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath -m "${1:-build}")

cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target pqpm qpm-key qpm-adm qpm-pack qpc-dirs >/dev/null

root=$build/demo-root
work=$build/demo-work
rm -rf "$root" "$work"
mkdir -p "$work/repo"

step() { printf '\n== %s\n' "$*"; }
in_root() { env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C HOME="$work" QPM_ROOT="$root" "$@"; }

step "Bootstrap an inventory in $root, with the catalogue plug-in serving $work/repo"
in_root "$build/qpm-adm/qpm-adm" -B -f \
  -o "qpm_busybox=/bin/busybox,qpc_plugin=$build/qpc-dirs/qpc-dirs.so,qpc_dirs=$work/repo"
in_root "$build/qpm-adm/qpm-adm" -L

step "Make a signer and add its certificate to the keystore"
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Demo Signer/emailAddress=demo@quendari.example" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
in_root "$build/qpm-key/qpm-key" -A "$work/cert.pem" -f
in_root "$build/qpm-key/qpm-key" -L

step "Build the example packages with qpm-pack"
for p in libgreet hello fonts-demo; do
  "$build/qpm-pack/qpm-pack" -k "$work/key.pem" -c "$work/cert.pem" -o "$work/repo" "examples/$p"
done

step "pqpm install hello (it needs libgreet)"
in_root "$build/pqpm/pqpm" install -o verbose=yes hello

step "What was installed"
ls "$root/var/lib/qpm/installed"
for p in libgreet hello; do
  echo "-- $p: inst.txt"; cat "$root/var/lib/qpm/installed/$p/inst.txt"
  echo "-- $p: files"; cat "$root/var/lib/qpm/fileindex/$p"
done

step "The action log"
cat "$root/var/lib/qpm/install.log"

step "A second install is refused politely"
in_root "$build/pqpm/pqpm" install hello

if [ "$(id -u)" = 0 ]; then
  step "Run the installed program inside the root"
  chroot "$root" /var/lib/qpm/scriptdir/ash /usr/bin/hello Quendari
  echo "-- markers left by the package scripts:"
  cat "$root/etc/hello.pre-install" "$root/etc/hello.post-install" "$root/etc/hello.configured"
else
  step "Not root: package scripts and the program need chroot; run the demo as root to see them"
fi
