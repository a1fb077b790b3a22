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
