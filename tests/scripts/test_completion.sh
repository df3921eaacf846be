#!/usr/bin/env bash
# Sources the bash completion and checks what it offers for command lines
# typed against a made-up inventory below QPM_ROOT: commands, options, option
# strings, installed package names (record directories only, none that begin
# with '.'), package files and keystore hashes.
# Usage: test_completion.sh PATH_TO_COMPLETION_SCRIPT
set -uo pipefail
script=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

root=$scratch/root
inventory=$root/var/lib/qpm
mkdir -p "$inventory/installed/hello" "$inventory/installed/libgreet" \
    "$inventory/installed/.hello.new" "$inventory/certstore" "$root/etc" "$root/usr/bin"
touch "$inventory/installed/stray-file" "$inventory/certstore/1a2b3c4d.crt" \
    "$inventory/certstore/README" "$root/usr/bin/hello"
printf 'arch_name      = x86_64\n# dist_name = commented\n  dist_vers=2.7\n' >"$root/etc/qpm.conf"
work=$scratch/work
mkdir -p "$work/pkgs"
touch "$work/hello_any_1.0.qpk" "$work/notes.txt"

# shellcheck source=/dev/null
source "$script" || {
    echo "FAIL: sourcing $script"
    exit 1
}
for program in pqpm qpm qpm-key qpm-adm; do
    complete -p "$program" >/dev/null 2>&1 || {
        echo "FAIL: no completion registered for $program"
        failures=$((failures + 1))
    }
done

# expect FUNCTION LINE WANT: completes LINE (cursor at its end) and compares
# COMPREPLY, joined by blanks, with WANT.
expect() {
    local function=$1 got
    COMP_LINE=$2
    COMP_POINT=${#COMP_LINE}
    COMP_WORDBREAKS=$' \t\n"\'><=;|&(:'
    COMPREPLY=()
    # The function runs in a subshell with -u set, as a strict shell would.
    if ! (cd "$work" && "$function" && printf '%s\n' "${COMPREPLY[*]}") >"$scratch/got"; then
        echo "FAIL: \"$2\": $function failed"
        failures=$((failures + 1))
        return
    fi
    got=$(<"$scratch/got")
    if [ "$got" != "$3" ]; then
        echo "FAIL: \"$2\" offers \"$got\", want \"$3\""
        failures=$((failures + 1))
    fi
}

export QPM_ROOT=$root
while IFS='|' read -r function line want; do
    [ -n "$function" ] && expect "$function" "$line" "$want"
done <<'EOF'
_pqpm|pqpm |allowed install upgrade refresh cleanup
_pqpm|pqpm up|upgrade
_pqpm|pqpm allowed |
_pqpm|pqpm install |-o pkgs/ hello_any_1.0.qpk
_pqpm|pqpm install -o |help variant= version= fastclean= verbose=
_pqpm|pqpm refresh -o |help verbose=
_pqpm|pqpm install -o variant=x,fa|x,fastclean=
_pqpm|pqpm install -o variant=x,fastclean=|yes no
_pqpm|pqpm install -o version=1 h|hello_any_1.0.qpk
_pqpm|pqpm upgrade |-o hello libgreet pkgs/ hello_any_1.0.qpk
_pqpm|pqpm upgrade -o verbose=yes lib|libgreet
_pqpm|pqpm cleanup -o verbose=yes |
_qpm|qpm |list info files owner search log check plan remove fix help
_qpm|qpm -|-o --help --version
_qpm|qpm -o |outform=
_qpm|qpm -o outform=|c l x
_qpm|qpm -o outform=c l|list log
_qpm|qpm info |hello libgreet
_qpm|qpm info hello |
_qpm|qpm remove --|--help --alone --yes
_qpm|qpm remove --yes h|hello
_qpm|qpm log |--reverse --raw
_qpm|qpm check --|--help --fix
_qpm|qpm fix hello |X D
_qpm|qpm fix hello D l|libgreet
_qpm|qpm plan |install upgrade
_qpm|qpm plan install |pkgs/ hello_any_1.0.qpk
_qpm|qpm plan upgrade |hello libgreet pkgs/ hello_any_1.0.qpk
_qpm|qpm owner /usr/bin/h|/usr/bin/hello
_qpm|qpm help f|files fix
_qpm_key|qpm-key --l|--list
_qpm_key|qpm-key -D |1a2b3c4d
_qpm_key|qpm-key -A hello|hello_any_1.0.qpk
_qpm_adm|qpm-adm -Q |arch_name dist_vers
_qpm_adm|qpm-adm -o qpc_p|qpc_plugin=
_qpm_adm|qpm-adm -o dist_name=x,qpm_busybox=pk|pkgs/
_qpm_adm|qpm-adm -o debug=|true false
EOF

# A user's dotglob does not bring in the previous records that updates
# leave behind (their names begin with '.').
shopt -s dotglob
expect _qpm "qpm info " "hello libgreet"
shopt -u dotglob

# The real root's inventory is read when QPM_ROOT is unset: nothing of the
# made-up one shows.
unset QPM_ROOT
expect _qpm_key "qpm-key -D 1a2b3c4" ""
# A root given with a trailing slash reads the same inventory.
export QPM_ROOT=$root/
expect _qpm "qpm list " "hello libgreet"

if [ "$failures" -ne 0 ]; then
    echo "test_completion: $failures case(s) failed"
    exit 1
fi
echo "test_completion: all cases passed"
