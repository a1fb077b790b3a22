#!/usr/bin/env bash
# Usage: store_kill.sh CASE PROGRAM
# Its one case, killed_runs_keep_what_they_showed, is one promise checked
# across many kills.
# Whatever the transcript shows as done is in the store, whenever the run is
# killed, also while another run works on the same store: two long scripts
# are piped into two runs at once and both runs killed with SIGKILL at a
# random moment, at least 20 kills in all. After each kill, the store must
# hold, for each run, its stock after exactly the commands its captured
# transcript shows as done, or after some more, never fewer and never a mix.
#
# Command i of a run's script adds product <run><i> with i units, except
# that every third command withdraws all of the product before it. So that
# run's stock after k commands is every product with j = 1 mod 3 up to k,
# and <run><k> when k = 2 mod 3: each product's units name it, and the
# largest tells k.
set -u
case=$1
program=$(realpath "$2")
source "$(dirname "$(realpath "$0")")/../cases.sh"
scratch=$(mktemp -d) || exit 1
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1

# Feeds a run's script in chunks, so that it reads, commits and shows many
# times, and waits on the other run's commits now and then.
feed() { for chunk in chunk."$1".*; do cat "$chunk"; sleep 0.0005; done; }

# Checks the stock the run left in after.txt against its transcript.
verdict() {
    local run=$1
    # Each prompt follows a command that is shown as done, but the last.
    local done_commands=$(($(grep -o '> ' "shown.$run" | wc -l) - 1))
    grep "^$run" after.txt | awk -F';' -v run="$run" -v done="$done_commands" '
        { ++count; sum += $2; if ($2 > most) most = $2
          if ($1 != run $2 || $3 != "s" || $4 != "n") bad = bad " " $0
          amounts[NR] = $2 }
        END {
            for (i = 1; i <= NR; ++i)
                if (amounts[i] % 3 != 1 && amounts[i] != most) bad = bad " " run amounts[i]
            if (bad != "") { print "rows that no prefix of the script leaves:" bad; exit }
            if (most % 3 == 0 && count > 0) { print run most " was withdrawn"; exit }
            # The stock after "most" commands (or two more, when it is 1 mod 3).
            ones = int((most + 2) / 3); want = ones; wantSum = ones * (1 + 3 * (ones - 1) + 1) / 2
            if (most % 3 == 2) { ++want; wantSum += most }
            if (count + 0 != want || sum + 0 != wantSum) { print "a mix of states: " count " products"; exit }
            latest = most % 3 == 2 ? most : (count > 0 ? most + 2 : 0)
            if (latest < done) print "the store holds " latest " commands, the transcript shows " done
        }'
}

case_killed_runs_keep_what_they_showed() {
    for run in p q; do
        awk -v run=$run 'BEGIN { for (i = 1; i <= 30000; ++i)
            if (i % 3 == 0) printf "D %s%d %d\n", run, i - 1, i - 1; else printf "A %s%d s %d n\n", run, i, i }' |
            split -l 600 - "chunk.$run."
    done

    kills=0
    for attempt in $(seq 40); do
        [ "$kills" -ge 20 ] && break
        rm -f stock.db*
        pids=()
        for run in p q; do
            feed $run 2> /dev/null | "$program" --store stock.db > "shown.$run" &
            pids+=($!)
        done
        sleep "0.$(printf '%03d' $((RANDOM % 200)))"
        kill -KILL "${pids[@]}" 2> /dev/null
        for pid in "${pids[@]}"; do
            { wait "$pid"; status=$?; } 2> /dev/null  # no word of the kill
            [ "$status" -eq 137 ] && kills=$((kills + 1))
        done
        wait 2> /dev/null

        printf 'W after.txt\n' | "$program" --store stock.db > /dev/null ||
            { fail "the store does not open after a kill"; continue; }
        for run in p q; do
            result=$(verdict $run)
            [ -z "$result" ] || fail "attempt $attempt, run $run: $result"
        done
    done
    [ "$kills" -ge 20 ] || fail "only $kills of the runs were killed before they ended"
    echo "$kills runs killed"
}

run_case "$case"
