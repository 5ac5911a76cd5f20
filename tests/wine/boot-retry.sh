#!/usr/bin/env bash
# Checks that cmake/wine-run.sh tries wineboot once more when it fails: a loader whose first
# wineboot fails still gets a template prefix made, and one whose every wineboot fails ends in
# status 125 with both attempts in the log, leaving no half-made prefix behind.
# Exit status: 0 all checks passed, 1 a check failed, 77 x64 programs cannot run here.
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/e2e-common.sh"
E2E_NAME=boot-retry
run=$E2E_WINE_RUN
work=$(mktemp -d "${TMPDIR:-/tmp}/oarepair-boot-retry.XXXXXX")
trap 'rm -rf "$work"' EXIT

real=$("$run" --loader x64 2>/dev/null) || { echo "skipped: x64 programs cannot run here"; exit 77; }

# A stand-in for the 64-bit loader: its wineboot fails FAILS times, then it is the real loader.
stand_in() { # FAILS
    cat >"$work/wine64" <<SCRIPT
#!/usr/bin/env bash
if [[ \$1 == wineboot ]]; then
    count=\$(cat "$work/boots" 2>/dev/null || echo 0)
    echo \$((count + 1)) >"$work/boots"
    if (( count < $1 )); then echo "boot refused"; exit 3; fi
fi
exec "$real" "\$@"
SCRIPT
    chmod 755 "$work/wine64"
    rm -f "$work/boots"
}

stand_in 1
rc=0
OAREPAIR_WINE64=$work/wine64 "$run" --cache "$work/once" --new-prefix x64 "$work/p1" 2>"$work/err" ||
    rc=$?
check "one failed wineboot: the prefix is made (status $rc)" test "$rc" -eq 0 -a -f "$work/p1/system.reg"
check "one failed wineboot: it was tried twice" test "$(cat "$work/boots")" -eq 2
check "one failed wineboot: the log says so" grep -q "exited with status 3 (attempt 1)" \
    "$work/once/template-x64.log"

stand_in 99
rc=0
OAREPAIR_WINE64=$work/wine64 "$run" --cache "$work/never" --new-prefix x64 "$work/p2" 2>"$work/err" ||
    rc=$?
check "every wineboot failing: status 125 (status $rc)" test "$rc" -eq 125
check "every wineboot failing: tried twice" test "$(cat "$work/boots")" -eq 2
check "every wineboot failing: both attempts reported" grep -q "(attempt 2)" "$work/err"
check "every wineboot failing: no prefix left" test ! -e "$work/never/template-x64.new" -a \
    ! -e "$work/never/template-x64" -a ! -e "$work/p2/system.reg"

e2e_finish
