#!/bin/sh
# Usage: run_transcript.sh PROGRAM STORY DATA_DIR
# Feeds STORY.in to PROGRAM, run in a scratch copy of DATA_DIR (so that saved
# files land there), and compares its standard output with STORY.out.
# Standard error must be empty, or have as many lines as STORY.err, each
# matching the extended regular expression on the same line of STORY.err.
program=$1
story=$2
data=$3
scratch=$(mktemp -d) || exit 1
trap 'rm -rf "$scratch"' EXIT
cp -R "$data" "$scratch/data" || exit 1

(cd "$scratch/data" && "$program") < "$story.in" > "$scratch/out" 2> "$scratch/err"
status=$?
failed=0
if [ "$status" -ne 0 ]; then
    echo "exit status $status, expected 0"
    failed=1
fi
if ! cmp -s "$story.out" "$scratch/out"; then
    echo "standard output differs from $story.out:"
    diff "$story.out" "$scratch/out" | head -n 40
    failed=1
fi
if [ -f "$story.err" ]; then
    if [ "$(wc -l < "$story.err")" -ne "$(wc -l < "$scratch/err")" ]; then
        echo "standard error has the wrong number of lines:"
        cat "$scratch/err"
        failed=1
    fi
    line=0
    while IFS= read -r pattern; do
        line=$((line + 1))
        actual=$(sed -n "${line}p" "$scratch/err")
        if ! printf '%s\n' "$actual" | grep -Eqx -- "$pattern"; then
            echo "standard error line $line does not match $pattern: $actual"
            failed=1
        fi
    done < "$story.err"
elif [ -s "$scratch/err" ]; then
    echo "unexpected standard error:"
    cat "$scratch/err"
    failed=1
fi
exit $failed
