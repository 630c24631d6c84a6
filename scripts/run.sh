#!/usr/bin/env bash
# Sets up, builds and runs the main job: the velvin tool over every model output in examples/,
# printing the value it finds in each (and why, for the first one).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

need_packages g++ cmake make libgtest-dev libbenchmark-dev python3-dev
build_project

velvin="$BUILD_DIR/bin/velvin"
status=0
for file in "$ROOT"/examples/*; do
  echo "== ${file#$ROOT/}"
  "$velvin" "$file" || status=1
done
echo
echo "== why: velvin --explain examples/python_style.txt"
"$velvin" --explain "$ROOT/examples/python_style.txt" || status=1
exit $status
