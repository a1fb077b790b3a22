#!/bin/sh
# Usage: write_count.sh PROGRAM
# Output is flushed line by line and nothing more: a run must make exactly
# one write(2) per prompt and one per output line, and read its input in
# blocks rather than a byte at a time.
program=$1
if ! command -v strace > /dev/null || ! strace -o /dev/null true 2> /dev/null; then
    echo "strace cannot trace here; skipped"
    exit 77
fi
scratch=$(mktemp -d) || exit 1
trap 'rm -rf "$scratch"' EXIT

awk 'BEGIN {
    srand(3)
    for (i = 0; i < 3000; ++i) {
        id = sprintf("K%d", int(rand() * 300)); r = rand()
        if (r < 0.4) printf "A %s 1.%d %d Candy %d\n", id, i % 10, int(rand() * 50), i
        else if (r < 0.7) printf "F %s\n", id
        else if (r < 0.95) printf "D %s %d\n", id, int(rand() * 30)
        else if (r < 0.98) print "C"
        else print "D x -1"
    }
}' > "$scratch/in"

# The leak checker of a sanitizer build cannot run under a tracer; the
# transcript tests check for leaks.
if ! ASAN_OPTIONS=detect_leaks=0 strace -o "$scratch/trace" -e trace=read,write \
        -e signal=none "$program" < "$scratch/in" > "$scratch/out" 2> "$scratch/err"; then
    echo "the traced run failed:"
    tail -n 5 "$scratch/err"
    exit 1
fi
writes=$(grep -c '^write(1,' "$scratch/trace")
reads=$(grep -c '^read(0,' "$scratch/trace")
lines=$(wc -l < "$scratch/out")
prompts=$(grep -o '> ' "$scratch/out" | wc -l)
bytes=$(wc -c < "$scratch/in")
echo "$writes writes for $lines lines and $prompts prompts; $reads reads for $bytes bytes"
[ "$writes" -eq $((lines + prompts)) ] || exit 1
[ "$reads" -le $((bytes / 4096 + 2)) ] || exit 1
