#!/usr/bin/env bash
# Builds and tests every configuration that CI checks: the native Linux build, the same under the
# address and undefined-behaviour sanitizers, and the 64- and 32-bit Windows builds with their tests
# under Wine (32-bit programs run natively where the kernel allows, else under qemu-i386; their
# tests are reported as skipped only where neither works), then the fuzz targets, the optimised
# program users run and the benchmarks (built and run briefly; their figures are not judged).
# Every step runs even after one fails; the exit status is 1 if any step failed.
#
# Usage: scripts/test-all.sh [--fail-fast] [--fresh] [STEP...]
#   STEP         run only these steps (default: all, in order): linux linux-asan windows-x64
#                windows-x86 fuzz release bench, and the extra checks listed at the end of this
#                script
#   --fail-fast  stop at the first failing step
#   --fresh      configure each preset's build tree from scratch
# Environment: OAREPAIR_JOBS (build parallelism, default 2); OAREPAIR_X86_MODE (how 32-bit
# programs run: auto, native or emulated; see cmake/wine-run.sh).
# Needs the packages of scripts/setup-debian.sh.

set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

jobs=${OAREPAIR_JOBS:-2}
fail_fast=0
fresh=()
only=()
while [[ $# -gt 0 ]]; do
    case $1 in
        --fail-fast) fail_fast=1 ;;
        --fresh) fresh=(--fresh) ;;
        -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        -*) echo "test-all.sh: unknown option $1" >&2; exit 2 ;;
        *) only+=("$1") ;;
    esac
    shift
done

# Nothing here may touch the user's Wine prefix: a test that forgets to make its own throwaway
# prefix gets this empty one, removed at the end.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/oarepair-test-all.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export WINEPREFIX=$scratch/unused-wineprefix
export WINEDEBUG=-all
# The Wine loader for programs and scripts that start Wine themselves (64-bit: the `wine` wrapper
# prefers the 32-bit loader, which cannot run on kernels without 32-bit support).
OAREPAIR_WINE=$(cmake/wine-run.sh --loader x64 2>/dev/null) || OAREPAIR_WINE=
export OAREPAIR_WINE

passed=()
failed=()
step() { # NAME COMMAND [ARG...]
    local name=$1
    shift
    if [[ ${#only[@]} -gt 0 && ! " ${only[*]} " == *" $name "* ]]; then
        return 0
    fi
    echo
    echo "=== $name"
    local start=$SECONDS status=0
    "$@" || status=$?
    local took=$((SECONDS - start))
    if [[ $status -eq 0 ]]; then
        echo "=== $name: passed (${took} s)"
        passed+=("$name")
    else
        echo "=== $name: FAILED with status $status (${took} s)"
        failed+=("$name")
        if [[ $fail_fast -eq 1 ]]; then
            summary
        fi
    fi
}

summary() {
    echo
    echo "=== passed: ${passed[*]:-none}"
    if [[ ${#failed[@]} -gt 0 ]]; then
        echo "=== FAILED: ${failed[*]}"
        exit 1
    fi
    if [[ ${#passed[@]} -eq 0 ]]; then
        echo "=== no step ran" >&2
        exit 1
    fi
    exit 0
}

# shellcheck disable=SC2317  # called through step
preset() { # NAME: configure, build and test one preset
    cmake --preset "$1" "${fresh[@]}" &&
        cmake --build --preset "$1" -j "$jobs" &&
        ctest --preset "$1"
}

step linux preset linux
step linux-asan preset linux-asan
step windows-x64 preset windows-x64
# shellcheck disable=SC2317  # called through step
x86_preset() { # the windows-x86 preset, saying first which way its 32-bit programs run
    local way
    if way=$(cmake/wine-run.sh --way x86 2>&1); then
        echo "windows-x86: 32-bit programs run $way"
    else
        echo "windows-x86: ${way#wine-run.sh: }"
    fi
    preset windows-x86
}

step windows-x86 x86_preset
step fuzz preset fuzz

# shellcheck disable=SC2317  # called through step
release_check() { # the optimised program users run: built, installed, and run on the demo prefix
    scripts/demo.sh --stand-in | tee "$scratch/demo.log" &&
        tail -1 "$scratch/demo.log" | grep -q 'is not there' &&
        cmake --install build/release --prefix "$scratch/install" >/dev/null &&
        test -x "$scratch/install/bin/oarepair" &&
        echo "release: cmake --install put oarepair in bin/"
}

# shellcheck disable=SC2317  # called through step
bench_check() { # the benchmarks build and run: no figures are judged here, only that they work
    cmake --preset bench "${fresh[@]}" && cmake --build --preset bench -j "$jobs" || return 1
    local out=$scratch/bench.json
    build/bench/bench/oarepair_bench --prefix="$root/demo/prefix" --no-peak \
        --benchmark_filter='/1000(/|$)|/10000(/|$)|:prefix$' --benchmark_min_time=0.01 \
        --benchmark_format=json >"$out" || return 1
    python3 - "$out" <<'PY' || return 1
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
failed = [r["name"] for r in runs if r.get("error_occurred")]
print("bench: %d benchmarks ran, %d failed %s" % (len(runs), len(failed), " ".join(failed)))
sys.exit(1 if failed or len(runs) < 10 else 0)
PY
    scripts/bench-vs-wine --runs 1 --wine-runs 0 --program build/bench/app/oarepair \
        "$root/demo/prefix"
}

step release release_check
step bench bench_check

# Extra checks: add one line per check, `step <name> <command> [args...]`; the command runs from the
# top of the source tree and fails the run with a non-zero status.

summary
