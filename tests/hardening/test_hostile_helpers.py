"""The helpers against a hostile caller: arguments as long as the kernel allows, printf
directives, bytes that are not UTF-8, an environment full of traps or a library of the caller's
in the current directory while the helpers run set-user-ID, and reseller lists that are huge or
have lines longer than the reading buffer. Every case ends in an exact status and message;
nothing of the caller's reaches the library or the statistics command. And every program and
library built, and every one ryxsim installs, carries the loader's and compiler's defences."""

import json
import os
import re
import shutil
import stat
import subprocess
import tempfile
import unittest

from harness.sandbox import BUILD_DIR, SANITIZED, program, require_sandbox
from harness.scratch import scratch_dir
from helpers.common import DOMAIN, USER, HelperTest
from sim.simhost import RYXSIM

LIBEXEC = "/usr/libexec/ryxkit"
DOCROOT = b"/home/alice/www/example.org"
MAX_ARG = 128 * 1024 - 1  # the kernel's limit for one argument, its NUL included
FLAG = "/opt/tavrenox/flags/available-flags.d/ryxstats-supports-domain-ryx-limits.flag"
ENVIRONMENT = [b"PATH=/usr/sbin:/usr/bin:/sbin:/bin", b"LC_ALL=C"]

# Starts a program with exact bytes for argv and environment (the sandbox's shell script takes
# text only), after raising the stack limit so that several megabytes of them fit.
LAUNCHER = r"""
import json, os, resource, sys
with open(sys.argv[1]) as f:
    request = json.load(f)
argv = [bytes.fromhex(a) for a in request["argv"]]
env = {bytes.fromhex(k): bytes.fromhex(v) for k, v in request["env"]}
soft, hard = resource.getrlimit(resource.RLIMIT_STACK)
want = 64 << 20
if hard != resource.RLIM_INFINITY:
    want = min(want, hard)
resource.setrlimit(resource.RLIMIT_STACK, (want, hard))
path = bytes.fromhex(request["path"]) if request.get("path") else argv[0]
if not argv:  # no argument vector at all, which os.execve refuses to make
    import ctypes
    envp = (ctypes.c_char_p * (len(env) + 1))(*[k + b"=" + v for k, v in env.items()], None)
    ctypes.CDLL(None).execve(path, None, envp)
    sys.exit(126)
os.execve(path, argv, env)
"""


def _b(x):
    return x if isinstance(x, bytes) else str(x).encode()


def skip(reason):
    print(f"SKIPPED: {reason}", flush=True)
    raise unittest.SkipTest(reason)


# Leaves a file behind, as whoever loaded it.
PLANTED = """#include <fcntl.h>
#include <unistd.h>
__attribute__((constructor)) static void planted(void) { close(open(MARK, O_CREAT, 0644)); }
"""


def plant_library(directory, name, mark, real):
    """Builds directory/name, a caller's own copy of the library real that creates mark when
    loaded and otherwise passes for the real one: it has the real one's symbol versions and
    loads it by its full path (the name of a stub it links), so programs work as usual."""
    if shutil.which("cc") is None or shutil.which("readelf") is None:
        skip("no C compiler or readelf")
    real = os.path.realpath(real)
    if not os.path.isfile(real):
        skip(f"no {real} to stand in for")
    versions = re.findall(r"Flags: none\s+Index: \d+\s+Cnt: \d+\s+Name: (\S+)",
                          readelf(real, "-V"))
    work = tempfile.mkdtemp(prefix="ryx-plant-")
    try:
        with open(os.path.join(work, "versions"), "w") as f:
            f.write("".join(f"{v} {{ }};\n" for v in versions))
        for argv in (["-o", f"{work}/real.so", "-x", "c", "/dev/null", f"-Wl,-soname,{real}"],
                     ["-fPIC", f'-DMARK="{mark}"', "-o", os.path.join(directory, name), "-x",
                      "c", "-", "-x", "none", "-Wl,--no-as-needed", f"{work}/real.so",
                      f"-Wl,--version-script={work}/versions"]):
            subprocess.run(["cc", "-shared", *argv], input=PLANTED, text=True, check=True,
                           capture_output=True)
    finally:
        shutil.rmtree(work, True)


