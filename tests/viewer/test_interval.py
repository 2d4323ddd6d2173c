"""Interval mode (-d) on a fake clock: the second sample is put in place during the sleep, the
interval is exact, and counters become differences or N/A."""

import os
import unittest

from harness.sandbox import Host, fake_clock, require_sandbox
from viewer.viewer_support import COLUMNS, new_host, rows_of, ryxps, stage, with_threads

FORMAT = "id:5,cpu:10,io:6,iops:6"


@require_sandbox
class Interval(unittest.TestCase):
    def setUp(self):
        self.host = new_host(self)

    def run_interval(self, second, *args, first=None):
        """One -d pass: first list (rows), then second during the sleep. second is rows, or a
        shell command for the hook."""
        if first is not None:
            self.host.ryx_list(COLUMNS, first)
        hook = second if isinstance(second, str) else stage(
            self.host, "second", Host.list_text(COLUMNS, second))
        preload, env = fake_clock(hook=hook)
        res = self.host.run([ryxps(), "-n", "-d", "-o", FORMAT, *args], preload=preload, env=env)
        self.assertEqual(res.returncode, 0, res.stderr.decode())
        self.assertEqual(res.stderr, b"")
        return rows_of(res.stdout)

    def test_exact_rates_over_the_interval(self):
        with_threads(self.host, [1000])
        rows = self.run_interval([[1000, 1, 1500000000, 600, 30, 1]],
                                 first=[[1000, 1, 0, 0, 0, 1]])
        # 1.5 s of CPU in 3 s: half a processor; 600 I/O in 3 s: 200 per second.
        self.assertEqual(rows, [["ID", "SPEED", "IO", "IOPS"], ["1000", "50%", "200", "10"]])

    def test_cpu_styles(self):
        # -l: share of the whole machine; -m: in MHz of the 2400 MHz fixture processor; -x: a
        # space before every column.
        with_threads(self.host, [1000])
        cpus = os.sysconf("SC_NPROCESSORS_ONLN")
        for args, cell in ((["-l"], f"{50 // cpus}%"), (["-m"], "1200mhz")):
            with self.subTest(args=args):
                rows = self.run_interval([[1000, 1, 1500000000, 0, 0, 1]], *args,
                                         first=[[1000, 1, 0, 0, 0, 1]])
                self.assertEqual(rows[1][1], cell)
        self.host.ryx_list(COLUMNS, [[1000, 1, 0, 0, 0, 1]])
        res = self.host.run([ryxps(), "-n", "-x", "-o", "id:5,ep:3"])
        self.assertEqual(res.stdout.decode(), "    ID  EP\n  1000   1\n")

    def test_calibration_time(self):
        with_threads(self.host, [1000])
        rows = self.run_interval([[1000, 1, 1500000000, 600, 30, 1]], "-c", "5",
                                 first=[[1000, 1, 0, 0, 0, 1]])
        self.assertEqual(rows[1], ["1000", "30%", "120", "6"])

    def test_invalid_counters(self):
        with_threads(self.host, [1000, 1001, 1002])
        first = [[1000, 1, 100, 500, 50, 1], [1001, 1, 100, 500, 50, 1],
                 [1002, 1, 100, 500, -1, 1]]
        # 1000 vanishes; 1001 is re-created: its I/O counter starts again below the first
        # sample; 1002 gains an IOPS value it did not have.
        second = [[1001, 1, 3000000100, 20, 80, 1], [1002, 1, 100, 500, 60, 1]]
        rows = self.run_interval(second, first=first)
        self.assertEqual(rows[1:], [
            ["1002", "0%", "0", "N/A"],
            ["1001", "100%", "N/A", "10"],
            ["1000", "N/A", "N/A", "N/A"],
        ])

    def test_failed_second_read_invalidates_everything(self):
        with_threads(self.host, [1000])
        rows = self.run_interval("rm /proc/ryx/list", first=[[1000, 1, 0, 0, 0, 1]])
        self.assertEqual(rows[1:], [["1000", "N/A", "N/A", "N/A"]])

    def test_containers_without_processes(self):
        # Listed in interval mode only when their CPU moved.
        with_threads(self.host, [1000])
        first = [[1000, 1, 0, 0, 0, 1], [1001, 0, 0, 0, 0, 1], [1002, 0, 0, 0, 0, 1],
                 [1003, 0, 0, 0, 0, 1]]
        second = [[1000, 1, 0, 0, 0, 1], [1001, 0, 3000000000, 0, 0, 1],
                  [1002, 0, 0, 0, 0, 1]]
        rows = self.run_interval(second, first=first)
        self.assertEqual([r[0] for r in rows[1:]], ["1001", "1000"])

    def test_sorted_by_the_difference(self):
        with_threads(self.host, [1000, 1001])
        first = [[1000, 1, 9000000000, 0, 0, 1], [1001, 1, 0, 0, 0, 1]]
        second = [[1000, 1, 9300000000, 0, 0, 1], [1001, 1, 600000000, 0, 0, 1]]
        rows = self.run_interval(second, "-s", "cpu", first=first)
        self.assertEqual(rows[1:], [["1001", "20%", "0", "0"], ["1000", "10%", "0", "0"]])


if __name__ == "__main__":
    unittest.main()
