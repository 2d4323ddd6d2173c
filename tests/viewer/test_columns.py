"""Output columns through the real ryxps: exact cells of container and thread lines, with user
names, placeholders and the memory of containers without a value of their own."""

import os
import unittest

from harness.sandbox import Host, require_sandbox
from viewer.viewer_support import ryxps

FORMAT = "id:6,ryk:3,ep:3,pno:4,tno:4,cpu:5,mem:5,io:6,iops:5,pid:4,tid:4,com:8"


@require_sandbox
class Columns(unittest.TestCase):
    def setUp(self):
        self.assertEqual(os.sysconf("SC_PAGESIZE"), 4096)
        self.assertEqual(os.sysconf("SC_CLK_TCK"), 100)
        self.host = Host(passwd={0: "root", 1000: "ninelettr", 1001: "bob"})
        self.addCleanup(self.host.close)
        self.host.cpuinfo(mhz=2400.0)

    def test_container_and_thread_lines(self):
        h = self.host
        h.ryx_list(["RYX", "EP", "CPU", "MEM", "IO", "IOPS"], [
            [1000, 2, 12999999999, 300, 5000, 7],
            ["9,1001", 1, 2500000000, -1, -1, 40],      # reseller 9; no memory value
            [4294968296, 1, 0, 256, 0, 0],                # low 32 bits: uid 1000
            [1002, 0, 1000000000, 10, 1, 1],              # no user entry
        ])
        h.thread(100, 100, fnid=1000, cmdline=b"php\0-f\0x.php\0")
        h.thread(100, 101, fnid=1000, cmdline=b"php\0-f\0x.php\0", utime=250, stime=50)
        h.thread(205, 205, name="VM Thread", cgroup="0::/ryx1001\n", statm="5000 3000 440\n",
                 cmdline=b"a\tb\nc\x7f\0", utime=150, stime=100)
        h.thread(300, 300, fnid=4294968296)
        h.thread(400, 400, fnid=1002, cmdline=b"")
        widths = [6, 3, 3, 4, 4, 5, 5, 6, 5, 4, 4, 8]

        def line(*cells):
            return "".join(str(c).rjust(w) for c, w in zip(cells, widths))

        def thread(pid, tid, cpu, mem, com):
            return line("", "", "---", "---", "---", cpu, mem, "N/A", "N/A", pid, tid, com)

        # Thread lines newest first: the reverse of the walk's order.
        threads_100 = [thread(100, t, {"100": 0, "101": 3}[t], 1, "php -f ")
                       for t in reversed(os.listdir(self.host.path("/proc/100/task")))]
        res = h.run([ryxps(), "-p", "-o", FORMAT])
        self.assertEqual((res.returncode, res.stderr), (0, b""))
        self.assertEqual(res.stdout.decode().splitlines(), [
            line("ID", "RYK", "EP", "PNO", "TNO", "CPU", "MEM", "DT", "DO", "PID", "TID", "COM"),
            line(1002, 0, 0, 1, 1, 1, 1, 1, 1, "---", "---", "---"),
            thread(400, 400, 0, 1, "N/A"),
            line("ninele", 0, 1, 1, 1, 0, 1, 0, 0, "---", "---", "---"),
            thread(300, 300, 0, 1, "worker"),
            line("bob", 9, 1, 1, 1, 2, 10, "N/A", 40, "---", "---", "---"),
            thread(205, 205, 2, 10, "a b c "),
            line("ninele", 0, 2, 1, 2, 12, 2, 5000, 7, "---", "---", "---"),
        ] + threads_100)

    def test_no_terminal_control_in_commands_or_names(self):
        h = self.host
        h.passwd({2000: "a\u009bb\u0085c"})
        h.ryx_list(["RYX", "EP", "CPU"], [[2000, 1, 0]])
        # C1 controls, raw and as UTF-8, become spaces byte for byte; "é€" (with continuation
        # bytes 0x82 and 0xAC) passes; a sequence cut at the width does not leave its half.
        h.thread(100, 100, fnid=2000, cmdline=b"a\x9bb\xc2\x9bc\xc2\x80d\xc3\xa9\xe2\x82\xac\x85\0")
        h.thread(101, 101, fnid=2000, cmdline=b"abcdefghijklm\xe2\x82\xac\0")
        res = h.run([ryxps(), "-p", "-o", "id:6,tid:4,com:16"])
        self.assertEqual((res.returncode, res.stderr), (0, b""))
        lines = res.stdout.splitlines()
        self.assertEqual(lines[:2], [b"    ID TID             COM",
                                     b"a  b   ---             ---"])
        self.assertEqual(sorted(lines[2:]), [b"       100 a b  c  d\xc3\xa9\xe2\x82\xac ",
                                             b"       101 abcdefghijklm\xe2 "])


if __name__ == "__main__":
    unittest.main()
