"""Builds the wheel, installs it into a fresh virtual environment and runs the Python tests there.

Skipped (with the reason printed) where the venv module or a build tool is missing.
"""
import os
import shutil
import subprocess
import sys
import venv
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.skipif(os.environ.get("VELVIN_TEST_INSTALLED") == "1",
                                reason="already running against an installed package")


def missing_tools():
    missing = [tool for tool in ("cmake", "c++") if shutil.which(tool) is None]
    try:
        import setuptools  # noqa: F401
        import wheel  # noqa: F401
    except ImportError as e:
        missing.append(str(e.name))
    try:
        venv.EnvBuilder(with_pip=False)
    except Exception:  # pragma: no cover
        missing.append("venv")
    return missing


def run(cmd, **kwargs):
    r = subprocess.run(cmd, capture_output=True, text=True, **kwargs)
    assert r.returncode == 0, f"{' '.join(map(str, cmd))} failed:\n{r.stdout[-3000:]}\n{r.stderr[-3000:]}"
    return r


def test_wheel_installs_into_a_fresh_venv_and_passes_the_tests(tmp_path):
    missing = missing_tools()
    if missing:
        print(f"skipping the install test: missing {', '.join(missing)}")
        pytest.skip(f"missing {', '.join(missing)}")

    dist = tmp_path / "dist"
    env = dict(os.environ, TMPDIR=str(tmp_path))
    run([sys.executable, "-m", "pip", "wheel", str(ROOT), "--no-build-isolation", "--no-deps",
         "--no-cache-dir", "-w", str(dist)], env=env)
    wheels = list(dist.glob("velvin-*.whl"))
    assert len(wheels) == 1, wheels
    assert wheels[0].name.endswith("-cp39-abi3-linux_x86_64.whl") or "-cp39-abi3-" in wheels[0].name

    # System site packages give the environment pytest and hypothesis; velvin comes only from
    # the wheel.
    env_dir = tmp_path / "venv"
    try:
        venv.EnvBuilder(system_site_packages=True, with_pip=True).create(env_dir)
    except Exception as e:  # ensurepip missing, for example
        print(f"skipping the install test: cannot create a venv with pip: {e}")
        pytest.skip(f"cannot create a venv with pip: {e}")
    python = env_dir / "bin" / "python"
    run([str(python), "-m", "pip", "install", "--no-index", "--no-deps", str(wheels[0])])

    where = run([str(python), "-c", "import velvin, velvin_native; print(velvin.__file__); "
                 "print(velvin_native.__file__)"], cwd=tmp_path).stdout.split()
    assert all(str(env_dir) in p for p in where), where

    # The package's own command and python -m velvin are the native tool shipped in the wheel,
    # with every flag; then the test suite against the installed modules.
    tool = run([str(python), "-c", "from velvin.__main__ import tool_path; print(tool_path())"],
               cwd=tmp_path).stdout.strip()
    assert tool.startswith(str(env_dir)), tool
    script = env_dir / "bin" / "velvin"
    for command in ([str(script)], [str(python), "-m", "velvin"]):
        def out(*args, stdin=""):
            return run([*command, *args], input=stdin, cwd=tmp_path).stdout

        assert out(stdin="{'a': [1, 2,]}") == '{"a":[1,2]}\n'
        assert "--llm-command" in out("--help") and "--llm-timeout-ms" in out("--help")
        assert "strip_prefix_text" in out("--explain", stdin="Sure: [1, 2")
        assert out("--jsonl", "--jobs", "2", stdin="[1,\n{a: 2}\n") == '[1]\n{"a":2}\n'
        assert out("--all", stdin='[1] and {"a": 2}') == '[1]\n{"a":2}\n'
        assert out("--jsonl", "--field", "out", stdin='{"out": "[1,]"}\n').startswith(
            '{"out": [1],"_velvin":{"status":"repaired",')
        assert out("--stream", stdin="[1, 2") == "[1,2]\n"
    tests = [str(p) for p in (ROOT / "tests" / "python").glob("test_*.py") if p.name != "test_install.py"]
    run([str(python), "-m", "pytest", "-q", "-p", "no:cacheprovider", *tests],
        cwd=tmp_path, env=dict(os.environ, VELVIN_TEST_INSTALLED="1"))
