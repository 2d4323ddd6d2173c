"""The Debian package, built with cpack from the tree under test: every file where a Debian user
looks for it, programs, module and library usable from the unpacked files, and an install, use
and purge with dpkg on a live system (inside the sandbox, whose /usr, /etc and /var are
overlays, so the host is never touched)."""

import glob
import os
import re
import shutil
import subprocess
import sysconfig
import tarfile
import tempfile
import unittest

from harness.sandbox import Host, require_sandbox
from packaging import sources

PACKAGE = "ryxkit"
SYSTEM_PYTHON = "/usr/bin/python3"
# Runtimes an uninstrumented interpreter needs before it loads an instrumented module.
SANITIZER_PRELOAD = [p for p in os.environ.get("RYX_SANITIZER_PRELOAD", "").split(":") if p]
FNV1A_EMPTY = 2166136261  # the FNV-1a offset basis: the hash of ""
FNV1A_A = 3826002220  # the hash of "a"


def run(argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, **kw)


def cache(build_dir):
    values = {}
    with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8") as f:
        for line in f:
            m = re.match(r"([A-Za-z0-9_]+):[A-Z]+=(.*)$", line.rstrip("\n"))
            if m:
                values[m.group(1)] = m.group(2)
    return values


def project_version():
    with open(sources.source("CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"project\(\s*ryxkit\s+VERSION\s+([0-9.]+)", f.read()).group(1)


def multiarch():
    for argv in (["dpkg-architecture", "-qDEB_HOST_MULTIARCH"], ["gcc", "-print-multiarch"]):
        if shutil.which(argv[0]):
            out = run(argv).stdout.strip()
            if out:
                return out
    return sysconfig.get_config_var("MULTIARCH")


def python_module_suffix():
    return run([SYSTEM_PYTHON, "-c", "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))"],
               check=True).stdout.strip()


_built = {}


def package():
    """Path of the .deb, built once per run. A tree configured for /usr is packed as it is;
    any other gets a /usr-configured twin beside the tests, built the way packagers do."""
    if "deb" in _built:
        return _built["deb"]
    if not sources.BUILD_DIR:
        raise unittest.SkipTest("RYX_BUILD_DIR is not set")
    values = cache(sources.BUILD_DIR)
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL="2")
    if values.get("CMAKE_INSTALL_PREFIX") == "/usr":
        tree = sources.BUILD_DIR
        argv = ["cpack", "-G", "DEB"]
    else:
        tree = os.path.join(sources.BUILD_DIR, "tests", "packaging", "deb-tree")
        env.update(CMAKE_BUILD_TYPE=values.get("CMAKE_BUILD_TYPE") or "RelWithDebInfo",
                   RYX_SANITIZE=values.get("RYX_SANITIZE", ""))
        argv = [sources.source("packaging/build-deb.sh"), tree]
    for old in glob.glob(os.path.join(tree, f"{PACKAGE}_*.deb")):
        os.unlink(old)
    res = run(argv, cwd=tree if os.path.isdir(tree) else None, env=env)
    debs = glob.glob(os.path.join(tree, f"{PACKAGE}_*.deb"))
    if res.returncode != 0 or len(debs) != 1:
        raise AssertionError(f"building the package failed ({' '.join(argv)}):\n"
                             + (res.stdout + res.stderr)[-6000:])
    _built["deb"] = debs[0]
    return debs[0]


def members(deb):
    """{path: TarInfo} of the package's files, paths absolute ("/usr/bin/ryxps")."""
    tar_bytes = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], capture_output=True,
                               check=True).stdout
    with tempfile.TemporaryFile() as f:
        f.write(tar_bytes)
        f.seek(0)
        with tarfile.open(fileobj=f) as tar:
            return {"/" + re.sub(r"^\./", "", m.name).rstrip("/"): m for m in tar.getmembers()}


def helper_installation():
    """{path: (owner, mode)} of the helper programs, from the installation table of
    docs/helpers.md, which is where the trust model fixes them."""
    with open(sources.source("docs/helpers.md"), encoding="utf-8") as f:
        text = f.read()
    rows = re.findall(r"^\|\s*`(ryz-[a-z-]+)`\s*\|\s*`(/[^`]+)`\s*\|\s*([a-z]+:[a-z]+)\s*\|\s*([0-7]{3,4})\s*\|",
                      text, re.M)
    if len(rows) != 3:
        raise AssertionError("docs/helpers.md: no installation table of the three helpers")
    return {os.path.join(where, name): (owner, int(mode, 8)) for name, where, owner, mode in rows}


