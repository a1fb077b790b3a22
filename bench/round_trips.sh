#!/usr/bin/env bash
# What a clerk waits for on a PostgreSQL store across a network: each kind
# of command typed at a run whose server is behind a proxy that counts round
# trips and delays each direction by half of 0, 10 and 40 ms: a network whose
# round trip takes that long. Prints, for each kind,
# the round trips it costs and its median time over RUNS commands (default
# 9), from the line sent to the next prompt.
# Usage: bench/round_trips.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
use_build "${1:-build}"
runs=${RUNS:-9}
here=$PWD
make_work_folder
cd "$work"
source "$here/tests/postgres_server.sh"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
start_postgres "$work/server" -c listen_addresses=127.0.0.1 -c port="$port" > /dev/null
export PGPORT=$port
proxy=
run=
trap 'exec 3>&-; kill $proxy $run 2> /dev/null || true; wait; stop_postgres; rm -rf "$work"' EXIT
make_database bench
printf 'A Z s 4000000000 n\nA Y s 1 n\nG 10000\n' | "$build/warehouse" --store "$(postgres_uri_of bench)" > /dev/null

now() { date +%s%N; }
count() { cat counts; }
# Waits until the run's output ends with a prompt after more than it held.
prompted() {
    local size=$1
    while [ "$(stat -c %s out)" -le "$size" ] || [ "$(tail -c 2 out)" != '> ' ]; do sleep 0.001; done
}

printf '%-10s %12s %10s %10s %10s\n' command "round trips" "at 0 ms" "at 10 ms" "at 40 ms"
declare -A trips times
kinds=(start "D Z 1" "D Y 5" "A X s 1 n" "F Z" C "L Z" "H Z" H)
for delay in 0 10 40; do
    rm -f proxy.out counts
    python3 "$here/tests/exchange_proxy.py" "$port" "$((delay / 2))" counts > proxy.out &
    proxy=$!
    while [ ! -s proxy.out ]; do sleep 0.01; done
    uri="postgresql://postgres@127.0.0.1:$(cat proxy.out)/bench"
    rm -f in out && mkfifo in
    started=$(now)
    "$build/warehouse" --store "$uri" < in > out &
    run=$!
    exec 3> in
    prompted 0
    times[start,$delay]=$(( ($(now) - started) / 1000000 ))
    trips[start]=$(count)
    for kind in "${kinds[@]:1}"; do
        samples=()
        for _ in $(seq "$runs"); do
            before=$(count)
            size=$(stat -c %s out)
            started=$(now)
            printf '%s\n' "$kind" >&3
            prompted "$size"
            samples+=($(( ($(now) - started) / 1000000 )))
            trips[$kind]=$(($(count) - before))
        done
        times[$kind,$delay]=$(printf '%s\n' "${samples[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p")
    done
    exec 3>&-
    wait "$run"
    kill "$proxy"
    wait "$proxy" 2> /dev/null || true
done
for kind in "${kinds[@]}"; do
    printf '%-10s %12s %7s ms %7s ms %7s ms\n' "$kind" "${trips[$kind]}" \
        "${times[$kind,0]}" "${times[$kind,10]}" "${times[$kind,40]}"
done
