#!/bin/sh
# Runs every fuzz target for SECONDS, all at once, and prints what each did: executions,
# coverage, and every crash, hang, leak or sanitizer report with the input that caused it.
# Corpora and findings stay in LIBFUZZER_BUILD/fuzz-runs, so later runs go on from them.
# Exits 1 when anything was found.
#
# usage: sh fuzz/run.sh LIBFUZZER_BUILD AFL_BUILD SECONDS
set -eu

if [ $# -ne 3 ]; then
  echo "usage: sh fuzz/run.sh LIBFUZZER_BUILD AFL_BUILD SECONDS" >&2
  exit 2
fi
tree_build=$(cd "$1" && pwd)
afl_build=$(cd "$2" && pwd)
seconds=$3
work=$tree_build/fuzz-runs
seeds=$work/seeds
mkdir -p "$work/corpus-tree"
rm -rf "$seeds"
"$tree_build/fuzz/zvbseeds" "$seeds"

# A crash is a signal: sanitizer reports abort, and an allocation of more than 256 MiB, which no
# input of a megabyte needs, counts as one.
sanitizer_options=abort_on_error=1:symbolize=0:detect_leaks=0:allocator_may_return_null=0:max_allocation_size_mb=256
undefined_options=halt_on_error=1:abort_on_error=1:print_stacktrace=1:symbolize=0

# The tree target, in-process: leaks are checked after every input that allocates.
run_tree() {
  rm -f "$work"/tree-crash-* "$work"/tree-leak-* "$work"/tree-timeout-* "$work"/tree-oom-*
  status=0
  "$tree_build/fuzz/tree_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
    -max_len=65536 -timeout=10 -malloc_limit_mb=256 -rss_limit_mb=2048 \
    -artifact_prefix="$work/tree-" "$work/corpus-tree" "$seeds/tree" \
    >"$work/tree.log" 2>&1 || status=$?
  echo "$status" >"$work/tree.status"
}

# The whole program on each input, under afl-fuzz, with a fixed command line. A run counts as
# hung after 10 s, as in the tree target: a small input whose enclosing groups are copied under
# every trajectory can make megabytes of output, which takes seconds under the sanitizers when
# the fuzzers share the cores.
run_afl() {
  name=$1
  shift
  status=0
  AFL_SKIP_CPUFREQ=1 AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1 AFL_NO_UI=1 AFL_NO_AFFINITY=1 \
    AFL_AUTORESUME=1 ASAN_OPTIONS=$sanitizer_options UBSAN_OPTIONS=$undefined_options \
    afl-fuzz -i "$seeds/run" -o "$work/afl-$name" -V "$seconds" -t 10000 -m none \
    -- "$afl_build/zvbtrack" "$@" >"$work/afl-$name.log" 2>&1 || status=$?
  echo "$status" >"$work/afl-$name.status"
}

run_tree &
run_afl run @@ time x y &
run_afl run-s -s ID @@ time x &
wait

found=0

status=$(cat "$work/tree.status")
executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/tree.log")
coverage=$(grep -E '^#[0-9]+.*cov: ' "$work/tree.log" | tail -n 1 |
  sed -E 's/.*cov: ([0-9]+) ft: ([0-9]+) corp: ([0-9]+).*/\1 edges, \2 features, corpus of \3/')
echo "tree (libFuzzer, in-process): ${executions:-0} executions in ${seconds} s; ${coverage:-no coverage}"
if [ "$status" -ne 0 ]; then
  found=1
  echo "  FOUND (status $status):"
  grep -E 'ERROR|SUMMARY|tree_fuzzer:|Test unit written|artifact_prefix' "$work/tree.log" |
    sed 's/^/    /' | head -n 20
fi

for name in run run-s; do
  stats=$work/afl-$name/default/fuzzer_stats
  if [ ! -f "$stats" ]; then
    found=1
    echo "$name (AFL++): did not run"
    sed 's/^/    /' "$work/afl-$name.log" | tail -n 20
    continue
  fi
  field() { sed -n "s/^$1 *: *//p" "$stats"; }
  command=$(field command_line | sed 's/.* -- //; s|[^ ]*/zvbtrack|zvbtrack|')
  echo "$name (AFL++, $command): $(field execs_done) executions in $(field run_time) s," \
    "$(field edges_found) of $(field total_edges) edges ($(field bitmap_cvg))," \
    "corpus of $(field corpus_count); $(field saved_crashes) crashes, $(field saved_hangs) hangs"
  for finding in "$work/afl-$name"/default/crashes/id* "$work/afl-$name"/default/hangs/id*; do
    [ -f "$finding" ] || continue
    found=1
    echo "  FOUND: $finding"
  done
  if [ "$(cat "$work/afl-$name.status")" -ne 0 ]; then
    found=1
    echo "  afl-fuzz failed:"
    sed 's/^/    /' "$work/afl-$name.log" | tail -n 20
  fi
done

if [ "$found" -ne 0 ]; then
  echo "fuzzing found problems; inputs are named above (reproduce: the target binary on the file)"
  exit 1
fi
