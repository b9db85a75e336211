"""Builds the rvcan package with the driver library beside its modules, where rvcan.driver looks
first, so that can.Bus(interface="rvcan", channel="CAN1:") opens a bus from any directory without
library=.

The library is the one the checkout's build made (build/bin/librvcan32ce.so, or rvcan32ce.dll of a
Windows build), or the file RVCAN_DRIVER names (another build folder). Without one the install stops
and says how to build it: a package that cannot find its driver is no use.
"""
import os
import shutil

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))
LIBRARY_NAMES = ("librvcan32ce.so", "rvcan32ce.dll")


def driver_library():
    named = os.environ.get("RVCAN_DRIVER")
    if named:
        if not os.path.isfile(named):
            raise SystemExit(f"rvcan: RVCAN_DRIVER={named} is not a file")
        return named
    for name in LIBRARY_NAMES:
        built = os.path.join(HERE, os.pardir, "build", "bin", name)
        if os.path.isfile(built):
            return built
    raise SystemExit("rvcan: the driver library is not built: run 'cmake --preset default && cmake --build "
                     "--preset default --target rvcan32ce' in the checkout first (bash tools/run-console.sh "
                     "does), or set RVCAN_DRIVER to the library's path")


class BuildWithDriver(build_py):
    """The modules, and the driver library copied beside them."""

    def run(self):
        super().run()
        library = driver_library()
        shutil.copyfile(library, os.path.join(self.build_lib, "rvcan", os.path.basename(library)))


setup(cmdclass={"build_py": BuildWithDriver})
