#!/usr/bin/env bash
# Runs a Windows program under Wine in a throwaway prefix, so that tests and scripts never touch the
# user's own prefix (~/.wine) and never see each other's registry changes.
#
# A template prefix is made once per cache directory (wineboot -i, guarded by a lock because ctest runs
# tests in parallel) and copied for every run. This script is the CROSSCOMPILING_EMULATOR of the MinGW
# builds, and scripts may call it directly.
#
# Usage:
#   wine-run.sh [--cache DIR] ARCH PROGRAM.exe [ARGS...]
#       Runs PROGRAM in a fresh copy of the template prefix, then stops that prefix's wineserver and
#       deletes the copy. The exit status is the program's.
#   wine-run.sh [--cache DIR] --prefix DIR ARCH PROGRAM.exe [ARGS...]
#       Runs PROGRAM in the existing prefix DIR, which the caller owns and keeps. Afterwards waits until
#       that prefix's wineserver has saved and exited (killing it after OAREPAIR_WINE_WAIT seconds,
#       default 60), so the caller may read the registry files.
#   wine-run.sh [--cache DIR] --new-prefix ARCH DIR
#       Makes DIR (which must not exist or be empty) a fresh copy of the template prefix.
#   wine-run.sh --check ARCH     Exit 0 if ARCH programs can run here; else print why and exit 77.
#   wine-run.sh --loader ARCH    Print the Wine loader used for ARCH (exit 77 if ARCH cannot run here).
#
#   ARCH is x64 or x86. x64 uses the 64-bit loader directly (the `wine` wrapper prefers the 32-bit one,
#   which fails where the kernel cannot run 32-bit programs); x86 uses the 32-bit loader in a 32-bit
#   prefix, like the 32-bit Windows the program is made for.
#
# Environment:
#   OAREPAIR_WINE_CACHE   where template prefixes and per-run copies live when --cache is not given
#                         (default: ${TMPDIR:-/tmp}/oarepair-wine-<uid>)
#   OAREPAIR_WINE_KEEP=1  keep the per-run prefix and print its path (for debugging)
#   The program runs with WINEPREFIX, WINELOADER and OAREPAIR_WINE (the loader path) exported and
#   WINEDEBUG=-all unless WINEDEBUG is already set.
#
# Exit status: the program's; 77 when ARCH cannot run on this machine (ctest: SKIP_RETURN_CODE 77);
# 125 when this helper itself fails (bad usage, no Wine, template prefix could not be made).

set -euo pipefail

readonly SKIP=77
readonly HELPER_FAILED=125

die() {
    echo "wine-run.sh: $*" >&2
    exit "$HELPER_FAILED"
}

usage() { # [STATUS]
    awk '/^# Usage:/{p=1} /^# Exit status/{p=0} p{sub(/^# ?/, ""); print}' "${BASH_SOURCE[0]}" >&2
    exit "${1:-$HELPER_FAILED}"
}

# --- Wine programs -----------------------------------------------------------------------------------

find_loader() { # ARCH -> prints the loader path, or nothing
    local arch=$1 candidate
    if [[ $arch == x64 ]]; then
        for candidate in "${OAREPAIR_WINE64:-}" /usr/lib/wine/wine64 /usr/lib64/wine/wine64 \
                         "$(command -v wine64 2>/dev/null || true)"; do
            [[ -n $candidate && -x $candidate ]] && { echo "$candidate"; return; }
        done
    else
        for candidate in "${OAREPAIR_WINE32:-}" /usr/lib/wine/wine /usr/lib/i386-linux-gnu/wine/wine \
                         "$(command -v wine 2>/dev/null || true)"; do
            [[ -n $candidate && -x $candidate ]] && { echo "$candidate"; return; }
        done
    fi
}

find_server() {
    local candidate
    for candidate in /usr/lib/wine/wineserver "$(command -v wineserver 2>/dev/null || true)" \
                     /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver32; do
        [[ -n $candidate && -x $candidate ]] && { echo "$candidate"; return; }
    done
}

