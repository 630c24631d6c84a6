"""Builds the abi3 extension velvin_native through CMake and packages it with velvin.

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
    """Configures the project with only the extension enabled and copies the module out."""

    def build_extension(self, ext):
        build_dir = Path(self.build_temp).resolve() / "cmake"
        build_dir.mkdir(parents=True, exist_ok=True)
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DVELVIN_BUILD_TESTS=OFF", "-DVELVIN_BUILD_BENCH=OFF", "-DVELVIN_BUILD_TOOLS=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ]
        jobs = str(os.cpu_count() or 2)
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "velvin_native", "-j", jobs],
                       check=True)
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(build_dir / "python" / "velvin_native.abi3.so", target)


setup(
    package_dir={"": "python"},
    packages=["velvin", "velvin_native-stubs"],
    package_data={"velvin": ["py.typed"], "velvin_native-stubs": ["__init__.pyi"]},
    ext_modules=[CMakeExtension("velvin_native")],
    cmdclass={"build_ext": CMakeBuild},
    options={"bdist_wheel": {"py_limited_api": "cp39"}},
    zip_safe=False,
)
