#!/usr/bin/env bash
# Long fuzzing runs: builds the fuzz preset (clang, libFuzzer, AddressSanitizer + UBSan) and runs
# each libFuzzer target for SECONDS (default 3600), one after the other, over the seeds and the
# corpus grown by earlier runs (kept in the build tree). CI runs the same targets for 60 s each
# (ctest -L fuzz); this script is for the long runs behind the figures in docs/RELIABILITY.md.
#
# Usage: scripts/fuzz-long.sh [--build DIR] [--jobs N] [SECONDS] [TARGET...]
#   TARGET    hive_file, registry_calls (default: both)
#   --build   build tree (default: $OAREPAIR_FUZZ_BUILD, else ${TMPDIR:-/tmp}/oarepair-fuzz-build)
#   --jobs    libFuzzer worker processes per target (default 1; each gets SECONDS of its own)
# Exit status: 0 when no target found anything; else 1, with the failing input under
# <build>/fuzz/work-<target>/artifacts/.

set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${OAREPAIR_FUZZ_BUILD:-${TMPDIR:-/tmp}/oarepair-fuzz-build}
jobs=1
seconds=3600
targets=()
while [[ $# -gt 0 ]]; do
    case $1 in
        --build) build=$2; shift ;;
        --jobs) jobs=$2; shift ;;
        -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        [0-9]*) seconds=$1 ;;
        hive_file|registry_calls) targets+=("$1") ;;
        *) echo "fuzz-long.sh: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done
[[ ${#targets[@]} -gt 0 ]] || targets=(hive_file registry_calls)

cd "$root"
cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" -j "${OAREPAIR_JOBS:-2}" --target fuzz_hive_file fuzz_registry_calls
OAREPAIR_SOURCE_DIR=$root OAREPAIR_WINE_CACHE=$build/wine-prefix fuzz/make-seeds.sh "$build/fuzz/seeds"

failed=0
for target in "${targets[@]}"; do
    pids=()
    for ((job = 0; job < jobs; job++)); do
        work=$build/fuzz/work-$target
        [[ $jobs -gt 1 ]] && work=$build/fuzz/work-$target-$job
        fuzz/run-fuzzer.sh "$build/fuzz/fuzz_$target" "$seconds" "$work" \
            "fuzz/seeds/$target" "$build/fuzz/seeds/$target" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do
        wait "$pid" || failed=1
    done
done
exit "$failed"
