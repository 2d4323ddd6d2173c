"""Interval mode on lists below version 5, timed with the processor's time-stamp counter,
which the fake clock can only fake where the machine lets it trap the counter."""

import unittest

from harness.sandbox import FAKE_TSC_UNAVAILABLE, Host, fake_clock, require_sandbox
from viewer.viewer_support import COLUMNS, new_host, rows_of, ryxps, stage, with_threads


@require_sandbox
class TimeStampCounter(unittest.TestCase):
    """Lists below version 5 are timed with the processor's counter."""

    def test_cycles_over_the_interval(self):
        host = new_host(self)
        host.ryx_list(COLUMNS, [[1000, 1, 0, 0, 0, 1]], version=4)
        with_threads(host, [1000])
        hook = stage(host, "second", Host.list_text(COLUMNS, [[1000, 1, 1500000000, 0, 0, 1]],
                                                    version=4))
        preload, env = fake_clock(hook=hook, tsc=10**12, tsc_hz=2400000000)
        res = host.run([ryxps(), "-n", "-d", "-o", "id:5,cpu:10"], preload=preload, env=env)
        if res.returncode == FAKE_TSC_UNAVAILABLE and b"cannot be trapped" in res.stderr:
            reason = res.stderr.decode().strip()
            print(f"SKIPPED: {reason}", flush=True)
            self.skipTest(reason)
        self.assertEqual(res.returncode, 0, res.stderr.decode())
        # 1.5e9 of 7.2e9 cycles.
        self.assertEqual(rows_of(res.stdout), [["ID", "SPEED"], ["1000", "20%"]])


if __name__ == "__main__":
    unittest.main()
