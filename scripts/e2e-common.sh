# Shared pieces of the end-to-end scripts (sourced): throwaway Wine prefixes, the damage the
# repair must undo, registry look-ups through Wine's own reg.exe, and the check bookkeeping.
# Never touches ~/.wine: every prefix is a copy of a template made by cmake/wine-run.sh.

E2E_REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$E2E_REPO/scripts/wine-server-dir.sh"
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
        remove_wine_server_dir "${dir%/}"
    done
    [[ ${OAREPAIR_E2E_KEEP:-0} == 1 ]] && { echo "kept $E2E_WORK"; return; }
    rm -rf "$E2E_WORK"
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

# The 32-bit loader, when the kernel runs 32-bit programs itself (E2E_LOADER32, else empty and
# E2E_WHY32 says why not): the Linux program starts Wine's loaders directly, never through an
# emulator.
e2e_find_wine32() {
    E2E_LOADER32=
    E2E_WHY32="32-bit programs run here only under qemu-i386"
    local out
    out=$("$E2E_WINE_RUN" --way x86 2>&1) || true
    if [[ $out == *"skipped: "* ]]; then
        E2E_WHY32=${out##*skipped: }  # wine-run.sh's one line on why not
        E2E_WHY32=${E2E_WHY32%%$'\n'*}
    fi
    [[ $out == native ]] || return 0
    E2E_LOADER32=$("$E2E_WINE_RUN" --loader x86 2>/dev/null) || E2E_LOADER32=
}

# The damage in the 32-bit view, through 32-bit Wine's reg.exe: a junk subkey (HKLM\Software\Classes
# of a 32-bit program is Classes\Wow6432Node).
e2e_damage32() { # PREFIX
    local prefix=$1
    WINEPREFIX=$prefix "$E2E_LOADER32" reg add \
        'HKLM\Software\Classes\CLSID\{00020420-0000-0000-C000-000000000046}\Junk' /f >/dev/null 2>&1
    e2e_stop_server "$prefix"
    grep -q '^\[Software\\\\Classes\\\\Wow6432Node\\\\CLSID\\\\{00020420-0000-0000-C000-000000000046}\\\\Junk\]' \
        "$prefix/system.reg"
}

# Whether system.reg holds the class key in VIEW: 64 (Software\Classes\CLSID) or 32
# (Software\Classes\Wow6432Node\CLSID, the 32-bit view of a win64 prefix).
e2e_class_in_file() { # PREFIX VIEW
    local node=''
    [[ $2 == 32 ]] && node='Wow6432Node\\\\'
    grep -q -i "^\[Software\\\\\\\\Classes\\\\\\\\${node}CLSID\\\\\\\\{00020420-0000-0000-C000-000000000046}[]\\\\]" "$1/system.reg"
}

# The class registered again in the 32-bit view (asked through 32-bit Wine): InprocServer32 names
# oleaut32.dll, and the junk is gone.
e2e_repaired32() { # PREFIX
    local value rc=0
    value=$(WINEPREFIX=$1 "$E2E_LOADER32" reg query "$E2E_CLASS\\InprocServer32" /ve 2>/dev/null |
        awk '/REG_SZ/ { sub(/^.*REG_SZ[ \t]+/, ""); print }' | tr -d '\r')
    WINEPREFIX=$1 "$E2E_LOADER32" reg query "$E2E_CLASS\\Junk" >/dev/null 2>&1 || rc=$?
    e2e_stop_server "$1"
    [[ ${value,,} == *'\oleaut32.dll' && $rc -ne 0 ]]
}

# Removes the class key from every view (the 32-bit one by its path in the 64-bit view).
e2e_remove_class_key() { # PREFIX
    e2e_reg "$1" delete "$E2E_CLASS" /f >/dev/null
    # A 64-bit caller removes the 32-bit view's class key of a win64 prefix by its path.
    if [[ $E2E_ARCH == x64 ]]; then
        e2e_reg "$1" delete 'HKLM\Software\Classes\Wow6432Node\CLSID\{00020420-0000-0000-C000-000000000046}' \
            /f >/dev/null 2>&1 || true
        grep -qiF '[Software\\Classes\\Wow6432Node\\CLSID\\{00020420-0000-0000-C000-000000000046}]' \
            "$1/system.reg" && return 1
    fi
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

# system.reg without the class key's own sections in either view: what the repair must leave alone.
e2e_other_sections() { # FILE
    awk '
        /^\[/ { skip = (tolower($0) ~ /^\[software\\\\classes\\\\(wow6432node\\\\)?clsid\\\\\{00020420-0000-0000-c000-000000000046\}(\\\\|\])/) }
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

# Stand-ins for Wine's two loaders, DIR/wine64 and DIR/wine: each records its arguments and
# WINEPREFIX in RECORD.64 or RECORD.32, then exits.
e2e_make_standin() { # DIR RECORD
    local bits name
    mkdir -p "$1"
    for bits in 64 32; do
        name=wine64
        [[ $bits == 32 ]] && name=wine
        cat >"$1/$name" <<STANDIN
#!/bin/sh
{ printf '%s\n' "\$*"; printf 'WINEPREFIX=%s\n' "\${WINEPREFIX-}"; } > "$2.$bits.tmp" && mv "$2.$bits.tmp" "$2.$bits"
STANDIN
        chmod +x "$1/$name"
    done
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
