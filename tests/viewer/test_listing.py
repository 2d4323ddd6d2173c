"""One-shot passes through the real program: the main list and reseller lists in their order,
which containers are listed, the reader's rules as the user sees them, sorting; without the
kernel's lists, the containers of the library's control-group tree, as ryxps and ryx_exporter
see them."""

import os
import re
import unittest

from harness.sandbox import fake_clock, program, require_sandbox
from viewer.viewer_support import (COLUMNS, TREE, new_host, rows_of, ryxps, tree_leaf,
                                   with_threads)


@require_sandbox
class Listing(unittest.TestCase):
    def setUp(self):
        self.host = new_host(self)

    def run_ok(self, *args):
        res = self.host.run([ryxps(), *args])
        self.assertEqual(res.returncode, 0, res.stderr.decode())
        self.assertEqual(res.stderr, b"")
        return res

    def test_main_and_reseller_lists_in_reverse_order(self):
        # Reseller lists start with setup lines of their own: none of that may become a row.
        self.host.ryx_list(COLUMNS, [[1001, 1, 5, 0, 0, 1], [1002, 2, 5, 0, 0, 2]],
                           setup_lines=["ryx setup 1", "ryx setup 2 7 7 7 7 7"])
        self.host.ryx_list(COLUMNS, [["12,2001", 3, 5, 0, 0, 3], [2002, 4, 5, 0, 0, 4]],
                           reseller=12, setup_lines=["ryx setup 9 9 9 9 9 9"])
        self.host.ryx_list(COLUMNS, [["7,3001", 5, 5, 0, 0, 5]], reseller=7)
        # A container without processes and the kernel's placeholder row stay out.
        self.host.ryx_list(COLUMNS, [[4294967295, 0, 0, 0, 0, 0], [3002, 6, 5, 0, 0, 6]],
                           reseller=8)
        with_threads(self.host, [1001, 1002, 2001, 2002, 3001, 4294967295])
        res = self.run_ok("-n", "-o", "id:6,ryk:5,ep:4")
        # glob sorts the reseller directories by name: 12, 7, 8.
        self.assertEqual(rows_of(res.stdout), [
            ["ID", "RYK", "EP"],
            ["3001", "7", "5"],
            ["2002", "0", "4"],
            ["2001", "12", "3"],
            ["1002", "0", "2"],
            ["1001", "0", "1"],
        ])

    def test_default_format_header(self):
        self.host.ryx_list(COLUMNS, [])
        res = self.run_ok()
        cells = [("ID", 10), ("EP", 7), ("PNO", 7), ("TNO", 7), ("CPU", 10), ("MEM", 9),
                 ("DT", 11), ("DO", 11)]
        self.assertEqual(res.stdout.decode(), "".join(h.rjust(w) for h, w in cells) + "\n")
        preload, env = fake_clock()
        res = self.host.run([ryxps(), "-L", "-p", "-d", "-c", "1"], preload=preload, env=env)
        self.assertEqual(res.returncode, 0, res.stderr.decode())
        self.assertEqual(rows_of(res.stdout), [
            ["ID", "RYK", "EP", "PNO", "COM", "TNO", "TID", "SPEED", "MEM", "IO", "IOPS"]])
        res = self.run_ok("-p", "-w", "-L", "-o", "id:4,cpu:4")
        self.assertEqual(res.stdout.decode(), "  ID CPU\n")

    def test_empty_and_header_only_lists(self):
        for text in ("8:RYX\tEP\tCPU\n", "ryx setup\n8:RYX\tEP\tCPU"):
            with self.subTest(text=text):
                self.host.file("/proc/ryx/list", text)
                self.assertEqual(self.run_ok("-o", "id:3").stdout, b" ID\n")

    def test_sort_orders(self):
        self.host.ryx_list(COLUMNS, [[1001, 1, 5, 0, 0, 300], [1002, 1, 5, 0, 0, 100],
                                     [1003, 1, 5, 0, 0, 200]])
        with_threads(self.host, [1001, 1002, 1003])
        ids = {}
        for style in ("mem", "!mem", "cpu"):
            res = self.run_ok("-n", "-o", "id:5", "-s", style)
            ids[style] = [r[0] for r in rows_of(res.stdout)[1:]]
        self.assertEqual(ids["mem"], ["1001", "1003", "1002"])
        self.assertEqual(ids["!mem"], ["1002", "1003", "1001"])
        # The last -s wins.
        res = self.run_ok("-n", "-o", "id:5", "-s", "!mem", "-s", "mem")
        self.assertEqual([r[0] for r in rows_of(res.stdout)[1:]], ids["mem"])


