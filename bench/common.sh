# Sourced by the benchmark scripts, from the top of the clone.

# Sets build to the absolute path of the build folder $1, building the
# programs there first when they are missing, as in a fresh clone.
use_build() {
    [ -x "$1/warehouse" ] || make BUILD="$1" > /dev/null
    build=$(realpath "$1")
}

# Sets work to a scratch folder that is removed when the script exits.
make_work_folder() {
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
}

# The k-th step of a sweep in quarter decades from 1000: 1000, 1778, 3162, ...
quarter_decade() {
    awk -v k="$1" 'BEGIN { printf "%d", 1000 * 10 ^ (k / 4) + 0.5 }'
}

# True when a run that took $1 seconds would pass the budget of $2 seconds at
# the next step, if its time grew with the square of n: a step of 10^(1/4) in
# n multiplies such a time by 10^(1/2).
next_step_passes() {
    awk -v s="$1" -v b="$2" 'BEGIN { exit !(s * 10 ^ 0.5 > b) }'
}
