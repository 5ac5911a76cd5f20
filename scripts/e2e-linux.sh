#!/usr/bin/env bash
# End to end on Linux: the native oarepair repairs the registry files of throwaway Wine prefixes,
# in every view the prefix has (a win64 prefix made where 32-bit programs run has a 32-bit half).
#
#   - a damaged registration (bogus InprocServer32, junk subtree three deep; junk in the 32-bit
#     view too) is deleted in each view and each view's tool is started: first with stand-in
#     loaders that record what they were asked to run, then with the real Wine, after which the
#     64-bit and the 32-bit reg.exe must both find the class registered again; a win32 prefix too;
#   - with the class key absent the tools are still started and success is reported;
#   - a view whose loader is missing is left untouched, named, and fails the run;
#   - a running wineserver, a save that fails (injected through the file-system seam) and a
#     missing loader are reported as failures with exit status 1, and the first two leave the
#     registry files byte-identical.
# Every check of system.reg names the view it looks at.
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
e2e_find_wine32
e2e_init e2e-linux
W=$E2E_WORK
e2e_make_standin "$W/standin" "$W/record"
STANDIN=$W/standin/wine64
if [[ -n $E2E_LOADER32 ]]; then
    echo "32-bit programs run here ($E2E_LOADER32): the 32-bit view is repaired by real Wine too"
else
    echo "skipped: the 32-bit checks with real Wine ($E2E_WHY32)"
fi

# run PREFIX LOADER [PROGRAM]: runs the program on the prefix without a terminal; sets RC, OUT, ERR.
run() {
    local prefix=$1 loader=$2 prog=${3:-$program}
    rm -f "$W/record".*
    RC=0
    CAPTION=$(basename "$prog")
    WINEPREFIX=$prefix WINE=$loader "$prog" </dev/null >"$W/out" 2>"$W/err" || RC=$?
    OUT=$(cat "$W/out")
    ERR=$(cat "$W/err")
}

# The message box on a terminal: the caption (the program's name), then the text.
says() { [[ $OUT == "$CAPTION: $1" ]] || { echo "  output: $OUT"; return 1; }; }
says_error() { [[ $OUT == "$CAPTION: error: $1" ]] || { echo "  output: $OUT"; return 1; }; }
has_32bit_half() { e2e_class_in_file "$1" 32; }
started_tool() { # PREFIX VIEW
    e2e_wait_for_file "$W/record.$2" &&
        [[ $(sed -n 1p "$W/record.$2") == 'RegSvr32 /s OleAut32.dll' ]] &&
        [[ $(sed -n 2p "$W/record.$2") == "WINEPREFIX=$1" ]]
}

echo "== damaged registration, stand-in loaders"
p=$W/standin-run
e2e_new_prefix "$p"
half=0
has_32bit_half "$p" && half=1
echo "the template prefix has $([[ $half == 1 ]] || echo 'no ')32-bit half"
check "damage applied (64-bit view)" e2e_damage "$p"
[[ -n $E2E_LOADER32 && $half == 1 ]] && check "damage applied (32-bit view)" e2e_damage32 "$p"
e2e_other_sections "$p/system.reg" >"$W/others.before"
run "$p" "$W/standin/wine64"
check "exit status 0" test "$RC" -eq 0
check "success message" says "$E2E_MERGED"
check "64-bit tool started as 'RegSvr32 /s OleAut32.dll' in the prefix" started_tool "$p" 64
check "class key gone from system.reg (64-bit view)" eval '! e2e_class_in_file "$p" 64'
if [[ $half == 1 ]]; then
    check "32-bit tool started as 'RegSvr32 /s OleAut32.dll' in the prefix" started_tool "$p" 32
    check "class key gone from system.reg (32-bit view)" eval '! e2e_class_in_file "$p" 32'
fi
check "every other section unchanged" cmp -s "$W/others.before" <(e2e_other_sections "$p/system.reg")
check "Wine finds the class key gone" eval '! e2e_key_exists "$p" "$E2E_CLASS"'
check "Wine finds the neighbour class" e2e_key_exists "$p" 'HKCR\CLSID\{00020421-0000-0000-C000-000000000046}\InprocServer32'