@require_sandbox
class TreeListing(unittest.TestCase):
    """No /proc/ryx: the library's control-group tree, as /run/ryx/cgroup records it."""

    def setUp(self):
        self.host = h = new_host(self)
        own = tree_leaf(h, 1000, files={
            "cpu.stat": "usage_usec 2500000\n", "memory.current": "8388608\n",
            "io.stat": "8:0 rbytes=4096 wbytes=1024 rios=3 wios=2 dbytes=0 dios=0\n",
            "cgroup.procs": "100\n", "cgroup.threads": "100\n"})
        # No memory or io controller down here; no processes in 1001.
        domain = tree_leaf(h, 60001, parent=1000, files={
            "cpu.stat": "usage_usec 500\n", "cgroup.procs": "200\n201\n",
            "cgroup.threads": "200\n210\n201\n"})
        tree_leaf(h, 1001, files={"cpu.stat": "usage_usec 7\n"})
        h.thread(100, 100, cgroup=f"0::{own}\n")
        for pid, tid in ((200, 200), (200, 210), (201, 201)):
            h.thread(pid, tid, cgroup=f"0::{domain}\n", statm="1000 356 100 1 0 50 0")
        h.thread(301, 301, cgroup="0::/ryx/ryxd\n")  # ryxd, in its leaf beside the containers

    def ryxps(self, *args, **kw):
        res = self.host.run([ryxps(), "-n", *args], **kw)
        self.assertEqual((res.returncode, res.stderr.decode()), (0, ""))
        return rows_of(res.stdout)

    def test_ryxps_and_the_exporter_agree(self):
        # Entry processes as ryxctl enter records them: live, a pid given out again, gone.
        for pid in (100, 200, 201):
            self.host.file(f"/proc/{pid}/stat", f"{pid} (worker) S 1{' 0' * 17} 100 9\n")
        self.host.mkdir("/run/ryx/entries")
        self.host.file("/run/ryx/entries/1000", "100 100\n100 7\n555 1\n")
        self.host.file("/run/ryx/entries/60001", "200 100\n201 100\n")
        columns = "id:6,ryk:5,ep:3,pno:4,tno:4,cpu:8,mem:6,io:5,iops:5"
        self.assertEqual(self.ryxps("-L", "-o", columns), [
            ["ID", "RYK", "EP", "PNO", "TNO", "CPU", "MEM", "DT", "DO"],
            ["60001", "1000", "2", "2", "3", "0", "2", "N/A", "N/A"],
            ["1000", "0", "1", "1", "1", "2", "8", "5120", "5"]])
        # The exporter counts from the groups' lists and walks no threads: no memory figure for
        # a group without one.
        out = self.host.run([program("exporter/ryx_exporter"), "--once"]).stdout.decode()
        got = re.findall(r'^ryx_container_(processes|threads|memory_bytes|entry_processes)'
                         r'\{id="(\d+)".*\} (\d+)$', out, re.M)
        self.assertEqual(sorted(got), sorted([
            ("processes", "1000", "1"), ("threads", "1000", "1"),
            ("memory_bytes", "1000", "8388608"), ("entry_processes", "1000", "1"),
            ("processes", "60001", "2"), ("threads", "60001", "3"),
            ("entry_processes", "60001", "2"),
            ("processes", "1001", "0"), ("threads", "1001", "0"),
            ("entry_processes", "1001", "0")]))
        # Limits set through the library reach the group, which holds the cpu quota it was
        # given but has no pids controller: the exporter says which of the two the kernel holds.
        self.host.file(f"{TREE}/ryx1000/ryx60001/cpu.max", "max 100000\n")
        for args in (("create", "60001", "1000"), ("set", "60001", "cpu=20", "nproc=10")):
            self.assertEqual(self.host.run([program("libryx/ryxctl"), *args]).returncode, 0)
        out = self.host.run([program("exporter/ryx_exporter"), "--once"]).stdout.decode()
        self.assertEqual(re.findall(r'^ryx_container_limit_enforced\{id="60001".*resource="(\w+)"\} '
                                    r'(\d)$', out, re.M), [("cpu", "1"), ("processes", "0")])

    def test_one_interval_of_the_tree(self):
        leaf = f"{TREE}/ryx1000/ryx1000"
        preload, env = fake_clock(hook=f"echo usage_usec 4000000 > {leaf}/cpu.stat && echo 8:0 "
                                       f"rbytes=7168 wbytes=1024 rios=6 wios=8 > {leaf}/io.stat")
        # 1.5 s of CPU in 1 s: one and a half processors.
        self.assertEqual(self.ryxps("-d", "-c", "1", "-o", "id:5,cpu:8,io:6,iops:5",
                                    preload=preload, env=env),
                         [["ID", "SPEED", "IO", "IOPS"], ["60001", "0%", "N/A", "N/A"],
                          ["1000", "150%", "3072", "9"]])

    def test_lists_win_and_only_a_trustworthy_record_counts(self):
        self.host.ryx_list(COLUMNS, [[1000, 4, 5, 0, 0, 1]])
        self.assertEqual(self.ryxps("-o", "id:5,ep:3"), [["ID", "EP"], ["1000", "4"]])
        self.host.remove("/proc/ryx")
        # Others may write it, or it is no record: the lists' failure, as on any host.
        for text, mode in ((f"v2 - {TREE}\n", 0o664), (f"v3 - {TREE}\n", 0o644)):
            self.host.file("/run/ryx/cgroup", text, mode=mode)
            res = self.host.run([ryxps()])
            self.assertEqual((res.returncode, res.stderr.decode()),
                             (185, "error: failed to get ryx stats (Protocol error)\n"))


if __name__ == "__main__":
    unittest.main()
