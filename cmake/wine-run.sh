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
#   wine-run.sh --tool-loader ARCH
#                                Print the loader for Wine's own tools (reg, explorer) in ARCH prefixes:
#                                the --loader one, except in the emulated x86 way, where it is the
#                                64-bit loader beside it (native, yet its 32-bit children still go
#                                through qemu-i386); give reg.exe /reg:32 to see what x86 programs see.
#   wine-run.sh --way ARCH       Print how ARCH programs run here: native or emulated (exit 77 if not).
#
#   ARCH is x64 or x86. x64 uses the 64-bit loader directly (the `wine` wrapper prefers the 32-bit one,
#   which fails where the kernel cannot run 32-bit programs). x86 runs one of two ways:
#     native    the kernel runs Wine's 32-bit loader itself, in a 32-bit prefix, like the 32-bit
#               Windows the program is made for;
#     emulated  the kernel cannot run 32-bit programs: qemu-i386 (package qemu-user) runs Wine's
#               32-bit loader, and only that. The prefix is a 64-bit one with its 32-bit half (WoW64,
#               as on 64-bit Windows), so wineserver, the services and every 64-bit program stay
#               native; in a 32-bit prefix Wine's driver processes crash under qemu-i386 7.2.
#               No binfmt_misc entry is made: the 32-bit loader is started through a private copy
#               of Wine's loader folder whose `wine` calls qemu-i386, because Wine starts every new
#               32-bit process from `<folder of its own binary>/wine` and ignores WINELOADER.
#   Runs and --loader print one line on standard error saying which way x86 went.
#
# Environment:
#   OAREPAIR_WINE_CACHE   where template prefixes and per-run copies live when --cache is not given
#                         (default: ${TMPDIR:-/tmp}/oarepair-wine-<uid>)
#   OAREPAIR_WINE_KEEP=1  keep the per-run prefix and print its path (for debugging)
#   OAREPAIR_X86_MODE     auto (default): native where the kernel runs 32-bit programs, else emulated;
#                         native or emulated: only that way (ARCH x86 is skipped if it cannot run)
#   OAREPAIR_QEMU_I386    the qemu-i386 to use (default: the one on PATH)
#   OAREPAIR_X86_NO_NATIVE=1  behave as if the kernel could not run 32-bit programs (for testing the
#                         choice on a machine that can)
#   The program runs with WINEPREFIX, WINELOADER and OAREPAIR_WINE (the loader path) exported and
#   WINEDEBUG=-all unless WINEDEBUG is already set.
#
# Exit status: the program's; 77 when ARCH cannot run on this machine (ctest: SKIP_RETURN_CODE 77);
# 125 when this helper itself fails (bad usage, no Wine, template prefix could not be made).

set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/wine-server-dir.sh"

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

# Whether FILE is a 32-bit ELF program. Debian's `wine` on PATH is a script that starts the 64-bit
# loader when the 32-bit one is missing: no 32-bit loader.
is_elf32() { # FILE
    [[ $(od -An -tx1 -N5 "$1" 2>/dev/null | tr -d ' \n') == 7f454c4601 ]]
}

find_loader() { # ARCH -> prints the loader path, or nothing
    local arch=$1 candidate
    if [[ $arch == x64 ]]; then
        for candidate in "${OAREPAIR_WINE64:-}" /usr/lib/wine/wine64 /usr/lib64/wine/wine64 \
                         "$(command -v wine64 2>/dev/null || true)"; do
            [[ -n $candidate && -x $candidate ]] && { echo "$candidate"; return; }
        done
    else
        # One named by OAREPAIR_WINE32 is taken as it is; searched places must hold the loader.
        [[ -n ${OAREPAIR_WINE32:-} && -x $OAREPAIR_WINE32 ]] && { echo "$OAREPAIR_WINE32"; return; }
        for candidate in /usr/lib/wine/wine /usr/lib/i386-linux-gnu/wine/wine \
                         "$(command -v wine 2>/dev/null || true)"; do
            [[ -n $candidate && -x $candidate ]] && is_elf32 "$candidate" && { echo "$candidate"; return; }
        done
    fi
    return 0  # found nothing: the caller sees an empty path
}

