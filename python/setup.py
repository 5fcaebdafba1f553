# Builds pillow_kdz._kdz from the binding and the KDZ library's own sources
# (codec/, quant/, encoder/ and include/ of the repository this folder lives in).
import glob
import os

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.environ.get("KDZ_SOURCE_DIR", os.path.dirname(HERE))

# setuptools wants source paths relative to this folder.
library = sorted(os.path.relpath(f, HERE) for d in ("codec", "quant", "encoder")
                 for f in glob.glob(os.path.join(ROOT, d, "*.cc")))
if not library or not os.path.isfile(os.path.join(ROOT, "include", "kdz", "kdz.h")):
    raise SystemExit("pillow-kdz: the KDZ library sources are not in %s (set KDZ_SOURCE_DIR)" % ROOT)

# KDZ_BUILD_JOBS compile jobs (default: one per core).
ParallelCompile("KDZ_BUILD_JOBS").install()


class BuildAsTheLibrary(build_ext):
    """Compiles the library as its own build does: on threads, and with GCC and clang
    at -O3, where the vectoriser runs its full passes (Python's flags give -O2). Built
    otherwise, a decode here took three times as long as in the kdz tool."""

    def build_extensions(self):
        if self.compiler.compiler_type == "unix":
            for ext in self.extensions:
                ext.extra_compile_args += ["-O3", "-pthread"]
                ext.extra_link_args += ["-pthread"]
        super().build_extensions()


setup(
    ext_modules=[
        Pybind11Extension(
            "pillow_kdz._kdz",
            ["src/kdz_module.cc"] + library,
            include_dirs=[ROOT, os.path.join(ROOT, "include")],
            cxx_std=17,
            define_macros=[("KDZ_HAVE_THREADS", "1")],
        )
    ],
    cmdclass={"build_ext": BuildAsTheLibrary},
    # KDZ_PYTHON_BUILD_DIR keeps objects out of the source tree (the tests use the build folder).
    options={"build": {"build_base": os.environ.get("KDZ_PYTHON_BUILD_DIR", os.path.join(HERE, "build"))}},
)
