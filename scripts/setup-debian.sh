#!/usr/bin/env bash
# Installs every package that building, testing and demonstrating oarepair needs on Debian 12
# (bookworm), as root. Safe to run again: when everything is present it only says so.
#
# Usage: sudo scripts/setup-debian.sh [--force]
#   --force   run apt-get update and install even when every package is already present
#
# To add a package, append it to one of the lists below.

set -euo pipefail

# Installed without their recommended packages.
tools=(
    build-essential g++ gcc make cmake ninja-build        # native build
    clang libclang-rt-14-dev                              # fuzz preset, sanitizer runtimes for clang
    googletest libbenchmark-dev                           # GoogleTest sources, Google Benchmark
    mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix  # Windows cross builds
    icoutils                                              # icon and resource inspection
    xvfb xauth xdotool x11-utils imagemagick              # demo: virtual display, clicks, screenshots
    file git procps util-linux python3                    # scripts (flock, pgrep, file, ...)
    time                                                  # bench-vs-wine without a C compiler: peak RSS
    qemu-user                                             # x86 tests where the kernel runs no 32-bit programs
)
# Installed with their recommended packages: Wine loads X11, font and graphics libraries at run time.
wine_packages=(wine wine64 wine32:i386 libwine libwine:i386)
wine64_packages=(wine wine64 libwine)  # the 64-bit half alone, when the 32-bit one cannot be had

force=0
case ${1:-} in
    --force) force=1 ;;
    "") ;;
    -h|--help) sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "setup-debian.sh: unknown option $1" >&2; exit 2 ;;
esac

if [[ $(id -u) -ne 0 ]]; then
    echo "setup-debian.sh: run as root (sudo $0)" >&2
    exit 1
fi
if ! grep -q '^VERSION_CODENAME=bookworm' /etc/os-release 2>/dev/null; then
    echo "setup-debian.sh: warning: made for Debian 12 (bookworm); package names may differ here" >&2
fi

export DEBIAN_FRONTEND=noninteractive

installed() { # PACKAGE -> status 0 if installed
    [[ $(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null) == "ii "* ]]
}

wanted=("${tools[@]}" "${wine_packages[@]}")
missing=()
for p in "${wanted[@]}"; do
    installed "$p" || missing+=("$p")
done
i386_enabled=0
dpkg --print-foreign-architectures | grep -qx i386 && i386_enabled=1

if [[ $force -eq 0 && ${#missing[@]} -eq 0 && $i386_enabled -eq 1 ]]; then
    echo "setup-debian.sh: all ${#wanted[@]} packages are installed"
    exit 0
fi
[[ ${#missing[@]} -gt 0 ]] && echo "setup-debian.sh: installing: ${missing[*]}"

if [[ $i386_enabled -eq 0 ]]; then
    dpkg --add-architecture i386
fi
# A mirror in the middle of a sync refuses its index files for a minute or so ("File has
# unexpected size"), and a download can drop; such failures pass when tried again a little later.
retry() { # COMMAND... -> its status after at most 5 tries, 20 s apart
    local try
    for try in 1 2 3 4; do
        "$@" && return 0
        echo "setup-debian.sh: '$*' failed (try $try of 5); trying again in 20 s" >&2
        sleep 20
    done
    "$@"
}
# An index that still fails is left out by apt-get, which keeps the others: the install below
# then either finds every package or says which one it cannot.
retry apt-get update -qq ||
    echo "setup-debian.sh: warning: apt-get update failed; installing from the index files it got" >&2
apt_install=(apt-get install -y -qq -o Dpkg::Use-Pty=0 -o Dpkg::Options::=--force-confdef
             -o Dpkg::Options::=--force-confold)
retry "${apt_install[@]}" --no-install-recommends "${tools[@]}" >/dev/null
# A simulated install first: when the index cannot satisfy the packages, no retry will.
if ! apt-get install -s -qq "${wine_packages[@]}" >/dev/null 2>&1 ||
   ! retry "${apt_install[@]}" "${wine_packages[@]}" >/dev/null; then
    # The i386 libraries must be the very versions of their amd64 twins; when the mirror lacks
    # them (an index that failed to download), only the 64-bit half can be installed. The tests
    # that need 32-bit Wine then report themselves skipped and say why, as on a kernel that runs
    # no 32-bit programs.
    echo "setup-debian.sh: warning: Wine's 32-bit half (wine32:i386, libwine:i386) cannot be" \
         "installed from this mirror now; installing the 64-bit half only" >&2
    "${apt_install[@]}" "${wine64_packages[@]}" >/dev/null
    wanted=("${tools[@]}" "${wine64_packages[@]}")
fi

still_missing=()
for p in "${wanted[@]}"; do
    installed "$p" || still_missing+=("$p")
done
if [[ ${#still_missing[@]} -gt 0 ]]; then
    echo "setup-debian.sh: still missing after install: ${still_missing[*]}" >&2
    exit 1
fi
echo "setup-debian.sh: all ${#wanted[@]} packages are installed"
