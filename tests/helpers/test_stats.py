"""ryz-stats-helper: its own refusals, and the exact way it hands over to the statistics command
(argument list, environment, same process), against a recording stand-in of that command."""

import os
import re
import shutil
import subprocess
import unittest

from harness.sandbox import SANITIZED, SOURCE_DIR, require_sandbox, program
from helpers.common import USER, HelperTest, closing

USAGE = "Usage: ryz-stats-helper get <period>\n"
FLAG = "/opt/tavrenox/flags/available-flags.d/ryxstats-supports-domain-ryx-limits.flag"
UNSUPPORTED = ("The installed ryx-stats does not support per-domain RYX statistics. Upgrade "
               f"ryx-stats to a version that provides {FLAG}\n")
ROOT_REFUSED = ("ryz-stats-helper: refusing to run as root; use 'ryxinfo --with-domains --id "
                "<uid>' instead\n")
COLUMNS = ("domain,domain_id,parent_uid,aCPU,mCPU,lCPU,CPUf,aEP,mEP,lEP,EPf,aVMem,mVMem,lVMem,"
           "VMemF,aPMem,mPMem,lPMem,PMemF,aNproc,mNproc,lNproc,NprocF,aIO,mIO,lIO,IOf,aIOPS,mIOPS,"
           "lIOPS,IOPSf")
ENVIRONMENT = ["PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C"]
RECORD = "/var/ryxinfo/record"


def expected_argv(uid, period):
    return ["/usr/sbin/ryxinfo", "--json", "--with-domains", "--id", str(uid), "--period", period,
            "--show-columns", COLUMNS]


