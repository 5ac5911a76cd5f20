#!/usr/bin/env bash
# End to end on Linux, against real Wine: which prefixes the native oarepair accepts, and a
# wineserver it must see although it was started with another TMPDIR.
#
#   - WINEPREFIX empty, relative, or inside a folder that does not exist: Wine refuses each (this
#     is checked here too, with a throwaway HOME), and oarepair exits 1, says why in the first
#     line on standard error, starts nothing and creates nothing;
#   - a missing prefix in an existing folder (Wine creates it) and a prefix written with a
#     trailing slash are accepted;
#   - a wineserver started with TMPDIR set to another folder: oarepair run without that TMPDIR
#     exits 1, names the wineserver and leaves the registry files byte-identical; once that
#     server is stopped the same run succeeds.
#
# Usage: scripts/e2e-prefixes.sh [BUILD_DIR]   (default: $OAREPAIR_BINARY_DIR, else build/linux)
# Exit status: 0 all passed, 1 a check failed, 77 skipped (no 64-bit Wine here).
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/e2e-common.sh"

build=${1:-${OAREPAIR_BINARY_DIR:-$E2E_REPO/build/linux}}
build=$(cd "$build" && pwd) || exit 1
program=$build/app/oarepair
[[ -x $program ]] || { echo "e2e-prefixes.sh: $program not built" >&2; exit 1; }

e2e_require_wine64
e2e_init e2e-prefixes
W=$E2E_WORK
e2e_make_standin "$W/standin" "$W/record"
STANDIN=$W/standin/wine64
# Nothing here may reach the real home folder, whatever Wine or the program does with HOME.
export HOME=$W/home
mkdir -p "$HOME" "$W/cwd"

# A wineserver started with another TMPDIR is stopped with that TMPDIR, before the usual cleanup.
other_tmp=$W/other-tmp
server_prefix=
stop_other_server() {
    [[ -n $server_prefix ]] || return 0
    TMPDIR=$other_tmp WINEPREFIX=$server_prefix wineserver -k >/dev/null 2>&1 || true
    TMPDIR=$other_tmp WINEPREFIX=$server_prefix timeout 60 wineserver -w >/dev/null 2>&1 || true
}
trap 'stop_other_server; e2e_cleanup' EXIT

# run PREFIX-VALUE: runs the program from $W/cwd without a terminal and without TMPDIR, with
# WINEPREFIX set to the value as it is (empty included); sets RC and ERR.
run() {
    rm -f "$W/record".*
    RC=0
    (cd "$W/cwd" && env -u TMPDIR WINEPREFIX="$1" WINE="$STANDIN" "$program" \
        </dev/null >"$W/out" 2>"$W/err") || RC=$?
    ERR=$(cat "$W/err")
}

nothing_started() { ! compgen -G "$W/record.*" >/dev/null; }
tool_started() { e2e_wait_for_file "$W/record.64"; }

nothing_created() {
    local found
    found=$(ls -A "$W/cwd" "$HOME" | grep -v -e '^$' -e ':$' || true)
    [[ -z $found ]] || { echo "  created: $found"; return 1; }
}

says_why() { head -n 1 "$W/err" | grep -q -e "$1" || { echo "  stderr: $ERR"; return 1; }; }
# After the refusal: the tool not started, and the repair not confirmed, nothing else.
only_consequences() {
    local other
    other=$(tail -n +2 "$W/err" | grep -v -e '^oarepair: not starting "RegSvr32 /s OleAut32.dll"' \
        -e 'could not be checked' -e '^oarepair: error: ' || true)
    [[ -z $other ]] || { echo "  other lines: $other"; return 1; }
}
class_key_in_file() { grep -q -i '^\[Software\\\\Classes\\\\CLSID\\\\{00020420-0000-0000-C000-000000000046}[]\\]' "$1/system.reg"; }

# wine_refuses PREFIX-VALUE: Wine's own loader refuses to start in that prefix.
wine_refuses() {
    local rc=0
    (cd "$W/cwd" && WINEPREFIX="$1" timeout 120 "$E2E_LOADER" cmd /c echo started \
        >"$W/wine.out" 2>&1) || rc=$?
    [[ $rc -ne 0 ]] && ! grep -q started "$W/wine.out"
}

# refused DESCRIPTION PREFIX-VALUE REASON-PATTERN
refused() {
    local what=$1 value=$2 reason=$3
    run "$value"
    check "$what: exit status 1" test "$RC" -eq 1
    # The first line is the refusal; the lines after it only tell what followed from it.
    check "$what: the first line on standard error says why" says_why "$reason"
    check "$what: no other line names another cause" only_consequences
    check "$what: nothing started" nothing_started
    check "$what: nothing created" nothing_created
    check "$what: Wine refuses it too" wine_refuses "$value"
    check "$what: and creates nothing either" nothing_created
}

echo "== prefixes Wine refuses"
refused "empty WINEPREFIX" "" "is not an absolute path"
refused "relative WINEPREFIX" "relE" "WINEPREFIX='relE' is not an absolute path"
refused "WINEPREFIX in a missing folder" "$W/missing/p" "$W/missing.*does not exist"

echo "== prefixes Wine accepts"
run "$W/fresh"
check "missing prefix in an existing folder: exit status 0" test "$RC" -eq 0
check "missing prefix in an existing folder: tool started" tool_started
check "missing prefix in an existing folder: not created by us" test ! -e "$W/fresh"
p=$W/slash
e2e_new_prefix "$p"
check "damage applied" e2e_damage "$p"
check "class key in system.reg" class_key_in_file "$p"
run "$p/"
check "prefix with a trailing slash: exit status 0" test "$RC" -eq 0
check "prefix with a trailing slash: class key gone from system.reg" eval '! class_key_in_file "$p"'

echo "== a wineserver started with another TMPDIR"
p=$W/server
e2e_new_prefix "$p"
check "damage applied" e2e_damage "$p"
check "class key in system.reg" class_key_in_file "$p"
e2e_snapshot "$p" "$W/snap-server"
mkdir -p "$other_tmp"
server_prefix=$p
TMPDIR=$other_tmp WINEPREFIX=$p wineserver -p >/dev/null 2>&1 </dev/null
server_lock() { find "$other_tmp" -path '*/server-*/lock' -print -quit | grep -q .; }
wait_for_server_lock() {
    local i
    for i in $(seq 1 100); do
        server_lock && return 0
        sleep 0.1
    done
    return 1
}
check "the server's folder is under the other TMPDIR" wait_for_server_lock
run "$p"
check "exit status 1" test "$RC" -eq 1
check "the reason names the wineserver" grep -q 'wineserver' <<<"$ERR"
check "registry files byte-identical" e2e_unchanged "$p" "$W/snap-server"
stop_other_server
server_prefix=
run "$p"
check "after the server stopped: exit status 0" test "$RC" -eq 0
check "after the server stopped: class key gone from system.reg" eval '! class_key_in_file "$p"'

e2e_finish
