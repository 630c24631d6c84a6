import os
import sys
from pathlib import Path

# The extension is built into <build>/python and the package lives in python/; tests import
# both from the source tree unless an installed package is being tested
# (VELVIN_TEST_INSTALLED=1).
if os.environ.get("VELVIN_TEST_INSTALLED") != "1":
    root = Path(__file__).resolve().parents[2]
    build = Path(os.environ.get("VELVIN_BUILD_DIR", root / "build"))
    sys.path.insert(0, str(root / "python"))
    sys.path.insert(0, str(build / "python"))
