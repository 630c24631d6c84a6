#!/usr/bin/env bash
# Sets up, builds and runs the main job over the bundled examples/.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

need_packages g++ cmake make libgtest-dev libbenchmark-dev python3-dev
build_project

for file in "$ROOT"/examples/*; do
  echo "== ${file#$ROOT/}"
  PYTHONPATH="$BUILD_DIR/python" "$PYTHON" - "$file" <<'PY'
import json, sys
import velvin_native
with open(sys.argv[1], "rb") as f:
    data = f.read()
try:
    print(json.dumps(velvin_native.strict_loads_py(data), ensure_ascii=False))
except ValueError as e:
    message, position = e.args
    print(f"not strict JSON: {message} at byte {position}")
PY
done