echo "== damaged registration, real Wine ($E2E_LOADER)"
p=$W/wine-run
e2e_new_prefix "$p"
check "damage applied (64-bit view)" e2e_damage "$p"
[[ -n $E2E_LOADER32 && $half == 1 ]] && check "damage applied (32-bit view)" e2e_damage32 "$p"
run "$p" "$E2E_LOADER"
check "exit status 0" test "$RC" -eq 0
check "success message" says "$E2E_MERGED"
# The registrations run detached: wait for Wine to write the class back and to finish.
# The lines of system.reg's sections whose header starts with HEADER (compared without case).
sections() { # FILE HEADER
    H=${2,,} awk 'index(tolower($0), ENVIRON["H"]) == 1 { p = 1 } /^$/ { p = 0 } p' "$1"
}
class_header() { # VIEW
    local node=''
    [[ $1 == 32 ]] && node='wow6432node\\'
    printf '%s' "[software\\\\classes\\\\${node}clsid\\\\{00020420-0000-0000-c000-000000000046}"
}
registered() { # PREFIX VIEW
    sections "$1/system.reg" "$(class_header "$2")\\\\inprocserver32]" | grep -q -i '\\\\oleaut32.dll'
}
for i in $(seq 1 90); do
    sleep 1
    e2e_stop_server "$p"
    registered "$p" 64 && { [[ $half == 0 || -z $E2E_LOADER32 ]] || registered "$p" 32; } && break
done
check "RegSvr32 registered the class again and the junk is gone (64-bit view, wine64 reg)" e2e_repaired "$p"
if [[ $half == 1 && -n $E2E_LOADER32 ]]; then
    check "RegSvr32 registered the class again and the junk is gone (32-bit view, wine reg)" e2e_repaired32 "$p"
fi

if [[ -n $E2E_LOADER32 ]]; then
    echo "== a win32 prefix, real Wine ($E2E_LOADER32)"
    p=$W/win32
    E2E_ARCH=x86 e2e_new_prefix "$p"
    check "a win32 prefix" grep -q '^#arch=win32' "$p/system.reg"
    WINEPREFIX=$p "$E2E_LOADER32" reg add "$E2E_CLASS\\Junk\\Level2" /f >/dev/null 2>&1
    e2e_stop_server "$p"
    check "damage applied (its one view)" grep -q 'Junk\\\\Level2' "$p/system.reg"
    run "$p" "$E2E_LOADER32"
    check "exit status 0" test "$RC" -eq 0
    check "success message" says "$E2E_MERGED"
    for i in $(seq 1 90); do
        sleep 1
        e2e_stop_server "$p"
        registered "$p" 64 && break
    done
    check "RegSvr32 registered the class again and the junk is gone (its one view, wine reg)" e2e_repaired32 "$p"
fi

echo "== a view without its loader (a copy of a Wine 8.0 win64 prefix with its 32-bit half)"
p=$W/no-loader32
mkdir -m 700 "$p"
cp "$E2E_REPO/tests/fixtures/wine-8.0/win64-wow64/"*.reg "$p/"
sections "$p/system.reg" "$(class_header 32)" >"$W/class32.before"
check "the copy holds the class key (32-bit view)" test -s "$W/class32.before"
mkdir "$W/only64"
cp "$W/standin/wine64" "$W/only64/wine64"
run "$p" "$W/only64/wine64"
check "exit status 1" test "$RC" -eq 1
check "failure message" says_error "$E2E_FAILED"
check "the reason names the 32-bit view" grep -q '^oarepair: 32-bit view: left untouched' <<<"$ERR"
check "the 64-bit view is repaired" eval '! e2e_class_in_file "$p" 64'
check "64-bit tool started" started_tool "$p" 64
check "the 32-bit view is untouched" cmp -s "$W/class32.before" <(sections "$p/system.reg" "$(class_header 32)")
check "no 32-bit tool started" eval '! e2e_wait_for_file "$W/record.32" 10'

echo "== a 32-bit loader the kernel cannot run (as where 32-bit emulation is off)"
p=$W/noexec32
mkdir -m 700 "$p"
cp "$E2E_REPO/tests/fixtures/wine-8.0/win64-wow64/"*.reg "$p/"
mkdir "$W/noexec"
cp "$W/standin/wine64" "$W/noexec/wine64"
# An ELF header of a 32-bit program that execve refuses with ENOEXEC.
printf '\177ELF\001\001\001' >"$W/noexec/wine"
chmod +x "$W/noexec/wine"
run "$p" "$W/noexec/wine64"
check "exit status 1" test "$RC" -eq 1
check "the reason names the 32-bit view and the kernel" \
    grep -q '^oarepair: 32-bit view: left untouched: .*cannot run 32-bit programs' <<<"$ERR"
check "the 32-bit view is untouched" cmp -s "$W/class32.before" <(sections "$p/system.reg" "$(class_header 32)")
check "the 64-bit view is repaired" eval '! e2e_class_in_file "$p" 64'

echo "== a malformed registry file: refused, and no Wine started over it"
p=$W/malformed
e2e_new_prefix "$p"
# A hex value that runs on into the next header: Wine would read it its own way and save the
# result, losing key AdvB.
printf '\n[Software\\\\Classes\\\\AdvA] 1796741013\n#time=1dd8722800703ec\n"a"=hex:01,02,\\\n[Software\\\\Classes\\\\AdvB] 1796741013\n"b"="important"\n' >>"$p/system.reg"
e2e_snapshot "$p" "$W/snap-malformed"
run "$p" "$E2E_LOADER"
check "exit status 1" test "$RC" -eq 1
check "the file is named as refused" grep -q 'system.reg.*refused' <<<"$ERR"
check "the tool is not started, and says why" grep -q 'not starting "RegSvr32 /s OleAut32.dll"' <<<"$ERR"
sleep 5
check "registry files byte-identical (no Wine rewrote them)" e2e_unchanged "$p" "$W/snap-malformed"

