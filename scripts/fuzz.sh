#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer) and runs
# each for SECONDS (default 60), one after another. Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
# Crashing inputs are written to build-fuzz/crashes/; the corpora grow in build-fuzz/corpus/.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

seconds="${1:-60}"
shift || true
targets=("$@")
[ "${#targets[@]}" -eq 0 ] && targets=(fuzz_strict fuzz_pipeline fuzz_front fuzz_patch fuzz_comma_scan fuzz_scan
  fuzz_stream)

need_packages clang libclang-rt-14-dev cmake make python3
FUZZ_DIR="${VELVIN_FUZZ_DIR:-$ROOT/build-fuzz}"
CXX=clang++ cmake -S "$ROOT" -B "$FUZZ_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELVIN_FUZZ=ON \
  -DVELVIN_BUILD_PYTHON=OFF -DVELVIN_BUILD_TESTS=OFF -DVELVIN_BUILD_BENCH=OFF \
  -DVELVIN_BUILD_TOOLS=OFF >/dev/null
cmake --build "$FUZZ_DIR" -j "$(nproc)" --target "${targets[@]}"

if [ ! -d "$FUZZ_DIR/corpus" ]; then
  "$PYTHON" "$ROOT/scripts/fuzz_seeds.py" "$ROOT/../shared/bench-data" "$ROOT/examples" "$FUZZ_DIR/corpus"
fi
mkdir -p "$FUZZ_DIR/crashes"
status=0
# Long runs go in segments of at most SEGMENT seconds, each a fresh process over the grown
# corpus: AddressSanitizer keeps a little memory for every thread that ever ran, and the targets
# that start threads on every input would otherwise reach the memory limit after a few hours.
SEGMENT="${VELVIN_FUZZ_SEGMENT:-1200}"
for target in "${targets[@]}"; do
  echo "== $target for ${seconds}s"
  mkdir -p "$FUZZ_DIR/corpus/$target"
  left=$seconds
  executions=0
  peak=0
  while [ "$left" -gt 0 ]; do
    part=$(( left < SEGMENT ? left : SEGMENT ))
    left=$(( left - part ))
    if ! "$FUZZ_DIR/fuzz/$target" "$FUZZ_DIR/corpus/$target" -max_total_time="$part" \
        -max_len=8192 -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
        -artifact_prefix="$FUZZ_DIR/crashes/$target-" 2>"$FUZZ_DIR/$target.log"; then
      status=1
      tail -n 40 "$FUZZ_DIR/$target.log"
      break
    fi
    executions=$(( executions + $(awk '/^stat::number_of_executed_units/ {print $2}' "$FUZZ_DIR/$target.log") ))
    rss=$(awk '/^stat::peak_rss_mb/ {print $2}' "$FUZZ_DIR/$target.log")
    [ "${rss:-0}" -gt "$peak" ] && peak=$rss
  done
  echo "   executions: $executions, peak RSS: ${peak} MB"
done
exit $status
