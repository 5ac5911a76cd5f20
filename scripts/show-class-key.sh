#!/usr/bin/env bash
# Prints HKEY_CLASSES_ROOT\CLSID\{00020420-0000-0000-C000-000000000046} with its subkeys and values
# as the system.reg of a Wine prefix holds them, without starting Wine.
#
# Usage: scripts/show-class-key.sh PREFIX_DIR
set -euo pipefail

prefix=${1:?usage: show-class-key.sh PREFIX_DIR}
[[ -f $prefix/system.reg ]] || { echo "show-class-key.sh: $prefix has no system.reg" >&2; exit 2; }

awk '
    /^\[/ {
        path = $0
        sub(/^\[/, "", path); sub(/\] [0-9]*$/, "", path); sub(/\]$/, "", path)
        gsub(/\\\\/, "\\", path)
        show = (tolower(path) ~ /^software\\classes\\clsid\\\{00020420-0000-0000-c000-000000000046\}(\\|$)/)
        if (show) { sub(/^Software\\Classes\\/, "HKEY_CLASSES_ROOT\\", path); print path; found = 1 }
        next
    }
    /^#/ || /^$/ { next }
    show { line = $0; gsub(/\\\\/, "\\", line); print "    " line }
    END { if (!found) print "(HKEY_CLASSES_ROOT\\CLSID\\{00020420-0000-0000-C000-000000000046} is not there)" }
' "$prefix/system.reg"
