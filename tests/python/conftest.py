import json
import os
import sys
from pathlib import Path

import pytest

# The extension is built into <build>/python and the package lives in python/; tests import
# both from the source tree unless an installed package is being tested
# (VELVIN_TEST_INSTALLED=1).
if os.environ.get("VELVIN_TEST_INSTALLED") != "1":
    root = Path(__file__).resolve().parents[2]
    build = Path(os.environ.get("VELVIN_BUILD_DIR", root / "build"))
    sys.path.insert(0, str(root / "python"))
    sys.path.insert(0, str(build / "python"))


@pytest.fixture
def every_option_flag(tmp_path):
    """Command-line flags giving every Python-reachable option a value other than its default,
    and the options dict they stand for; built from the module's table of options."""
    import velvin_native

    schema = {"required_keys": ["a"], "types": {"a": "int"}}
    (tmp_path / "schema.json").write_text(json.dumps(schema))
    samples = {"text": "x", "uint": 3, "optional_uint": 2, "float": 0.5,
               "text_list": ["a", "b"], "json": schema}
    args, options = [], {}
    for name, kind, default, _ in velvin_native.option_table_py():
        flag = "--" + name.replace("_", "-")
        if kind == "bool":
            args.append(flag if not default else "--no-" + flag[2:])
            options[name] = not default
            continue
        value = samples[kind]
        shown = {"text_list": "a,,b", "json": tmp_path / "schema.json"}.get(kind, value)
        args += [flag, str(shown)]
        options[name] = value
    return args, options
