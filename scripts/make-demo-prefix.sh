#!/usr/bin/env bash
# Makes the small demo prefix in demo/prefix/: the registry files of a fresh Wine prefix, with a
# damaged OLE Automation registration, cut down to a few sections.
#
# The damage is what oarepair repairs: HKEY_CLASSES_ROOT\CLSID\{00020420-0000-0000-C000-000000000046}
# gets a bogus InprocServer32 default value and a junk subtree three levels deep. Kept are the file
# headers (with #arch, without which Wine takes a prefix for 32-bit), the damaged class key with its
# subtree, its neighbours {00020421..24} and the IDispatch interface that names it, and two small
# sections of user.reg. userdef.reg keeps only its header: its sections hold this machine's paths.
#
# Usage: scripts/make-demo-prefix.sh [OUTPUT_DIR]      (default: demo/prefix of this repository)
# Needs Wine (64-bit loader) and wineserver. Runs in a throwaway prefix; ~/.wine is never used.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
out=${1:-$repo/demo/prefix}
wine_run=$repo/cmake/wine-run.sh

loader=$("$wine_run" --loader x64) || { echo "make-demo-prefix.sh: needs a 64-bit Wine" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/oarepair-demo-gen.XXXXXX")
cleanup() {
    WINEPREFIX=$work/prefix wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX=$work/prefix wineserver -w >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

"$wine_run" --new-prefix x64 "$work/prefix"
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINELOADER=$loader
key='HKCR\CLSID\{00020420-0000-0000-C000-000000000046}'
"$loader" reg add "$key\\InprocServer32" /ve /d 'C:\windows\system32\bogus-ole.dll' /f >/dev/null
"$loader" reg add "$key\\Junk\\Level2\\Level3" /v Leftover /d 'stale entry' /f >/dev/null
wineserver -w

# Prints the 4 header lines of a registry file and the sections whose header matches REGEX, each
# section as Wine writes it (a blank line, then the section).
trim() { # FILE REGEX
    KEEP=$2 awk '
        BEGIN { keep = ENVIRON["KEEP"] }
        NR <= 4 { print; next }
        /^\[/ { take = ($0 ~ keep) }
        /^$/ { blank = 1; next }
        take { if (blank) print ""; blank = 0; print; next }
        { blank = 0 }
    ' "$1"
}

mkdir -p "$out"
trim "$WINEPREFIX/system.reg" \
    '^\[Software\\\\Classes\\\\(CLSID\\\\\{0002042[0-4]|Interface\\\\\{00020400)-0000-0000-C000-000000000046\}' \
    >"$out/system.reg"
trim "$WINEPREFIX/user.reg" '^\[(Control Panel\\\\Keyboard|Keyboard Layout\\\\Preload)\]' >"$out/user.reg"
trim "$WINEPREFIX/userdef.reg" '^$^' >"$out/userdef.reg"

# Nothing of this machine may travel with the demo.
if grep -n -i -e "users\\\\\\\\$(id -un)" -e '/tmp' -e '/home' -e 'Z:\\\\' "$out"/*.reg; then
    echo "make-demo-prefix.sh: the trimmed files name this machine; not kept" >&2
    rm -f "$out"/*.reg
    exit 1
fi
grep -q 'Junk\\\\Level2\\\\Level3' "$out/system.reg" || { echo "make-demo-prefix.sh: damage missing" >&2; exit 1; }
wc -c "$out"/*.reg
