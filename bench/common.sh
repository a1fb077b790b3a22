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

# Calls "$3 n" for n in quarter decades from 1000 (1000, 1778, 3162, ...) up
# to $1. The call prints the seconds its run took; a status of 124 means the
# run was cut off, and ends the sweep, as does a run that would pass the
# budget of $2 seconds at the next step if its time grew with the square of n
# (a step of 10^(1/4) in n multiplies such a time by 10^(1/2)). Any other
# failure ends the script.
sweep_sizes() {
    local largest=$1 budget=$2 run=$3 step=0 n seconds status
    while :; do
        n=$(awk -v k=$step 'BEGIN { printf "%d", 1000 * 10 ^ (k / 4) + 0.5 }')
        [ "$n" -le "$largest" ] || return 0
        status=0
        seconds=$("$run" "$n") || status=$?
        if [ "$status" -eq 124 ]; then
            echo "$run: n=$n was cut off; the sweep ends" >&2
            return 0
        fi
        [ "$status" -eq 0 ] || exit 1
        if awk -v s="$seconds" -v b="$budget" 'BEGIN { exit !(s * 10 ^ 0.5 > b) }'; then
            return 0
        fi
        step=$((step + 1))
    done
}

# Writes to $1 the console script of the benchmarks: 100000 "A", "F" and "D"
# commands over 5000 ids, the same every time.
write_console_script() {
    awk -v n=100000 -v ids=5000 'BEGIN {
        srand(42)
        for (i = 0; i < n; ++i) {
            id = sprintf("CANDY:%05d", int(rand() * ids))
            r = rand()
            if (r < 0.4) printf "A %s %d.%02d %d Candy number %s\n", id, int(rand() * 9), int(rand() * 100), 1 + int(rand() * 500), id
            else if (r < 0.7) printf "F %s\n", id
            else printf "D %s %d\n", id, 1 + int(rand() * 300)
        }
    }' > "$1"
}
