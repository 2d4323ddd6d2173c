"""The Debian packages built from debian/ by packaging/build-deb.sh: every file in the package
and the place a Debian user looks for it, dependencies through the library's symbols file,
lintian, programs, module and library usable from the unpacked files, and an install, use and
purge with dpkg on a live system (inside the sandbox, whose /usr, /etc and /var are overlays,
so the host is never touched).

The packages are built once per run of scripts/test.sh, which passes their directory in
RYX_DEB_DIR; without it they are built here, into the build directory. Either way they are
built with Debian's flags, never with the sanitizers of the tree under test."""

import glob
import os
import re
import shutil
import stat
import subprocess
import sysconfig
import tempfile
import unittest

from harness.sandbox import Host, require_sandbox
from packaging import sources

EXPORTER = "prometheus-ryx-exporter"
PACKAGES = ("ryxkit", "libryx0", "libryx-dev", "python3-ryzmap", "ryxkit-sim", EXPORTER)
# The packages holding programs or libraries, whose debug symbols go to <name>-dbgsym.
WITH_DBGSYM = ("ryxkit", "libryx0", "python3-ryzmap", "ryxkit-sim", EXPORTER)
SECTIONS = {"ryxkit": "admin", "libryx0": "libs", "libryx-dev": "libdevel",
            "python3-ryzmap": "python", "ryxkit-sim": "admin", EXPORTER: "net"}
# The exporter's units, as contrib/systemd has them; the timer's service only runs when enabled.
UNITS = {"prometheus-ryx-exporter.service": "/usr/bin/ryx_exporter $ARGS",
         "prometheus-ryx-exporter-textfile.service":
             "/usr/bin/ryx_exporter --once --output /var/lib/prometheus/node-exporter/ryx.prom",
         "prometheus-ryx-exporter-textfile.timer": None}
# The tree's unit and the daemon's, both enabled at sysinit.target.
RYXKIT_UNITS = ("ryx-tree.service", "ryxd.service")
EXAMPLES = ("prometheus/scrape.yml", "prometheus/ryx-alerts.yml", "prometheus/ryx-alerts.test.yml",
            "prometheus/web-config.yml",
            "grafana/ryx-dashboard.json")
SYSTEM_PYTHON = "/usr/bin/python3"
PYDIR = "/usr/lib/python3/dist-packages"
SIMDIR = "/usr/libexec/ryxkit-sim"
FNV1A_EMPTY = 2166136261  # the FNV-1a offset basis: the hash of ""
FNV1A_A = 3826002220  # the hash of "a"
# Wrong argument count: each helper's usage line and status, as ryz-helpers(8) documents them.
HELPER_USAGE = {"ryz-limits-helper": 2, "ryz-registry-helper": 2, "ryz-stats-helper": 1}


def run(argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, **kw)


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


_built = {}


def packages():
    """{package name: path of its .deb}, the -dbgsym ones included, built once per run."""
    if "debs" in _built:
        return _built["debs"]
    out = os.environ.get("RYX_DEB_DIR")
    if not out:
        if not sources.BUILD_DIR:
            raise unittest.SkipTest("neither RYX_DEB_DIR nor RYX_BUILD_DIR is set")
        out = os.path.join(sources.BUILD_DIR, "tests", "packaging", "deb")
        argv = [sources.source("packaging/build-deb.sh"), out]
        res = run(argv)
        if res.returncode != 0:
            raise AssertionError(f"{' '.join(argv)} failed:\n" + (res.stdout + res.stderr)[-6000:])
    debs = {run(["dpkg-deb", "-f", p, "Package"], check=True).stdout.strip(): p
            for p in glob.glob(os.path.join(out, "*.deb"))}
    _built["debs"] = debs
    return debs


def field(deb, name):
    return run(["dpkg-deb", "-f", deb, name], check=True).stdout.strip()


def listing(deb):
    """{path: (kind, mode as ls shows it, owner, link target)} of a package's files, paths
    absolute ("/usr/bin/ryxps")."""
    tar = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], capture_output=True, check=True)
    lines = subprocess.run(["tar", "-tvf", "-"], input=tar.stdout, capture_output=True,
                           check=True).stdout.decode().splitlines()
    files = {}
    for line in lines:
        perms, owner, _, _, _, name = line.split(None, 5)
        name, _, target = name.partition(" -> ")
        path = "/" + name.removeprefix("./").rstrip("/")
        files[path] = (perms[0], perms, owner, target or None)
    return files


