import os
import sys
from pathlib import Path

# The extension is built into <build>/python; tests import it from there unless an installed
# package is being tested (VELVIN_TEST_INSTALLED=1).
if os.environ.get("VELVIN_TEST_INSTALLED") != "1":
    build = Path(os.environ.get("VELVIN_BUILD_DIR", Path(__file__).resolve().parents[2] / "build"))
    sys.path.insert(0, str(build / "python"))