def readelf(path, *options):
    return subprocess.run(["readelf", "-W", *options, path], capture_output=True, text=True,
                          check=True).stdout


def elf_files(top):
    """Programs and shared libraries under top. Nested build trees (the packaging twin, the
    fuzzing build) are configured on their own and left out, as are staged packages."""
    for dirpath, dirnames, filenames in os.walk(top):
        dirnames[:] = [d for d in dirnames if d not in ("CMakeFiles",)
                       and not os.path.exists(os.path.join(dirpath, d, "CMakeCache.txt"))]
        for name in filenames:
            path = os.path.join(dirpath, name)
            if not stat.S_ISREG(os.lstat(path).st_mode):
                continue
            with open(path, "rb") as f:
                head = f.read(18)
            order = "little" if head[5:6] == b"\x01" else "big"
            if head[:4] == b"\x7fELF" and int.from_bytes(head[16:18], order) in (2, 3):
                yield path  # ET_EXEC or ET_DYN


# The programs installed on a host; the helpers run set-user-ID root.
INSTALLED = ("ryxps", "ryz-limits-helper", "ryz-registry-helper", "ryz-stats-helper")
# Calls that fortification always replaces with checked ones, there being no buffer size to
# know: one imported unchecked means a file built without it.
ALWAYS_CHECKED = {"printf", "fprintf", "vprintf", "vfprintf", "dprintf", "vdprintf",
                  "asprintf", "vasprintf"}


