#!/usr/bin/env bash
# Runs the README's "first image" walk-through exactly as written there (the
# first ```sh block after the <!-- first-image --> line), as a newcomer
# would paste it, and checks that the installed program ran inside the
# image. Needs root (chroot) and a build in build/. Usage:
# scripts/readme-first-image.sh
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" != 0 ]; then
  echo "readme-first-image: needs root (the walk-through runs chroot)" >&2
  exit 1
fi

block=$(awk '/^<!-- first-image -->$/ { marked = 1; next }
             marked && /^```sh$/ { inside = 1; next }
             inside && /^```$/ { exit }
             inside { print }' README.md)
if [ -z "$block" ]; then
  echo "readme-first-image: no first-image block in README.md" >&2
  exit 1
fi

state=$(mktemp)
out=$(mktemp)
trap 'rm -f "$state" "$out"' EXIT
# The block as written, then a note of its work directory for the clean-up.
status=0
env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C HOME="${HOME:-/root}" \
  bash -euo pipefail -c "$block"$'\n''printf "%s\n" "$work" >'"'$state'" >"$out" 2>&1 || status=$?
work=$(cat "$state")
if [ -n "$work" ] && [ -d "$work" ]; then
  rm -rf "$work"
fi

if [ "$status" != 0 ]; then
  cat "$out"
  echo "readme-first-image: the walk-through failed with status $status" >&2
  exit 1
fi
if [ "$(tail -n 1 "$out")" != "Hello, Quendari!" ]; then
  cat "$out"
  echo "readme-first-image: the program did not greet from inside the image" >&2
  exit 1
fi
echo "readme-first-image: ok"
