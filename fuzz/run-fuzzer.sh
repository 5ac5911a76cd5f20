#!/usr/bin/env bash
# Runs one libFuzzer target for a bounded time over its seeds and the corpus it has grown so far.
#
# Usage: run-fuzzer.sh TARGET SECONDS WORKDIR [SEEDDIR...]
#   WORKDIR keeps the target's corpus (WORKDIR/corpus, grown from run to run), the inputs that
#   failed (WORKDIR/artifacts) and the log of the last run (WORKDIR/last.log). Seed folders that
#   do not exist are left out.
# Exit status: the target's (0 when nothing was found). The last lines printed give the figures:
# inputs run, inputs accepted, refused and joined (registry file target), corpus size.

set -euo pipefail

if [[ $# -lt 3 ]]; then
    sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
fi
target=$1
seconds=$2
work=$3
shift 3

mkdir -p "$work/corpus" "$work/artifacts"
seeds=()
for dir in "$@"; do
    [[ -d $dir ]] && seeds+=("$dir")
done

name=$(basename "$target")
echo "run-fuzzer.sh: $name for $seconds s; seeds: ${seeds[*]:-none}"
status=0
# Registry files go up to a few KB per section window; 64 KB leaves room to grow them.
"$target" -max_total_time="$seconds" -max_len=65536 -timeout=20 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
    "$work/corpus" "${seeds[@]}" >"$work/last.log" 2>&1 || status=$?

# The libFuzzer summary and the target's own counts.
grep -E '^(Done [0-9]+ runs|stat::number_of_executed_units|stat::peak_rss_mb)|_fuzzer: ' \
    "$work/last.log" || true
echo "run-fuzzer.sh: corpus of $name: $(find "$work/corpus" -type f | wc -l) inputs"
if [[ $status -ne 0 ]]; then
    echo "run-fuzzer.sh: $name FAILED (status $status); the end of its log:" >&2
    tail -n 60 "$work/last.log" >&2
    ls -l "$work/artifacts" >&2 || true
fi
exit "$status"