echo "== the class key reached through a registry link (real Wine)"
p=$W/link
e2e_new_prefix "$p"
check "damage applied (64-bit view)" e2e_damage "$p"
# Software\Classes\CLSID becomes a link to Software\Classes\RealCLSID, which holds its keys.
sed -i -e 's/^\[Software\\\\Classes\\\\CLSID\]/[Software\\\\Classes\\\\RealCLSID]/' \
       -e 's/^\[Software\\\\Classes\\\\CLSID\\\\/[Software\\\\Classes\\\\RealCLSID\\\\/' "$p/system.reg"
target='\Registry\Machine\Software\Classes\RealCLSID'
hex=$(printf '%s' "$target" | od -An -v -tx1 | tr -s ' \n' ' ' | sed -e 's/^ //' -e 's/ $//' -e 's/ /,00,/g' -e 's/$/,00/')
printf '\n[Software\\\\Classes\\\\CLSID] 1796741013\n#time=1dd8722800703ec\n#link\n"SymbolicLinkValue"=hex(6):%s\n' "$hex" >>"$p/system.reg"
check "Wine follows the link to the damaged class" e2e_key_exists "$p" "$E2E_CLASS\\Junk\\Level2"
run "$p" "$E2E_LOADER"
check "exit status 0" test "$RC" -eq 0
check "success message" says "$E2E_MERGED"
for i in $(seq 1 90); do
    sleep 1
    e2e_stop_server "$p"
    sections "$p/system.reg" '[software\\classes\\realclsid\\{00020420-0000-0000-c000-000000000046}\\inprocserver32]' |
        grep -q -i '\\oleaut32.dll' && break
done
check "RegSvr32 registered the class again through the link, the junk gone" e2e_repaired "$p"
check "the junk is gone from the link's target in system.reg" \
    eval '! grep -q -i "^\[Software\\\\\\\\Classes\\\\\\\\RealCLSID\\\\\\\\{00020420-0000-0000-C000-000000000046}\\\\\\\\Junk" "$p/system.reg"'
check "the link itself is kept" grep -q '^\[Software\\\\Classes\\\\CLSID\] ' "$p/system.reg"

echo "== class key absent"
p=$W/absent
e2e_new_prefix "$p"
check "class key removed beforehand" e2e_remove_class_key "$p"
run "$p" "$STANDIN"
check "exit status 0" test "$RC" -eq 0
check "success message" says "$E2E_MERGED"
check "tool still started (64-bit view)" started_tool "$p" 64
[[ $half == 1 ]] && check "tool still started (32-bit view)" started_tool "$p" 32

echo "== a wineserver runs for the prefix"
p=$W/server
e2e_new_prefix "$p"
check "damage applied" e2e_damage "$p"
e2e_snapshot "$p" "$W/snap-server"
WINEPREFIX=$p wineserver -p >/dev/null 2>&1 </dev/null
# Compared while that server runs: it writes its files only at its first periodic save (30 s) or
# at exit, so any change within these seconds is ours.
run "$p" "$STANDIN"
check "exit status 1" test "$RC" -eq 1
check "failure message" says_error "$E2E_FAILED"
check "the reason names the wineserver" grep -q 'wineserver' <<<"$ERR"
check "tool still started (64-bit view)" started_tool "$p" 64
check "registry files byte-identical" e2e_unchanged "$p" "$W/snap-server"
WINEPREFIX=$p wineserver -k >/dev/null 2>&1
e2e_stop_server "$p"

echo "== the save fails (injected through the file-system seam)"
if [[ -x $save_fault ]]; then
    p=$W/save-fault
    e2e_new_prefix "$p"
    check "damage applied" e2e_damage "$p"
    e2e_snapshot "$p" "$W/snap-save"
    run "$p" "$STANDIN" "$save_fault"
    check "exit status 1" test "$RC" -eq 1
    check "failure message" says_error "$E2E_FAILED"
    check "registry files byte-identical, no temporary files left" e2e_unchanged "$p" "$W/snap-save"
    check "no tool started over an unsaved registry" eval '! e2e_wait_for_file "$W/record.64" 10 && [[ ! -f $W/record.32 ]]'
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
check "the reason names the view" grep -q '^oarepair: 64-bit view: left untouched' <<<"$ERR"
check "class key left in system.reg (64-bit view)" e2e_class_in_file "$p" 64

e2e_finish
