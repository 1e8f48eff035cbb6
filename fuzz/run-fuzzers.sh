#!/usr/bin/env bash
# Builds the fuzz targets as libFuzzer binaries with clang (AddressSanitizer
# and UBSan, coverage from the runtime libraries too) into build/fuzz, then
# runs each target for the given time, one after the other at low priority.
#
#   bash fuzz/run-fuzzers.sh [seconds per target (default 60)] [target ...]
#
# Without target names every target runs. New inputs that reach new code go
# to build/fuzz/corpus/<target>/ (kept between runs; the committed seeds in
# fuzz/corpus/<target>/ are only read); an input that fails a check is saved
# in build/fuzz/artifacts/<target>/ and replays with
#   build/fuzz/fuzz/<target>_fuzzer <file>
# Extra libFuzzer flags can be passed in FUZZ_FLAGS (for example -jobs=2 or
# -max_len=8192). The full output of each run is in build/fuzz/logs/.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift $(( $# > 0 ? 1 : 0 ))
build=build/fuzz

cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRT_WERROR=ON -DKRT_FUZZ=ON -DKRT_TESTS=OFF \
  -DKRT_GUI=OFF -DKRT_AREAS="core;console;containers;events;gui" >/dev/null || exit 1
if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < "$build/fuzz/fuzz_targets.txt"
fi
cmake --build "$build" -j2 --target "${targets[@]/%/_fuzzer}" || exit 1

mkdir -p "$build/logs"
status=0
summary=""
for t in "${targets[@]}"; do
  binary="$build/fuzz/${t}_fuzzer"
  if [ ! -x "$binary" ]; then
    echo "no fuzz target named $t" >&2
    status=1
    continue
  fi
  mkdir -p "$build/corpus/$t" "$build/artifacts/$t"
  log="$build/logs/$t.log"
  echo "== $t: ${seconds}s"
  # shellcheck disable=SC2086
  # An input that runs longer than 20 seconds counts as a finding (a hang).
  nice -n 10 "$binary" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$t/" ${FUZZ_FLAGS:-} \
    "$build/corpus/$t" "fuzz/corpus/$t" >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if [ $rc -eq 0 ]; then
    result="no finding"
  else
    result="FINDING (exit $rc), see $log and $build/artifacts/$t/"
    grep -E 'property failed|ERROR: |SUMMARY: ' "$log" | head -n 5
    status=1
  fi
  summary+=$(printf '%-22s %14s executions  %s' "$t" "${runs:-?}" "$result")$'\n'
done

echo
printf '%s' "$summary"
exit $status
