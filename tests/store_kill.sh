#!/usr/bin/env bash
# Usage: store_kill.sh PROGRAM
# Whatever the transcript shows as done is in the store, whenever the run is
# killed: a long script is piped into a run with a store and the run killed
# with SIGKILL at a random moment, at least 20 times. After each kill, a new
# run must hold the stock after exactly the commands the captured transcript
# shows as done, or after some more, never fewer and never a mix.
#
# Command i of the script adds product p<i> with i units, except that every
# third command withdraws all of the product before it. So the stock after
# k commands is every p<j> with j = 1 mod 3 up to k, and p<k> when
# k = 2 mod 3: each product's units name it, and the largest tells k.
set -u
program=$(realpath "$1")
scratch=$(mktemp -d) || exit 1
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
failed=0
fail() { echo "FAIL: $*"; failed=1; }

awk 'BEGIN { for (i = 1; i <= 30000; ++i)
    if (i % 3 == 0) printf "D p%d %d\n", i - 1, i - 1; else printf "A p%d s %d n\n", i, i }' |
    split -l 600 - chunk.

kills=0
for attempt in $(seq 60); do
    [ "$kills" -ge 20 ] && break
    rm -f stock.db*
    # Fed in chunks, so that the run reads, commits and shows many times.
    { for chunk in chunk.*; do cat "$chunk"; sleep 0.002; done; } 2> /dev/null |
        "$program" --store stock.db > shown &
    run=$!
    sleep "0.$(printf '%03d' $((RANDOM % 150)))"
    kill -KILL "$run" 2> /dev/null
    { wait "$run"; status=$?; wait; } 2> /dev/null  # no word of the kill
    [ "$status" -eq 137 ] && kills=$((kills + 1))

    # Each prompt follows a command that is shown as done, but the last.
    done_commands=$(($(grep -o '> ' shown | wc -l) - 1))
    printf 'W after.txt\n' | "$program" --store stock.db > /dev/null ||
        { fail "the store does not open after a kill"; continue; }
    verdict=$(awk -F';' -v done="$done_commands" '
        { ++count; sum += $2; if ($2 > most) most = $2
          if ($1 != "p" $2 || $3 != "s" || $4 != "n") bad = bad " " $0
          amounts[NR] = $2 }
        END {
            for (i = 1; i <= NR; ++i)
                if (amounts[i] % 3 != 1 && amounts[i] != most) bad = bad " p" amounts[i]
            if (bad != "") { print "rows that no prefix of the script leaves:" bad; exit }
            if (most % 3 == 0 && count > 0) { print "p" most " was withdrawn"; exit }
            # The stock after "most" commands (or two more, when it is 1 mod 3).
            ones = int((most + 2) / 3); want = ones; wantSum = ones * (1 + 3 * (ones - 1) + 1) / 2
            if (most % 3 == 2) { ++want; wantSum += most }
            if (count + 0 != want || sum + 0 != wantSum) { print "a mix of states: " count " products"; exit }
            latest = most % 3 == 2 ? most : (count > 0 ? most + 2 : 0)
            if (latest < done) print "the store holds " latest " commands, the transcript shows " done
        }' after.txt)
    [ -z "$verdict" ] || fail "attempt $attempt: $verdict"
done
[ "$kills" -ge 20 ] || fail "only $kills of the runs were killed before they ended"
echo "$kills runs killed"
exit $failed
