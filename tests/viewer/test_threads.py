"""The thread collector through the real ryxps: which threads land in which container, the
counts, the order of thread lines, the memory fallback, and re-sampling with -p -d."""

import os
import unittest

from harness.sandbox import fake_clock, require_sandbox
from viewer.viewer_support import new_host, ryxps, stage


def stat(tid, name, utime, stime, faults=100):
    return (f"{tid} ({name}) S 1 {tid} {tid} 0 -1 4194560 {faults} {faults} {faults} {faults} "
            f"{utime} {stime} 0 0 20 0 1 0 100 1000000 300 18446744073709551615 1 1 0 0 0\n")


@require_sandbox
class Collector(unittest.TestCase):
    def setUp(self):
        self.host = new_host(self)

    def run_ok(self, *args, **kw):
        res = self.host.run([ryxps(), "-n", *args], timeout=30, **kw)
        self.assertEqual((res.returncode, res.stderr.decode()), (0, ""))
        return res.stdout.decode().splitlines()

    def by_container(self, lines):
        """{container: (pno, tno, mem, [tid, ...] from the head)} from "id,pno,tno,mem,tid"."""
        out, current = {}, None
        for cells in (line.split() for line in lines[1:]):
            if cells[0] == "---":
                out[current][3].append(cells[-1])
            else:
                current = cells[0]
                out[current] = (cells[1], cells[2], cells[3], [])
        return out

    def walk_order(self, tids):
        """The given tids in the order the walk visits them."""
        proc = self.host.path("/proc")
        order = []
        for pid in os.listdir(proc):
            if pid.isdigit() and os.path.isdir(os.path.join(proc, pid, "task")):
                order += [t for t in os.listdir(os.path.join(proc, pid, "task")) if t in tids]
        return order

    def test_assignment_counts_and_order(self):
        h = self.host
        h.ryx_list(["RYX", "EP", "CPU"], [[2, 0, 0], [5, 0, 0], [7, 0, 0], [12, 0, 0], [20, 0, 0]])
        for tid in (100, 101, 102):
            h.thread(100, tid, fnid=5)
        for tid in (205, 206):
            h.thread(205, tid, fnid=5, statm="5000 600 88\n")
        # Ignored directories, however valid their threads.
        for name in ("0", "12abc", "+x"):
            h.thread(name, 1, fnid=5)
        h.thread(300, 300, cgroup="1:x:/user.slice\n0::/ryx-3\n0::/ryx0\n0::/ryx12\n0::/ryx7\n")
        h.thread(300, 301, cgroup="0::/12\n")
        h.thread(400, 400, fnid=7, cgroup="0::/ryx12\n")
        h.thread(401, 401, cgroup="0::/ryx\n0::/user.slice\n")  # nothing usable: dropped
        # A cgroup line of over 99 characters whose first 99 end in "/ryx2".
        h.thread(500, 500, cgroup="0::/" + "x" * 90 + "/ryx20\n")
        # Blanks in the name and a stat line far past 99 characters before the times.
        h.thread(4194000, 4194000, fnid=20, name="Web Content",
                 stat=stat(4194000, "Web Content", 5, 6, faults=98765432109))
        h.thread(700, 700, fnid=5, name="migration/0", cmdline=b"")
        h.thread(701, 701, fnid=7, name="migration/1", cmdline=b"x\0")
        h.thread(702, 702, fnid=7, name="migration", cmdline=b"")
        # Another container's thread whose command line would block anyone who opened it.
        h.thread(800, 800, fnid=99)
        os.unlink(h.path("/proc/800/task/800/cmdline"))
        os.mkfifo(h.path("/proc/800/task/800/cmdline"))

        got = self.by_container(self.run_ok("-p", "-o", "id:3,pno:4,tno:4,mem:4,tid:8"))
        expect = {
            "5": ("2", "5", "3", ["100", "101", "102", "205", "206"]),
            "7": ("3", "3", "3", ["400", "701", "702"]),
            "12": ("1", "2", "1", ["300", "301"]),
            "20": ("2", "2", "2", ["500", "4194000"]),
        }
        # One process's memory counted once: 200 pages of 100 and 512 of 205 make 2.8 MiB.
        for cid, (pno, tno, mem, tids) in expect.items():
            expect[cid] = (pno, tno, mem, self.walk_order(tids)[::-1])
        self.assertEqual(got, expect)

    def test_process_with_spaces_and_cpu(self):
        self.host.ryx_list(["RYX", "EP", "CPU"], [[5, 0, 0]])
        self.host.thread(100, 100, fnid=5, name="VM Thread", utime=250, stime=100)
        self.assertEqual(self.run_ok("-p", "-o", "tid:4,cpu:4,com:10"),
                         [" TID CPU       COM", " ---   0       ---", " 100   3 VM Thread"])

    def test_resampling_over_the_interval(self):
        h = self.host
        cols = ["RYX", "EP", "CPU"]
        # tid: (name, ticks at collection, ticks after the interval or None when ended)
        threads = {100: ("w", 120, 270), 101: ("VM Thread", 20, 80), 102: ("w", 120, None),
                   103: ("w", 120, 100), 104: ("w", 0, 0)}
        hook = [stage(h, "list", h.list_text(cols, [[5, 1, 1500000000]]))]
        for tid, (name, _, after) in threads.items():
            target = f"/proc/100/task/{tid}/stat"
            hook.append(f"rm {target}" if after is None else
                        stage(h, f"stat{tid}", stat(tid, name, after, 0), target))
        preload, env = fake_clock(hook=" && ".join(hook))
        # 150 ticks over 3 s of 100 ticks: half a processor, 1200 MHz of 2400; so is 1.5 s of
        # the container's CPU over 3 s.
        container = {"%": "50", "mhz": "1200"}
        want = {"%": {"100": "50", "101": "20", "104": "0"},
                "mhz": {"100": "1200", "101": "480", "104": "0"}}
        for unit, figures in want.items():
            h.ryx_list(cols, [[5, 1, 0]])
            for tid, (name, before, _) in threads.items():
                h.thread(100, tid, fnid=5, name=name, stat=stat(tid, name, before, 0))
            args = ["-m"] if unit == "mhz" else []
            lines = self.run_ok("-d", "-p", *args, "-o", "tid:4,cpu:8", preload=preload, env=env)
            self.assertEqual(lines[:2], [" TID   SPEED", " ---" + container[unit].rjust(7) + unit])
            cells = {line[:4].strip(): line[4:] for line in lines[2:]}
            self.assertEqual(cells, {str(t): figures[str(t)].rjust(7) + unit
                                     if str(t) in figures else "     N/A" for t in threads})


if __name__ == "__main__":
    unittest.main()
