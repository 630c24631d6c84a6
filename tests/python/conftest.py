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
def check_every_option_flag(tmp_path):
    """A check for a command-line tool: flags that give every Python-reachable option a value
    other than its default (built from the module's table of options) must give the document
    parse_py gives with the same options. `run(*args, stdin=...)` runs the tool."""
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

    def check(run):
        text = b'{"a": 1 "b": [1, 2 @ 3'  # the beam search runs: most options show
        printed = json.loads(run("--document", *args, stdin=text).stdout)
        expected = json.loads(json.dumps(velvin_native.parse_py(text, options)))
        for doc in (printed, expected):
            doc["metrics"]["elapsed_ms"] = 0
        assert printed == expected

    return check
