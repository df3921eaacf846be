# own-hook.sh - our tool as a peer of bench.sh (sourced by it; not run on its own).
#
# bench.sh hands every peer the same content, one plain directory per package:
#   SETDIR/<pkg>/name      package name            SETDIR/<pkg>/deps   one dependency per line
#   SETDIR/<pkg>/version   version text            SETDIR/<pkg>/data/  tree to appear under the root
#   SETDIR/ORDER           package names, dependencies first
# and asks for four things (ROOT is a scratch directory that bench.sh owns):
#   own_available                 0 when the tool can run here
#   own_build   SETDIR OUTDIR     one package file per content dir into OUTDIR   (untimed)
#   own_prepare ROOT              fresh, empty system root with an empty inventory (untimed)
#   own_install ROOT PKGDIR       install every package of PKGDIR into ROOT       (TIMED)
# BENCH_SCENARIO (many|big|upgrade) and BENCH_PHASE (pre|timed) are exported while
# own_prepare/own_install run: in 'upgrade', the v1 set is installed in phase 'pre' and the
# timed call must update it to v2.
#
# QPM_BIN is one directory holding pqpm, qpm-pack, qpm-adm, qpm-key and qpc-dirs.so
# (bench/run.sh makes one of symbolic links into a build tree). See bench/README.md.

: "${QPM_BIN:=}"
: "${BUSYBOX:=/bin/busybox}"

own_tools_present() {
  [[ -n $QPM_BIN ]] || return 1
  local t; for t in pqpm qpm-pack qpm-adm qpm-key; do [[ -x $QPM_BIN/$t ]] || return 1; done
  [[ -f $QPM_BIN/qpc-dirs.so && -x $BUSYBOX ]] && command -v openssl >/dev/null
}

# pqpm answers an action it does not have yet with "... is not available in this build yet".
# Asked afresh on a throw-away root each time, so the upgrade scenario starts counting by
# itself on the day the action exists.
own_has_upgrade() {
  local probe="$WORK/own/probe" out
  own_prepare_root "$probe" || return 1
  out=$(QPM_ROOT=$probe HOME=$probe/root "$QPM_BIN/pqpm" upgrade </dev/null 2>&1 >/dev/null || true)
  rm -rf "$probe"
  [[ $out != *"not available in this build"* ]]
}

own_available() {
  own_tools_present || return 1
  # bench.sh asks inside its loop over scenarios ('sc' is that loop's variable): the upgrade
  # scenario is skipped with bench.sh's "skip own (not available)" while pqpm lacks it.
  local scenario=${sc:-${BENCH_SCENARIO:-}}
  if [[ $scenario == upgrade ]] && ! own_has_upgrade; then
    echo "bench: own: 'pqpm upgrade' is not available in this build, upgrade scenario skipped" >&2
    return 1
  fi
  return 0
}

own_signer() { # one RSA key + self-signed certificate, made once per work dir
  local d="$WORK/own/signer"
  [[ -f $d/cert.pem ]] && return 0
  mkdir -p "$d"
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=bench signer/emailAddress=bench@example.org" \
    -keyout "$d/key.pem" -out "$d/cert.pem" >/dev/null 2>&1
}

own_build() { # SETDIR OUTDIR
  local set=$1 out=$2 p src dep
  own_signer
  for p in $(cat "$set/ORDER"); do
    src="$WORK/stage/own/$p"; rm -rf "$src"; mkdir -p "$src"
    cp -al "$set/$p/data" "$src/data"
    { echo "name=$(cat "$set/$p/name")"; echo "version=$(cat "$set/$p/version")"
      echo "architecture=any"; echo "creator=bench"
      echo "description=\"synthetic benchmark package\""
      while read -r dep; do [[ -n $dep ]] && echo "depends=$dep"; done <"$set/$p/deps"
    } >"$src/qpk.conf"
    "$QPM_BIN/qpm-pack" -k "$WORK/own/signer/key.pem" -c "$WORK/own/signer/cert.pem" \
      -o "$out" "$src" >/dev/null
    rm -rf "$src"
  done
}

own_prepare_root() { # ROOT : empty system root, inventory booted, signer trusted
  local root=$1
  rm -rf "$root"; mkdir -p "$root/etc" "$root/usr/lib/qpm" "$root/var/log" "$root/tmp" "$root/root"
  cp "$QPM_BIN/qpc-dirs.so" "$root/usr/lib/qpm/"
  : >"$root/etc/qpc-dirs.conf"
  own_signer
  # qpm-adm needs ROOT/etc and refuses an existing ROOT/var/lib/qpm; both tools talk on
  # stderr even when all is well, so that goes to a log shown only on failure
  local log="$WORK/own/prepare.log"
  if ! { QPM_ROOT=$root HOME=$root/root "$QPM_BIN/qpm-adm" -B -f \
           -o "qpc_backend=qpc-dirs.so,qpm_busybox=$BUSYBOX" &&
         QPM_ROOT=$root HOME=$root/root "$QPM_BIN/qpm-key" -A "$WORK/own/signer/cert.pem" -f
       } </dev/null >"$log" 2>&1; then
    cat "$log" >&2; echo "bench: own: preparing $root failed" >&2; return 1
  fi
}

own_prepare() { own_prepare_root "$1"; }

own_install() { # ROOT PKGDIR
  local root=$1 pkgs=$2 names action=install
  echo "$pkgs" >"$root/etc/qpc-dirs.conf"        # the catalogue is the package directory
  names=$(cat "$WORK/content/$(basename "$pkgs")/ORDER")
  [[ ${BENCH_SCENARIO:-} == upgrade && ${BENCH_PHASE:-} == timed ]] && action=upgrade
  # pqpm talks on stderr at its default log level: kept in a file (a few KiB), shown when
  # pqpm fails. It reports a package it could not install on stdout and still exits 0:
  # bench.sh's smoke step counts the files that arrived.
  QPM_ROOT=$root HOME=$root/root "$QPM_BIN/pqpm" $action $names </dev/null >/dev/null \
    2>"$root.pqpm.log" || { cat "$root.pqpm.log" >&2; return 1; }
}
