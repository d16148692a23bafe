#!/bin/sh
# Instructions per operation, counted by callgrind over the whole process (every
# thread, the virtual platform included), for each path and its hand-made floor:
# (instructions for N operations - instructions for none) / N.
#
#   benchmarks/cost.sh [path/to/quenor-cost] [N]
#
# Defaults: build/release/benchmarks/quenor-cost and N = 1000. Needs valgrind.
set -eu
program=${1:-build/release/benchmarks/quenor-cost}
n=${2:-1000}
command -v valgrind >/dev/null || { echo "cost.sh: valgrind not found" >&2; exit 2; }
[ -x "$program" ] || { echo "cost.sh: $program not built (cmake --preset release)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Total instructions of one run: callgrind's "Collected" line.
count() {
    valgrind --tool=callgrind --callgrind-out-file="$work/out" "$program" "$@" 2>"$work/log" \
        >/dev/null || { cat "$work/log" >&2; exit 1; }
    sed -n 's/.*Collected : *\([0-9]*\).*/\1/p' "$work/log"
}

perop() {  # path side
    empty=$(count "$1" "$2" 0)
    full=$(count "$1" "$2" "$n")
    echo $(((full - empty) / n))
}

printf '| operation | quenor | hand-made floor | ratio |\n|---|---|---|---|\n'
for row in "input:input report to a pending read" "set:set transfer round trip" \
           "feature:getFeature round trip"; do
    path=${row%%:*}
    library=$(perop "$path" library)
    floor=$(perop "$path" floor)
    ratio=$(awk -v a="$library" -v b="$floor" 'BEGIN { printf "%.2f", a / b }')
    printf '| %s | %s | %s | %s× |\n' "${row#*:}" "$library" "$floor" "$ratio"
done