@require_sandbox
class HostileCaller(HelperTest):
    """Helpers installed set-user-ID root over the real libryx, as on a host."""

    def setUp(self):
        super().setUp()
        for name in ("ryz-limits-helper", "ryz-registry-helper", "ryz-stats-helper"):
            self.host.install_set_user_id(name, LIBEXEC)
        self.launch_dir = scratch_dir(self, "ryx-hostile-", 0o755)
        self.fake_log = os.path.join(self.log_dir, "trap")
        self.ryxctl("allow-domain-limits", str(USER))
        self.domain = int(self.ryxctl("map-assign", str(USER), DOCROOT))

    def ryxctl(self, *args):
        code, out, err = self.launch(program("libryx/ryxctl"), *args, uid=None)
        self.assertEqual(code, 0, err)
        return out.decode()

    def traps(self):
        """Variables a caller could use to steer a privileged program, each armed: the fake
        library would log every call it got and claim every domain."""
        fake_dir = os.path.join(os.environ["RYX_BUILD_DIR"], "tests", "fakes", "libryx")
        # Several megabytes of environment, in the largest strings the kernel passes.
        filler = {b"FILLER%d" % k: b"x" * (MAX_ARG - 16) for k in range(24)}
        return {
            **filler,
            b"LD_PRELOAD": _b(os.path.join(fake_dir, "libryx.so.0")),
            b"LD_LIBRARY_PATH": _b(fake_dir),
            b"LD_AUDIT": _b(os.path.join(fake_dir, "libryx.so.0")),
            b"RYX_FAKE_LOG": _b(self.fake_log),
            b"RYX_FAKE_VERIFY": b"1",
            b"PATH": b"/usr/local/evil:/usr/bin",
            b"IFS": b"/",
            b"BASH_ENV": b"/usr/local/evil/env",
            b"ENV": b"/usr/local/evil/env",
            b"GCONV_PATH": b"/usr/local/evil",
            b"LC_ALL": b"\xff%n%s",
            b"TZ": b"../../../../usr/local/evil/tz",
        }

    def launch(self, path, *args, env=None, uid=USER, argv=None):
        """Runs path with exact argument bytes, as the ordinary user unless uid is None (root);
        (status, stdout, stderr). argv, when given, is the whole argument vector instead."""
        full_env = {b"ASAN_OPTIONS": _b(os.environ.get("ASAN_OPTIONS", "detect_leaks=1")),
                    b"UBSAN_OPTIONS": b"print_stacktrace=1:halt_on_error=1"} if SANITIZED else {}
        full_env.update(env or {})
        request = os.path.join(self.launch_dir, f"launch{len(os.listdir(self.launch_dir))}")
        with open(request, "w") as f:
            vector = (path, *args) if argv is None else argv
            json.dump({"path": _b(path).hex(), "argv": [_b(a).hex() for a in vector],
                       "env": [[k.hex(), v.hex()] for k, v in full_env.items()]}, f)
        os.chmod(request, 0o644)
        res = self.host.run(["/usr/bin/python3", "-c", LAUNCHER, request], uid=uid)
        return res.returncode, res.stdout, res.stderr

    def limits(self, *args, env=None):
        return self.launch(f"{LIBEXEC}/ryz-limits-helper", *args, env=env)

    def lookup(self, docroot, uid=USER, env=None):
        return self.launch(f"{LIBEXEC}/ryz-registry-helper", "get", uid, docroot, env=env)

    def assertNoTrapSprung(self):
        self.assertFalse(os.path.exists(self.fake_log), "the caller's library was loaded")

    # -- arguments -------------------------------------------------------------------------

    def test_hostile_numbers_are_refused_and_echoed_as_given(self):
        P = b"ryz-limits-helper: "
        good = [USER, self.domain] + ["1"] * 7
        for bad in [b"%n%n%n%n%s%s%s", b"1" * MAX_ARG, b"\xff\xfe1000", b"1000\n", b"1000 x",
                    b"-4294966296", b"0x3e8"]:
            with self.subTest(bad=bad[:16]):
                self.assertEqual(self.limits(bad, *good[1:]),
                                 (2, b"", P + b"invalid uid '" + bad + b"'\n"))
                self.assertEqual(self.limits(USER, bad, *good[2:]),
                                 (2, b"", P + b"invalid domain_id '" + bad + b"'\n"))
                for pos in (2, 8):
                    args = list(good)
                    args[pos] = bad
                    self.assertEqual(self.limits(*args), (2, b"", P + b"invalid limit value\n"))
        self.assertEqual(
            self.lookup(b"", uid=b"%s%s%s%n" * 1000),
            (2, b"", b"ryz-registry-helper: invalid uid '" + b"%s%s%s%n" * 1000 + b"'\n"))

    def test_program_name_is_never_used(self):
        hostile = b"%n%s%n\xff"
        self.assertEqual(
            self.launch(f"{LIBEXEC}/ryz-limits-helper",
                        argv=[hostile, b"x", b"1", *[b"1"] * 7]),
            (2, b"", b"ryz-limits-helper: invalid uid 'x'\n"))
        # No argument vector at all: the usage, as for any wrong count.
        for name, usage, status in [
                ("ryz-limits-helper", b"Usage: ryz-limits-helper <uid> <domain_id> <cpu> <pmem> "
                 b"<io> <nproc> <iops> <ep> <vmem>\n", 2),
                ("ryz-registry-helper", b"Usage: ryz-registry-helper get <uid> <docroot>\n", 2),
                ("ryz-stats-helper", b"Usage: ryz-stats-helper get <period>\n", 1)]:
            with self.subTest(name=name):
                self.assertEqual(self.launch(f"{LIBEXEC}/{name}", argv=[]), (status, b"", usage))

    def test_too_many_arguments_of_the_largest_size(self):
        big = [b"9" * MAX_ARG] * 12
        self.assertEqual(self.limits(*big)[:2], (2, b""))
        code, out, err = self.launch(f"{LIBEXEC}/ryz-registry-helper", "get", *big)
        self.assertEqual((code, out), (2, b""))
        self.assertEqual(err, b"Usage: ryz-registry-helper get <uid> <docroot>\n")

    def test_docroots_are_bytes_passed_on_unchanged(self):
        odd = [b"/home/alice/%s%n%x%p", b"/home/alice/\xff\xfe\x80 caf\xe9",
               b"/home/alice/" + b"d" * 4000]
        ids = {d: int(self.ryxctl("map-assign", str(USER), d)) for d in odd}
        for docroot, domain in ids.items():
            with self.subTest(docroot=docroot[:24]):
                self.assertEqual(self.lookup(docroot), (0, b"%d\n" % domain, b""))
                # One byte off, or cut short: another docroot, so nothing.
                self.assertEqual(self.lookup(docroot[:-1]), (0, b"", b""))
                self.assertEqual(self.lookup(docroot + b"\x80"), (0, b"", b""))
        # Longer than any docroot the registry keeps, and as long as an argument can be.
        self.assertEqual(self.lookup(b"/" + b"\xff" * (MAX_ARG - 1)), (0, b"", b""))
        self.assertEqual(self.lookup(DOCROOT), (0, b"%d\n" % self.domain, b""))

    # -- environment -------------------------------------------------------------------------

    def test_set_user_id_helpers_ignore_the_callers_environment(self):
        traps = self.traps()
        # Without privileges the trap is real: the caller's library answers instead of libryx.
        with open(program("ryz-registry-helper"), "rb") as f:
            self.host.file("/usr/local/bin/plain-registry-helper", f.read(), mode=0o755)
        code, _, _ = self.launch("/usr/local/bin/plain-registry-helper", "get", USER, DOCROOT,
                                 env={k: v for k, v in traps.items()
                                      if k in (b"LD_LIBRARY_PATH", b"RYX_FAKE_LOG")})
        self.assertTrue(os.path.exists(self.fake_log), "the stand-in did not load unprivileged")
        os.unlink(self.fake_log)

        self.assertEqual(self.lookup(DOCROOT, env=traps), (0, b"%d\n" % self.domain, b""))
        other = self.domain + 1  # the fake would claim it; the registry does not
        self.assertEqual(self.limits(USER, other, *"1234567", env=traps),
                         (4, b"", b"ryz-limits-helper: domain_id %d not owned by uid %d\n"
                          % (other, USER)))
        self.ryxctl("create", str(USER))
        self.assertEqual(self.limits(USER, self.domain, *"1234567", env=traps), (0, b"", b""))
        self.assertNoTrapSprung()

    def test_libraries_in_the_callers_directory_are_never_loaded(self):
        where = scratch_dir(self, "ryx-caller-", 0o755)
        mark = os.path.join(where, "loaded")
        # libryx: the one library besides libc that the helpers load.
        plant_library(where, "libryx.so.0", mark, program("libryx/libryx.so.0"))
        # The planted copy does get loaded where it is asked for.
        self.host.run([f"{LIBEXEC}/ryz-limits-helper"], env={"LD_LIBRARY_PATH": where})
        self.assertTrue(os.path.exists(mark), "the planted library never loads")
        os.unlink(mark)

        other = self.domain + 1
        for argv, expected in [
                (["ryz-registry-helper", "get", USER, DOCROOT.decode()],
                 (0, b"%d\n" % self.domain, b"")),
                (["ryz-limits-helper", USER, other, *"1234567"],
                 (4, b"", b"ryz-limits-helper: domain_id %d not owned by uid %d\n"
                  % (other, USER))),
                (["ryz-stats-helper"], (1, b"", b"Usage: ryz-stats-helper get <period>\n"))]:
            with self.subTest(helper=argv[0]):
                res = self.host.run(["sh", "-c", 'cd "$0" && exec "$@"', where,
                                     f"{LIBEXEC}/{argv[0]}", *map(str, argv[1:])], uid=USER)
                loaded = os.path.exists(mark)
                if loaded:
                    os.unlink(mark)
                self.assertFalse(loaded, "the caller's library ran as root")
                self.assertEqual((res.returncode, res.stdout, res.stderr), expected)

    def test_statistics_command_gets_nothing_of_the_callers(self):
        self.host.file(FLAG, "")
        self.host.mkdir("/var/ryxinfo", 0o777)
        with open(program("tests/helpers/ryxinfo-recorder"), "rb") as f:
            self.host.file("/usr/sbin/ryxinfo", f.read(), mode=0o755)
        self.host.file("/usr/local/evil/ryxinfo", "#!/bin/sh\ntouch /var/ryxinfo/evil\n",
                       mode=0o755)
        period = b"%s%n\xff\xfe" + b"p" * (MAX_ARG - 7)
        code, out, err = self.launch(f"{LIBEXEC}/ryz-stats-helper", "get", period,
                                     env=self.traps())
        self.assertEqual((code, out, err), (7, b"ryxinfo-stdout\n", b"ryxinfo-stderr\n"))
        fields = self.host.read("/var/ryxinfo/record").split(b"\0")[:-1]
        argc = int(fields[4])
        argv, env = fields[5:5 + argc], fields[6 + argc:]
        self.assertEqual(argv[4:7], [b"%d" % USER, b"--period", period])
        self.assertEqual(env, ENVIRONMENT)
        self.assertEqual(int(fields[2]), USER)
        self.assertIsNone(self.host.read("/var/ryxinfo/evil"))
        self.assertNoTrapSprung()