@require_sandbox
class StatsHelperTest(HelperTest):
    PROGRAM = "ryz-stats-helper"

    def setUp(self):
        super().setUp()
        self.host.file(FLAG, "")
        self.host.mkdir("/var/ryxinfo", 0o777)
        with open(program("tests/helpers/ryxinfo-recorder"), "rb") as f:
            self.host.file("/usr/sbin/ryxinfo", f.read(), mode=0o755)

    def record(self):
        """How the stand-in was started, or None when it was not."""
        raw = self.host.read(RECORD)
        if raw is None:
            return None
        fields = [f.decode(errors="surrogateescape") for f in raw.split(b"\0")[:-1]]
        pid, ppid, ruid, euid, argc = (int(x) for x in fields[:5])
        argv = fields[5:5 + argc]
        envc = int(fields[5 + argc])
        env = fields[6 + argc:]
        self.assertEqual(len(env), envc)
        return {"pid": pid, "ppid": ppid, "uid": ruid, "euid": euid, "argv": argv, "env": env}

    def stats(self, *args, uid=USER):
        code, out, err, _ = self.run_helper(*args, uid=uid, real=True)
        return code, out, err

    def test_usage_comes_first(self):
        self.host.remove(FLAG)
        for uid in (USER, 0):
            for args in [[], ["get"], ["get", "1d", "x"], ["GET", "1d"], ["get2", "1d"]]:
                with self.subTest(uid=uid, args=args):
                    self.assertEqual(self.stats(*args, uid=uid), (1, "", USAGE))
        self.assertIsNone(self.record())

    def test_missing_flag_file_is_reported_to_everyone(self):
        self.host.remove(FLAG)
        for uid in (USER, 0):
            with self.subTest(uid=uid):
                self.assertEqual(self.stats("get", "1d", uid=uid), (1, "", UNSUPPORTED))
        self.assertIsNone(self.record())


    def test_root_is_refused(self):
        self.assertEqual(self.stats("get", "1d", uid=0), (1, "", ROOT_REFUSED))
        self.assertIsNone(self.record())

    def test_command_replaces_the_helper_with_exact_arguments_and_environment(self):
        # Popen directly, to know the helper's pid; the sandbox script execs all the way down.
        env = dict(os.environ, SECRET="leak", LD_PRELOAD="", PATH="/tmp/evil:/usr/bin:/bin",
                   LC_ALL="C.UTF-8")
        if SANITIZED:
            env.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0")
            env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1")
        proc = subprocess.Popen(self.host.command([program(self.PROGRAM), "get", "1d"], uid=USER),
                                env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = proc.communicate(timeout=60)
        # The command's status and output are the caller's result.
        self.assertEqual((proc.returncode, out, err), (7, b"ryxinfo-stdout\n", b"ryxinfo-stderr\n"))
        rec = self.record()
        self.assertEqual(rec["argv"], expected_argv(USER, "1d"))
        self.assertEqual(rec["env"], ENVIRONMENT)
        self.assertEqual(rec["pid"], proc.pid)       # no fork: same process
        self.assertEqual(rec["ppid"], os.getpid())
        self.assertEqual((rec["uid"], rec["euid"]), (USER, USER))

    def test_period_is_one_argument_passed_unchanged(self):
        for period in ["", "--id=0", "1d --id 0", "%s%n", "7d;rm -rf /", "x" * 10000]:
            with self.subTest(period=period[:20]):
                self.assertEqual(self.stats("get", period), (7, "ryxinfo-stdout\n",
                                                             "ryxinfo-stderr\n"))
                self.assertEqual(self.record()["argv"], expected_argv(USER, period))


    def test_set_user_id_install_still_acts_for_the_real_uid(self):
        helper = self.host.install_set_user_id(self.PROGRAM)
        res = self.host.run([helper, "get", "1d"], uid=USER,
                            env={"LC_ALL": "C.UTF-8", "SECRET": "x"})
        self.assertEqual(res.returncode, 7, res.stderr)
        rec = self.record()
        self.assertEqual((rec["uid"], rec["euid"]), (USER, 0))
        self.assertEqual(rec["argv"], expected_argv(USER, "1d"))
        self.assertEqual(rec["env"], ENVIRONMENT)

    def test_command_cannot_be_started(self):
        self.host.file("/usr/sbin/ryxinfo", "#!/bin/sh\n", mode=0o644)
        self.assertEqual(self.stats("get", "1d"), (
            1, "", "ryz-stats-helper: cannot run /usr/sbin/ryxinfo: Permission denied\n"))
        if os.path.lexists("/usr/sbin/ryxinfo"):
            self.skipTest("this host has a real /usr/sbin/ryxinfo under the fixture")
        self.host.remove("/usr/sbin/ryxinfo")
        self.assertEqual(self.stats("get", "1d"), (
            1, "", "ryz-stats-helper: cannot run /usr/sbin/ryxinfo: No such file or directory\n"))

    def test_helpers_link_what_their_documentation_says(self):
        # The installation table of docs/helpers.md is what an administrator audits before
        # trusting set-user-ID programs; it must name every library each one loads.
        if SANITIZED:
            self.skipTest("sanitizer runtimes bring dependencies of their own")
        readelf = shutil.which("readelf")
        if readelf is None:
            self.skipTest("readelf not installed")
        with open(os.path.join(SOURCE_DIR, "docs", "helpers.md"), encoding="utf-8") as f:
            rows = re.findall(r"^\|\s*`(ryz-[a-z-]+)`\s*\|.*\|\s*([^|]+?)\s*\|$", f.read(), re.M)
        self.assertEqual(len(rows), 3, "docs/helpers.md: no installation table of the helpers")
        for name, links in rows:
            dyn = subprocess.run([readelf, "-d", program(name)],
                                 capture_output=True, text=True, check=True).stdout
            needed = re.findall(r"\(NEEDED\).*\[(lib[a-z+_]+)[.-]", dyn)
            documented = re.findall(r"lib[a-z+_]+", links)
            self.assertEqual(sorted(needed), sorted(documented), name)

    def test_command_gets_open_standard_descriptors(self):
        # Closed ones are reopened on /dev/null before anything is opened or started.
        self.host.file("/usr/sbin/ryxinfo", "#!/bin/sh\ncd /proc/.real/$$/fd && readlink 0 1 2 "
                       f"| cat >{RECORD}\n", mode=0o755)
        self.run_helper("get", "1d", real=True, argv_prefix=closing("<&- >&- 2>&-"))
        self.assertEqual(self.host.read(RECORD), b"/dev/null\n" * 3)


if __name__ == "__main__":
    unittest.main()
