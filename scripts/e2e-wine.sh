#!/usr/bin/env bash
# End to end on Windows: oarepair.exe runs under Wine in damaged throwaway prefixes.
#
#   - a damaged registration (bogus InprocServer32, junk subtree three deep) is deleted, RegSvr32
#     registers the class again, and the run ends with exit status 0;
#   - Wine's relay trace of the program's own calls shows WinExec("RegSvr32 /s OleAut32.dll",
#     SW_HIDE) and then MessageBoxA with string 1 and MB_OK (the tests run without a display, so
#     Wine's message box returns at once);
#   - command-line arguments change nothing;
#   - with the class key absent the tool is still started (the class is there again afterwards);
#   - a class key that cannot be deleted is reported with string 2 and MB_ICONERROR, exit 1, and
#     the tool is still started;
#   - in a win64 prefix with its 32-bit half, the program repairs only the view of its own
#     bitness: the x64 program the 64-bit view, the x86 program (WoW64) the 32-bit view;
#   - one run under Xvfb shows the real message box, takes a screenshot and presses OK.
#
# Usage: scripts/e2e-wine.sh [ARCH] [PROGRAM.exe] [--screenshot FILE]
#   ARCH x64 (default) or x86; PROGRAM defaults to build/windows-ARCH/app/oarepair.exe.
#   The screenshot goes to FILE (e.g. docs/messagebox.png), else into the throwaway folder.
# Exit status: 0 all passed, 1 a check failed, 77 skipped (ARCH cannot run here, e.g. 32-bit
# programs on a kernel without 32-bit support).
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/e2e-common.sh"

arch=x64
program=
screenshot=
while [[ $# -gt 0 ]]; do
    case $1 in
        x64|x86) arch=$1; shift ;;
        --screenshot) screenshot=${2:?--screenshot needs a file}; shift 2 ;;
        *) program=$1; shift ;;
    esac
done
program=${program:-$E2E_REPO/build/windows-$arch/app/oarepair.exe}
[[ -f $program ]] || { echo "e2e-wine.sh: $program not built" >&2; exit 1; }
program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")

if ! "$E2E_WINE_RUN" --check "$arch"; then
    echo "e2e-wine.sh: skipped: the $arch program cannot run on this machine (see above)"
    exit 77
fi
e2e_require_wine "$arch"
e2e_init "e2e-wine-$arch"
W=$E2E_WORK

# A prefix whose Wine traces the program's WinExec and MessageBoxA calls.
new_traced_prefix() { # DIR
    e2e_new_prefix "$1"
    e2e_reg "$1" add 'HKCU\Software\Wine\Debug' /v RelayInclude \
        /d 'kernel32.WinExec;user32.MessageBoxA' /f >/dev/null
}

# run PREFIX [ARGS...]: runs the program without a display; sets RC and CALLS (the traced calls,
# one a line: "WinExec <command> <show>" or "MessageBoxA <text> <caption> <type>").
run() {
    local prefix=$1
    shift
    RC=0
    (unset DISPLAY WAYLAND_DISPLAY
     cd "$W" && WINEPREFIX=$prefix WINEDEBUG=-all,+relay "$E2E_LOADER" "$program" "$@") \
        >/dev/null 2>"$W/trace" || RC=$?
    e2e_stop_server "$prefix"
    CALLS=$(sed -n -E \
        -e 's/^.*:Call KERNEL32\.WinExec\([0-9a-f]+ "(.*)",([0-9a-f]+)\).*$/WinExec \1 \2/p' \
        -e 's/^.*:Call user32\.MessageBoxA\([0-9a-f]+,[0-9a-f]+ "(.*)",[0-9a-f]+ "(.*)",([0-9a-f]+)\).*$/MessageBoxA \1 \2 \3/p' \
        "$W/trace")
}

expect_calls() { # EXPECTED
    [[ $CALLS == "$1" ]] || { printf '  calls were:\n%s\n' "$CALLS"; return 1; }
}

readonly START="WinExec RegSvr32 /s OleAut32.dll 00000000"
readonly BOX_OK="MessageBoxA $E2E_MERGED oarepair 00000000"
readonly BOX_FAILED="MessageBoxA $E2E_FAILED oarepair 00000010"

echo "== damaged registration ($arch)"
p=$W/damaged
new_traced_prefix "$p"
check "damage applied" e2e_damage "$p"
run "$p"
check "exit status 0" test "$RC" -eq 0
check "WinExec(\"RegSvr32 /s OleAut32.dll\", SW_HIDE), then string 1 with MB_OK" \
    expect_calls "$START"$'\n'"$BOX_OK"
check "RegSvr32 registered the class again and the junk is gone" e2e_repaired "$p"

echo "== command-line arguments change nothing"
p=$W/arguments
new_traced_prefix "$p"
check "damage applied" e2e_damage "$p"
run "$p" /u /x 'C:\other.dll'
check "exit status 0" test "$RC" -eq 0
check "the same calls" expect_calls "$START"$'\n'"$BOX_OK"
check "repaired" e2e_repaired "$p"