@require_sandbox
class HostileResellerList(HelperTest):
    """The reseller list the limits helper reads to accept an existing domain container: a
    plain helper over the recording stand-in, which reports the container as existing."""

    PROGRAM = "ryz-limits-helper"
    HEADER = "8:RYX\tEP\tCPU\tMEM\n"
    REFUSED = (f"ryz-limits-helper: RYX {DOMAIN} already exists and is not a child of ryk{USER}; "
               "refusing to apply limits\n")

    def setUp(self):
        super().setUp()
        self.enable_isolation()

    def apply(self, listing):
        self.host.file(f"/proc/ryx/resellers/ryk{USER}/list", listing)
        code, out, err, calls = self.run_helper(str(USER), str(DOMAIN), *"1234567",
                                                fake={f"INFO_{DOMAIN}": 0})
        applied = any(c.startswith(f"ryx_setup {DOMAIN} ") for c in calls)
        return code, out, err, applied

    def test_huge_list(self):
        rows = "".join(f"{USER},{70002 + k}\t0\t{k}\t1\n" for k in range(150000))  # ~3.5 MB
        self.assertEqual(self.apply(self.HEADER + rows + f"{USER},{DOMAIN}\t0\t1\t1\n"),
                         (0, "", "", True))
        self.assertEqual(self.apply(self.HEADER + rows), (6, "", self.REFUSED, False))

    def test_lines_around_the_buffer_size(self):
        for length in (1022, 1023, 1024, 1025, 2047, 2048, 1 << 20):
            long_line = f"{USER},5\t" + "x" * (length - len(f"{USER},5\t") - 1) + "\n"
            with self.subTest(length=length):
                self.assertEqual(self.apply(self.HEADER + long_line + f"{USER},{DOMAIN}\t0\n"),
                                 (0, "", "", True))
                # The wanted token inside the long line, wherever a piece may start.
                for at in (1022, 1023, 1024):
                    if at >= length - 12:
                        continue
                    line = long_line[:at] + f"{USER},{DOMAIN}\t" + long_line[at:]
                    self.assertEqual(self.apply(self.HEADER + line), (6, "", self.REFUSED, False))

    def test_one_endless_line_without_newline(self):
        token = f"{USER},{DOMAIN}\t"
        line = ("z" * 1000 + token) * 2000  # 2 MB, the token at many piece offsets
        self.assertEqual(self.apply(self.HEADER + line), (6, "", self.REFUSED, False))
        self.assertEqual(self.apply(self.HEADER + "\0" * 5000 + "\n" + token + "\n"),
                         (0, "", "", True))


