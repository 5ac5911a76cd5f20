#!/usr/bin/env bash
# Reads the resources back from built oarepair.exe files and checks them: the string table
# (language 1041, strings 1 and 2), icon group 128 with two 16-colour icons (32x32 and 16x16),
# the version block (file and product version 1.0.0.1), the GUI subsystem, and that no MinGW
# runtime DLL is needed (fully static).
#
# Usage: scripts/check-resources.sh [PROGRAM.exe...]
#   default: build/windows-x86/app/oarepair.exe and build/windows-x64/app/oarepair.exe
# Needs icoutils (wrestool, icotool), python3 and a MinGW objdump.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [[ $# -eq 0 ]]; then
    set -- "$repo/build/windows-x86/app/oarepair.exe" "$repo/build/windows-x64/app/oarepair.exe"
fi
for tool in wrestool icotool python3; do
    command -v "$tool" >/dev/null || { echo "check-resources.sh: $tool is missing (apt-get install icoutils python3)" >&2; exit 2; }
done
objdump=$(command -v x86_64-w64-mingw32-objdump || command -v i686-w64-mingw32-objdump || command -v objdump)
strings1='Registry entries successfully merged'
strings2='The OLE Automation registration could not be repaired.'
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
check() { # DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then echo "PASS: $what"; passed=$((passed + 1)); else echo "FAIL: $what"; failed=$((failed + 1)); fi
}

# Prints "ID<TAB>TEXT" for every non-empty string of a raw RT_STRING block (16 counted UTF-16 strings).
string_block() { # FILE BLOCK
    python3 - "$1" "$2" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
block = int(sys.argv[2])
pos = 0
for i in range(16):
    (n,) = struct.unpack_from("<H", data, pos)
    pos += 2
    text = data[pos:pos + 2 * n].decode("utf-16-le")
    pos += 2 * n
    if n:
        print("%d\t%s" % ((block - 1) * 16 + i, text))
PY
}

# Prints "file=a.b.c.d product=a.b.c.d" from VS_FIXEDFILEINFO and each "Name=Value" string pair.
version_block() { # FILE
    python3 - "$1" <<'PY'
import re, struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))
if at < 0:
    sys.exit("no VS_FIXEDFILEINFO")
fms, fls, pms, pls = struct.unpack_from("<IIII", data, at + 8)
v = lambda ms, ls: "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
print("file=%s product=%s" % (v(fms, fls), v(pms, pls)))
text = data.decode("utf-16-le", errors="replace")
for name in ("FileVersion", "ProductVersion"):
    m = re.search(name + "\x00+([^\x00]*)", text)
    print("%s=%s" % (name, m.group(1) if m else ""))
PY
}

for exe in "$@"; do
    echo "== $exe"
    if [[ ! -f $exe ]]; then
        check "$exe is built" false
        continue
    fi
    listing=$(wrestool -l "$exe")
    echo "$listing" | sed 's/^/    /'
    check "string table block 1 in language 1041" grep -q -- '--type=6 --name=1 --language=1041' <<<"$listing"
    check "icon group 128" grep -q -- '--type=14 --name=128 ' <<<"$listing"
    check "icons 1 and 2" eval 'grep -q -- "--type=3 --name=1 " <<<"$listing" && grep -q -- "--type=3 --name=2 " <<<"$listing"'
    check "version block" grep -q -- '--type=16 ' <<<"$listing"

    wrestool -x --raw --type=6 --name=1 "$exe" >"$work/strings.bin"
    table=$(string_block "$work/strings.bin" 1)
    check "string 1 is \"$strings1\"" test "$(awk -F'\t' '$1 == 1 { print $2 }' <<<"$table")" = "$strings1"
    check "string 2 is \"$strings2\"" test "$(awk -F'\t' '$1 == 2 { print $2 }' <<<"$table")" = "$strings2"

    wrestool -x --type=14 --name=128 "$exe" >"$work/icon.ico"
    icons=$(icotool -l "$work/icon.ico")
    echo "$icons" | sed 's/^/    /'
    check "two icons in the group" test "$(grep -c -- '--icon' <<<"$icons")" -eq 2
    check "32x32, 16 colours" grep -q -- '--width=32 --height=32 --bit-depth=4 --palette-size=16' <<<"$icons"
    check "16x16, 16 colours" grep -q -- '--width=16 --height=16 --bit-depth=4 --palette-size=16' <<<"$icons"

    wrestool -x --raw --type=16 "$exe" >"$work/version.bin"
    version=$(version_block "$work/version.bin")
    echo "$version" | sed 's/^/    /'
    check "file and product version 1.0.0.1" grep -q '^file=1.0.0.1 product=1.0.0.1$' <<<"$version"
    check "version strings 1.0.0.1" eval 'grep -q "^FileVersion=1.0.0.1$" <<<"$version" && grep -q "^ProductVersion=1.0.0.1$" <<<"$version"'

    if [[ -n $objdump ]]; then
        headers=$("$objdump" -p "$exe")
        check "GUI subsystem" grep -q -E 'Subsystem[[:space:]]+00000002' <<<"$headers"
        dlls=$(awk '/DLL Name:/ { print $3 }' <<<"$headers" | tr '\n' ' ')
        echo "    imports: $dlls"
        check "no MinGW runtime DLL (fully static)" eval '! grep -q -i -E "libstdc|libgcc|libwinpthread" <<<"$dlls"'
    fi
done

echo "check-resources: $passed passed, $failed failed"
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