# Sets LOADER for ARCH, or prints one line saying why ARCH cannot run here and exits 77.
require_arch() {
    local arch=$1 out
    LOADER=$(find_loader "$arch")
    if [[ -z $LOADER ]]; then
        echo "wine-run.sh: skipped: no Wine loader for $arch found (install wine64/wine32)" >&2
        exit "$SKIP"
    fi
    if ! out=$("$LOADER" --version 2>&1); then
        if [[ $out == *"Exec format error"* || $out == *"cannot execute binary file"* ]]; then
            echo "wine-run.sh: skipped: this kernel cannot run 32-bit programs ($LOADER: Exec format error)," \
                 "so $arch Windows programs cannot run here" >&2
        else
            echo "wine-run.sh: skipped: $LOADER does not start: ${out%%$'\n'*}" >&2
        fi
        exit "$SKIP"
    fi
}

# Runs wineserver for prefix DIR with the given options; ignores "no server running".
server_cmd() {
    local dir=$1
    shift
    WINEPREFIX=$dir "$SERVER" "$@" >/dev/null 2>&1 || true
}

# After a prefix's wineserver has gone, removes the server directory Debian's Wine made for it
# (named in the prefix's "wineserver" pointer file).
remove_server_dir() {
    local dir=$1 name base
    [[ -f $dir/wineserver ]] || return 0
    name=$(cat "$dir/wineserver" 2>/dev/null || true)
    [[ $name =~ ^wine-[A-Za-z0-9]+$ ]] || return 0
    for base in "${TMPDIR:-/tmp}" /tmp; do
        [[ -d $base/$name && -O $base/$name ]] && rm -rf "${base:?}/$name"
    done
    return 0
}

# --- template prefix ---------------------------------------------------------------------------------

# Sets TEMPLATE to a complete template prefix for ARCH, making it under the cache lock if needed.
ensure_template() {
    local arch=$1 cache=$2 stamp newdir log
    mkdir -p "$cache"
    TEMPLATE=$cache/template-$arch
    stamp="$arch $("$LOADER" --version 2>/dev/null)"
    if [[ -f $TEMPLATE/.oarepair-template && $(cat "$TEMPLATE/.oarepair-template") == "$stamp" ]]; then
        return
    fi
    exec {lockfd}>"$cache/template-$arch.lock"
    flock -x "$lockfd"
    if [[ -f $TEMPLATE/.oarepair-template && $(cat "$TEMPLATE/.oarepair-template") == "$stamp" ]]; then
        exec {lockfd}>&-
        return
    fi
    newdir=$cache/template-$arch.new
    rm -rf "$newdir"
    mkdir -m 700 "$newdir"
    log=$cache/template-$arch.log
    echo "wine-run.sh: making the $arch template prefix (once per cache dir, ~20 s)" >&2
    local winearch=win64
    [[ $arch == x86 ]] && winearch=win32
    # No Mono/Gecko install prompts, no windows.
    if ! WINEPREFIX=$newdir WINEARCH=$winearch WINELOADER=$LOADER WINEDEBUG=-all \
         WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY='' "$LOADER" wineboot -i >"$log" 2>&1; then
        server_cmd "$newdir" -k
        echo "wine-run.sh: wineboot failed for $arch; log:" >&2
        cat "$log" >&2
        remove_server_dir "$newdir"
        rm -rf "$newdir"
        exit "$HELPER_FAILED"
    fi
    server_cmd "$newdir" -w
    [[ -f $newdir/system.reg ]] || { cat "$log" >&2; rm -rf "$newdir"; die "wineboot made no system.reg"; }
    # Each copy gets its own wineserver directory, which the run removes afterwards.
    remove_server_dir "$newdir"
    rm -f "$newdir/wineserver"
    echo "$stamp" >"$newdir/.oarepair-template"
    rm -rf "$TEMPLATE"
    mv "$newdir" "$TEMPLATE"
    exec {lockfd}>&-
}

# Copies the template into DIR (a shared lock keeps a rebuild from replacing it meanwhile).
copy_template() {
    local arch=$1 cache=$2 dir=$3
    exec {lockfd}>"$cache/template-$arch.lock"
    flock -s "$lockfd"
    cp -a "$TEMPLATE/." "$dir/"
    exec {lockfd}>&-
    rm -f "$dir/.oarepair-template"
}