# Run as root in the sandbox: a child becomes the hostile user, starts the limits helper for
# their own domain over and over and stops each a few milliseconds in (a user may signal their
# own set-user-ID programs); then root changes a container of another user and one of theirs.
STOPPER = r"""
import json, os, random, signal, subprocess, sys, time
helper, ryxctl, mine, theirs = sys.argv[1:]
os.environ["ASAN_OPTIONS"] = "detect_leaks=0"  # the sandbox links /proc/<pid> for us only
r, w = os.pipe()
child = os.fork()
if child == 0:
    os.setsid()
    os.setgroups([]); os.setresgid(1000, 1000, 1000); os.setresuid(1000, 1000, 1000)
    end, n = time.monotonic() + 3, 0
    while time.monotonic() < end and n < 300:
        p = subprocess.Popen([helper, "1000", mine, *"1234567"], stderr=subprocess.DEVNULL)
        time.sleep(random.uniform(0, 0.004))
        os.kill(p.pid, signal.SIGSTOP)
        n += 1
    os.write(w, b"x")
    time.sleep(120)
os.read(r, 1)
out = []
for args in (("set", theirs, "cpu=7"), ("set", mine, "cpu=8")):
    t = time.monotonic()
    try:
        res = subprocess.run([ryxctl, *args], capture_output=True, text=True, timeout=30)
        out.append([res.returncode, time.monotonic() - t, res.stderr])
    except subprocess.TimeoutExpired:
        out.append(["hung", 30, ""])
os.killpg(child, signal.SIGKILL)
print(json.dumps(out))
"""