find_server() {
    local candidate
    for candidate in /usr/lib/wine/wineserver "$(command -v wineserver 2>/dev/null || true)" \
                     /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver32; do
        [[ -n $candidate && -x $candidate ]] && { echo "$candidate"; return; }
    done
}

# Whether the kernel runs the 32-bit loader LOADER itself. Sets WHY_NOT when it does not.
native_x86_runs() { # LOADER
    local out
    WHY_NOT=
    if [[ ${OAREPAIR_X86_NO_NATIVE:-0} == 1 ]]; then
        WHY_NOT="OAREPAIR_X86_NO_NATIVE=1 pretends this kernel cannot run 32-bit programs"
        return 1
    fi
    # A qemu handler registered in binfmt_misc would make the kernel "run" the loader through
    # emulation, slowly and without the settings below; that is no native way.
    if grep -qs '^interpreter .*qemu-i[3-6]86' /proc/sys/fs/binfmt_misc/* 2>/dev/null; then
        WHY_NOT="this kernel runs 32-bit programs only through a qemu binfmt_misc handler"
        return 1
    fi
    if out=$("$1" --version 2>&1) && [[ $out == wine-* ]]; then
        return 0
    fi
    if [[ $out == *"Exec format error"* || $out == *"cannot execute binary file"* ]]; then
        WHY_NOT="this kernel cannot run 32-bit programs ($1: Exec format error)"
    else
        WHY_NOT="$1 does not start: ${out%%$'\n'*}"
    fi
    return 1
}

# Whether qemu-i386 runs the 32-bit loader LOADER. Sets QEMU, or WHY_NOT when it does not.
emulated_x86_runs() { # LOADER
    local out
    WHY_NOT=
    QEMU=${OAREPAIR_QEMU_I386:-$(command -v qemu-i386 2>/dev/null || true)}
    if [[ -z $QEMU || ! -x $QEMU ]]; then
        WHY_NOT="qemu-i386 is missing (apt-get install --no-install-recommends qemu-user)"
        return 1
    fi
    if [[ -z $(find_loader x64) ]]; then
        WHY_NOT="the emulated way needs the 64-bit Wine loader too (install wine64)"
        return 1
    fi
    if out=$(QEMU_RESERVED_VA=$QEMU_VA QEMU_STACK_SIZE=$QEMU_STACK "$QEMU" "$1" --version 2>&1) &&
       [[ $out == wine-* ]]; then
        return 0
    fi
    WHY_NOT="$QEMU cannot run $1: ${out%%$'\n'*}"
    return 1
}

# Sets LOADER for ARCH (and for x86 WAY, native or emulated, and WAY_WHY, why that way), or prints
# one line saying why ARCH cannot run here and exits 77.
require_arch() {
    local arch=$1 out native_why
    WAY=native
    WAY_WHY=
    LOADER=$(find_loader "$arch")
    if [[ -z $LOADER ]]; then
        echo "wine-run.sh: skipped: no Wine loader for $arch found (install wine64/wine32)" >&2
        exit "$SKIP"
    fi
    if [[ $arch == x64 ]]; then
        if ! out=$("$LOADER" --version 2>&1); then
            echo "wine-run.sh: skipped: $LOADER does not start: ${out%%$'\n'*}" >&2
            exit "$SKIP"
        fi
        return
    fi
    NATIVE32=$LOADER
    local mode=${OAREPAIR_X86_MODE:-auto}
    case $mode in
        native)
            native_x86_runs "$LOADER" && { WAY_WHY="OAREPAIR_X86_MODE=native"; return; }
            echo "wine-run.sh: skipped: OAREPAIR_X86_MODE=native, but $WHY_NOT" >&2
            exit "$SKIP"
            ;;
        emulated)
            if emulated_x86_runs "$LOADER"; then
                WAY=emulated
                WAY_WHY="OAREPAIR_X86_MODE=emulated"
                return
            fi
            echo "wine-run.sh: skipped: OAREPAIR_X86_MODE=emulated, but $WHY_NOT" >&2
            exit "$SKIP"
            ;;
        auto|"")
            native_x86_runs "$LOADER" && return
            native_why=$WHY_NOT
            if emulated_x86_runs "$LOADER"; then
                WAY=emulated
                WAY_WHY=$native_why
                return
            fi
            echo "wine-run.sh: skipped: $native_why and $WHY_NOT, so x86 Windows programs cannot" \
                 "run here" >&2
            exit "$SKIP"
            ;;
        *) die "OAREPAIR_X86_MODE must be auto, native or emulated, not '$mode'" ;;
    esac
}

# One line on standard error: which way this x86 run goes.
say_way() {
    [[ $arch == x86 ]] || return 0
    if [[ $WAY == native ]]; then
        echo "wine-run.sh: x86 way: native${WAY_WHY:+ ($WAY_WHY)}" >&2
    else
        echo "wine-run.sh: x86 way: emulated (qemu-i386 runs Wine's 32-bit loader; $WAY_WHY)" >&2
    fi
}

# --- the emulated way's loader folder ----------------------------------------------------------------

# Under qemu 7.2, which ignores MAP_FIXED_NOREPLACE, Wine's start-up reservation of the address space
# is slow with a 4 GiB guest space (one 32-bit start took 67 s of CPU instead of 3 s); just over
# 2 GiB and an 8 MiB stack keep a start at about 3 s of CPU.
QEMU_VA=${QEMU_RESERVED_VA:-0x81000000}
QEMU_STACK=${QEMU_STACK_SIZE:-8M}

# Makes (once per cache directory, under a lock) a private copy of Wine's loader folder in which
# `wine` is a script that runs the real 32-bit loader through qemu-i386. Wine takes its own folder
# from /proc/self/exe (which qemu reports as the guest program), so the loaders are real copies
# there, not links; Wine's libraries and data are linked in where the loaders look for them
# (Debian's layout: <root>/lib/wine/wine, <root>/lib/<triplet>/wine, <root>/share/wine).
# Sets LOADER (the qemu `wine`) and LOADER64 (the 64-bit loader beside it).
ensure_emulated_loader() {
    local cache=$1 dir bin root stamp new entry
    dir=$cache/x86-emulated
    bin=$(dirname "$(readlink -f "$NATIVE32")")
    root=$(cd "$bin/../.." && pwd)
    local native64
    native64=$(readlink -f "$(find_loader x64)")
    stamp="$QEMU $QEMU_VA $QEMU_STACK $(cksum <"$NATIVE32") $(cksum <"$native64")"
    LOADER=$dir/lib/wine/wine
    LOADER64=$dir/lib/wine/wine64
    [[ -f $dir/.oarepair-loader && $(cat "$dir/.oarepair-loader") == "$stamp" ]] && return
    exec {lockfd}>"$cache/x86-emulated.lock"
    flock -x "$lockfd"
    if [[ -f $dir/.oarepair-loader && $(cat "$dir/.oarepair-loader") == "$stamp" ]]; then
        exec {lockfd}>&-
        return
    fi
    new=$dir.new
    rm -rf "$new"
    mkdir -p "$new/lib/wine" "$new/share"
    for entry in "$bin"/*; do
        case ${entry##*/} in
            wine|wine64) ;;
            *) ln -s "$entry" "$new/lib/wine/${entry##*/}" ;;
        esac
    done
    cp "$NATIVE32" "$new/lib/wine/wine32-loader"
    cp "$native64" "$new/lib/wine/wine64"
    for entry in "$root"/lib/*-linux-gnu*/wine; do
        [[ -d $entry ]] || continue
        mkdir -p "$new/lib/$(basename "$(dirname "$entry")")"
        ln -s "$entry" "$new/lib/$(basename "$(dirname "$entry")")/wine"
    done
    [[ -d $root/share/wine ]] && ln -s "$root/share/wine" "$new/share/wine"
    cat >"$new/lib/wine/wine" <<EOF
