#!/usr/bin/env bash
# catalogue.sh - how the size of the catalogue weighs on `pqpm install` of one package.
#
#   bench/catalogue.sh [-B BUILD_DIR] [-w WORK_DIR] [-r RUNS] [SIZES...]
#
# For each catalogue size (default 100 1000 10000) and each backend, qpc-dirs (a directory
# of package files) and qpc-http (the same directory published with `qpm-pack index` and
# served by nginx on a loopback port, or read through file:// when nginx is missing; its
# index refreshed beforehand, i.e. warm; qpc-dirs refreshed too, which starts its cache), it
# prints the median wall time of
#   install    pqpm install of one package without dependencies into a fresh root
#   answer     pqpm install of a package the catalogue does not have: the catalogue is read
#              and searched, then the run stops at "not found" (the catalogue's cost alone;
#              a second install of the same package no longer asks a backend that looks
#              names up)
#   cold       qpc-dirs only: the answer again with its cache removed, so every package file
#              is read (the first run on a catalogue it has never seen)
# and for answer and cold the CPU time (user + system) beside the wall time: on a loaded
# machine the CPU time is the steadier figure.
# Needs a build tree with pqpm, qpm-pack, qpm-adm, qpm-key, qpc-dirs.so and qpc-http.so;
# runs as root (as pqpm does). The catalogue's other packages are copies of one package
# renamed in their (unsigned) header: readable and distinct, never installed.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$REPO/build
WORK=/tmp/qpm-bench-catalogue
RUNS=3
while getopts "B:w:r:" opt; do
  case $opt in
    B) BUILD=$(cd "$OPTARG" && pwd) ;;
    w) WORK=$OPTARG ;;
    r) RUNS=$OPTARG ;;
    *) sed -n '2,16p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
SIZES=("${@:-100 1000 10000}")
read -r -a SIZES <<< "${SIZES[*]}"

for t in pqpm/pqpm qpm-pack/qpm-pack qpm-adm/qpm-adm qpm-key/qpm-key qpc-dirs/qpc-dirs.so qpc-http/qpc-http.so; do
  [[ -f $BUILD/$t ]] || { echo "catalogue.sh: $BUILD/$t is missing (ninja -C $BUILD)" >&2; exit 1; }
done
PQPM=$BUILD/pqpm/pqpm
PACK=$BUILD/qpm-pack/qpm-pack
export LC_ALL=C

rm -rf "$WORK"
mkdir -p "$WORK"/{src,pkgs}
cd "$WORK"
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/O=Bench/CN=Catalogue/emailAddress=bench@example.org" \
  -keyout key.pem -out cert.pem 2>/dev/null

# The package that is installed, and the template of the others.
make_source() { # NAME DIR
  mkdir -p "$2/data/usr/share/$1"
  echo "$1" > "$2/data/usr/share/$1/$1.txt"
  printf 'name=%s\nversion=1.0\narchitecture=any\ndescription="catalogue bench"\n' "$1" > "$2/qpk.conf"
}
make_source target src/target
make_source fill00000 src/fill
"$PACK" -k key.pem -c cert.pem -o pkgs src/target >/dev/null
"$PACK" -k key.pem -c cert.pem -o . src/fill >/dev/null
max=0; for n in "${SIZES[@]}"; do (( n > max )) && max=$n; done
perl -e '
  local $/; open my $in, "<:raw", $ARGV[0] or die; my $t = <$in>;
  for my $i (1 .. $ARGV[1] - 1) {
    my $name = sprintf "fill%05d", $i; (my $p = $t) =~ s/fill00000/$name/g;
    open my $out, ">:raw", "pkgs/${name}_any_1.0.qpk" or die; print $out $p; close $out or die;
  }' fill00000_any_1.0.qpk "$max"

# One repository per size, of hard links, with its index.
fills=(pkgs/fill*.qpk)
for n in "${SIZES[@]}"; do
  mkdir -p "repo-$n"
  ln pkgs/target_any_1.0.qpk "repo-$n/"
  (( n > 1 )) && ln "${fills[@]:0:n-1}" "repo-$n/"
  "$PACK" -k key.pem -c cert.pem index "repo-$n" >/dev/null
done

# nginx on a free loopback port, serving WORK; stopped on exit.
BASE="file://$WORK"
if [[ -x /usr/sbin/nginx ]]; then
  port=$(perl -MIO::Socket::INET -e 'print IO::Socket::INET->new(Listen => 1, LocalAddr => "127.0.0.1:0")->sockport')
  mkdir -p nginx
  cat > nginx/nginx.conf <<EOF
