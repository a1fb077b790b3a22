#!/usr/bin/env bash
# Usage: command_table.sh PROGRAM README
# The README's command table, the first table under "## Commands", must list
# exactly the commands that PROGRAM --help prints under "Commands:", in the
# same order: each row's first cell, in backquotes, is a command's form and
# its second cell the help line, as --help prints them after its two-space
# indent (a line indented further continues the help line above it; "\|" in
# a cell is a "|"). Each difference is shown; the status is 1 if there is any.
set -euo pipefail
program=${1:?usage: command_table.sh PROGRAM README}
readme=${2:?usage: command_table.sh PROGRAM README}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# --help's commands, one "form<TAB>help" line each.
"$program" --help < /dev/null > "$scratch/help"
awk '/^Commands:$/ { inside = 1; next }
     inside && /^$/ { exit }
     inside {
         if ($0 !~ /^  [^ ]/) {
             if ($0 ~ /^   / && n > 0) { sub(/^ +/, ""); help[n] = help[n] " " $0; next }
             print "FAIL: --help: a line under Commands: without its two-space indent: " $0 > "/dev/stderr"
             bad = 1; exit
         }
         line = substr($0, 3)
         gap = index(line, "  ")
         if (gap == 0) {
             print "FAIL: --help: a command without two spaces between its form and its help: " $0 > "/dev/stderr"
             bad = 1; exit
         }
         form[++n] = substr(line, 1, gap - 1)
         help[n] = substr(line, gap)
         sub(/^ +/, "", help[n])
     }
     END {
         if (bad) exit 1
         for (i = 1; i <= n; i++) print form[i] "\t" help[i]
     }' "$scratch/help" > "$scratch/from_help"
[ -s "$scratch/from_help" ] || { echo "FAIL: $program --help lists no command under \"Commands:\""; exit 1; }

# The README's rows, less the header and the rule.
awk '/^## / { inside = ($0 ~ /^## Commands[[:space:]]*$/); next }
     inside && /^\|/ { started = 1; rows[++n] = $0; next }
     inside && started { exit }
     END {
         for (i = 3; i <= n; i++) {
             row = rows[i]
             gsub(/\\\|/, "\001", row)
             split(row, cell, "|")
             form = cell[2]; help = cell[3]
             gsub(/^ +| +$/, "", form); gsub(/^ +| +$/, "", help)
             if (form !~ /^`[^`]+`$/) {
                 print "FAIL: README: a row of the command table whose first cell is not one form in backquotes: " rows[i] > "/dev/stderr"
                 bad = 1
             }
             form = substr(form, 2, length(form) - 2)
             gsub(/\001/, "|", form); gsub(/\001/, "|", help)
             print form "\t" help
         }
         if (bad) exit 1
     }' "$readme" > "$scratch/from_readme"
[ -s "$scratch/from_readme" ] || { echo "FAIL: $readme has no command table under \"## Commands\""; exit 1; }

if ! diff "$scratch/from_help" "$scratch/from_readme" > "$scratch/diff"; then
    echo "FAIL: the command table of $readme differs from what $(basename "$program") --help lists under Commands:"
    echo "(< only --help has the line, > only the README; a form and its help are split by a tab)"
    cat "$scratch/diff"
    exit 1
fi
echo "$readme: the command table lists the $(wc -l < "$scratch/from_help") commands of $(basename "$program") --help, form and help, in its order"
