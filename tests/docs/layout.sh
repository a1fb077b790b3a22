#!/usr/bin/env bash
# Usage: layout.sh SOURCE_TREE [LAYERS_FILE]
# The layout table of docs/testing.md (its section "## Layout") must name
# every .cpp and .hh file of the tree, and name nothing that is not there.
# A row's first cell names its files by their paths from the top of the
# tree, in backquotes; every such path, source file or not, must exist, and
# so must every path with a slash quoted elsewhere in the rows. With
# LAYERS_FILE (the layers.cmake the build writes), a source file that the
# build puts in a layer must have that layer, in backquotes, in its row's
# second cell. Build folders (build* at the top, or any folder with a
# CMakeCache.txt) and hidden folders are not the tree. Each fault is named;
# the status is 1 if there is any.
# shellcheck disable=SC2016  # the backquotes in patterns are Markdown's
set -euo pipefail
root=${1:?usage: layout.sh SOURCE_TREE [LAYERS_FILE]}
layers=${2:-}
doc=docs/testing.md
export LC_ALL=C
cd "$root"
[ -f "$doc" ] || { echo "FAIL: $doc is missing"; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The rows of the section's tables, less their headers and rules.
awk '/^## /{ inside = ($0 ~ /^## Layout[[:space:]]*$/); next }
     inside && /^\|/ && !/^\|[-| :]*$/ && !/^\| *file *\|/ && !/^\| *folder *\|/' "$doc" > "$scratch/rows"
[ -s "$scratch/rows" ] || { echo "FAIL: $doc has no table under \"## Layout\""; exit 1; }

# Each path a first cell names, with the layer its second cell names (or
# "-"); and the paths with a slash quoted anywhere in the rows.
while IFS= read -r row; do
    IFS='|' read -r _ first second _ <<< "$row"
    layer=$(grep -o '`[^`]*`' <<< "$second" | head -n 1 | tr -d '`' || true)
    { grep -o '`[^`]*`' <<< "$first" || true; } | tr -d '`' | while IFS= read -r path; do
        printf '%s\t%s\n' "$path" "${layer:--}"
    done
done < "$scratch/rows" > "$scratch/named"
grep -o '`[^`]*`' "$scratch/rows" | tr -d '`' |
    grep -E '^[A-Za-z0-9_.+-]+(/[A-Za-z0-9_.+-]*)+$' | sort -u > "$scratch/quoted" || true

# Every path named must be in the tree.
cut -f1 "$scratch/named" | sort -u | while IFS= read -r path; do
    [ -e "$path" ] || echo "$doc, Layout: the table names $path, which is not in the tree"
done > "$scratch/faults"
cut -f1 "$scratch/named" | sort -u | comm -23 "$scratch/quoted" - | while IFS= read -r path; do
    [ -e "$path" ] || echo "$doc, Layout: the table quotes $path, which is not in the tree"
done >> "$scratch/faults"

# A file named in two rows.
cut -f1 "$scratch/named" | sort | uniq -d | while IFS= read -r path; do
    echo "$doc, Layout: the table names $path more than once"
done >> "$scratch/faults"

# Every source file of the tree must be named.
find . -mindepth 1 \( -type d \( -name '.*' -o -path './build*' -o -exec test -e '{}/CMakeCache.txt' ';' \) \) -prune \
    -o -type f \( -name '*.cpp' -o -name '*.hh' \) -print | sed 's|^\./||' | sort > "$scratch/tree"
[ -s "$scratch/tree" ] || { echo "FAIL: no source file found under $root"; exit 1; }
cut -f1 "$scratch/named" | sort -u > "$scratch/named_paths"
comm -23 "$scratch/tree" "$scratch/named_paths" | while IFS= read -r path; do
    echo "$doc, Layout: $path is in the tree but not in the table"
done >> "$scratch/faults"

# Each file the build puts in a layer is in the table under that layer.
if [ -n "$layers" ]; then
    [ -f "$layers" ] || { echo "FAIL: no layers file $layers"; exit 1; }
    sed -n 's/^set(LAYER_FILES_\([A-Za-z0-9_]*\) \(.*\))$/\1 \2/p' "$layers" |
        while read -r layer files; do
            tr ';' '\n' <<< "$files" | while IFS= read -r file; do
                if [ -n "$file" ]; then printf '%s\t%s\n' "$file" "$layer"; fi
            done
        done > "$scratch/built"
    [ -s "$scratch/built" ] || { echo "FAIL: $layers names no layer's files"; exit 1; }
    while IFS=$'\t' read -r file layer; do
        said=$(awk -F'\t' -v f="$file" '$1 == f { print $2; exit }' "$scratch/named")
        if [ -n "$said" ] && [ "$said" != "$layer" ]; then
            [ "$said" = - ] && said="none" || said="\"$said\""
            echo "$doc, Layout: the build puts $file in the layer \"$layer\", the table gives it $said"
        fi
    done < "$scratch/built" >> "$scratch/faults"
fi

if [ -s "$scratch/faults" ]; then
    sed 's/^/FAIL: /' "$scratch/faults"
    echo "(whoever adds, moves or removes a source file brings the table in $doc up to date)"
    exit 1
fi
echo "$doc, Layout: the tree's $(wc -l < "$scratch/tree") source files each in the table; its $(wc -l < "$scratch/named_paths") paths each in the tree"
