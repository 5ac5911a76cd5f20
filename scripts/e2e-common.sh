# Shared pieces of the end-to-end scripts (sourced): throwaway Wine prefixes, the damage the
# repair must undo, registry look-ups through Wine's own reg.exe, and the check bookkeeping.
# Never touches ~/.wine: every prefix is a copy of a template made by cmake/wine-run.sh.

E2E_REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
E2E_WINE_RUN=${OAREPAIR_WINE_RUN:-$E2E_REPO/cmake/wine-run.sh}
E2E_CLASS='HKCR\CLSID\{00020420-0000-0000-C000-000000000046}'
E2E_MERGED='Registry entries successfully merged'
E2E_FAILED='The OLE Automation registration could not be repaired.'
E2E_PASSED=0
E2E_FAILED_COUNT=0
export WINEDEBUG=-all

# wineserver: Debian's wrapper on PATH, else the one beside the loaders.
wineserver() {
    local server
    server=$(type -P wineserver 2>/dev/null || true)
    [[ -z $server && -x /usr/lib/wine/wineserver ]] && server=/usr/lib/wine/wineserver
    [[ -n $server ]] || { echo "e2e: no wineserver found" >&2; return 127; }
    "$server" "$@"
}

# Sets E2E_WORK (removed at exit, after stopping every wineserver of its prefixes) and the cache
# of template prefixes.
e2e_init() { # NAME
    E2E_NAME=$1
    E2E_WORK=$(mktemp -d "${TMPDIR:-/tmp}/oarepair-$E2E_NAME.XXXXXX")
    export OAREPAIR_WINE_CACHE=${OAREPAIR_WINE_CACHE:-${TMPDIR:-/tmp}/oarepair-wine-$(id -u)}
    trap e2e_cleanup EXIT
}