def unit_dir():
    """Where debhelper put the units: /lib/systemd/system up to Debian 12, /usr/lib later."""
    files = listing(packages()[EXPORTER])
    return next((d for d in ("/usr/lib/systemd/system", "/lib/systemd/system") if d in files),
                "/lib/systemd/system")


def helper_installation():
    """{path: (owner, mode as ls shows it)} of the helpers, from the installation table of
    docs/helpers.md, which is where the trust model fixes them."""
    with open(sources.source("docs/helpers.md"), encoding="utf-8") as f:
        text = f.read()
    rows = re.findall(r"^\|\s*`(ryz-[a-z-]+)`\s*\|\s*`(/[^`]+)`\s*\|\s*([a-z]+:[a-z]+)\s*\|\s*([0-7]{3,4})\s*\|",
                      text, re.M)
    if len(rows) != 3:
        raise AssertionError("docs/helpers.md: no installation table of the three helpers")
    return {os.path.join(where, name): (owner, int(mode, 8)) for name, where, owner, mode in rows}


def expected_files():
    """{package: {path: what it is}}: what a Debian user looks for, and in which package."""
    lib = f"/usr/lib/{multiarch()}"
    suffix = run([SYSTEM_PYTHON, "-c", "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))"],
                 check=True).stdout.strip()
    want = {
        "ryxkit": {"/usr/bin/ryxps": "the viewer, on every user's PATH",
                   "/usr/sbin/ryxctl": "the administration command",
                   "/usr/sbin/ryxd": "the control groups' service, run at boot",
                   "/usr/share/bash-completion/completions/ryxps": "the completion, loaded on demand"},
        "libryx0": {f"{lib}/libryx.so.0": "libryx by its soname, in the multiarch directory"},
        "libryx-dev": {f"{lib}/libryx.so": "the link to build against libryx",
                       f"{lib}/pkgconfig/libryx.pc": "the pkg-config file of libryx"},
        "python3-ryzmap": {f"{PYDIR}/_ryzmap{suffix}": "the module, where Debian's python3 finds it",
                           f"{PYDIR}/_ryzmap.pyi": "the module's type stub, beside it"},
        "ryxkit-sim": {"/usr/bin/ryxsim": "the simulated host, on the PATH",
                       f"{SIMDIR}/ryxsim": "the simulator, with its statistics command beside it",
                       f"{SIMDIR}/ryxinfo": "the simulated host's /usr/sbin/ryxinfo"},
        EXPORTER: {"/usr/bin/ryx_exporter": "the exporter, beside ryxps",
                   f"/etc/default/{EXPORTER}": "the service's options, a conffile"},
    }
    for unit in UNITS:
        want[EXPORTER][f"{unit_dir()}/{unit}"] = "a unit, where systemd looks for the system's"
    for unit in RYXKIT_UNITS:
        want["ryxkit"][f"{unit_dir()}/{unit}"] = "a unit, where systemd looks for the system's"
    for example in EXAMPLES:
        want[EXPORTER][f"/usr/share/doc/{EXPORTER}/examples/{os.path.basename(example)}"] = \
            "a monitoring example, where Debian puts examples"
    for path in helper_installation():
        want["ryxkit"][path] = "a helper, where docs/helpers.md puts it"
    for header in sorted(os.listdir(sources.source("libryx/include/ryx"))):
        want["libryx-dev"][f"/usr/include/ryx/{header}"] = "a public header of libryx"
    for page in sorted(os.listdir(sources.source("docs/man"))):
        m = re.search(r"^(.*)\.([1-8])$", page)
        if m:
            owner = ("ryxkit-sim" if m.group(1) in ("ryxsim", "ryxinfo")
                     else EXPORTER if m.group(1) == "ryx_exporter"
                     else "libryx-dev" if m.group(2) == "3" else "ryxkit")
            want[owner][f"/usr/share/man/man{m.group(2)}/{page}.gz"] = "a man page, compressed"
    return want


class PackageContentsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.debs = packages()

    def test_the_packages_and_their_control_fields(self):
        version = field(self.debs["ryxkit"], "Version")
        self.assertEqual(version.split("-")[0], project_version())
        self.assertEqual(sorted(self.debs),
                         sorted(PACKAGES + tuple(f"{p}-dbgsym" for p in WITH_DBGSYM)))
        arch = run(["dpkg", "--print-architecture"]).stdout.strip()
        for name, deb in self.debs.items():
            with self.subTest(package=name):
                self.assertEqual((field(deb, "Version"), field(deb, "Architecture")), (version, arch))
                self.assertEqual(field(deb, "Maintainer"),
                                 "ryxkit maintainers <maintainers@ryxkit.invalid>")
                self.assertEqual(field(deb, "Section"), SECTIONS.get(name, "debug"))
                self.assertEqual(os.path.basename(deb), f"{name}_{version}_{arch}.deb")

        def depends(name):
            return [d.strip() for d in field(self.debs[name], "Depends").split(",")]
        exact = f"libryx0 (= {version})"
        self.assertIn(exact, depends("ryxkit"))
        self.assertIn(exact, depends("libryx-dev"))
        self.assertTrue(any(d.startswith(("libncurses", "libtinfo")) for d in depends("ryxkit")))
        self.assertTrue(any(d.startswith("python3 ") for d in depends("python3-ryzmap")))
        self.assertIn(f"libryx0 (>= {project_version()})", depends("python3-ryzmap"))
        self.assertIn(f"ryxkit (= {version})", depends("ryxkit-sim"))
        self.assertIn(f"libryx0 (>= {project_version()})", depends(EXPORTER))
        self.assertEqual(field(self.debs[EXPORTER], "Suggests"), "prometheus-node-exporter")
        self.assertEqual(field(self.debs["libryx0"], "Multi-Arch"), "same")

    def test_the_library_announces_every_export_for_dependent_packages(self):
        deb = self.debs["libryx0"]
        symbols = run(["dpkg-deb", "--info", deb, "symbols"], check=True).stdout
        exported = re.findall(r"^ (\S+)@RYX_1_5 ", symbols, re.M)
        self.assertEqual(sorted(exported), sorted(sources.library_calls() + ["RYX_1_5"]))
        self.assertEqual(run(["dpkg-deb", "--info", deb, "shlibs"], check=True).stdout,
                         f"libryx 0 libryx0 (>= {project_version()})\n")
        # ldconfig through dpkg's trigger, not a maintainer script of ours
        self.assertIn("activate-noawait ldconfig",
                      run(["dpkg-deb", "--info", deb, "triggers"], check=True).stdout)

    def test_every_file_in_its_package_where_a_debian_user_looks_for_it(self):
        problems = []
        for name, want in expected_files().items():
            files = listing(self.debs[name])
            links = {os.path.normpath(os.path.join(os.path.dirname(p), f[3]))
                     for p, f in files.items() if f[3]}
            for path, what in want.items():
                if path not in files:
                    problems.append(f"{name}: missing {path} ({what})")
            for path, (kind, _, owner, _) in files.items():
                if owner != "root/root":
                    problems.append(f"{name}: {path} owned by {owner}, not root")
                # besides, only the package's own records: its copyright, changelog, overrides
                if (kind != "d" and path not in want and path not in links
                        and not path.startswith(f"/usr/share/doc/{name}/")
                        and path != f"/usr/share/lintian/overrides/{name}"):
                    problems.append(f"{name}: {path} is not where a Debian user looks for it")
        files = listing(self.debs["ryxkit"])
        for path, (owner, mode) in helper_installation().items():
            perms, actual = files[path][1:3] if path in files else ("missing", "")
            if (perms, actual) != (stat.filemode(stat.S_IFREG | mode), owner.replace(":", "/")):
                problems.append(f"{path}: {perms} {actual}, not {owner} mode {mode:o} as "
                                "docs/helpers.md says")
        self.assertEqual(problems, [], "\n" + "\n".join(problems))

    def test_library_soname_link(self):
        lib = f"/usr/lib/{multiarch()}"
        files = listing(self.debs["libryx0"])
        kind, _, _, target = files[f"{lib}/libryx.so.0"]
        self.assertEqual(kind, "l", "libryx.so.0 must be the soname link")
        self.assertEqual(files.get(f"{lib}/{target}", ("",))[:2], ("-", "-rw-r--r--"))
        self.assertEqual(listing(self.debs["libryx-dev"])[f"{lib}/libryx.so"][3], "libryx.so.0")

    def test_the_scripts_never_start_stop_or_restart_the_tree(self):
        # systemd could not start ryx-tree.service again while tenants run, and it refuses a
        # stop; starting ryxd.service starts it.
        for script in ("preinst", "postinst", "prerm", "postrm"):
            text = run(["dpkg-deb", "--info", self.debs["ryxkit"], script]).stdout
            calls = re.findall(r"deb-systemd-invoke .*", text)
            self.assertEqual([c for c in calls if "ryx-tree" in c], [], script)
            self.assertEqual(bool(calls), script in ("postinst", "prerm"), script)

    @unittest.skipIf(shutil.which("lintian") is None, "lintian not installed")
    def test_lintian_finds_no_error_and_no_warning(self):
        changes = glob.glob(os.path.join(os.path.dirname(self.debs["ryxkit"]), "*.changes"))
        res = run(["lintian", *(changes or self.debs.values())])
        found = [line for line in res.stdout.splitlines() if line.startswith(("E:", "W:"))]
        self.assertEqual(found, [], res.stdout + res.stderr)


