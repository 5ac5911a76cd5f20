#!/usr/bin/env bash
# Runs the reliability suite on its own (interrupted saves, injected I/O and registry-call faults,
# concurrent Wine and our own processes, hostile input) and writes the figures it reached to a
# file; docs/RELIABILITY.md reports those figures. CI runs the same suite as the ctest
# reliability_tests in the linux and linux-asan presets.
#
# Usage: scripts/crash-test.sh [--long] [--build DIR] [--preset NAME] [--figures FILE]
#                              [-- GTEST-ARGS...]
#   --long      interrupt the save of a bigger file (about 150 KB) in pieces of 128 bytes: about
#               fourteen times the interruption points of the CI run (10 to 20 minutes)
#   --build     build tree (default: ${TMPDIR:-/tmp}/oarepair-crash-<preset>)
#   --preset    configure preset to build with (default: linux; linux-asan adds the sanitizers)
#   --figures   where the figures go (default: <build>/reliability-figures.txt)
# Exit status: the suite's.

set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
preset=linux
build=
figures=
long=0
gtest=()
while [[ $# -gt 0 ]]; do
    case $1 in
        --long) long=1 ;;
        --build) build=$2; shift ;;
        --preset) preset=$2; shift ;;
        --figures) figures=$2; shift ;;
        --) shift; gtest=("$@"); break ;;
        -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "crash-test.sh: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done
build=${build:-${TMPDIR:-/tmp}/oarepair-crash-$preset}
figures=${figures:-$build/reliability-figures.txt}

cd "$root"
cmake --preset "$preset" -B "$build" >/dev/null
cmake --build "$build" -j "${OAREPAIR_JOBS:-2}" --target reliability_tests oarepair

if [[ $long -eq 1 ]]; then
    export OAREPAIR_CRASH_PADDING=1000 OAREPAIR_CRASH_PIECE=128
fi
# Never the user's own prefix: anything that forgets its throwaway prefix gets an empty one.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/oarepair-crash.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export WINEPREFIX=$scratch/unused-wineprefix WINEDEBUG=-all
export OAREPAIR_WINE_CACHE=$build/wine-prefix

: >"$figures"
status=0
OAREPAIR_RELIABILITY_FIGURES=$figures "$build/tests/reliability/reliability_tests" "${gtest[@]}" ||
    status=$?
echo
echo "crash-test.sh: figures written to $figures:"
cat "$figures"
exit "$status"