# Removes per-run copies whose run was killed before it could clean up (for example by a ctest timeout).
sweep_stale_runs() {
    local cache=$1 dir fd
    for dir in "$cache"/run-*.*; do
        [[ -f $dir/.oarepair-run.lock ]] || continue
        exec {fd}<"$dir/.oarepair-run.lock" || continue
        if flock -n "$fd"; then
            server_cmd "$dir" -k
            server_cmd "$dir" -w
            remove_server_dir "$dir"
            rm -rf "$dir"
        fi
        exec {fd}<&-
    done
}

run_program() { # PREFIX PROGRAM ARGS... -> program's exit status
    local prefix=$1
    shift
    set +e
    WINEPREFIX=$prefix WINELOADER=$LOADER OAREPAIR_WINE=$LOADER WINEDEBUG=${WINEDEBUG:--all} \
        "$LOADER" "$@"
    local rc=$?
    set -e
    return "$rc"
}

# --- main --------------------------------------------------------------------------------------------

cache=${OAREPAIR_WINE_CACHE:-${TMPDIR:-/tmp}/oarepair-wine-$(id -u)}
mode=run
prefix=
while [[ $# -gt 0 ]]; do
    case $1 in
        --cache) [[ $# -ge 2 ]] || usage; cache=$2; shift 2 ;;
        --prefix) [[ $# -ge 2 ]] || usage; mode=prefix; prefix=$2; shift 2 ;;
        --new-prefix) mode=new-prefix; shift ;;
        --check) mode=check; shift ;;
        --loader) mode=loader; shift ;;
        -h|--help) usage 0 ;;
        --) shift; break ;;
        *) break ;;
    esac
done
[[ $# -ge 1 ]] || usage
arch=$1
shift
[[ $arch == x64 || $arch == x86 ]] || die "ARCH must be x64 or x86, not '$arch'"

LOADER=
require_arch "$arch"
export OAREPAIR_WINE=$LOADER

case $mode in
    check) exit 0 ;;
    loader) echo "$LOADER"; exit 0 ;;
esac

SERVER=$(find_server)
[[ -n $SERVER ]] || die "no wineserver found"
command -v flock >/dev/null || die "flock (util-linux) is needed"
cache=$(mkdir -p "$cache" && cd "$cache" && pwd)
ensure_template "$arch" "$cache"

case $mode in
    new-prefix)
        [[ $# -eq 1 ]] || usage
        mkdir -p "$1"
        chmod 700 "$1"
        [[ -z $(ls -A "$1") ]] || die "$1 is not empty"
        copy_template "$arch" "$cache" "$1"
        exit 0
        ;;
    prefix)
        [[ $# -ge 1 ]] || usage
        [[ -f $prefix/system.reg ]] || die "$prefix is not a Wine prefix (no system.reg)"
        prefix=$(cd "$prefix" && pwd)
        rc=0
        run_program "$prefix" "$@" || rc=$?
        if ! WINEPREFIX=$prefix timeout "${OAREPAIR_WINE_WAIT:-60}" "$SERVER" -w >/dev/null 2>&1; then
            server_cmd "$prefix" -k
            server_cmd "$prefix" -w
        fi
        remove_server_dir "$prefix"
        exit "$rc"
        ;;
esac

[[ $# -ge 1 ]] || usage
sweep_stale_runs "$cache"
run_dir=$(mktemp -d "$cache/run-$arch.XXXXXX")
# Held while this run (or a wineserver it left) lives; a free lock marks a copy left by a killed run.
# It is locked before it gets its name, so a sweep never sees it unlocked.
exec {runlockfd}>"$run_dir/.oarepair-run.lock.new"
flock -x "$runlockfd"
mv "$run_dir/.oarepair-run.lock.new" "$run_dir/.oarepair-run.lock"
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
    server_cmd "$run_dir" -k
    server_cmd "$run_dir" -w
    remove_server_dir "$run_dir"
    if [[ ${OAREPAIR_WINE_KEEP:-0} == 1 ]]; then
        echo "wine-run.sh: kept prefix $run_dir" >&2
    else
        rm -rf "$run_dir"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
copy_template "$arch" "$cache" "$run_dir"
rc=0
run_program "$run_dir" "$@" || rc=$?
exit "$rc"
