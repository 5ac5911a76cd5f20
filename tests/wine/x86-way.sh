#!/usr/bin/env bash
# Prints in one line which way x86 Windows programs run on this machine (native or emulated), then
# checks how cmake/wine-run.sh chooses: the default follows the kernel, OAREPAIR_X86_MODE forces a
# way, a kernel without 32-bit support (pretended with OAREPAIR_X86_NO_NATIVE=1) gets the emulated
# way, and with neither way every x86 run is skipped (77) with one line saying why.
# Exit status: 0 all checks passed, 1 a check failed, 77 the checks passed but x86 programs cannot
# run here at all.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
run=${OAREPAIR_WINE_RUN:-$root/cmake/wine-run.sh}
work=$(mktemp -d "${TMPDIR:-/tmp}/oarepair-x86-way.XXXXXX")
trap 'rm -rf "$work"' EXIT
export OAREPAIR_WINE_CACHE=$work/cache
passed=0
failed=0
pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

# expect WHAT FAILURE TEST...: passes when the test command succeeds, else fails with FAILURE.
expect() {
    local what=$1 failure=$2
    shift 2
    if "$@"; then pass "$what"; else fail "$what ($failure)"; fi
}

# way ENV... : runs `wine-run.sh --way x86` with the given variables; sets OUT, ERR and RC.
way() {
    RC=0
    OUT=$(env -u OAREPAIR_X86_MODE -u OAREPAIR_X86_NO_NATIVE -u OAREPAIR_QEMU_I386 "$@" \
          "$run" --way x86 2>"$work/err") || RC=$?
    ERR=$(cat "$work/err")
}
# expect_skip WHAT PATTERN: the last `way` exited 77 with one line on stderr that matches PATTERN.
expect_skip() {
    if [[ $RC -eq 77 && -z $OUT && $(wc -l <"$work/err") -eq 1 && $ERR == *skipped:*$2* ]]; then
        pass "$1"
    else
        fail "$1 (status $RC, output '$OUT', message '$ERR')"
    fi
}

way
default_rc=$RC default_way=$OUT default_err=$ERR
case $default_rc in
    0) echo "x86 Windows programs run here: $default_way" ;;
    77) echo "x86 Windows programs cannot run here: ${default_err#wine-run.sh: skipped: }" ;;
    *) echo "wine-run.sh --way x86 failed ($default_rc): $default_err"; exit 1 ;;
esac
if [[ $default_err == *"no Wine loader"* ]]; then
    exit 77  # no 32-bit Wine at all: nothing to choose between
fi

qemu=$(command -v qemu-i386 || true)
native_ok=0
way OAREPAIR_X86_MODE=native
[[ $RC -eq 0 ]] && native_ok=1

# The default takes the native way whenever the kernel allows it.
if [[ $native_ok -eq 1 ]]; then
    expect "the default is native where the kernel runs 32-bit programs" "it is '$default_way'" \
        test "$default_way" = native
    expect "OAREPAIR_X86_MODE=native runs natively" "it gave '$OUT'" test "$OUT" = native
else
    expect_skip "OAREPAIR_X86_MODE=native is skipped where the kernel cannot run 32-bit programs" \
        "OAREPAIR_X86_MODE=native, but"
fi

# A kernel without 32-bit support: native is skipped, the default falls back to qemu-i386.
way OAREPAIR_X86_NO_NATIVE=1 OAREPAIR_X86_MODE=native
expect_skip "forced native on a kernel without 32-bit support" "cannot run 32-bit programs"
way OAREPAIR_X86_NO_NATIVE=1
if [[ -n $qemu ]]; then
    expect "without 32-bit support the default is emulated" "status $RC, '$OUT': $ERR" \
        test "$RC:$OUT" = 0:emulated
    way OAREPAIR_X86_MODE=emulated
    expect "OAREPAIR_X86_MODE=emulated" "status $RC, '$OUT': $ERR" test "$RC:$OUT" = 0:emulated
    # The emulated loader runs Wine's 32-bit loader through qemu, and says so in one line.
    loader=$(OAREPAIR_X86_MODE=emulated "$run" --loader x86 2>"$work/err")
    if [[ $(cat "$work/err") == "wine-run.sh: x86 way: emulated ("*")" && $(wc -l <"$work/err") -eq 1 ]]; then
        pass "--loader says in one line that x86 goes emulated"
    else
        fail "--loader's line: '$(cat "$work/err")'"
    fi
    if grep -q "qemu-i386" "$loader" 2>/dev/null && [[ $("$loader" --version 2>&1) == wine-* ]]; then
        pass "the emulated loader starts Wine's 32-bit loader under qemu-i386"
    else
        fail "the emulated loader $loader does not start Wine under qemu-i386"
    fi
    tool=$(OAREPAIR_X86_MODE=emulated "$run" --tool-loader x86 2>/dev/null)
    expect "the tools' loader is the 64-bit one beside the emulated loader" \
        "it is '$tool', the emulated loader '$loader'" test -x "$(dirname "$loader")/wine64" -a \
        "$tool" = "$(dirname "$loader")/wine64"
fi
# Neither way: no 32-bit support and no qemu-i386.
way OAREPAIR_X86_NO_NATIVE=1 OAREPAIR_QEMU_I386="$work/no-qemu-i386"
expect_skip "neither way: skipped, naming qemu-user" "qemu-user"
way OAREPAIR_X86_NO_NATIVE=1 OAREPAIR_X86_MODE=emulated OAREPAIR_QEMU_I386="$work/no-qemu-i386"
expect_skip "forced emulated without qemu-i386" "OAREPAIR_X86_MODE=emulated, but qemu-i386 is missing"
# A real run is skipped the same way, with the same one line.
RC=0
OUT=$(OAREPAIR_X86_NO_NATIVE=1 OAREPAIR_QEMU_I386="$work/no-qemu-i386" "$run" x86 "$work/none.exe" \
      2>"$work/err") || RC=$?
ERR=$(cat "$work/err")
expect_skip "a run with neither way" "qemu-user"
way OAREPAIR_X86_MODE=sometimes
mode_refused() { [[ $RC -eq 125 && $ERR == *"OAREPAIR_X86_MODE must be"* ]]; }
expect "an unknown OAREPAIR_X86_MODE is an error" "status $RC: $ERR" mode_refused

echo "x86-way: $passed passed, $failed failed"
[[ $failed -eq 0 ]] || exit 1
[[ $default_rc -eq 0 ]] || exit 77
