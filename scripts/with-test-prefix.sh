#!/usr/bin/env bash
# Runs a test program against the registry files of a throwaway Wine prefix instead of the
# in-memory registry (OAREPAIR_TEST_PREFIX), then checks that the program left the files as it
# found them: every scratch key it made is gone again, byte for byte.
# The prefix comes from a real `wineboot` when 64-bit Wine runs here, else from minimal files.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-server-dir.sh"

prog=$1
shift
prefix=$(mktemp -d "${TMPDIR:-/tmp}/oarepair-prefix-XXXXXX")
cleanup() {
  WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1 || true
  remove_wine_server_dir "$prefix"
  rm -rf "$prefix"
}
trap cleanup EXIT

wine64=/usr/lib/wine/wine64
if [ -x "$wine64" ] && "$wine64" --version >/dev/null 2>&1; then
  WINEPREFIX=$prefix WINEDEBUG=-all WINELOADER=$wine64 "$wine64" wineboot -i >/dev/null 2>&1 || true
  WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1 || true
fi
if [ ! -s "$prefix/user.reg" ] || [ ! -s "$prefix/system.reg" ]; then
  echo "with-test-prefix: no usable Wine here, using a minimal prefix"
  printf 'WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n#arch=win64\n\n[Software\\\\Classes] 1700000000\n#time=1da1747c66d0000\n' >"$prefix/system.reg"
  printf 'WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n\n[Software] 1700000000\n#time=1da1747c66d0000\n' >"$prefix/user.reg"
fi
cp -p "$prefix/system.reg" "$prefix/system.reg.before"
cp -p "$prefix/user.reg" "$prefix/user.reg.before"

OAREPAIR_TEST_PREFIX=$prefix "$prog" "$@"

for f in system.reg user.reg; do
  if ! cmp -s "$prefix/$f.before" "$prefix/$f"; then
    echo "with-test-prefix: $f differs after the run:" >&2
    diff "$prefix/$f.before" "$prefix/$f" | head -20 >&2 || true
    exit 1
  fi
done
echo "with-test-prefix: registry files unchanged after the run"
