"""Builds the shared library with CMake from the repository this package sits
in and ships it inside the package, so that one `pip install` is all a user
runs:

    pip install --no-index --no-build-isolation ./python

CMAKE_BUILD_PARALLEL_LEVEL sets the build's jobs (default: every CPU);
VANTLE_VIDEO_SOURCE_DIR points at the repository when the package folder was
copied elsewhere."""
import os
import shutil
import subprocess
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

HERE = Path(__file__).resolve().parent
SONAME = "libvantle_video_runtime.so.1"
LIBRARY_DIR = "engine/plugins/modality/vantle-video-runtime"


class BuildLibrary(build_py):
    def run(self):
        super().run()
        source = Path(os.environ.get("VANTLE_VIDEO_SOURCE_DIR") or HERE.parent)
        if not (source / LIBRARY_DIR / "CMakeLists.txt").exists():
            raise SystemExit(f"vantle_video: no library sources under {source} (set "
                             "VANTLE_VIDEO_SOURCE_DIR to the repository)")
        build = HERE / "build" / "cmake"
        # Only the library: the tool, the tests and the benchmarks need more
        # than a user has installed.
        subprocess.run(["cmake", "-S", str(source), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                        "-DVANTLE_BUILD_TESTS=OFF", "-DVANTLE_BUILD_TOOL=OFF"], check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(build), "--target", "vantle_video_runtime",
                        "-j", jobs], check=True)
        built = build / LIBRARY_DIR / SONAME
        target = Path(self.build_lib) / "vantle_video" / SONAME
        # The file itself under the soname, not the link to it.
        shutil.copyfile(built.resolve(), target)


class PlatformDistribution(Distribution):
    """A wheel with a compiled library in it is tied to its platform."""

    def has_ext_modules(self):
        return True


setup(cmdclass={"build_py": BuildLibrary}, distclass=PlatformDistribution)