e2e_cleanup() {
    local dir
    for dir in "$E2E_WORK"/*/; do
        [[ -f $dir/system.reg ]] || continue
        WINEPREFIX=${dir%/} wineserver -k >/dev/null 2>&1 || true
        WINEPREFIX=${dir%/} wineserver -w >/dev/null 2>&1 || true
        e2e_remove_server_dir "${dir%/}"
    done
    [[ ${OAREPAIR_E2E_KEEP:-0} == 1 ]] && { echo "kept $E2E_WORK"; return; }
    rm -rf "$E2E_WORK"
}

# Debian's Wine keeps each prefix's server folder under /tmp; remove it with the prefix.
e2e_remove_server_dir() { # PREFIX
    local name
    [[ -f $1/wineserver ]] || return 0
    name=$(cat "$1/wineserver" 2>/dev/null || true)
    [[ $name =~ ^wine-[A-Za-z0-9]+$ ]] || return 0
    local base
    for base in "${TMPDIR:-/tmp}" /tmp; do
        [[ -d $base/$name && -O $base/$name ]] && rm -rf "${base:?}/$name"
    done
    return 0
}

e2e_pass() { echo "PASS: $*"; E2E_PASSED=$((E2E_PASSED + 1)); }
e2e_fail() { echo "FAIL: $*"; E2E_FAILED_COUNT=$((E2E_FAILED_COUNT + 1)); }

# check DESCRIPTION COMMAND...: passes when COMMAND succeeds.
check() {
    local what=$1
    shift
    if "$@"; then e2e_pass "$what"; else e2e_fail "$what"; fi
}

# Prints the closing line and exits with the verdict.
e2e_finish() {
    echo "$E2E_NAME: $E2E_PASSED passed, $E2E_FAILED_COUNT failed"
    echo "$E2E_PASSED passed, $E2E_FAILED_COUNT failed"
    [[ $E2E_FAILED_COUNT -eq 0 ]]
}

E2E_ARCH=x64

# Sets E2E_LOADER to the Wine loader for ARCH programs (x64 or x86; default x64), and E2E_TOOL
# with E2E_VIEW to the loader and reg.exe option for Wine's own tools that see the registry as ARCH
# programs do (where x86 programs are emulated, the tools run natively as 64-bit programs and
# /reg:32 shows them the 32-bit view); or exits 77 (skipped) with the reason when programs of that
# architecture cannot run here.
e2e_require_wine() { # [ARCH]
    E2E_ARCH=${1:-x64}
    E2E_LOADER=$("$E2E_WINE_RUN" --loader "$E2E_ARCH") || exit 77
    E2E_TOOL=$("$E2E_WINE_RUN" --tool-loader "$E2E_ARCH") || exit 77
    E2E_VIEW=()
    [[ $E2E_ARCH == x86 ]] && E2E_VIEW=(/reg:32)
    export WINELOADER=$E2E_LOADER
}
e2e_require_wine64() { e2e_require_wine x64; }

# Makes a fresh prefix (a copy of the cached template for the architecture) at DIR.
e2e_new_prefix() { # DIR
    "$E2E_WINE_RUN" --new-prefix "$E2E_ARCH" "$1" >/dev/null
}

# Waits until no wineserver runs for the prefix any more (it has saved its files then); a RegSvr32
# the program started may still be at work, which takes long where x86 programs are emulated.
e2e_stop_server() { # PREFIX
    if ! WINEPREFIX=$1 timeout 180 wineserver -w >/dev/null 2>&1; then
        WINEPREFIX=$1 wineserver -k >/dev/null 2>&1 || true
        WINEPREFIX=$1 wineserver -w >/dev/null 2>&1 || true
    fi
}

# Wine's reg.exe in the prefix; waits for the server to save before returning.
e2e_reg() { # PREFIX ARGS...
    local prefix=$1 rc=0
    shift
    WINEPREFIX=$prefix "$E2E_TOOL" reg "$@" "${E2E_VIEW[@]}" 2>&1 || rc=$?
    e2e_stop_server "$prefix"
    return "$rc"
}

# The damage: a bogus InprocServer32 default value and a junk subtree three levels deep.
e2e_damage() { # PREFIX
    local prefix=$1
    WINEPREFIX=$prefix "$E2E_TOOL" reg add "$E2E_CLASS\\InprocServer32" /ve \
        /d 'C:\windows\system32\bogus-ole.dll' /f "${E2E_VIEW[@]}" >/dev/null 2>&1
    WINEPREFIX=$prefix "$E2E_TOOL" reg add "$E2E_CLASS\\Junk\\Level2\\Level3" /v Leftover \
        /d 'stale entry' /f "${E2E_VIEW[@]}" >/dev/null 2>&1
    e2e_stop_server "$prefix"
    grep -q 'Junk\\\\Level2\\\\Level3' "$prefix/system.reg" &&
        grep -q 'bogus-ole.dll' "$prefix/system.reg"
}

e2e_remove_class_key() { # PREFIX
    e2e_reg "$1" delete "$E2E_CLASS" /f >/dev/null
    ! grep -qiF "[$(e2e_class_section "$1")]" "$1/system.reg"
}

# The system.reg section of the class key that ARCH programs see: in a 64-bit prefix, 32-bit
# programs see the classes under Wow6432Node.
e2e_class_section() { # PREFIX
    if e2e_wow64 "$1"; then
        printf '%s\n' 'Software\\Classes\\Wow6432Node\\CLSID\\{00020420-0000-0000-C000-000000000046}'
    else
        printf '%s\n' 'Software\\Classes\\CLSID\\{00020420-0000-0000-C000-000000000046}'
    fi
}

# Whether the key exists, asked through Wine.
e2e_key_exists() { # PREFIX KEY
    e2e_reg "$1" query "$2" >/dev/null
}

# The default value of KEY as reg.exe prints it (empty when the key is missing).
e2e_default_value() { # PREFIX KEY
    e2e_reg "$1" query "$2" /ve | awk '/REG_SZ/ { sub(/^.*REG_SZ[ \t]+/, ""); print }' | tr -d '\r'
}

# The class was registered again: InprocServer32 names oleaut32.dll in the system folder of ARCH
# programs, and the junk is gone.
e2e_repaired() { # PREFIX
    local value
    value=$(e2e_default_value "$1" "$E2E_CLASS\\InprocServer32")
    [[ ${value,,} == *"\\$(e2e_system_dir "$1")\\oleaut32.dll" ]] && ! e2e_key_exists "$1" "$E2E_CLASS\\Junk"
}

# Whether PREFIX is a 64-bit prefix in which ARCH programs are 32-bit ones (WoW64).
e2e_wow64() { # PREFIX
    [[ $E2E_ARCH == x86 ]] && grep -q '^#arch=win64' "$1/system.reg"
}

# The system folder of ARCH programs: a 32-bit RegSvr32 in a 64-bit prefix registers the library
# from syswow64, as on 64-bit Windows.
e2e_system_dir() { # PREFIX
    if e2e_wow64 "$1"; then echo syswow64; else echo system32; fi
}

# system.reg without the class key's own sections: what the repair must leave alone.
e2e_other_sections() { # FILE
    awk '
        /^\[/ { skip = (tolower($0) ~ /^\[software\\\\classes\\\\clsid\\\\\{00020420-0000-0000-c000-000000000046\}(\\\\|\])/) }
        !skip { print }
    ' "$1" | cat -s
}

# Copies the prefix's registry files aside, to compare byte by byte later.
e2e_snapshot() { # PREFIX DIR
    mkdir -p "$2"
    cp -p "$1"/*.reg "$2/"
    (cd "$1" && ls -A) >"$2/.listing"
    stat -c '%n %i' "$1"/*.reg >"$2/.inodes"
}

e2e_unchanged() { # PREFIX SNAPSHOT_DIR
    local f
    for f in "$2"/*.reg; do
        cmp -s "$f" "$1/$(basename "$f")" || { echo "  changed: $(basename "$f")"; return 1; }
    done
    [[ $(cd "$1" && ls -A) == "$(cat "$2/.listing")" ]] || { echo "  the prefix gained or lost files"; return 1; }
    [[ $(stat -c '%n %i' "$1"/*.reg) == "$(cat "$2/.inodes")" ]] || { echo "  a file was replaced"; return 1; }
}

# A stand-in for Wine's loader: records its arguments and WINEPREFIX in FILE, then exits.
e2e_make_standin() { # PATH RECORD_FILE
    cat >"$1" <<STANDIN
#!/bin/sh
{ printf '%s\n' "\$*"; printf 'WINEPREFIX=%s\n' "\${WINEPREFIX-}"; } > "$2.tmp" && mv "$2.tmp" "$2"
STANDIN
    chmod +x "$1"
}

# Waits up to TENTHS tenths of a second (default 100) for a file.
e2e_wait_for_file() { # FILE [TENTHS]
    local i
    for i in $(seq 1 "${2:-100}"); do
        [[ -f $1 ]] && return 0
        sleep 0.1
    done
    return 1
}
