"""The built _ryzmap as a file: what it links and exports, that the interpreter imports it from
the build tree and from an install."""

import os
import re
import shutil
import subprocess
import sys
import sysconfig
import unittest

from bindings import support
from harness.scratch import scratch_dir

SANITIZED = bool(os.environ.get("RYX_SANITIZE"))
FILENAME = "_ryzmap" + sysconfig.get_config_var("EXT_SUFFIX")
BUILT = os.path.join(support.MODULE_DIR, FILENAME)

DUMP = "import _ryzmap; print(_ryzmap.__file__)"


def imported_from(pythonpath, library_path=None):
    """Where `python3 -c "import _ryzmap"` finds the module."""
    env = support.child_env({"PYTHONPATH": pythonpath, "LD_LIBRARY_PATH": library_path})
    res = subprocess.run(support.preloaded([sys.executable, "-c", DUMP]),
                         env=support.full_env(env), cwd="/", capture_output=True)
    if res.returncode != 0:
        raise AssertionError(res.stderr.decode(errors="replace"))
    return res.stdout.decode().strip()


def cache_value(name):
    with open(os.path.join(support.BUILD_DIR, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    raise KeyError(name)


class ModuleFileTest(unittest.TestCase):
    def readelf(self, *args):
        if shutil.which("readelf") is None:
            self.skipTest("readelf not installed")
        return subprocess.run(["readelf", "-W", *args, BUILT], capture_output=True, text=True,
                              check=True).stdout

    def test_linkage_and_dynamic_symbols(self):
        needed = set(re.findall(r"\(NEEDED\).*\[(.*)\]", self.readelf("-d")))
        if SANITIZED:
            needed = {n for n in needed if not re.match(r"lib(asan|ubsan|stdc\+\+|m|gcc_s)\.", n)}
        self.assertEqual(needed, {"libryx.so.0", "libc.so.6"})
        exported, imported = set(), set()
        for line in self.readelf("--dyn-syms").splitlines():
            f = line.split()  # Num: Value Size Type Bind Vis Ndx Name
            if len(f) < 8 or f[4] not in ("GLOBAL", "WEAK"):
                continue
            name = f[7].split("@")[0]
            if f[6] == "UND":
                imported.add(name)
            elif f[5] == "DEFAULT" and not name.startswith(("__asan", "__ubsan", "__odr_asan")):
                exported.add(name)
        self.assertEqual(exported, {"PyInit__ryzmap"})
        # The interpreter's side of the contract: nothing beyond these, whatever the release.
        parse_build = ({"PyArg_ParseTuple", "Py_BuildValue"} if sys.version_info >= (3, 13)
                       else {"_PyArg_ParseTuple_SizeT", "_Py_BuildValue_SizeT"})
        self.assertEqual({s for s in imported if s.startswith(("Py", "_Py"))}, parse_build | {
            "PyModule_Create2", "PySet_New", "PySet_Add", "PyDict_New", "PyDict_SetItemString",
            "PyList_New", "PyList_Append", "PyLong_FromUnsignedLong", "PyBool_FromLong",
            "PyErr_Format", "PyExc_OSError", "_Py_NoneStruct", "_Py_Dealloc"})
        self.assertLessEqual({"opendir", "readdir64", "closedir", "strtoul"}, imported)

    def test_imports_from_the_build_tree(self):
        self.assertEqual(imported_from(support.MODULE_DIR), BUILT)


class InstallTest(unittest.TestCase):
    def test_install_puts_module_and_stub_in_the_platform_directory(self):
        if shutil.which("cmake") is None:
            self.skipTest("cmake not installed")
        prefix = scratch_dir(self, "ryzmap-install-")
        res = subprocess.run(["cmake", "--install", support.BUILD_DIR, "--prefix", prefix,
                              "--component", "python"], capture_output=True, text=True,
                             env=support.full_env({"LD_PRELOAD": None}))
        self.assertEqual(res.returncode, 0, res.stdout + res.stderr)
        rel = cache_value("RYX_PYTHON_INSTALL_DIR")
        self.assertFalse(os.path.isabs(rel), rel)
        # With the interpreter's own prefix, that is a directory the interpreter searches.
        self.assertIn(os.path.join(sys.base_exec_prefix, rel), sys.path)
        platdir = os.path.join(prefix, rel)
        self.assertEqual(sorted(os.listdir(platdir)), sorted([FILENAME, "_ryzmap.pyi"]))
        if shutil.which("readelf"):
            dyn = subprocess.run(["readelf", "-d", os.path.join(platdir, FILENAME)],
                                 capture_output=True, text=True, check=True).stdout
            self.assertNotIn(support.BUILD_DIR, dyn)  # no run path into the build tree
        # libryx comes from the system's library path once installed; here, from the build.
        self.assertEqual(imported_from(platdir, os.path.join(support.BUILD_DIR, "libryx")),
                         os.path.join(platdir, FILENAME))


if __name__ == "__main__":
    unittest.main()