# Run as root in the sandbox: a slow holder of one container's lock (as a stopped helper is)
# while the package's migration runs, then the same migration once it has let go.
STALLED_MIGRATION = r"""
import fcntl, json, os, subprocess, sys
ryxctl, mine, theirs = sys.argv[1:]
os.environ["ASAN_OPTIONS"] = "detect_leaks=0"  # the sandbox links /proc/<pid> for us only
fd = os.open("/var/lib/ryx/containers/.locks", os.O_RDWR)
fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB, 1, int(mine))
run = lambda *a: subprocess.run([ryxctl, *a], capture_output=True, text=True)
out = [run("migrate"), run("set", theirs, "cpu=7")]
os.close(fd)
out.append(run("migrate"))
print(json.dumps([[r.returncode, r.stdout + r.stderr] for r in out]))
"""
STATE = "/var/lib/ryx/containers"


@require_sandbox
class HostileNeighbour(HelperTest):
    """Alice (uid 1000) against Bob (1001), with what an ordinary user has: files they own,
    signals to their own set-user-ID helpers, and timing."""

    def setUp(self):
        super().setUp()
        for name in ("ryz-limits-helper", "ryz-registry-helper"):
            self.host.install_set_user_id(name, LIBEXEC)
        for uid in ("1000", "1001"):
            self.ryxctl("allow-domain-limits", uid)
        self.mine = self.ryxctl("map-assign", "1000", DOCROOT.decode()).strip()
        self.theirs = self.ryxctl("map-assign", "1001", "/home/bob/www").strip()
        self.ryxctl("create", self.theirs, "1001")

    def ryxctl(self, *args, status=0, timeout=60):
        res = self.host.run([program("libryx/ryxctl"), *args], timeout=timeout)
        self.assertEqual(res.returncode, status, res.stderr)
        return res.stdout.decode() + res.stderr.decode()

    def limits(self, domain, timeout=60):
        res = self.host.run([f"{LIBEXEC}/ryz-limits-helper", "1000", domain, *"1234567"],
                            uid=USER, timeout=timeout)
        return res.returncode

    def sh(self, script, uid=None):
        return self.host.run(["sh", "-c", script], uid=uid).returncode

    def test_a_table_is_not_its_users_to_edit_nor_believed_if_it_was(self):
        table = "/etc/container/ryz_ids/1000"
        self.assertNotEqual(self.sh(f"chmod 600 {table} || cat {table} || : >> {table}",
                                    uid=USER), 0)
        # The layout of earlier versions, where the table was alice's, and her edit of it: a
        # table of her own that also maps bob's container (written with a scratch registry).
        scratch = os.path.join(self.log_dir, "scratch")
        for args in (("allow-domain-limits", "1000"), ("map-assign", "1000", "/x"),
                     ("map-assign", "1000", "/stolen")):
            self.ryxctl("--registry", scratch, *args)
        self.assertEqual(self.ryxctl("--registry", scratch, "map-lookup", "1000", "/stolen"),
                         self.theirs + "\n")
        self.assertEqual(self.sh(f"cp {scratch}/1000 {table} && chown 1000 {table}"), 0)
        self.assertEqual(self.limits(self.theirs), 4)
        self.assertIn("ryxctl migrate", self.ryxctl("map-assign", "1000", "/new", status=1))
        self.assertIn("ryxctl migrate", self.ryxctl("rebuild-index", status=1))
        self.assertIn(f"uid 1000: id {self.theirs} (/stolen) is not that user's in the index",
                      self.ryxctl("migrate"))
        self.assertEqual(self.ryxctl("map-list", "1000"), f"{self.mine} /x\n")
        self.assertEqual(self.limits(self.theirs), 4)
        self.assertEqual(self.limits("1001"), 4)
        self.assertEqual(self.limits(self.mine), 0)
        self.assertIn("parent=1001\nflags=0\ncpu=0\n", self.ryxctl("info", self.theirs))

    def test_stopped_helpers_hold_up_only_their_users_own_container(self):
        self.ryxctl("create", self.mine, "1000")
        res = self.host.run(["/usr/bin/python3", "-c", STOPPER, f"{LIBEXEC}/ryz-limits-helper",
                             program("libryx/ryxctl"), self.mine, self.theirs], timeout=120)
        self.assertEqual(res.returncode, 0, res.stderr)
        theirs, mine = json.loads(res.stdout)
        self.assertEqual(theirs[0], 0, theirs)
        self.assertLess(theirs[1], 2, "bob's change waited for alice's stopped helpers")
        # Alice's own container may be held, but only for a bounded time.
        self.assertLess(mine[1], 8, mine)
        self.assertIn(mine[2], ("", "ryxctl: set: locked by another process for too long (a "
                                    "stopped program?); try again\n"))

    def test_a_domain_id_is_never_an_accounts_own_container(self):
        # UID_MAX (60000) is a uid useradd gives out; the first domain id lies above it.
        self.assertEqual((self.mine, self.theirs), ("60001", "60002"))
        became = self.ryxctl("map-assign", "1000", "/home/alice/www/b").strip()
        # Accounts made after that mapping, and above UID_MAX: the next id skips them.
        self.host.passwd({0: "root", 1000: "alice", 1001: "bob", 60003: "erin", 60004: "dave"})
        self.assertEqual(self.ryxctl("map-assign", "1000", "/home/alice/www/c").strip(), "60005")
        self.ryxctl("create", became)  # erin's own container, at the top level
        self.ryxctl("create", "60005")  # alice's, but root put it at the top level
        for domain in (became, "60005", "60004"):
            self.assertEqual(self.limits(domain), 6 if domain != "60004" else 4, domain)
        self.assertIn("parent=0\n", self.ryxctl("info", became))
        self.assertIn(f"uid 1000 maps id {became}, which is an account's uid",
                      self.ryxctl("rebuild-index"))
        self.assertEqual(self.limits(self.mine), 0)

    def test_a_slow_lock_holder_keeps_nothing_else_from_being_migrated(self):
        self.ryxctl("create", self.mine, "1000")
        self.assertEqual(self.sh(f"cd {STATE} && chown 1000 {self.mine} && chown 1001 "
                                 f"{self.theirs} && chmod 664 {self.mine} {self.theirs}"), 0)
        res = self.host.run(["/usr/bin/python3", "-c", STALLED_MIGRATION,
                             program("libryx/ryxctl"), self.mine, self.theirs], timeout=120)
        self.assertEqual(res.returncode, 0, res.stderr)
        (first, said), (changed, _), (again, _) = json.loads(res.stdout)
        self.assertEqual((first, changed, again), (1, 0, 0), said)
        self.assertIn(f"container state '{self.mine}': locked by another process", said)
        self.assertIn("container state: 1 file rewritten", said)
        self.assertIn("Run 'ryxctl migrate' again", said)

    def test_planted_entries_do_not_outlive_the_migration(self):
        # The layout of earlier versions, which every user could write, and what alice left.
        self.assertEqual(self.sh(f"chmod 777 {STATE} && echo secret > /var/tmp/bobs && "
                                 "chown 1001 /var/tmp/bobs && chmod 666 /var/tmp/bobs"), 0)
        self.assertEqual(self.sh(f"cd {STATE} && rm -f .locks && mkdir .locks .aside.1 && "
                                 "mkdir -m 777 60009 && ln /var/tmp/bobs 60010 && "
                                 "ln -s /etc/shadow 60011 && mkfifo 60012 && echo x > notes",
                                 uid=USER), 0)
        self.assertIn("run 'ryxctl migrate'", self.ryxctl("set", self.theirs, "cpu=1", status=1))
        self.assertEqual(self.sh(f"chmod 755 {STATE}"), 0)
        self.assertIn(f"{STATE}/.locks is not root's private regular file; run 'ryxctl migrate'",
                      self.ryxctl("set", self.theirs, "cpu=1", status=1))
        said = self.ryxctl("migrate")
        self.assertIn("container state: 0 files rewritten, 2 removed, 5 set aside", said)
        # Bob's file untouched; nothing left but root's files and this run's aside directory.
        check = (f"stat -c '%u %a %h' /var/tmp/bobs; cat /var/tmp/bobs; find {STATE} -mindepth 1 "
                 "-maxdepth 1 ! -user root -o -type f -perm /022 -o ! -type f ! -type d -o "
                 "-type d ! -name '.aside.*' -o -type d ! -perm 700")
        self.assertEqual(self.host.run(["sh", "-c", check]).stdout, b"1001 666 2\nsecret\n")
        self.ryxctl("set", self.theirs, "cpu=1")
        self.ryxctl("create", "60009")
        self.ryxctl("destroy", "60009")
        self.assertIn("0 files rewritten, 0 removed, 0 set aside", self.ryxctl("migrate"))

    def test_a_fifo_in_place_of_a_file_stalls_nobody(self):
        for name in (".index", "1000"):
            self.assertEqual(self.sh(f"cd /etc/container/ryz_ids && mv {name} {name}.saved && "
                                     f"mkfifo -m 666 {name}"), 0)
            self.assertEqual(self.limits(self.mine, timeout=20), 4)
            self.ryxctl("map-assign", "1000", "/other", status=1, timeout=20)
            self.assertEqual(self.sh(f"cd /etc/container/ryz_ids && mv {name}.saved {name}"), 0)