user root;
worker_processes 1;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events { worker_connections 64; }
http {
  client_body_temp_path $WORK/nginx/body; proxy_temp_path $WORK/nginx/proxy;
  fastcgi_temp_path $WORK/nginx/fastcgi; uwsgi_temp_path $WORK/nginx/uwsgi; scgi_temp_path $WORK/nginx/scgi;
  access_log off;
  server { listen 127.0.0.1:$port; root $WORK; }
}
EOF
  /usr/sbin/nginx -c "$WORK/nginx/nginx.conf" -p "$WORK/nginx" -e "$WORK/nginx/error.log"
  trap 'kill "$(cat "$WORK/nginx/nginx.pid")" 2>/dev/null || true' EXIT
  for _ in $(seq 50); do [[ -s nginx/nginx.pid ]] && break; sleep 0.1; done
  BASE="http://127.0.0.1:$port"
fi

# A fresh root whose catalogue is repo-N through BACKEND.
boot() { # ROOT BACKEND N
  local root=$1
  rm -rf "$root"; mkdir -p "$root"/{etc,var/log,usr/lib/qpm,tmp,root}
  QPM_ROOT=$root "$BUILD/qpm-adm/qpm-adm" -B -f -o qpm_busybox=/bin/busybox > "$WORK/boot.log" 2>&1
  QPM_ROOT=$root "$BUILD/qpm-key/qpm-key" -A "$WORK/cert.pem" -f >> "$WORK/boot.log" 2>&1
  cp "$BUILD/qpc-dirs/qpc-dirs.so" "$BUILD/qpc-http/qpc-http.so" "$root/usr/lib/qpm/"
  if [[ $2 == qpc-http ]]; then
    echo "qpc_backend=qpc-http.so" >> "$root/etc/qpm.conf"
    printf '[bench]\n%s/repo-%s\n' "$BASE" "$3" > "$root/etc/qpc-http.conf"
    QPM_ROOT=$root HOME=$root/root "$PQPM" refresh > /dev/null 2>&1
  else
    echo "$WORK/repo-$3" > "$root/etc/qpc-dirs.conf"
    QPM_ROOT=$root HOME=$root/root "$PQPM" refresh > /dev/null 2>&1
  fi
}

ms() { # ROOT NAME: runs pqpm install NAME, prints "wall cpu" in milliseconds
  local TIMEFORMAT='%3R %3U %3S' times
  # "not found" ends pqpm with status 1: that is the answer asked for.
  times=$( { time QPM_ROOT=$1 HOME=$1/root "$PQPM" install "$2" > "$1/tmp/out" 2> "$1/tmp/err" || true; } 2>&1 )
  awk '{ printf "%d %d\n", $1 * 1000 + 0.5, ($2 + $3) * 1000 + 0.5 }' <<< "$times"
}

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "pqpm install of one package; median of $RUNS runs, milliseconds; qpc-http over ${BASE%%:*}"
printf '%-9s %8s %10s %9s %6s %9s %6s\n' backend packages install answer cpu cold cpu
for n in "${SIZES[@]}"; do
  for backend in qpc-dirs qpc-http; do
    installs=(); answers=(); answer_cpus=(); colds=(); cold_cpus=()
    for r in $(seq "$RUNS"); do
      boot "$WORK/root" "$backend" "$n"
      read -r wall _ < <(ms "$WORK/root" target)
      installs+=("$wall")
      grep -q "target successfully installed" "$WORK/root/tmp/out" || {
        echo "catalogue.sh: install failed with $backend, $n packages:" >&2; cat "$WORK/root/tmp/out" "$WORK/root/tmp/err" >&2; exit 1; }
      read -r wall cpu < <(ms "$WORK/root" absent)
      answers+=("$wall"); answer_cpus+=("$cpu")
      if [[ $backend == qpc-dirs ]]; then
        rm -f "$WORK/root/var/cache/qpm/qpc-dirs/cache"
        read -r wall cpu < <(ms "$WORK/root" absent)
        colds+=("$wall"); cold_cpus+=("$cpu")
      fi
    done
    if [[ $backend == qpc-dirs ]]; then
      cold=$(median "${colds[@]}"); cold_cpu=$(median "${cold_cpus[@]}")
    else
      cold=-; cold_cpu=-
    fi
    printf '%-9s %8d %10d %9d %6d %9s %6s\n' "$backend" "$n" "$(median "${installs[@]}")" \
      "$(median "${answers[@]}")" "$(median "${answer_cpus[@]}")" "$cold" "$cold_cpu"
  done
done
rm -rf "$WORK/root"
