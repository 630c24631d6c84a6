#!/usr/bin/env bash
# Sets up, builds and runs every test: the C++ tests (CTest), the Python tests (pytest), the C++
# tests again under AddressSanitizer and UndefinedBehaviorSanitizer, and a brief run of every
# fuzz target. Exits non-zero on any failure. VELVIN_FUZZ_SECONDS (default 20) sets the fuzzing
# time per target; 0 skips fuzzing.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

need_packages g++ cmake make libgtest-dev libbenchmark-dev python3-dev python3-pytest \
  python3-hypothesis python3-pydantic python3-venv python3-pip python3-setuptools python3-wheel clang \
  python3-dask python3-distributed python3-pandas \
  libclang-rt-14-dev
build_project

status=0
step() { echo "== $*"; }

step "C++ tests"
(cd "$BUILD_DIR" && ctest --output-on-failure -j "$(nproc)") || status=1

step "Python tests"
VELVIN_BUILD_DIR="$BUILD_DIR" "$PYTHON" -m pytest -q "$ROOT/tests/python" || status=1

step "C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
SAN_DIR="${VELVIN_SANITIZE_DIR:-$ROOT/build-sanitize}"
cmake -S "$ROOT" -B "$SAN_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELVIN_SANITIZE=ON \
  -DVELVIN_BUILD_PYTHON=OFF -DVELVIN_BUILD_BENCH=OFF -DVELVIN_BUILD_TOOLS=OFF >/dev/null
if cmake --build "$SAN_DIR" -j "$(nproc)"; then
  (cd "$SAN_DIR" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j "$(nproc)") || status=1
else
  status=1
fi

seconds="${VELVIN_FUZZ_SECONDS:-20}"
if [ "$seconds" != "0" ]; then
  step "fuzz targets, ${seconds}s each"
  "$ROOT/scripts/fuzz.sh" "$seconds" || status=1
fi
exit $status