def expected_files():
    """What a Debian user looks for, as {path: description of what it is}."""
    ma = multiarch()
    lib = f"/usr/lib/{ma}"
    pydir = "/usr/lib/python3/dist-packages"
    want = {
        "/usr/bin/ryxps": "the viewer, on every user's PATH",
        f"{lib}/libryx.so.0": "libryx by its soname, in the multiarch directory",
        f"{lib}/libryx.so": "the link to build against libryx",
        f"{lib}/pkgconfig/libryx.pc": "the pkg-config file of libryx",
        f"{pydir}/_ryzmap{python_module_suffix()}": "the module, where Debian's python3 finds it",
        f"{pydir}/_ryzmap.pyi": "the module's type stub, beside it",
        "/usr/share/bash-completion/completions/ryxps": "the completion, loaded on demand",
    }
    for path in helper_installation():
        want[path] = "a helper, where docs/helpers.md puts it"
    if os.path.exists(sources.source("libryx/tools/ryxctl.cpp")):
        want["/usr/sbin/ryxctl"] = "the administration command"
    for header in sorted(os.listdir(sources.source("libryx/include/ryx"))):
        want[f"/usr/include/ryx/{header}"] = "a public header of libryx"
    for page in sorted(os.listdir(sources.source("docs/man"))):
        m = re.search(r"\.([1-8])$", page)
        if m:
            want[f"/usr/share/man/man{m.group(1)}/{page}.gz"] = "a man page, compressed"
    return want


class PackageContentsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.deb = package()
        cls.files = members(cls.deb)

    def test_control_fields(self):
        fields = {}
        for name in ("Package", "Version", "Architecture", "Depends", "Maintainer", "Section"):
            fields[name] = run(["dpkg-deb", "-f", self.deb, name], check=True).stdout.strip()
        self.assertEqual(fields["Package"], PACKAGE)
        self.assertEqual(fields["Version"].split("-")[0], project_version())
        self.assertEqual(fields["Architecture"], run(["dpkg", "--print-architecture"]).stdout.strip())
        depends = [d.split()[0] for d in re.split(r"[,|]", fields["Depends"])]
        for dep in ("libc6", "python3"):
            self.assertIn(dep, depends)
        self.assertTrue(any(d.startswith(("libncurses", "libtinfo")) for d in depends), depends)
        self.assertRegex(fields["Maintainer"], r".+ <.+@.+>")
        self.assertTrue(os.path.basename(self.deb).startswith(f"{PACKAGE}_{fields['Version']}_"))

    def test_every_file_where_a_debian_user_looks_for_it(self):
        problems = [f"missing {path} ({what})" for path, what in expected_files().items()
                    if path not in self.files]
        for path, m in self.files.items():
            if m.isdir():
                continue
            if not path.startswith(("/usr/", "/etc/")) or path.startswith(("/usr/local/", "/usr/etc/")):
                problems.append(f"{path}: outside the Debian layout")
            if (m.uid, m.gid) != (0, 0):
                problems.append(f"{path}: owned by {m.uid}:{m.gid}, not root")
        for path, (owner, mode) in helper_installation().items():
            m = self.files.get(path)
            if m is not None and (m.mode, f"{m.uname}:{m.gname}") != (mode, owner):
                problems.append(f"{path}: {m.uname}:{m.gname} mode {m.mode:o}, "
                                f"not {owner} mode {mode:o} as docs/helpers.md says")
        self.assertEqual(problems, [], "\n" + "\n".join(problems))

    def test_library_soname_link(self):
        lib = f"/usr/lib/{multiarch()}"
        link = self.files.get(f"{lib}/libryx.so.0")
        self.assertIsNotNone(link, "libryx.so.0 missing")
        self.assertTrue(link.issym(), "libryx.so.0 must be the soname link")
        real = self.files.get(f"{lib}/{link.linkname}")
        self.assertTrue(real is not None and real.isfile(), f"dangling link to {link.linkname}")
        self.assertEqual(real.mode & 0o777, 0o644)
        self.assertEqual(self.files[f"{lib}/libryx.so"].linkname, "libryx.so.0")


