# Sourced by the test scripts whose behaviours CTest runs one at a time.
# Each behaviour is a function case_NAME of the script (tests/CMakeLists.txt
# registers one entry for each such function it finds there), and the
# script ends with run_case NAME, which runs that one case and exits with
# its verdict: 0 when it passed, 1 when it failed (after lines that start
# with "FAIL:" and say what went wrong), 77 when this machine cannot try it
# (CTest shows it as skipped).

failed=0
fail() { echo "FAIL: $*"; failed=1; }

# skip REASON: this case cannot be tried here.
skip() {
    echo "not tried: $*"
    [ "$failed" = 0 ] || exit 1
    exit 77
}

# The cases of the sourcing script.
cases() { declare -F | sed -n 's/^declare -f case_//p' | tr '\n' ' '; }

run_case() {
    declare -F "case_$1" > /dev/null || { echo "FAIL: no case '$1'; the cases are: $(cases)"; exit 1; }
    "case_$1"
    exit "$failed"
}
