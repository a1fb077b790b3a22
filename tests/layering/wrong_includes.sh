#!/usr/bin/env bash
# Usage: wrong_includes.sh SOURCE_TREE LAYERS_FILE CASE
# The build's layer check on a copy of the tree into which one wrong include
# is written: the check must fail and name the file and the layer it may not
# use. CASE "none" writes none, and the check must pass.
set -euo pipefail
root=$1
layers=$2
case=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Every file of a layer, copied as it is.
(cd "$root" && sed -n 's/^set(LAYER_FILES_[a-z_]* \(.*\))$/\1/p' "$layers" | tr ';' '\n' |
    while read -r file; do
        [ -n "$file" ] && mkdir -p "$scratch/$(dirname "$file")" && cp "$file" "$scratch/$file"
    done)

# CASE: the file that gains the include, the header it includes, and what
# the check must say of it.
case $case in
    none) file= ;;
    table_includes_store) file=datastructure.cpp header=store/store.hh says="is of the layer store, which table does not use" ;;
    store_includes_console) file=store/store.cpp header=console/console.hh says="is of the layer console, which store does not use" ;;
    stock_includes_console) file=stock/stock_file.hh header=console/console_input.hh says="is of the layer console, which stock does not use" ;;
    web_includes_table) file=web/pages.cpp header=datastructure.hh says="is of the layer table, which web does not use" ;;
    sqlite_includes_postgres) file=store/sqlite/sqlite_store.cpp header=store/postgres/postgres_wire.hh says="is of the layer postgres_client, which store_sqlite does not use" ;;
    bare_sibling_name) file=util/files.cpp header=output_lines.hh says="is not a path from the top of the tree" ;;
    *) echo "unknown case $case"; exit 2 ;;
esac
if [ -n "$file" ]; then
    [ -f "$scratch/$file" ] || { echo "$file is in no layer"; exit 1; }
    printf '#include "%s"\n' "$header" | cat - "$scratch/$file" > "$scratch/new" && mv "$scratch/new" "$scratch/$file"
fi

if cmake -DROOT="$scratch" -DLAYERS="$layers" -P "$root/cmake/check_layers.cmake" > "$scratch/out" 2>&1; then
    [ -z "$file" ] && exit 0
    echo "the check passed a wrong include: $file includes $header"
    exit 1
fi
if [ -z "$file" ]; then
    echo "the check failed on the tree as it is:"
    cat "$scratch/out"
    exit 1
fi
grep -Fq "$file: \"$header\" $says" "$scratch/out" || {
    echo "the check failed without naming $file and why:"
    cat "$scratch/out"
    exit 1
}
