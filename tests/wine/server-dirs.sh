#!/usr/bin/env bash
# Checks that the scripts which make throwaway Wine prefixes leave no Wine server folder behind.
# Debian's Wine makes one per prefix under $TMPDIR, names it in the prefix's "wineserver" file and
# leaves it when the server exits; copies of a prefix share their original's folder.
# Exit status: 0 all checks passed, 1 a check failed, 77 64-bit Wine cannot run here.
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/e2e-common.sh"
E2E_NAME=server-dirs
work=$(mktemp -d "${TMPDIR:-/tmp}/oarepair-server-dirs.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The removal itself: the named folder goes; a pointer of any other shape touches nothing.
mkdir -p "$work/t1/wine-Ab12cd/server-fe00-1" "$work/p" "$work/t1/keep"
echo wine-Ab12cd >"$work/p/wineserver"
TMPDIR=$work/t1 remove_wine_server_dir "$work/p"
check "the folder the prefix names is removed" test ! -e "$work/t1/wine-Ab12cd"
for pointer in "wine-x/../keep" "../keep" "keep" "wine-"; do
    echo "$pointer" >"$work/p/wineserver"
    TMPDIR=$work/t1 remove_wine_server_dir "$work/p"
    check "a pointer '$pointer' removes nothing" test -d "$work/t1/keep"
done

if ! /usr/lib/wine/wine64 --version >/dev/null 2>&1; then
    echo "skipped: the runs over a real prefix need 64-bit Wine, which cannot run here"
    e2e_finish || exit 1
    exit 77
fi

# A test run over a real wineboot prefix, with a TMPDIR of its own so that only its folders count.
mkdir "$work/t2"
TMPDIR=$work/t2 "$E2E_REPO/scripts/with-test-prefix.sh" /bin/true >"$work/log" 2>&1
over_wineboot() { grep -q "registry files unchanged" "$1" && ! grep -q "no usable Wine" "$1"; }
check "with-test-prefix.sh ran over a wineboot prefix" over_wineboot "$work/log"
check "with-test-prefix.sh left nothing in TMPDIR ($(ls -A "$work/t2" | tr '\n' ' '))" \
    test -z "$(ls -A "$work/t2")"

e2e_finish
