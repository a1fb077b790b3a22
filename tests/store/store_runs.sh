# Sourced by the store tests: runs of $program that take their commands from
# a FIFO on descriptor 3, so that other runs and programs can act between
# their commands, and checks of what they print. The sourcing script defines
# fail.

runs=()  # every run started, for the clean-up

# start_run NAME STORE [OPTIONS...]: the run's output goes to NAME.out and
# NAME.err; run is its process.
start_run() {
    rm -f "$1.in" && mkfifo "$1.in"
    "$program" --store "$2" "${@:3}" < "$1.in" > "$1.out" 2> "$1.err" &
    run=$!
    runs+=("$run")
    exec 3> "$1.in"
}

# end_run: ends the input of the run, and gives its exit status.
end_run() {
    exec 3>&-
    wait "$run"
}

# tell NAME COMMAND EXPECTED: sends a command, and waits until the run's
# output ends with the line expected and the next prompt. Patient, for a
# loaded machine: it goes on as soon as the line is there.
tell() {
    printf '%s\n' "$2" >&3
    for _ in $(seq 3000); do
        [ "$(tail -n 2 "$1.out")" = "$3"$'\n> ' ] && return 0
        sleep 0.01
    done
    fail "after '$2' the run showed: $(tail -n 3 "$1.out"), not: $3"
}

# between FILE FROM TO: the lines of FILE after the echo FROM and before the
# echo TO.
between() {
    sed -n "/^> $2\$/,/^> $3\$/p" "$1" | sed '1d;$d'
}

# lines_match TEXT PATTERNS: true when each line of TEXT matches the extended
# regular expression on the same line of PATTERNS, and they are as many.
lines_match() {
    [ "$(wc -l <<< "$1")" = "$(wc -l <<< "$2")" ] &&
        paste -d '\n' <(echo "$1") <(echo "$2") |
        while IFS= read -r line && IFS= read -r pattern; do
            grep -Eqx -- "$pattern" <<< "$line" || exit 1
        done
}

# Kills the runs still going and waits for them.
stop_runs() {
    exec 3>&- 2> /dev/null
    for started in "${runs[@]}"; do kill "$started" 2> /dev/null; done
    wait 2> /dev/null
}
