"""The sandbox itself: fixtures appear at their system paths, the host stays untouched, and the
real procfs remains reachable for the loader."""

import os
import unittest

from harness.sandbox import SANITIZED, Host, require_sandbox


@require_sandbox
class SandboxTest(unittest.TestCase):
    def setUp(self):
        self.host = Host(passwd={0: "root", 1000: "alice"})
        self.addCleanup(self.host.close)

    def test_fixtures_replace_system_paths(self):
        self.host.ryx_list(["RYX", "EP", "CPU"], [[5, 1, 1000]], version=8)
        self.host.thread(100, 101, fnid=5, name="php")
        res = self.host.run(["sh", "-c", "cat /proc/ryx/list /proc/100/task/101/status /etc/passwd"])
        self.assertEqual(res.returncode, 0, res.stderr)
        out = res.stdout.decode()
        self.assertIn("8:RYX\tEP\tCPU\n5\t1\t1000\n", out)
        self.assertIn("FNid:\t5\n", out)
        self.assertIn("alice:x:1000:", out)
        listing = self.host.run(["ls", "-a", "/proc"]).stdout.decode().split()
        if SANITIZED:
            # Sanitized runs also link the program's own pid to the real procfs.
            listing = [n for n in listing if n == "100" or not n.isdigit()]
        self.assertEqual(sorted(listing), [".", "..", ".real", "100", "ryx", "self", "thread-self"])

    def test_self_still_leads_to_the_real_process(self):
        res = self.host.run(["sh", "-c", "head -1 /proc/self/status"])
        self.assertEqual(res.stdout.decode().strip(), "Name:\thead")

    def test_writes_land_in_the_upper_layer_not_on_the_host(self):
        self.host.mkdir("/etc/container/ryz_ids")
        res = self.host.run(["sh", "-c", "echo x > /etc/container/ryz_ids/1000; rm /etc/passwd"])
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual(self.host.read("/etc/container/ryz_ids/1000"), b"x\n")
        self.assertIsNone(self.host.read("/etc/passwd"))
        self.assertEqual(self.host.listdir("/etc/container/ryz_ids"), ["1000"])
        self.assertFalse(os.path.exists("/etc/container/ryz_ids/1000"))
        self.assertTrue(os.path.exists("/etc/passwd"))

    def test_runs_as_an_ordinary_user(self):
        res = self.host.run(["sh", "-c", "id -ru; id -u"], uid=1000)
        self.assertEqual(res.stdout.decode().split(), ["1000", "1000"])


if __name__ == "__main__":
    unittest.main()
