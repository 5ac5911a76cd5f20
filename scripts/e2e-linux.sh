#!/usr/bin/env bash
# End to end on Linux: the native oarepair repairs the registry files of throwaway Wine prefixes.
#
#   - a damaged registration (bogus InprocServer32, junk subtree three deep) is deleted and the
#     tool is started: first with a stand-in loader that records what it was asked to run, then
#     with the real 64-bit Wine, after which Wine's reg.exe must find the class registered again;
#   - with the class key absent the tool is still started and success is reported;
#   - a running wineserver, a save that fails (injected through the file-system seam) and a
#     missing loader are reported as failures with exit status 1, and the first two leave the
#     registry files byte-identical.
#
# Usage: scripts/e2e-linux.sh [BUILD_DIR]   (default: $OAREPAIR_BINARY_DIR, else build/linux)
# Exit status: 0 all passed, 1 a check failed, 77 skipped (no 64-bit Wine here).
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/e2e-common.sh"

build=${1:-${OAREPAIR_BINARY_DIR:-$E2E_REPO/build/linux}}
program=$build/app/oarepair
save_fault=$build/tests/app/oarepair_save_fault
[[ -x $program ]] || { echo "e2e-linux.sh: $program not built" >&2; exit 1; }

e2e_require_wine64
e2e_init e2e-linux
W=$E2E_WORK
e2e_make_standin "$W/standin" "$W/record"

# run PREFIX LOADER [PROGRAM]: runs the program on the prefix without a terminal; sets RC, OUT, ERR.
run() {
    local prefix=$1 loader=$2 prog=${3:-$program}
    rm -f "$W/record"
    RC=0
    CAPTION=$(basename "$prog")
    WINEPREFIX=$prefix WINE=$loader "$prog" </dev/null >"$W/out" 2>"$W/err" || RC=$?
    OUT=$(cat "$W/out")
    ERR=$(cat "$W/err")
}

# The message box on a terminal: the caption (the program's name), then the text.
says() { [[ $OUT == "$CAPTION: $1" ]] || { echo "  output: $OUT"; return 1; }; }
says_error() { [[ $OUT == "$CAPTION: error: $1" ]] || { echo "  output: $OUT"; return 1; }; }
class_key_in_file() { grep -q -i 'CLSID\\\\{00020420-0000-0000-C000-000000000046}[]\\]' "$1/system.reg"; }
started_tool() { # PREFIX
    e2e_wait_for_file "$W/record" &&
        [[ $(sed -n 1p "$W/record") == 'RegSvr32 /s OleAut32.dll' ]] &&
        [[ $(sed -n 2p "$W/record") == "WINEPREFIX=$1" ]]
}

echo "== damaged registration, stand-in loader"
p=$W/standin-run
e2e_new_prefix "$p"
check "damage applied" e2e_damage "$p"
e2e_other_sections "$p/system.reg" >"$W/others.before"
run "$p" "$W/standin"
check "exit status 0" test "$RC" -eq 0
check "success message" says "$E2E_MERGED"
check "tool started as 'RegSvr32 /s OleAut32.dll' in the prefix" started_tool "$p"
check "class key gone from system.reg" eval '! class_key_in_file "$p"'
check "every other section unchanged" cmp -s "$W/others.before" <(e2e_other_sections "$p/system.reg")
check "Wine finds the class key gone" eval '! e2e_key_exists "$p" "$E2E_CLASS"'
check "Wine finds the neighbour class" e2e_key_exists "$p" 'HKCR\CLSID\{00020421-0000-0000-C000-000000000046}\InprocServer32'

echo "== damaged registration, real Wine ($E2E_LOADER)"
p=$W/wine-run
e2e_new_prefix "$p"
check "damage applied" e2e_damage "$p"
run "$p" "$E2E_LOADER"
check "exit status 0" test "$RC" -eq 0
check "success message" says "$E2E_MERGED"
# The registration runs detached: wait for Wine to write the class back and to finish.
for i in $(seq 1 60); do
    sleep 1
    e2e_stop_server "$p"
    grep -q -i 'system32\\\\oleaut32.dll' <(awk '/00020420-0000-0000-C000-000000000046}\\\\InprocServer32\]/,/^$/' "$p/system.reg") && break
done
check "RegSvr32 registered the class again and the junk is gone" e2e_repaired "$p"

echo "== class key absent"
p=$W/absent
e2e_new_prefix "$p"
check "class key removed beforehand" e2e_remove_class_key "$p"
run "$p" "$W/standin"
check "exit status 0" test "$RC" -eq 0
check "success message" says "$E2E_MERGED"
check "tool still started" started_tool "$p"

echo "== a wineserver runs for the prefix"
p=$W/server
e2e_new_prefix "$p"
check "damage applied" e2e_damage "$p"
e2e_snapshot "$p" "$W/snap-server"
WINEPREFIX=$p wineserver -p >/dev/null 2>&1 </dev/null
# Compared while that server runs: it writes its files only at its first periodic save (30 s) or
# at exit, so any change within these seconds is ours.
run "$p" "$W/standin"
check "exit status 1" test "$RC" -eq 1
check "failure message" says_error "$E2E_FAILED"
check "the reason names the wineserver" grep -q 'wineserver' <<<"$ERR"
check "tool still started" started_tool "$p"
check "registry files byte-identical" e2e_unchanged "$p" "$W/snap-server"
WINEPREFIX=$p wineserver -k >/dev/null 2>&1
e2e_stop_server "$p"

echo "== the save fails (injected through the file-system seam)"
if [[ -x $save_fault ]]; then
    p=$W/save-fault
    e2e_new_prefix "$p"
    check "damage applied" e2e_damage "$p"
    e2e_snapshot "$p" "$W/snap-save"
    run "$p" "$W/standin" "$save_fault"
    check "exit status 1" test "$RC" -eq 1
    check "failure message" says_error "$E2E_FAILED"
    check "registry files byte-identical, no temporary files left" e2e_unchanged "$p" "$W/snap-save"
    check "tool not started over an unsaved registry" eval '! e2e_wait_for_file "$W/record" 10'
else
    e2e_fail "$save_fault not built"
fi

echo "== no Wine loader"
p=$W/no-loader
e2e_new_prefix "$p"
check "damage applied" e2e_damage "$p"
run "$p" "$W/no-such-wine"
check "exit status 1" test "$RC" -eq 1
check "failure message" says_error "$E2E_FAILED"
check "the deletion itself was saved" eval '! class_key_in_file "$p"'

e2e_finish