class BuiltHardened(unittest.TestCase):
    """No run path entry relative to where a program is started, relocations read-only once
    loaded (BIND_NOW and GNU_RELRO), position-independent executables, stack canaries, and
    checked calls where the build optimises without a sanitizer. No file is exempt: the
    test-only stand-ins are built like everything else."""

    maxDiff = None

    def setUp(self):
        if shutil.which("readelf") is None:
            skip("readelf not installed")

    def faults(self, path):
        """What the file lacks."""
        dyn, phdrs = readelf(path, "-d"), readelf(path, "-l")
        imports = {line.split()[7].split("@")[0] for line in
                   readelf(path, "--dyn-syms").splitlines()
                   if len(line.split()) >= 8 and line.split()[6] == "UND"}
        found = [f"run path entry {entry!r}"
                 for runpath in re.findall(r"\((?:RPATH|RUNPATH)\).*\[(.*)\]", dyn)
                 for entry in runpath.split(":") if not re.match(r"/|\$ORIGIN(/|$)", entry)]
        if not re.search(r"\(FLAGS\).*\bBIND_NOW\b|\(FLAGS_1\).*\bNOW\b", dyn):
            found.append("no BIND_NOW")
        if not re.search(r"\bGNU_RELRO\b", phdrs):
            found.append("no GNU_RELRO")
        if re.search(r"^\s*INTERP\s", phdrs, re.M) and "Elf file type is DYN" not in phdrs:
            found.append("not PIE")
        if not SANITIZED:
            found += [f"unchecked {name}" for name in sorted(imports & ALWAYS_CHECKED)]
        if os.path.basename(path) in INSTALLED:
            if "__stack_chk_fail" not in imports:
                found.append("no stack protector")
            if not SANITIZED and not any(re.fullmatch(r"__\w+_chk", i) for i in imports):
                found.append("no checked calls")
        return found

    def assertHardened(self, files):
        self.assertLessEqual(set(INSTALLED), {os.path.basename(f) for f in files})
        if SANITIZED:
            print("fortification is off in the sanitizer build: checked calls not looked for")
        self.assertEqual({path: found for path in files if (found := self.faults(path))}, {})

    def test_built_programs_and_libraries(self):
        self.assertHardened(list(elf_files(BUILD_DIR)))

    @require_sandbox
    def test_programs_and_library_on_the_simulated_host(self):
        root = scratch_dir(self, "ryx-hardened-host-")
        res = subprocess.run([RYXSIM, "-r", root, "--", "true"], capture_output=True, text=True,
                             timeout=60)
        self.assertEqual(res.returncode, 0, res.stderr)
        files = list(elf_files(os.path.join(root, "lower")))
        self.assertIn("libryx.so.0", [os.path.basename(f) for f in files])
        self.assertHardened(files)


if __name__ == "__main__":
    unittest.main()
