"""The shipped libryx.so.0: its exports, and its registry at the fixed path as seen by root and by
ordinary users (read through ctypes inside the sandbox)."""

import os
import subprocess
import sys
import unittest

from harness.sandbox import SANITIZED, Host, program, require_sandbox

EXPORTS = {
    "init_ryx", "destroy_ryx", "ryx_info", "ryx_ryk_move", "ryx_setup",
    "ryz_map_verify_ownership", "ryz_map_lookup", "ryz_map_assign", "ryz_map_remove",
    "ryz_map_remove_all", "ryz_map_iter_open", "ryz_map_iter_next", "ryz_map_iter_close",
    "ryz_fnv1a", "ryz_get_id_min", "ryz_index_rebuild",
}

# Run inside the sandbox: prints lookup, verify and assign results for the given uid.
PROBE = r"""
import ctypes, sys
lib = ctypes.CDLL(sys.argv[1])
uid, docroot, domain = int(sys.argv[2]), sys.argv[3].encode(), int(sys.argv[4])
lib.ryz_map_lookup.restype = ctypes.c_uint32
out = ctypes.c_uint32(0)
print(lib.ryz_map_lookup(uid, docroot), lib.ryz_map_verify_ownership(uid, domain),
      lib.ryz_map_assign(uid, b"/new", ctypes.byref(out)), lib.ryz_get_id_min())
"""


class ExportsTest(unittest.TestCase):
    def test_soname_and_versioned_exports_only(self):
        lib = program("libryx/libryx.so.0")
        dyn = subprocess.run(["readelf", "-dW", lib], capture_output=True, text=True).stdout
        self.assertIn("Library soname: [libryx.so.0]", dyn)
        syms = subprocess.run(["readelf", "--dyn-syms", "-W", lib], capture_output=True,
                              text=True).stdout
        defined = set()
        for line in syms.splitlines():
            f = line.split()
            if len(f) >= 8 and f[6] not in ("UND", "ABS") and f[3] in ("FUNC", "OBJECT"):
                defined.add(f[7])
        self.assertEqual(defined, {name + "@@RYX_1_5" for name in EXPORTS})


@require_sandbox
class RegistryAtItsPathTest(unittest.TestCase):
    def setUp(self):
        self.host = Host(passwd={0: "root", 1000: "alice", 1001: "bob"})
        self.addCleanup(self.host.close)
        self.host.file("/etc/login.defs", "UID_MAX 70000\n")

    def ctl(self, *args):
        res = self.host.run([program("libryx/ryxctl"), *args])
        self.assertEqual(res.returncode, 0, res.stderr)
        return res.stdout.decode()

    def probe(self, uid, docroot, domain):
        lib = program("libryx/libryx.so.0")
        preload, env = (), {}
        if SANITIZED:
            # A sanitized library in an uninstrumented interpreter needs the runtime first.
            preload = [subprocess.run(["cc", "-print-file-name=libasan.so"], capture_output=True,
                                      text=True).stdout.strip()]
            env = {"ASAN_OPTIONS": "detect_leaks=0"}
        res = self.host.run([sys.executable, "-c", PROBE, lib, str(uid), docroot, str(domain)],
                            uid=uid if uid else None, preload=preload, env=env)
        self.assertEqual(res.returncode, 0, res.stderr)
        return [int(v) for v in res.stdout.split()]

    def test_users_read_and_change_nothing(self):
        self.ctl("allow-domain-limits", "alice")
        self.ctl("allow-domain-limits", "1001")
        mine = int(self.ctl("map-assign", "1000", "/home/alice/www"))
        theirs = int(self.ctl("map-assign", "1001", "/home/bob/www"))
        self.assertEqual(mine, 70001)  # the first id above UID_MAX of login.defs

        # Every file is root's alone: the user's own lookups go through the set-user-ID
        # helper, and changes need root (-EACCES from the lock file).
        self.assertEqual(self.probe(1000, "/home/alice/www", mine), [0, 0, -13, 70000])
        # Another user's entry is neither readable nor claimable.
        self.assertEqual(self.probe(1000, "/home/bob/www", theirs)[:2], [0, 0])
        self.assertEqual(self.probe(1001, "/home/alice/www", mine)[:2], [0, 0])
        # Root sees everything and may change it.
        self.assertEqual(self.probe(0, "/home/bob/www", theirs)[:3], [0, 0, -1])
        # The directory stays searchable, so the helpers' access() works for every user.
        res = self.host.run(["test", "-e", "/etc/container/ryz_ids/1000"], uid=1000)
        self.assertEqual(res.returncode, 0)
        self.assertNotIn(b"new", self.host.read("/etc/container/ryz_ids/1000"))


if __name__ == "__main__":
    unittest.main()