#!/bin/sh
# Wine's 32-bit loader, run by qemu-i386 (made by wine-run.sh; see there).
export QEMU_RESERVED_VA=$QEMU_VA QEMU_STACK_SIZE=$QEMU_STACK
exec "$QEMU" -0 wine "\${0%/*}/wine32-loader" "\$@"
EOF
    chmod 755 "$new/lib/wine/wine"
    echo "$stamp" >"$new/.oarepair-loader"
    rm -rf "$dir"
    mv "$new" "$dir"
    exec {lockfd}>&-
}

# Runs wineserver for prefix DIR with the given options; ignores "no server running".
server_cmd() {
    local dir=$1
    shift
    WINEPREFIX=$dir "$SERVER" "$@" >/dev/null 2>&1 || true
}

# --- template prefix ---------------------------------------------------------------------------------

# The kind of template prefix this run uses: x64 (64-bit prefix), x86 (32-bit prefix, the native
# way) or x86-wow64 (64-bit prefix with its 32-bit half, the emulated way).
template_kind() {
    if [[ $arch == x86 && $WAY == emulated ]]; then echo x86-wow64; else echo "$arch"; fi
}

# Runs wineboot -i in the new prefix DIR for KIND, logging to LOG; exits 125 when it fails. A
# failure is tried once more in a new DIR: in one CI run wineboot failed at once, with nothing in
# its log, and the next test's wineboot a moment later worked.
boot_prefix() { # KIND DIR LOG
    local kind=$1 dir=$2 log=$3 winearch=win64 boot=$LOADER attempt status
    [[ $kind == x86 ]] && winearch=win32
    [[ $kind == x86-wow64 ]] && boot=$LOADER64
    for attempt in 1 2; do
        status=0
        # No Mono/Gecko install prompts, no windows.
        WINEPREFIX=$dir WINEARCH=$winearch WINELOADER=$boot WINEDEBUG=-all \
            WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY='' "$boot" wineboot -i >>"$log" 2>&1 ||
            status=$?
        if (( status == 0 )); then
            server_cmd "$dir" -w
            return
        fi
        echo "wine-run.sh: wineboot -i exited with status $status (attempt $attempt)" >>"$log"
        server_cmd "$dir" -k
        server_cmd "$dir" -w
        remove_wine_server_dir "$dir"
        rm -rf "$dir"
        if (( attempt == 1 )); then mkdir -m 700 "$dir"; fi
    done
    echo "wine-run.sh: wineboot failed for $kind; log:" >&2
    cat "$log" >&2
    exit "$HELPER_FAILED"
}

