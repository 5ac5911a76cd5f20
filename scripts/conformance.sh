#!/usr/bin/env bash
# Holds the Linux registry (platform/) to Wine's behaviour: runs the conformance probe
# (tests/conformance/probe.cpp) natively and, as a 64-bit Windows program, under Wine in a throwaway
# prefix, and compares the two outputs line by line. Every case whose line differs must be listed in
# tests/conformance/expected-differences.txt with its reason, and every listed case must still differ.
#
# Usage: scripts/conformance.sh [options]
#   --linux PROBE        Linux probe to run (default: build it: cmake target `platform` in --build-dir,
#                        then compile the probe against libplatform.a with $CXX, default c++)
#   --windows PROBE.exe  Windows x64 probe (default: cross-compile it with MinGW-w64)
#   --build-dir DIR      where the script builds (default: ${TMPDIR:-/tmp}/oarepair-conformance-<uid>)
#   --reference-only     compare with the committed Wine output only; do not run Wine
#   --require-wine       exit 77 (skipped) when Wine or MinGW-w64 is missing instead of falling back to
#                        the committed Wine output
#   --wine-only          run only the Windows probe under Wine and compare it with the committed
#                        reference (checks that the reference is current)
#   --update-reference   write the fresh Wine output to tests/conformance/wine-x64.txt
#   --keep DIR           leave linux.txt, wine.txt and diff.txt in DIR
#   --view VIEW          with --reference-only: the view the Linux probe answers in, compared with
#                        32-bit Wine's committed output: x86-in-win64 (a 32-bit program in a copy of
#                        the win64 prefix of tests/fixtures, tests/conformance/wine-x86-in-win64.txt)
#                        or x86-in-win32 (in the win32 prefix, wine-x86-in-win32.txt)
#
# The Wine side is compared when Wine can run 64-bit programs here; otherwise the committed reference
# tests/conformance/wine-x64.txt stands in for it.
# Exit status: 0 conformant, 1 unexpected or stale differences, 2 usage or build failure, 77 skipped.

set -euo pipefail

readonly SKIP=77
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
conf_dir=$root/tests/conformance
reference=$conf_dir/wine-x64.txt
expected=$conf_dir/expected-differences.txt
wine_run=$root/cmake/wine-run.sh

die() {
    echo "conformance.sh: $*" >&2
    exit 2
}

usage() {
    sed -n '7,25p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

linux_probe=
windows_probe=
build_dir=${TMPDIR:-/tmp}/oarepair-conformance-$(id -u)
reference_only=0
require_wine=0
wine_only=0
update_reference=0
keep_dir=
view=
while [[ $# -gt 0 ]]; do
    case $1 in
        --linux) [[ $# -ge 2 ]] || usage; linux_probe=$2; shift 2 ;;
        --windows) [[ $# -ge 2 ]] || usage; windows_probe=$2; shift 2 ;;
        --build-dir) [[ $# -ge 2 ]] || usage; build_dir=$2; shift 2 ;;
        --reference-only) reference_only=1; shift ;;
        --require-wine) require_wine=1; shift ;;
        --wine-only) wine_only=1; shift ;;
        --update-reference) update_reference=1; shift ;;
        --keep) [[ $# -ge 2 ]] || usage; keep_dir=$2; shift 2 ;;
        --view) [[ $# -ge 2 ]] || usage; view=$2; shift 2 ;;
        -h|--help) usage ;;
        *) echo "conformance.sh: unknown argument '$1'" >&2; usage ;;
    esac
done
if [[ $reference_only == 1 && ( $require_wine == 1 || $wine_only == 1 || $update_reference == 1 ) ]]; then
    die "--reference-only cannot be combined with --require-wine, --wine-only or --update-reference"
fi

probe_args=()
case $view in
    "") ;;
    x86-in-win64|x86-in-win32)
        [[ $reference_only == 1 ]] || die "--view needs --reference-only"
        reference=$conf_dir/wine-$view.txt
        ;;
    *) die "unknown view '$view' (x86-in-win64 or x86-in-win32)" ;;
esac

work=$(mktemp -d "${TMPDIR:-/tmp}/oarepair-conformance.XXXXXX")
if [[ -n $view ]]; then
    # The 32-bit view exists only over a prefix: a copy of the one Wine 8.0 made.
    mkdir "$work/prefix"
    fixture=win32
    [[ $view == x86-in-win64 ]] && fixture=win64-wow64
    cp "$root/tests/fixtures/wine-8.0/$fixture/"*.reg "$work/prefix/"
    probe_args=(--prefix "$work/prefix" --view 32)
