"""ryxctl, the real built program, on a registry and state directory in a temporary folder."""

import os
import subprocess
import unittest

from harness.sandbox import program
from harness.scratch import scratch_dir


class RyxctlTest(unittest.TestCase):
    def setUp(self):
        self.tmp = scratch_dir(self, "ryxctl-test-")
        self.registry = os.path.join(self.tmp, "ryz_ids")
        self.state = os.path.join(self.tmp, "state")

    def run_ctl(self, *args, status=0):
        res = subprocess.run([program("libryx/ryxctl"), "--registry", self.registry,
                              "--state-dir", self.state, "--cgroup-record",
                              os.path.join(self.tmp, "cgroup"), *args],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(res.returncode, status, f"ryxctl {args}: {res.stdout}{res.stderr}")
        return res

    def test_help_documents_commands_and_statuses(self):
        res = subprocess.run([program("libryx/ryxctl"), "--help"], capture_output=True, text=True)
        self.assertEqual(res.returncode, 0)
        for word in ("allow-domain-limits", "disallow-domain-limits", "map-assign", "map-list",
                     "rebuild-index", "info", "create", "Exit status"):
            self.assertIn(word, res.stdout)
        res = subprocess.run([program("libryx/ryxctl")], capture_output=True, text=True)
        self.assertEqual(res.returncode, 2)
        self.run_ctl("no-such-command", status=2)
        self.run_ctl("map-assign", "12a", "/d", status=2)
        self.run_ctl("allow-domain-limits", "no-such-user-here", status=2)

    def test_registry_round_trip(self):
        # Not enabled yet: assignment refused, nothing created for the user.
        res = self.run_ctl("map-assign", "1000", "/home/a/www", status=3)
        self.assertIn("not enabled", res.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.registry, "1000")))

        self.assertIn("enabled", self.run_ctl("allow-domain-limits", "1000").stdout)
        self.assertIn("already", self.run_ctl("allow-domain-limits", "1000").stdout)
        first = int(self.run_ctl("map-assign", "1000", "/home/a/www").stdout)
        self.assertGreaterEqual(first, 60000)
        self.assertEqual(int(self.run_ctl("map-assign", "1000", "/home/a/www").stdout), first)
        second = int(self.run_ctl("map-assign", "1000", "/home/a/blog").stdout)
        self.assertNotEqual(first, second)
        self.assertEqual(self.run_ctl("map-list", "1000").stdout,
                         f"{first} /home/a/www\n{second} /home/a/blog\n")
        self.assertEqual(self.run_ctl("map-lookup", "1000", "/home/a/www").stdout, f"{first}\n")
        self.run_ctl("map-lookup", "1000", "/nope", status=3)
        self.run_ctl("verify", "1000", str(first))
        self.run_ctl("verify", "1001", str(first), status=3)
        self.assertEqual(self.run_ctl("map-remove", "1000", "/home/a/www").stdout, f"{first}\n")
        self.run_ctl("map-remove", "1000", "/home/a/www", status=3)

        res = self.run_ctl("disallow-domain-limits", "1000", status=1)
        self.assertIn("--force", res.stderr)
        self.assertIn("1 mapping dropped", self.run_ctl("disallow-domain-limits", "--force",
                                                        "1000").stdout)
        self.run_ctl("disallow-domain-limits", "1000", status=3)
        self.assertEqual(sorted(os.listdir(self.registry)), [".index", ".lock"])

    def test_rebuild_names_damaged_entries(self):
        self.run_ctl("allow-domain-limits", "1000")
        self.run_ctl("map-assign", "1000", "/a")
        self.assertIn("index rebuilt: 1 id", self.run_ctl("rebuild-index").stdout)
        entry = os.path.join(self.registry, "1000")
        os.chmod(entry, 0o600)
        with open(entry, "r+b") as f:
            f.truncate(10)
        res = self.run_ctl("rebuild-index", status=1)
        self.assertIn("entry of uid 1000 is unreadable", res.stderr)
        self.assertIn("index not rebuilt", res.stderr)
        res = self.run_ctl("map-list", "1000", status=1)
        self.assertIn("Bad message", res.stderr)

    def test_output_is_one_line_per_mapping_and_must_arrive(self):
        self.run_ctl("allow-domain-limits", "1000")
        forged = self.run_ctl("map-assign", "1000", "/a\n70001 /forged\\x").stdout.strip()
        self.assertEqual(self.run_ctl("map-list", "1000").stdout,
                         f"{forged} /a\\x0a70001 /forged\\x5cx\n")
        with open("/dev/full", "w") as full:
            res = subprocess.run([program("libryx/ryxctl"), "--registry", self.registry,
                                  "map-assign", "1000", "/b"], stdout=full, stderr=subprocess.PIPE,
                                 text=True, timeout=60)
        self.assertEqual((res.returncode, res.stderr),
                         (1, "ryxctl: cannot write to standard output: No space left on device\n"))

    @unittest.skipUnless(os.geteuid() == 0, "migrating ownership needs root")
    def test_migrate_takes_the_files_from_their_users(self):
        """A registry and state of the earlier layout, where each table was its user's: a
        forged entry is set aside, never adopted; nothing the index confirms is lost."""
        for uid in ("1000", "1001"):
            self.run_ctl("allow-domain-limits", uid)
        mine = self.run_ctl("map-assign", "1000", "/mine").stdout.strip()
        theirs = self.run_ctl("map-assign", "1001", "/theirs").stdout.strip()
        self.run_ctl("create", mine, "1000")
        self.run_ctl("create", "70009")
        self.run_ctl("defaults", "set", "cpu=5")
        table = os.path.join(self.registry, "1000")
        for path, uid in ((table, 1000), (os.path.join(self.state, "70009"), 1000),
                          (os.path.join(self.state, ".defaults"), 1000)):
            os.chown(path, uid, uid)
            os.chmod(path, 0o664)
        self.run_ctl("defaults", "show", status=1)  # whoever wrote it would choose the limits
        self.run_ctl("map-list", "1000", status=1)  # not believed until migrated
        lines = self.run_ctl("map-list", "1001").stdout  # others unaffected
        # What the user could do to their own table: add bob's id to it.
        subprocess.run([program("libryx/ryxctl"), "--registry", self.registry, "map-assign",
                        "1000", "/stolen"], capture_output=True)
        res = self.run_ctl("migrate", status=0)
        self.assertIn("registry: 1 file rewritten, 0 entries set aside; container state: 1 file "
                      "rewritten, 0 removed, 1 set aside", res.stdout)
        self.assertIn("'.defaults' is not the library's", res.stderr)
        self.run_ctl("defaults", "set", "cpu=5")
        self.assertEqual(self.run_ctl("map-list", "1000").stdout, f"{mine} /mine\n")
        self.assertEqual(self.run_ctl("map-list", "1001").stdout, lines)
        self.run_ctl("verify", "1000", theirs, status=3)
        for name in os.listdir(self.registry) + [os.path.join("..", "state", n)
                                                 for n in os.listdir(self.state)]:
            st = os.lstat(os.path.join(self.registry, name))
            self.assertEqual((st.st_uid, st.st_mode & 0o022), (0, 0), name)
        self.assertIn("0 files rewritten", self.run_ctl("migrate").stdout)

    def test_containers(self):
        self.run_ctl("info", "70001", status=3)
        self.run_ctl("move", "70001", "1000")
        self.run_ctl("create", "70001")
        self.run_ctl("create", "70001", status=1)
        self.run_ctl("set", "70001", "cpu=25", "nproc=10")
        res = self.run_ctl("set", "70001", "cpu=-1", status=2)
        self.assertIn("Invalid argument", res.stderr)
        self.run_ctl("set", "70001", "cpus=4097", status=2)
        self.run_ctl("set", "70001", "bogus=1", status=2)
        self.run_ctl("disable", "70001")
        info = self.run_ctl("info", "70001").stdout
        for line in ("state=active", "parent=1000", "flags=1", "cpu=25", "nproc=10"):
            self.assertIn(line + "\n", info)
        self.run_ctl("enable", "70001")
        self.run_ctl("create", "1000")
        self.assertEqual(self.run_ctl("list").stdout, "1000 active 0\n70001 active 1000\n")
        self.run_ctl("destroy", "70001")
        self.run_ctl("destroy", "70001", status=3)
        self.run_ctl("info", "0", status=2)

    def test_host_defaults(self):
        self.assertEqual(self.run_ctl("defaults", "show").stdout, "")
        self.run_ctl("defaults", "set", "cpu=50", "nproc=20")
        self.run_ctl("defaults", "set", "nproc=30", "enters=4")
        for bad in (("bogus=1",), ("cpu=x",), ("cpus=5000",), ()):
            self.run_ctl("defaults", "set", *bad, status=2)
        shown = self.run_ctl("defaults", "show").stdout
        self.assertEqual(shown, "cpu=50\ncpus=0\nio=0\nenters=4\nmemory=0\ncpu_weight=0\n"
                                "memory_phy=0\nnproc=30\niops=0\n")
        with open(os.path.join(self.state, ".defaults"), encoding="ascii") as f:
            self.assertEqual(f.read(), shown)
        self.run_ctl("defaults", "show", "extra", status=2)
        self.assertEqual(self.run_ctl("list").stdout, "")  # no container of its own
        self.run_ctl("defaults", "clear")
        self.run_ctl("defaults", "clear")
        self.assertEqual(self.run_ctl("defaults", "show").stdout, "")


if __name__ == "__main__":
    unittest.main()
