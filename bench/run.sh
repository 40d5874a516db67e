#!/usr/bin/env bash
# On-demand speed check of korvane-pack; not part of the tests.
#
#   bench/run.sh CORPUS_DIR...
#
# For each folder of PNGs: median wall time over RUNS runs (hyperfine) with
# one thread and with every core, peak memory (GNU time), the sheet's size,
# and whether the two sheets are byte-identical. Then, with
# korvane-bench-generate (built with the tests): the sheet's size against
# Qt's own PNG writer and, for folders of at most 99 images, the window's
# Generate in-process against korvane-pack, and whether both wrote the same
# bytes. With BENCH_KIT set to a
# peer benchmark kit (a folder holding bench.sh that runs korvane-pack
# beside other packers), that comparison runs too, with this build's
# korvane-pack.
set -eu
[ $# -gt 0 ] || { echo "usage: $0 CORPUS_DIR..." >&2; exit 2; }
top=$(cd "$(dirname "$0")/.." && pwd)
pack=${KORVANE_PACK:-$top/build/bin/korvane-pack}
generate=$(dirname "$pack")/korvane-bench-generate
runs=${RUNS:-5}
[ -x "$pack" ] || { echo "no korvane-pack at $pack: build first, or set KORVANE_PACK" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "needs hyperfine (apt-get install hyperfine)" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/korvane-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

for corpus in "$@"; do
    corpus=${corpus%/}
    name=$(basename "$corpus")
    echo "== $name: $(ls "$corpus"/*.png | wc -l) images"
    hyperfine --style basic --runs "$runs" --export-json "$work/$name.json" \
        -n "1 thread" "$pack --threads 1 -o $work/$name-1.png $corpus" \
        -n "all cores" "$pack -o $work/$name-n.png $corpus" |
        grep -E '^(Benchmark|  Time)'
    /usr/bin/time -f "peak memory: %M KiB" "$pack" -o "$work/$name-n.png" "$corpus"
    echo "sheet: $(stat -c %s "$work/$name-n.png") bytes"
    cmp -s "$work/$name-1.png" "$work/$name-n.png" && echo "1 thread and all cores: identical" ||
        echo "1 thread and all cores: DIFFERENT"
    if [ -x "$generate" ]; then
        "$generate" "$pack" "$corpus" "$runs" 2>/dev/null
    fi
    if [ -n "${BENCH_KIT:-}" ]; then
        (cd "$top" && KORVANE_PACK=$pack RUNS=$runs "$BENCH_KIT/bench.sh" "$corpus")
    fi
done
