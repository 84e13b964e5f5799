#!/bin/sh
# Speed of zvbdump's long CSV table. Makes the steps file of a preset and its trajectories
# once (zvbgen, then zvbtrack time x y z, in $ZVB_BENCH_DIR, default /tmp/zvbbench, where
# bench.py keeps its inputs too), counts the bytes of the CSV (which also warms the page
# cache), then times REPS runs of `zvbdump -c FILE > /dev/null`: wall time, MB/s of CSV and
# peak RSS of each run, and the median.
#
# Usage: sh bench/csv_bench.sh [BUILD [PRESET [REPS]]]   (defaults: build wide 3)
set -eu
build=${1:-build}
preset=${2:-wide}
reps=${3:-3}
dir=${ZVB_BENCH_DIR:-/tmp/zvbbench}
mkdir -p "$dir"
steps=$dir/$preset.zvb
trajectories=$dir/$preset.traj.zvb
if [ ! -f "$steps" ]; then
  "$build/zvbgen" -p "$preset" -o "$steps.part"
  mv "$steps.part" "$steps"
fi
if [ ! -f "$trajectories" ]; then
  "$build/zvbtrack" -o "$trajectories.part" "$steps" time x y z
  mv "$trajectories.part" "$trajectories"
fi
bytes=$("$build/zvbdump" -c "$trajectories" | wc -c)
echo "$preset: trajectory file $(wc -c < "$trajectories") bytes, CSV $bytes bytes"
walls=""
for run in $(seq "$reps"); do
  /usr/bin/time -f "%e %M" -o "$dir/csv.time" "$build/zvbdump" -c "$trajectories" > /dev/null
  read -r wall rss < "$dir/csv.time"
  echo "  run $run: $wall s, $(awk "BEGIN { printf \"%.0f\", $bytes / 1e6 / $wall }") MB/s," \
    "peak RSS $((rss / 1024)) MiB"
  walls="$walls $wall"
done
rm -f "$dir/csv.time"
median=$(printf '%s\n' $walls | sort -n | awk '{ w[NR] = $1 } END { print w[int((NR + 1) / 2)] }')
echo "  median: $median s, $(awk "BEGIN { printf \"%.0f\", $bytes / 1e6 / $median }") MB/s of CSV"