fi
cleanup() {
    if [[ -n $keep_dir ]]; then
        mkdir -p "$keep_dir"
        cp "$work"/*.txt "$keep_dir"/ 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# Wine unavailable: skip when it is required, else note it and use the reference.
no_wine() {
    if [[ $require_wine == 1 || $wine_only == 1 || $update_reference == 1 ]]; then
        echo "conformance.sh: skipped: $*" >&2
        exit "$SKIP"
    fi
    echo "conformance.sh: $*; comparing with the committed reference instead" >&2
}

# --- the Wine side -------------------------------------------------------------------------------------

# Prints the MinGW-w64 C++ compiler for x64 programs, or nothing.
find_mingw() {
    local candidate
    for candidate in "${OAREPAIR_MINGW_CXX:-}" x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++; do
        [[ -n $candidate ]] && command -v "$candidate" >/dev/null 2>&1 && { command -v "$candidate"; return; }
    done
}

wine_output=
if [[ $reference_only == 0 ]]; then
    wine_ok=1
    if ! "$wine_run" --check x64 2>"$work/wine-check.err"; then
        no_wine "Wine cannot run 64-bit programs here ($(head -n 1 "$work/wine-check.err"))"
        wine_ok=0
    fi
    if [[ $wine_ok == 1 && -z $windows_probe ]]; then
        mingw=$(find_mingw)
        if [[ -z $mingw ]]; then
            no_wine "no MinGW-w64 C++ compiler (x86_64-w64-mingw32-g++) to build the Windows probe"
            wine_ok=0
        else
            windows_probe=$work/probe.exe
            "$mingw" -std=c++17 -O1 -static -I"$root" "$conf_dir/probe.cpp" -o "$windows_probe" ||
                die "building the Windows probe failed"
        fi
    fi
    if [[ $wine_ok == 1 ]]; then
        [[ -f $windows_probe ]] || die "no Windows probe at $windows_probe"
        status=0
        # A fixed locale keeps lstrcmpA's code page the same on every machine.
        LANG=C.UTF-8 LC_ALL=C.UTF-8 timeout 300 "$wine_run" x64 "$windows_probe" \
            >"$work/wine.raw" 2>"$work/wine.err" || status=$?
        tr -d '\r' <"$work/wine.raw" >"$work/wine.txt"
        if [[ $status != 0 ]] || ! tail -n 1 "$work/wine.txt" | grep -q '^904-'; then
            cat "$work/wine.err" >&2
            die "the Windows probe did not finish under Wine (exit $status)"
        fi
        wine_output=$work/wine.txt
        if [[ $update_reference == 1 ]]; then
            cp "$wine_output" "$reference"
            echo "conformance.sh: wrote $(wc -l <"$reference") lines to tests/conformance/wine-x64.txt"
        elif [[ -f $reference ]] && ! cmp -s "$wine_output" "$reference"; then
            echo "conformance.sh: WARNING: fresh Wine output differs from tests/conformance/wine-x64.txt" \
                 "(regenerate it with --update-reference):" >&2
            diff "$reference" "$wine_output" >&2 || true
            [[ $wine_only == 1 ]] && exit 1
        fi
        if [[ $wine_only == 1 ]]; then
            echo "conformance.sh: Wine output matches the committed reference ($(wc -l <"$wine_output") lines)"
            exit 0
        fi
    fi
fi
if [[ -z $wine_output ]]; then
    [[ -f $reference ]] || die "no Wine output and no reference at tests/conformance/wine-x64.txt"
    wine_output=$reference
fi

# --- the Linux side ------------------------------------------------------------------------------------

if [[ -z $linux_probe ]]; then
    cmake -S "$root" -B "$build_dir" -DOAREPAIR_BUILD_TESTS=OFF >"$work/cmake.log" 2>&1 ||
        { cat "$work/cmake.log" >&2; die "configuring $build_dir failed"; }
    cmake --build "$build_dir" --target platform >>"$work/cmake.log" 2>&1 ||
        { cat "$work/cmake.log" >&2; die "building the platform library failed"; }
    linux_probe=$build_dir/conformance_probe
    "${CXX:-c++}" -std=c++17 -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Werror \
        -I"$root" "$conf_dir/probe.cpp" "$build_dir/platform/libplatform.a" -o "$linux_probe" ||
        die "building the Linux probe failed"
fi
[[ -x $linux_probe ]] || die "no Linux probe at $linux_probe"
status=0
timeout 300 "$linux_probe" "${probe_args[@]}" >"$work/linux.txt" 2>"$work/linux.err" || status=$?
if [[ $status != 0 ]]; then
    cat "$work/linux.err" >&2
    echo "conformance.sh: the Linux probe ended with status $status after $(wc -l <"$work/linux.txt") lines" >&2
fi

# --- comparison ----------------------------------------------------------------------------------------

# One line per case: "case-name<TAB>rest of the line", for either side.
awk -v linux="$work/linux.txt" -v wine="$wine_output" -v listed="${expected}" '
    function key(line) { sub(/ .*/, "", line); return line }
    BEGIN {
        while ((getline line < linux) > 0) { k = key(line); L[k] = line; if (!(k in seen)) { order[++n] = k; seen[k] = 1 } }
        while ((getline line < wine) > 0) { k = key(line); W[k] = line; if (!(k in seen)) { order[++n] = k; seen[k] = 1 } }
        bad = 0
        while ((getline line < listed) > 0) {
            if (line ~ /^[ \t]*(#|$)/) continue
            name = line; sub(/[ \t]*#.*/, "", name)
            reason = line; if (!sub(/^[^#]*#[ \t]*/, "", reason)) reason = ""
            if (name ~ /[ \t]/ || reason == "") {
                print "bad entry in expected-differences.txt (want: case-name # reason): " line
                bad = 1
                continue
            }
            E[name] = reason
        }
        unexpected = 0; stale = 0; expected_n = 0
        for (i = 1; i <= n; i++) {
            k = order[i]
            lin = (k in L) ? L[k] : "(missing)"
            win = (k in W) ? W[k] : "(missing)"
            if (lin == win) {
                if (k in E) { print "STALE   " k " is listed as differing but matches: " lin; stale++ }
                continue
            }
            if (k in E) { expected_n++; print "EXPECTED " k "  # " E[k]; continue }
            unexpected++
            print "DIFFERS " k
            print "  linux: " lin
            print "  wine:  " win
        }
        for (k in E) if (!(k in seen)) { print "STALE   " k " is listed but no probe line has that name"; stale++ }
        printf "conformance: %d cases, %d expected differences, %d unexpected, %d stale entries\n", \
            n, expected_n, unexpected, stale
        exit (unexpected || stale || bad) ? 1 : 0
    }' >"$work/diff.txt" && result=0 || result=$?
cat "$work/diff.txt"
if [[ $status != 0 ]]; then
    exit 1
fi
exit "$result"