class UnpackedFilesTest(unittest.TestCase):
    """The programs, the module and the development files, used straight from the unpacked
    packages; needs no privileges."""

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="ryx-deb-")
        for deb in packages().values():
            subprocess.run(["dpkg-deb", "-x", deb, cls.root], check=True)
        cls.libdir = os.path.join(cls.root, "usr/lib", multiarch())
        cls.env = dict(os.environ, LD_LIBRARY_PATH=cls.libdir)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def path(self, p):
        return os.path.join(self.root, p.lstrip("/"))

    def test_programs_start_with_the_packaged_library(self):
        res = run([self.path("/usr/bin/ryxps"), "-h"], env=self.env)
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertTrue(res.stderr.startswith(f"ryxps version {project_version()} release "),
                        res.stderr)
        # ryxsim runs its ryxinfo from beside itself, also through the link on the PATH
        res = run([self.path("/usr/bin/ryxsim"), "--help"], env=self.env)
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertTrue(res.stdout.startswith("usage: ryxsim "), res.stdout)

    def test_programs_are_stripped_and_their_debug_symbols_packaged(self):
        want = expected_files()
        elves = {os.path.realpath(self.path(p)) for name in WITH_DBGSYM for p in want[name]}
        for full in sorted(elves):
            with open(full, "rb") as f:
                if f.read(4) != b"\x7fELF":
                    continue
            with self.subTest(program=full):
                notes = run(["readelf", "-n", full], check=True).stdout
                build_id = re.search(r"Build ID: ([0-9a-f]+)", notes).group(1)
                self.assertTrue(os.path.exists(self.path(
                    f"/usr/lib/debug/.build-id/{build_id[:2]}/{build_id[2:]}.debug")))
                self.assertNotIn(".debug_info", run(["readelf", "-S", full], check=True).stdout)

    def test_exporter_units_examples_and_options_as_shipped(self):
        for unit, command in UNITS.items():
            with self.subTest(unit=unit):
                with open(self.path(f"{unit_dir()}/{unit}"), encoding="utf-8") as f:
                    text = f.read()
                with open(sources.source(f"contrib/systemd/{unit}"), encoding="utf-8") as f:
                    self.assertEqual(text, f.read())
                starts = re.findall(r"^ExecStart=(.*)$", text, re.M)
                self.assertEqual(starts, [command] if command else [])
                if command:
                    self.assertTrue(os.access(self.path(command.split()[0]), os.X_OK))
        for example in EXAMPLES:
            with open(self.path(f"/usr/share/doc/{EXPORTER}/examples/{os.path.basename(example)}"),
                      "rb") as f, open(sources.source(f"contrib/{example}"), "rb") as g:
                self.assertEqual(f.read(), g.read(), example)
        conffiles = run(["dpkg-deb", "--info", packages()[EXPORTER], "conffiles"], check=True)
        self.assertEqual(conffiles.stdout.split(), [f"/etc/default/{EXPORTER}"])
        with open(self.path(f"/etc/default/{EXPORTER}"), encoding="utf-8") as f:
            self.assertEqual(re.findall(r"^\w+=.*$", f.read(), re.M), ['ARGS=""'])

    def test_module_imports_with_the_packaged_library(self):
        env = dict(self.env, PYTHONPATH=self.path(PYDIR))
        env.pop("LD_PRELOAD", None)
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
        res = run(["cc", "-Wall", "-Werror", src, "-o", exe, *flags.stdout.split()], env=env)
        self.assertEqual(res.returncode, 0, res.stderr)
        res = run([exe], env=self.env)
        self.assertEqual(res.stdout, f"{FNV1A_A}\n", res.stderr)


