#!/usr/bin/env bash
# Builds the Linux program (optimised: the release preset) and repairs a copy of the bundled demo
# prefix (demo/prefix: a small Wine registry with a damaged OLE Automation registration), showing the
# class key before and after.
# Nothing of yours is touched: the copy lives in a temporary folder that is removed at the end.
#
# Usage: scripts/demo.sh [--stand-in]
#   With a 64-bit Wine installed, the registration tool really runs: Wine first completes the
#   small demo prefix (about 20 s), then RegSvr32 registers the class again. Without Wine, or with
#   --stand-in, a stand-in for Wine's loader shows what would have been started.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$repo/scripts/wine-server-dir.sh"
use_wine=1
[[ ${1:-} == --stand-in ]] && use_wine=0

echo "== Building the Linux program (cmake --preset release)"
(cd "$repo" && cmake --preset release >/dev/null && cmake --build --preset release -j2 --target oarepair >/dev/null)
program=$repo/build/release/app/oarepair

work=$(mktemp -d "${TMPDIR:-/tmp}/oarepair-demo.XXXXXX")
prefix=$work/prefix
cleanup() {
    if [[ -f $prefix/wineserver ]]; then
        WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
        WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1 || true
        remove_wine_server_dir "$prefix"
    fi
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -m 700 "$prefix"
cp "$repo"/demo/prefix/*.reg "$prefix/"

loader=
if [[ $use_wine == 1 ]]; then
    loader=$("$repo/cmake/wine-run.sh" --loader x64 2>/dev/null) || loader=
fi
if [[ -z $loader ]]; then
    # Stand-ins for both loaders, side by side as Wine installs them: the program looks for the
    # 32-bit one beside the 64-bit one it is given.
    mkdir "$work/stand-in"
    for name in wine64 wine; do
        cat >"$work/stand-in/$name" <<STANDIN
#!/bin/sh
echo "[stand-in for Wine] $name would run: \$* (WINEPREFIX=\$WINEPREFIX)" >>"$work/stand-in.log"
STANDIN
        chmod +x "$work/stand-in/$name"
    done
    loader=$work/stand-in/wine64
fi

echo
echo "== The damaged class key in the demo prefix (a copy in $work)"
"$repo/scripts/show-class-key.sh" "$prefix"

echo
echo "== Running: WINEPREFIX=<copy> WINE=$loader oarepair"
rc=0
# No display for Wine: the registration tool runs silently, as it does on Windows.
env -u DISPLAY -u WAYLAND_DISPLAY WINEPREFIX="$prefix" WINE="$loader" WINEDEBUG=-all \
    WINEDLLOVERRIDES="mscoree,mshtml=" "$program" || rc=$?
echo "exit status: $rc ($([[ $rc == 0 ]] && echo "repaired" || echo "not repaired"))"

echo
if [[ $loader == "$work/stand-in/wine64" ]]; then
    for i in $(seq 1 50); do [[ -f $work/stand-in.log ]] && break; sleep 0.1; done
    cat "$work/stand-in.log" 2>/dev/null || echo "(the stand-in was not started)"
else
    echo "== Waiting for Wine (it completes the small demo prefix first, then runs RegSvr32)"
    for i in $(seq 1 120); do
        sleep 1
        WINEPREFIX=$prefix timeout 120 wineserver -w >/dev/null 2>&1 || true
        grep -q -i 'system32\\\\oleaut32.dll' \
            <(awk '/00020420-0000-0000-C000-000000000046}\\\\InprocServer32\]/,/^$/' "$prefix/system.reg") && break
    done
fi

echo
echo "== The class key afterwards"
"$repo/scripts/show-class-key.sh" "$prefix"
exit "$rc"
