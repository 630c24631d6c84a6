#!/usr/bin/env bash
# Sets up, builds and runs every test (C++ through CTest, Python through pytest).
# Exits non-zero on any failure.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

need_packages g++ cmake make libgtest-dev libbenchmark-dev python3-dev python3-pytest \
  python3-hypothesis python3-venv
build_project

status=0
(cd "$BUILD_DIR" && ctest --output-on-failure -j "$(nproc)") || status=1
VELVIN_BUILD_DIR="$BUILD_DIR" "$PYTHON" -m pytest -q "$ROOT/tests/python" || status=1
exit $status