# Sets TEMPLATE to a complete template prefix of KIND, making it under the cache lock if needed.
ensure_template() {
    local kind=$1 cache=$2 stamp newdir log
    mkdir -p "$cache"
    TEMPLATE=$cache/template-$kind
    stamp="$kind $("${LOADER64:-$LOADER}" --version 2>/dev/null)"
    if [[ -f $TEMPLATE/.oarepair-template && $(cat "$TEMPLATE/.oarepair-template") == "$stamp" ]]; then
        return
    fi
    exec {lockfd}>"$cache/template-$kind.lock"
    flock -x "$lockfd"
    if [[ -f $TEMPLATE/.oarepair-template && $(cat "$TEMPLATE/.oarepair-template") == "$stamp" ]]; then
        exec {lockfd}>&-
        return
    fi
    newdir=$cache/template-$kind.new
    rm -rf "$newdir"
    mkdir -m 700 "$newdir"
    log=$cache/template-$kind.log
    : >"$log"
    echo "wine-run.sh: making the $kind template prefix (once per cache dir, ~20-60 s)" >&2
    boot_prefix "$kind" "$newdir" "$log"
    [[ -f $newdir/system.reg ]] || { cat "$log" >&2; rm -rf "$newdir"; die "wineboot made no system.reg"; }
    if [[ $kind == x86-wow64 && ! -f $newdir/drive_c/windows/syswow64/kernel32.dll ]]; then
        # The 32-bit half is made only when the 32-bit loader worked during wineboot; without it
        # syswow64 stays empty and the prefix counts as up to date. Drop the stamp, boot again.
        echo "wine-run.sh: the 32-bit half of the prefix is missing; completing it" >>"$log"
        rm -f "$newdir/.update-timestamp"
        boot_prefix "$kind" "$newdir" "$log"
        if [[ ! -f $newdir/drive_c/windows/syswow64/kernel32.dll ]]; then
            cat "$log" >&2
            remove_wine_server_dir "$newdir"
            rm -rf "$newdir"
            die "wineboot made no 32-bit half (syswow64) in the $kind prefix"
        fi
    fi
    # Each copy gets its own wineserver directory, which the run removes afterwards.
    remove_wine_server_dir "$newdir"
    rm -f "$newdir/wineserver"
    echo "$stamp" >"$newdir/.oarepair-template"
    rm -rf "$TEMPLATE"
    mv "$newdir" "$TEMPLATE"
    exec {lockfd}>&-
}

