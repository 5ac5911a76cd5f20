#!/usr/bin/env bash
# Makes seed inputs for the registry file fuzz target from a real wineboot prefix: user.reg and
# userdef.reg whole, and system.reg cut into files of the header plus 40 consecutive sections
# (libFuzzer works best on inputs of a few KB). Wine's template prefix is shared with the other
# suites of the build (cmake/wine-run.sh). Without a usable Wine only the kept seeds are used.
#
# Usage: make-seeds.sh OUTDIR      (writes OUTDIR/hive_file/*.reg; done once per OUTDIR)
# Environment: OAREPAIR_SOURCE_DIR (source tree), OAREPAIR_WINE_CACHE (wine-run.sh's cache).

set -euo pipefail

out=${1:?usage: make-seeds.sh OUTDIR}
root=${OAREPAIR_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
dest=$out/hive_file
mkdir -p "$dest"
if [[ -n $(find "$dest" -name '*.reg' -print -quit) ]]; then
    echo "make-seeds.sh: $(find "$dest" -name '*.reg' | wc -l) seeds already in $dest"
    exit 0
fi
if ! "$root/cmake/wine-run.sh" --check x64 >/dev/null 2>&1; then
    echo "make-seeds.sh: no usable 64-bit Wine here; the fuzz targets start from the kept seeds only"
    exit 0
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/oarepair-seeds.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
cache=()
[[ -n ${OAREPAIR_WINE_CACHE:-} ]] && cache=(--cache "$OAREPAIR_WINE_CACHE")
"$root/cmake/wine-run.sh" "${cache[@]}" --new-prefix x64 "$tmp/prefix"

cp "$tmp/prefix/user.reg" "$dest/wineboot-user.reg"
cp "$tmp/prefix/userdef.reg" "$dest/wineboot-userdef.reg"
# Paragraph mode: the header is the first two paragraphs (magic line and comment, #arch), every
# later paragraph is one section. Each output keeps Wine's layout: a blank line before each
# section, none at the end.
awk -v dest="$dest" 'BEGIN { RS = ""; ORS = "" }
    NR <= 2 && $0 !~ /^\[/ { header = header (header == "" ? "" : "\n\n") $0; next }
    { section[n++] = $0 }
    END {
        for (i = 0; i < n; i += 40) {
            file = sprintf("%s/wineboot-system-%04d.reg", dest, i / 40)
            printf "%s", header > file
            for (j = i; j < i + 40 && j < n; j++) printf "\n\n%s", section[j] > file
            printf "\n" > file
            close(file)
        }
    }' "$tmp/prefix/system.reg"
echo "make-seeds.sh: $(find "$dest" -name '*.reg' | wc -l) seeds from a wineboot prefix in $dest"
