"""Builds the abi3 extension velvin_native and the velvin tool through CMake and packages both with
velvin (the tool as package data, velvin/bin/velvin, which the `velvin` command runs).

    pip install . --no-build-isolation      # offline, with the system's setuptools and wheel
    pip wheel . --no-build-isolation -w dist
"""
import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[], py_limited_api=True)


class CMakeBuild(build_ext):
    """Configures the project with the extension and the tool enabled, builds both and copies
    them out: the module beside the package, the tool into it."""

    def build_extension(self, ext):
        build_dir = Path(self.build_temp).resolve() / "cmake"
        build_dir.mkdir(parents=True, exist_ok=True)
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DVELVIN_BUILD_TESTS=OFF", "-DVELVIN_BUILD_BENCH=OFF", "-DVELVIN_BUILD_TOOLS=ON",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ]
        jobs = str(os.cpu_count() or 2)
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "velvin_native", "velvin",
                        "-j", jobs], check=True)
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(build_dir / "python" / "velvin_native.abi3.so", target)
        package = ROOT / "python" / "velvin" if self.inplace else Path(self.build_lib) / "velvin"
        (package / "bin").mkdir(parents=True, exist_ok=True)
        shutil.copy2(build_dir / "bin" / "velvin", package / "bin" / "velvin")  # keeps the x bit


setup(
    package_dir={"": "python"},
    packages=["velvin", "velvin_native-stubs"],
    package_data={"velvin": ["py.typed"], "velvin_native-stubs": ["__init__.pyi"]},
    ext_modules=[CMakeExtension("velvin_native")],
    cmdclass={"build_ext": CMakeBuild},
    options={"bdist_wheel": {"py_limited_api": "cp39"}},
    zip_safe=False,
)