# Copies the template into DIR (a shared lock keeps a rebuild from replacing it meanwhile).
copy_template() {
    local kind=$1 cache=$2 dir=$3
    exec {lockfd}>"$cache/template-$kind.lock"
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
            remove_wine_server_dir "$dir"
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
        --new-prefix) mode='new-prefix'; shift ;;
        --check) mode=check; shift ;;
        --loader) mode=loader; shift ;;
        --tool-loader) mode=tool-loader; shift ;;
        --way) mode=way; shift ;;
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
LOADER64=
require_arch "$arch"

case $mode in
    check) exit 0 ;;
    way) echo "$WAY"; exit 0 ;;
esac

command -v flock >/dev/null || die "flock (util-linux) is needed"
cache=$(mkdir -p "$cache" && cd "$cache" && pwd)
[[ $WAY == emulated ]] && ensure_emulated_loader "$cache"
export OAREPAIR_WINE=$LOADER
case $mode in
    loader) say_way; echo "$LOADER"; exit 0 ;;
    tool-loader) echo "${LOADER64:-$LOADER}"; exit 0 ;;
esac

SERVER=$(find_server)
[[ -n $SERVER ]] || die "no wineserver found"
kind=$(template_kind)
ensure_template "$kind" "$cache"

case $mode in
    new-prefix)
        [[ $# -eq 1 ]] || usage
        mkdir -p "$1"
        chmod 700 "$1"
        [[ -z $(ls -A "$1") ]] || die "$1 is not empty"
        copy_template "$kind" "$cache" "$1"
        exit 0
        ;;
    prefix)
        [[ $# -ge 1 ]] || usage
        [[ -f $prefix/system.reg ]] || die "$prefix is not a Wine prefix (no system.reg)"
        prefix=$(cd "$prefix" && pwd)
        say_way
        rc=0
        run_program "$prefix" "$@" || rc=$?
        if ! WINEPREFIX=$prefix timeout "${OAREPAIR_WINE_WAIT:-60}" "$SERVER" -w >/dev/null 2>&1; then
            server_cmd "$prefix" -k
            server_cmd "$prefix" -w
        fi
        remove_wine_server_dir "$prefix"
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
    remove_wine_server_dir "$run_dir"
    if [[ ${OAREPAIR_WINE_KEEP:-0} == 1 ]]; then
        echo "wine-run.sh: kept prefix $run_dir" >&2
    else
        rm -rf "$run_dir"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
say_way
copy_template "$kind" "$cache" "$run_dir"
rc=0
run_program "$run_dir" "$@" || rc=$?
exit "$rc"