# dpkg's own bookkeeping and caches that any install leaves behind, and systemd-analyze's stamp.
_DPKG_STATE = re.compile(r"^(var/lib/dpkg|var/log|var/cache|var/lib/man-db|etc/ld\.so\.cache"
                         r"|run/systemd/systemd-units-load)(/|$)")


@require_sandbox
class InstallTest(unittest.TestCase):
    """dpkg -i, use as an ordinary user would, dpkg --purge: on the live system's files."""

    def setUp(self):
        self.debs = [packages()[p] for p in PACKAGES]
        # man-db formats pages as its own user, which systemd-analyze verify has it do
        self.host = Host(passwd={0: "root", 6: "man", 1000: "alice"})
        self.addCleanup(self.host.close)

    def sh(self, script, uid=None, env=None):
        # The packaged programs are not instrumented; only the harness's settings reach them.
        res = self.host.run(["sh", "-c", script], uid=uid, env=dict(env or {}, LD_PRELOAD=None))
        return res.returncode, res.stdout.decode(), res.stderr.decode()

    def test_install_use_and_purge(self):
        # A registry entry of an earlier version, its user's: installing makes it root's alone.
        self.sh("mkdir -p /etc/container/ryz_ids && touch /etc/container/ryz_ids/4242 && "
                "chown 4242 /etc/container/ryz_ids/4242")
        rc, out, err = self.sh("dpkg -i " + " ".join(self.debs))
        self.assertEqual(rc, 0, out + err)
        self.assertEqual(self.sh("stat -c '%u %a' /etc/container/ryz_ids/4242")[1], "0 600\n")
        for name, want in expected_files().items():
            rc, out, _ = self.sh(f"dpkg-query -W -f='${{Status}}' {name}; echo; dpkg -L {name}")
            status, *listed = out.splitlines()
            self.assertEqual(status, "install ok installed")
            self.assertEqual(sorted(set(want) - set(listed)), [], name)

        # found by name, as a user would: PATH, the dynamic linker's cache, python3's path, man
        rc, out, err = self.sh("command -v ryxps; ryxps -h")
        self.assertEqual((rc, out), (0, "/usr/bin/ryxps\n"), err)
        self.assertTrue(err.startswith("ryxps version "), err)
        rc, out, err = self.sh("ldconfig -p | grep -F libryx.so.0")
        # /lib is /usr/lib on a merged-/usr system, and the cache may name either
        self.assertRegex(out, rf"=> (/usr)?/lib/{multiarch()}/libryx\.so\.0$", err)
        for helper, status in HELPER_USAGE.items():
            rc, out, err = self.sh(f"/usr/libexec/ryxkit/{helper}", uid=1000)
            self.assertEqual((rc, out), (status, ""), helper)
            self.assertRegex(err, rf"^Usage: {helper} \S.*\n$")
        # set-user-ID, so the loader ignores LD_LIBRARY_PATH: libryx must come from the cache
        rc, out, err = self.sh("/usr/libexec/ryxkit/ryz-registry-helper get 1000 /home/alice/www",
                               uid=1000)
        self.assertEqual((rc, out), (3, ""), err)
        self.assertIn("domain isolation is not enabled for uid 1000", err)
        rc, out, err = self.sh(f"{SYSTEM_PYTHON} -c 'import _ryzmap; print(_ryzmap.__file__)'",
                               uid=1000, env={"PYTHONPATH": None})
        self.assertEqual(rc, 0, err)
        self.assertTrue(out.startswith(f"{PYDIR}/_ryzmap"), out)
        rc, out, err = self.sh("man -w ryxps ryxsim ryz-limits-helper ryz_map_lookup; "
                               "man 3 ryz_map_iter_next | head -n 1")
        self.assertEqual(rc, 0, err)
        lines = out.splitlines()
        self.assertEqual(lines[:2], ["/usr/share/man/man1/ryxps.1.gz",
                                     "/usr/share/man/man1/ryxsim.1.gz"])
        self.assertRegex(lines[4], r"^LIBRYX\(3\) ")  # man follows a link page to its page
        rc, out, err = self.sh("bash -c '. /usr/share/bash-completion/completions/ryxps "
                               "&& complete -p ryxps'")
        self.assertEqual(out, "complete -F _ryxps ryxps\n", err)
        # the exporter's service enabled (not started: no systemd runs here), the timer not
        rc, out, err = self.sh("ls /etc/systemd/system/multi-user.target.wants "
                               "/etc/systemd/system/timers.target.wants 2>/dev/null")
        self.assertIn("prometheus-ryx-exporter.service", out.split(), err)
        rc, out, err = self.sh("ls /etc/systemd/system/sysinit.target.wants")
        self.assertEqual(sorted(set(RYXKIT_UNITS) - set(out.split())), [], err)
        self.assertNotIn("prometheus-ryx-exporter-textfile.timer", out.split())
        # ryx-tree.service and ryxd.service: enabled as deb-systemd-helper records it (what
        # purge undoes), and units systemd loads without a complaint, their programs and man
        # pages installed
        for unit in RYXKIT_UNITS:
            rc, out, err = self.sh("DPKG_MAINTSCRIPT_PACKAGE=ryxkit deb-systemd-helper "
                                   f"was-enabled {unit}")
            self.assertEqual((rc, err), (0, "enabled\n"), unit)
        if shutil.which("systemd-analyze"):
            rc, out, err = self.sh("systemd-analyze verify "
                                   + " ".join(f"{unit_dir()}/{u}" for u in RYXKIT_UNITS))
            self.assertEqual((rc, out + err), (0, ""))
        else:
            print("SKIPPED: systemd-analyze verify: systemd-analyze not installed", flush=True)
        # the simulated host, from the installed programs only
        rc, out, err = self.sh("ryxsim -- ryxps -n", env={"TMPDIR": self.host.tmp})
        self.assertEqual(rc, 0, err)
        self.assertRegex(out, r"(?m)^ *1000 ")

        self.sh("rm -r /etc/container")  # the administrator's data, not the package's
        # and so is a container's state: purge keeps it, and says so
        self.assertEqual(self.sh("ryxctl create 1000")[0], 0)
        rc, out, err = self.sh("dpkg --purge " + " ".join(PACKAGES))
        self.assertEqual(rc, 0, out + err)
        self.assertIn("ryxkit: /var/lib/ryx is kept", err)
        rc, out, _ = self.sh(f"dpkg-query -W -f='${{Status}}\\n' {' '.join(PACKAGES)}; "
                             "ldconfig -p | grep -cF libryx.so.0")
        *statuses, count = out.splitlines()
        self.assertEqual([s for s in statuses if "not-installed" not in s], [])
        self.assertEqual(count, "0")
        # nothing of the packages is left (no unit link, no deb-systemd-helper state); only
        # dpkg's own records and caches changed, and the container's state is still there
        left = []
        for dirpath, dirnames, filenames in os.walk(self.host.upper):
            for name in filenames:
                rel = os.path.relpath(os.path.join(dirpath, name), self.host.upper)
                st = os.lstat(os.path.join(dirpath, name))
                whiteout = (st.st_mode & 0o170000) == 0o020000 and st.st_rdev == 0
                if not whiteout and not _DPKG_STATE.match(rel):
                    left.append(rel)
        self.assertEqual(sorted(left), ["var/lib/ryx/containers/.locks",
                                        "var/lib/ryx/containers/1000"])


if __name__ == "__main__":
    unittest.main()