echo "== class key absent"
p=$W/absent
new_traced_prefix "$p"
check "class key removed beforehand" e2e_remove_class_key "$p"
run "$p"
check "exit status 0" test "$RC" -eq 0
check "tool started, then string 1" expect_calls "$START"$'\n'"$BOX_OK"
check "the class is registered again" e2e_key_exists "$p" "$E2E_CLASS\\InprocServer32"

echo "== class key that cannot be deleted"
p=$W/undeletable
new_traced_prefix "$p"
check "damage applied" e2e_damage "$p"
# The layered key never walks a '~Deleted' child, so the class key keeps a subkey.
e2e_reg "$p" add "$E2E_CLASS\\~Deleted" /f >/dev/null
run "$p"
check "exit status 1" test "$RC" -eq 1
check "tool still started, then string 2 with MB_ICONERROR" expect_calls "$START"$'\n'"$BOX_FAILED"
check "the class key is still there" e2e_key_exists "$p" "$E2E_CLASS\\~Deleted"
inproc=$(e2e_default_value "$p" "$E2E_CLASS\\InprocServer32")
check "RegSvr32 ran all the same (InprocServer32 is oleaut32.dll again)" \
    test "${inproc,,}" = "c:\\windows\\$(e2e_system_dir "$p")\\oleaut32.dll"

echo "== only the program's own view of a win64 prefix ($arch)"
class32='HKLM\Software\Classes\Wow6432Node\CLSID\{00020420-0000-0000-C000-000000000046}'
loader64=$("$E2E_WINE_RUN" --loader x64 2>/dev/null) || loader64=
if [[ -z $loader64 ]]; then
    echo "skipped: no 64-bit Wine here to make a win64 prefix"
else
    p=$W/views
    E2E_ARCH=x64 e2e_new_prefix "$p"
    if ! grep -q '^\[Software\\\\Classes\\\\Wow6432Node\\\\CLSID\\\\{00020420-' "$p/system.reg"; then
        echo "skipped: the win64 prefix has no 32-bit half (no 32-bit Wine runs here)"
    else
        # A marker in the view the program must not touch: the 32-bit one through its path in the
        # 64-bit view, or the 64-bit one.
        if [[ $arch == x64 ]]; then
            other="$class32\\Marker"
            check "damage applied (64-bit view)" e2e_damage "$p"
        else
            other="$E2E_CLASS\\Marker"
            check "damage applied (32-bit view, through the 32-bit reg.exe)" e2e_damage "$p"
        fi
        WINEPREFIX=$p "$loader64" reg add "$other" /f >/dev/null 2>&1
        e2e_stop_server "$p"
        run "$p"
        check "exit status 0" test "$RC" -eq 0
        check "its own view registered again, the junk gone" e2e_repaired "$p"
        check "the other view kept its class key" \
            eval 'WINEPREFIX=$p "$loader64" reg query "$other" >/dev/null 2>&1'
        e2e_stop_server "$p"
    fi
fi

echo "== the real message box under Xvfb"
if command -v xvfb-run >/dev/null && command -v xdotool >/dev/null && command -v import >/dev/null; then
    p=$W/xvfb
    e2e_new_prefix "$p"
    check "damage applied" e2e_damage "$p"
    shot=${screenshot:-$W/messagebox.png}
    cat >"$W/xvfb-session.sh" <<'SESSION'
# Runs in the Xvfb session: the program in a Wine desktop window (which draws the title bar), a
# screenshot of the box, then OK.
set -u
WINEPREFIX=$1 "$2" explorer /desktop=oarepair,480x200 "$3" >/dev/null 2>&1 &
wine_pid=$!
box=
for i in $(seq 1 120); do
    box=$(xdotool search --name '^oarepair$' 2>/dev/null | head -n 1)
    [ -n "$box" ] && break
    sleep 0.5
done
[ -n "$box" ] || { echo "  no message box window appeared"; kill "$wine_pid"; exit 2; }
sleep 2
import -window root -crop 480x200+0+0 +repage "$4" || exit 3
xdotool key Return
for i in $(seq 1 60); do
    xdotool search --name '^oarepair$' >/dev/null 2>&1 || break
    sleep 0.5
done
if xdotool search --name '^oarepair$' >/dev/null 2>&1; then echo "  OK did not close the box"; exit 4; fi
wait "$wine_pid"
SESSION
    RC=0
    timeout 180 xvfb-run -a -s "-screen 0 640x400x24" \
        bash "$W/xvfb-session.sh" "$p" "$E2E_TOOL" "$program" "$shot" || RC=$?
    e2e_stop_server "$p"
    check "box shown, screenshot taken, OK pressed" test "$RC" -eq 0
    check "screenshot is a 480x200 picture" \
        test "$(identify -format '%wx%h' "$shot" 2>/dev/null)" = 480x200
    check "repaired" e2e_repaired "$p"
    [[ -n $screenshot ]] && echo "screenshot: $screenshot"
else
    echo "SKIP: xvfb-run, xdotool or ImageMagick's import missing"
fi

e2e_finish