class UnpackedFilesTest(unittest.TestCase):
    """The programs, the module and the development files, used straight from the unpacked
    package; needs no privileges."""

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="ryx-deb-")
        subprocess.run(["dpkg-deb", "-x", package(), cls.root], check=True)
        cls.libdir = os.path.join(cls.root, "usr/lib", multiarch())
        cls.env = dict(os.environ, LD_LIBRARY_PATH=cls.libdir)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def path(self, p):
        full = os.path.join(self.root, p.lstrip("/"))
        if not os.path.exists(full):
            self.fail(f"{p} is not in the package")
        return full

    def test_programs_start(self):
        res = run([self.path("/usr/bin/ryxps"), "-h"], env=self.env)
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertTrue(res.stderr.startswith(f"ryxps version {project_version()} release "),
                        res.stderr)
        # wrong argument count: usage and status 2, after libryx has been loaded from the package
        res = run([self.path("/usr/libexec/ryxkit/ryz-registry-helper")], env=self.env)
        self.assertEqual((res.returncode, res.stderr),
                         (2, "Usage: ryz-registry-helper get <uid> <docroot>\n"))

    def test_module_imports_with_the_packaged_library(self):
        env = dict(self.env, PYTHONPATH=os.path.join(self.root, "usr/lib/python3/dist-packages"))
        if SANITIZER_PRELOAD:
            env.update(LD_PRELOAD=":".join(SANITIZER_PRELOAD), ASAN_OPTIONS="detect_leaks=0")
        res = run([SYSTEM_PYTHON, "-c",
                   "import _ryzmap; print(_ryzmap.__file__); print(_ryzmap.fnv1a(''))"], env=env)
        self.assertEqual(res.returncode, 0, res.stderr)
        where, value = res.stdout.split()
        self.assertTrue(where.startswith(self.root), where)
        self.assertEqual(int(value), FNV1A_EMPTY)

    @unittest.skipIf(shutil.which("pkg-config") is None or shutil.which("cc") is None,
                     "pkg-config or a C compiler missing")
    def test_a_program_builds_against_the_headers_and_pkg_config_file(self):
        env = dict(self.env, PKG_CONFIG_PATH=os.path.join(self.libdir, "pkgconfig"),
                   PKG_CONFIG_SYSROOT_DIR=self.root, PKG_CONFIG_LIBDIR="")
        flags = run(["pkg-config", "--cflags", "--libs", "libryx"], env=env)
        self.assertEqual(flags.returncode, 0, flags.stderr)
        src = os.path.join(self.root, "use.c")
        with open(src, "w") as f:
            f.write("#include <stdio.h>\n#include <ryx/ryx-ctl.h>\n#include <ryx/ryz-map.h>\n"
                    "int main(void) { printf(\"%u\\n\", ryz_fnv1a(\"a\")); return 0; }\n")
        exe = os.path.join(self.root, "use")
        sanitize = os.environ.get("RYX_SANITIZE")
        argv = ["cc", "-Wall", "-Werror", src, "-o", exe, *flags.stdout.split()]
        if sanitize:
            argv.append(f"-fsanitize={sanitize}")
        res = run(argv, env=env)
        self.assertEqual(res.returncode, 0, res.stderr)
        res = run([exe], env=self.env)
        self.assertEqual(res.stdout, f"{FNV1A_A}\n", res.stderr)


# dpkg's own bookkeeping and caches that any install leaves behind.
_DPKG_STATE = re.compile(r"^(var/lib/dpkg|var/log|var/cache|var/lib/man-db|etc/ld\.so\.cache)(/|$)")


