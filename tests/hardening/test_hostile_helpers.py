"""The helpers against a hostile caller: arguments as long as the kernel allows, printf
directives, bytes that are not UTF-8, an environment full of traps while the helpers run
set-user-ID, and reseller lists that are huge or have lines longer than the reading buffer.
Every case ends in an exact status and message; nothing of the caller's reaches the library
or the statistics command."""

import json
import os
import shutil
import tempfile
import unittest

from harness.sandbox import SANITIZED, program, require_sandbox
from helpers.common import DOMAIN, USER, HelperTest

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
    spec = json.load(f)
argv = [bytes.fromhex(a) for a in spec["argv"]]
env = {bytes.fromhex(k): bytes.fromhex(v) for k, v in spec["env"]}
soft, hard = resource.getrlimit(resource.RLIMIT_STACK)
want = 64 << 20
if hard != resource.RLIM_INFINITY:
    want = min(want, hard)
resource.setrlimit(resource.RLIMIT_STACK, (want, hard))
path = bytes.fromhex(spec["path"]) if spec.get("path") else argv[0]
if not argv:  # no argument vector at all, which os.execve refuses to make
    import ctypes
    envp = (ctypes.c_char_p * (len(env) + 1))(*[k + b"=" + v for k, v in env.items()], None)
    ctypes.CDLL(None).execve(path, None, envp)
    sys.exit(126)
os.execve(path, argv, env)
"""


def _b(x):
    return x if isinstance(x, bytes) else str(x).encode()


@require_sandbox
class HostileCaller(HelperTest):
    """Helpers installed set-user-ID root over the real libryx, as on a host."""

    def setUp(self):
        super().setUp()
        for name in ("ryz-limits-helper", "ryz-registry-helper", "ryz-stats-helper"):
            self.host.install_set_user_id(name, LIBEXEC)
        self.spec_dir = tempfile.mkdtemp(prefix="ryx-hostile-")
        os.chmod(self.spec_dir, 0o755)
        self.addCleanup(shutil.rmtree, self.spec_dir, True)
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
        spec = os.path.join(self.spec_dir, f"spec{len(os.listdir(self.spec_dir))}")
        with open(spec, "w") as f:
            vector = (path, *args) if argv is None else argv
            json.dump({"path": _b(path).hex(), "argv": [_b(a).hex() for a in vector],
                       "env": [[k.hex(), v.hex()] for k, v in full_env.items()]}, f)
        os.chmod(spec, 0o644)
        res = self.host.run(["/usr/bin/python3", "-c", LAUNCHER, spec], uid=uid)
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


if __name__ == "__main__":
    unittest.main()
