"""One-shot passes through the real program: the main list and reseller lists in their order,
which containers are listed, the reader's rules as the user sees them, sorting."""

import unittest

from harness.sandbox import fake_clock, require_sandbox
from viewer.viewer_support import COLUMNS, new_host, rows_of, ryxps, with_threads


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


if __name__ == "__main__":
    unittest.main()