@require_sandbox
class InstallTest(unittest.TestCase):
    """dpkg -i, use as an ordinary user would, dpkg --purge: on the live system's files."""

    def setUp(self):
        self.deb = package()
        self.host = Host(passwd={0: "root", 1000: "alice"})
        self.addCleanup(self.host.close)

    def sh(self, script, uid=None, env=None):
        if os.environ.get("RYX_SANITIZE"):
            # the harness lets leak checking find only the process it starts, not its children
            env = dict(env or {}, ASAN_OPTIONS="detect_leaks=0")
        res = self.host.run(["sh", "-c", script], uid=uid, env=env)
        return res.returncode, res.stdout.decode(), res.stderr.decode()

    def test_install_use_and_purge(self):
        # A registry entry of an earlier version, its user's: installing makes it root's alone.
        self.sh("mkdir -p /etc/container/ryz_ids && touch /etc/container/ryz_ids/4242 && "
                "chown 4242 /etc/container/ryz_ids/4242")
        rc, out, err = self.sh(f"dpkg -i {self.deb}")
        self.assertEqual(rc, 0, out + err)
        self.assertEqual(self.sh("stat -c '%u %a' /etc/container/ryz_ids/4242")[1], "0 600\n")
        rc, out, _ = self.sh(f"dpkg-query -W -f='${{Status}}' {PACKAGE}; echo; dpkg -L {PACKAGE}")
        status, *listed = out.splitlines()
        self.assertEqual(status, "install ok installed")
        installed = [p for p in listed if p not in ("/.",)]
        want = expected_files()
        self.assertEqual(sorted(set(want) - set(installed)), [])

        # found by name, as a user would: PATH, the dynamic linker's cache, python3's path, man
        rc, out, err = self.sh("command -v ryxps; ryxps -h")
        self.assertEqual((rc, out), (0, "/usr/bin/ryxps\n"), err)
        self.assertTrue(err.startswith("ryxps version "), err)
        rc, out, err = self.sh("ldconfig -p | grep -F libryx.so.0")
        # /lib is /usr/lib on a merged-/usr system, and the cache may name either
        self.assertRegex(out, rf"=> (/usr)?/lib/{multiarch()}/libryx\.so\.0$", err)
        # set-user-ID, so the loader ignores LD_LIBRARY_PATH: libryx must come from the cache
        rc, out, err = self.sh("/usr/libexec/ryxkit/ryz-registry-helper get 1000 /home/alice/www",
                               uid=1000)
        self.assertEqual((rc, out), (3, ""), err)
        self.assertIn("domain isolation is not enabled for uid 1000", err)
        py_env = {"PYTHONPATH": None}
        if SANITIZER_PRELOAD:
            py_env.update(LD_PRELOAD=":".join(SANITIZER_PRELOAD), ASAN_OPTIONS="detect_leaks=0")
        rc, out, err = self.sh(f"{SYSTEM_PYTHON} -c 'import _ryzmap; print(_ryzmap.__file__)'",
                               uid=1000, env=py_env)
        self.assertEqual(rc, 0, err)
        self.assertTrue(out.startswith("/usr/lib/python3/dist-packages/_ryzmap"), out)
        rc, out, err = self.sh("man -w ryxps ryz-limits-helper ryz_map_lookup; "
                               "man 3 ryz_map_iter_next | head -n 1")
        self.assertEqual(rc, 0, err)
        # man follows the link pages to the page they include
        lines = out.splitlines()
        self.assertEqual(lines[:3], ["/usr/share/man/man1/ryxps.1.gz",
                                     "/usr/share/man/man8/ryz-helpers.8.gz",
                                     "/usr/share/man/man3/libryx.3.gz"])
        self.assertRegex(lines[3], r"^LIBRYX\(3\) ")
        rc, out, err = self.sh("bash -c '. /usr/share/bash-completion/completions/ryxps "
                               "&& complete -p ryxps'")
        self.assertEqual(out, "complete -F _ryxps ryxps\n", err)

        self.sh("rm -r /etc/container")  # the administrator's data, not the package's
        rc, out, err = self.sh(f"dpkg --purge {PACKAGE}")
        self.assertEqual(rc, 0, out + err)
        rc, out, _ = self.sh(f"dpkg-query -W -f='${{Status}}' {PACKAGE}; echo; "
                             "ldconfig -p | grep -cF libryx.so.0")
        self.assertNotIn("installed", out.splitlines()[0].replace("not-installed", ""))
        self.assertEqual(out.splitlines()[1], "0")
        # nothing of the package is left; only dpkg's own records and caches changed
        left = []
        for dirpath, dirnames, filenames in os.walk(self.host.upper):
            for name in filenames:
                rel = os.path.relpath(os.path.join(dirpath, name), self.host.upper)
                st = os.lstat(os.path.join(dirpath, name))
                whiteout = (st.st_mode & 0o170000) == 0o020000 and st.st_rdev == 0
                if not whiteout and not _DPKG_STATE.match(rel):
                    left.append(rel)
        self.assertEqual(left, [])


if __name__ == "__main__":
    unittest.main()
