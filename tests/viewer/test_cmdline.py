"""ryxps command line: usage, every option error with its exact message and status. Nothing is
read before these checks, so the program runs outside the sandbox."""

import subprocess
import unittest

from harness.sandbox import require_sandbox
from viewer.viewer_support import USAGE, new_host, ryxps, with_threads, COLUMNS


def run(*args):
    return subprocess.run([ryxps(), *args], capture_output=True, timeout=30)


class UsageAndOptionErrors(unittest.TestCase):
    def check(self, args, stderr, status):
        res = run(*args)
        self.assertEqual(res.stderr.decode(), stderr, args)
        self.assertEqual(res.returncode, status, args)
        self.assertEqual(res.stdout, b"", args)

    def test_help(self):
        self.check(["-h"], USAGE, 0)
        self.check(["-p", "-n", "-h", "-c", "0"], USAGE, 0)  # ends before the bad -c

    def test_option_errors_with_usage(self):
        for args, msg in [
            (["-c", "0"], "error: invalid time\n"),
            (["-c", "-1"], "error: invalid time\n"),
            (["-c", "3s"], "error: invalid time\n"),
            (["-c", ""], "error: invalid time\n"),
            (["-c", "2147483648"], "error: invalid time\n"),
            (["-c", "4294967297"], "error: invalid time\n"),  # would wrap to 1 in an int
            (["-o", "id:10", "-o", "ep:7"], "error: multiple formats\n"),
            (["-s", "foo"], "error: unknown sort order\n"),
            (["-s", "!"], "error: unknown sort order\n"),
            (["-s", "!!cpu"], "error: unknown sort order\n"),
            (["-s", "CPU"], "error: unknown sort order\n"),
            (["-s", "cpu", "-s", "bogus"], "error: unknown sort order\n"),
            (["-c", "0", "-h"], "error: invalid time\n"),
        ]:
            with self.subTest(args=args):
                self.check(args, msg + USAGE, 22)

    def test_unknown_option_or_missing_argument(self):
        for args in (["-z"], ["-c"], ["-o"], ["-s"], ["--help"]):
            with self.subTest(args=args):
                res = run(*args)
                self.assertEqual(res.returncode, 22)
                self.assertTrue(res.stderr.decode().endswith(USAGE))

    def test_incompatible_pairs_without_usage(self):
        self.check(["-p", "-t"], "error: -p is not compatible with -t\n", 22)
        self.check(["-l", "-m"], "error: -l is not compatible with -m\n", 22)
        self.check(["-m", "-t", "-l", "-p"], "error: -p is not compatible with -t\n", 22)

    def test_format_errors(self):
        invalid = "error: format string is not valid\n"
        for fmt in ["id:10,", "id:4294967306"]:
            with self.subTest(fmt=fmt):
                self.check(["-o", fmt], invalid, 234)
        self.check(["-o", "foo:5"], "error: unknown unit foo\n" + invalid, 234)


@require_sandbox
class StartUp(unittest.TestCase):
    def setUp(self):
        self.host = new_host(self)

    def test_missing_main_list(self):
        res = self.host.run([ryxps()])
        self.assertEqual(res.stderr.decode(), "error: failed to get ryx stats (Protocol error)\n")
        self.assertEqual(res.returncode, 256 - 71)
        self.assertEqual(res.stdout, b"")

    def test_rt_priority_refused_is_only_a_warning(self):
        self.host.ryx_list(COLUMNS, [[1000, 1, 5, 0, 0, 10]])
        with_threads(self.host, [1000])
        res = self.host.run([ryxps(), "-r", "-n", "-o", "id:6"], uid=1000)
        self.assertEqual(res.stderr.decode(), "warning: rt priority is not available\n")
        self.assertEqual(res.returncode, 0)
        self.assertEqual(res.stdout.decode(), "    ID\n  1000\n")


if __name__ == "__main__":
    unittest.main()
