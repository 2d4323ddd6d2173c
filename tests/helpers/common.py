"""What the helper tests share: a sandbox host with the helpers' fixtures, and the recording
libryx stand-in with a call log readable after each run."""

import os
import unittest

from harness.sandbox import BUILD_DIR, Host, program
from harness.scratch import scratch_dir

USER = 1000
DOMAIN = 70001
FAKE_LIBRARY_DIR = os.path.join(BUILD_DIR, "tests", "fakes", "libryx")


def closing(redirections):
    """argv_prefix that starts the helper with shell redirections such as "2>&-" applied."""
    return ("sh", "-c", f'exec "$0" "$@" {redirections}')


class HelperTest(unittest.TestCase):
    """A fresh host per test; runs go through the stand-in library unless real=True."""

    PROGRAM = None

    def setUp(self):
        self.host = Host(passwd={0: "root", USER: "alice", 1001: "bob"})
        self.addCleanup(self.host.close)
        # The helper runs as an ordinary user and appends to the log itself.
        self.log_dir = scratch_dir(self, "ryx-helper-log-", 0o777)
        self.log_path = os.path.join(self.log_dir, "calls")

    def enable_isolation(self, uid=USER):
        self.host.file(f"/etc/container/ryz_ids/{uid}", "")

    def run_helper(self, *args, uid=USER, fake=None, real=False, argv_prefix=(), timeout=60):
        """Runs the program under test; fake holds RYX_FAKE_* settings without the prefix.
        Returns (status, stdout, stderr, calls) with the outputs as text."""
        if os.path.exists(self.log_path):
            os.unlink(self.log_path)
        env = {}
        if not real:
            env["LD_LIBRARY_PATH"] = FAKE_LIBRARY_DIR
            env["RYX_FAKE_LOG"] = self.log_path
            for key, value in (fake or {}).items():
                env["RYX_FAKE_" + key] = str(value)
        argv = [*argv_prefix, program(self.PROGRAM), *args]
        res = self.host.run(argv, uid=uid, env=env, timeout=timeout)
        return (res.returncode, res.stdout.decode(errors="surrogateescape"),
                res.stderr.decode(errors="surrogateescape"), self.calls())

    def calls(self):
        try:
            with open(self.log_path) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []
