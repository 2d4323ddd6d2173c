"""A registry writer killed at every point of a change: before each write, sync, rename, unlink,
chmod and chown that ryxctl makes, in turn, until the change gets through. After every kill the
registry loads, holds either the old or the new state (never a mix, never a lost earlier
change), every listed id is verified for its owner, and a rebuild followed by a retry brings
the change about."""

import os
import shutil
import subprocess
import unittest

from harness.sandbox import BUILD_DIR, SANITIZED, program
from harness.scratch import scratch_dir

CRASHED = 99
USERS = (1000, 1001)


class KilledWriter(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            print("SKIPPED: registry writers need root", flush=True)
            raise unittest.SkipTest("registry writers need root")

    def setUp(self):
        self.tmp = scratch_dir(self, "ryx-killed-")
        self.base = os.path.join(self.tmp, "base")
        self.ryxctl(self.base, "allow-domain-limits", str(USERS[0]))
        self.ryxctl(self.base, "allow-domain-limits", str(USERS[1]))
        for uid, docroot in ((1000, "/a"), (1000, "/b"), (1001, "/c"), (1000, "/d")):
            self.ryxctl(self.base, "map-assign", str(uid), docroot)

    def ryxctl(self, registry, *args, crash_at=None, trace=None, check=True):
        env = dict(os.environ)
        if crash_at is not None or trace is not None:
            env["LD_PRELOAD"] = os.path.join(BUILD_DIR, "tests", "hardening", "libcrash_at.so")
            env["RYX_CRASH_AT"] = "" if crash_at is None else str(crash_at)
            env["RYX_SYNC_TRACE"] = trace or ""
            if SANITIZED:
                env["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=0"
        res = subprocess.run([program("libryx/ryxctl"), "--registry", registry,
                              "--state-dir", os.path.join(self.tmp, "state"),
                              "--cgroup-record", os.path.join(self.tmp, "cgroup"), *args],
                             capture_output=True, text=True, env=env, timeout=60)
        if check:
            self.assertEqual(res.returncode, 0, f"ryxctl {' '.join(args)}: {res.stderr}")
        return res

    def state(self, registry):
        """{uid: {docroot: id}} as the registry lists it; each table must load."""
        out = {}
        for uid in USERS:
            path = os.path.join(registry, str(uid))
            if not os.path.exists(path):
                continue
            listing = self.ryxctl(registry, "map-list", str(uid)).stdout
            out[uid] = {d: int(i) for i, d in (line.split(" ", 1) for line in listing.splitlines())}
        return out

    def check_ids(self, registry, state):
        ids = [i for table in state.values() for i in table.values()]
        self.assertEqual(len(ids), len(set(ids)), f"an id mapped twice: {state}")
        for uid, table in state.items():
            for i in table.values():
                self.ryxctl(registry, "verify", str(uid), str(i))
                other = USERS[1] if uid == USERS[0] else USERS[0]
                self.assertNotEqual(self.ryxctl(registry, "verify", str(other), str(i),
                                                check=False).returncode, 0)

    def crash_everywhere(self, args, new_state):
        """Runs args killed at each point in turn; new_state(old, listed) says whether listed is
        the completed change."""
        old = self.state(self.base)
        for n in range(1, 200):
            with self.subTest(crash_at=n):
                reg = os.path.join(self.tmp, f"r{n}")
                shutil.copytree(self.base, reg)
                res = self.ryxctl(reg, *args, crash_at=n, check=False)
                after = self.state(reg)
                self.check_ids(reg, after)
                if res.returncode != CRASHED:
                    self.assertEqual(res.returncode, 0, res.stderr)
                    self.assertTrue(new_state(old, after), after)
                    self.assertGreater(n, 1, "the change made no file system call at all")
                    return
                self.assertTrue(after == old or new_state(old, after),
                                f"killed at step {n}: neither the old nor the new state: {after}")
                # Whatever was left, a rebuild (and a retry, if the change was not yet done)
                # completes it.
                self.ryxctl(reg, "rebuild-index")
                if after == old:
                    self.ryxctl(reg, *args)
                retried = self.state(reg)
                self.assertTrue(new_state(old, retried), retried)
                self.check_ids(reg, retried)
                shutil.rmtree(reg)
        self.fail("the change never completed")

    def test_assign(self):
        def assigned(old, new):
            added = new[1001].get("/new")
            return (added is not None and {**old[1001], "/new": added} == new[1001]
                    and new[1000] == old[1000])
        self.crash_everywhere(["map-assign", "1001", "/new"], assigned)

    def test_remove(self):
        def removed(old, new):
            return new == {1000: {k: v for k, v in old[1000].items() if k != "/b"},
                           1001: old[1001]}
        self.crash_everywhere(["map-remove", "1000", "/b"], removed)

    def test_disallow_with_mappings(self):
        self.crash_everywhere(["disallow-domain-limits", "--force", "1000"],
                              lambda old, new: new == {1001: old[1001]})

    def test_replace_syncs_data_then_renames_then_syncs_the_directory(self):
        """A kill loses nothing the order of calls keeps; a power cut also loses what is not
        yet synced, so each replaced file's data is synced before its rename, and its
        directory after."""
        trace = os.path.join(self.tmp, "trace")
        state_dir = os.path.join(self.tmp, "state")
        for args, targets in ((["map-assign", "1001", "/new"], [".index", "1001"]),
                              (["set", "70001", "cpu=25"], [os.path.join(state_dir, "70001")])):
            with self.subTest(args=args):
                if os.path.exists(trace):
                    os.unlink(trace)
                self.ryxctl(self.base, *args, trace=trace)
                with open(trace) as f:
                    events = [line.split() for line in f]
                renamed = []
                for n, (kind, *names) in enumerate(events):
                    if kind != "rename":
                        continue
                    tmp, target = names
                    renamed.append(target)
                    # The last call on the temporary file before the rename is its sync...
                    last = [e for e in events[:n] if tmp in e[1:]][-1:]
                    self.assertEqual(last, [["sync", tmp]], f"{target}: {events}")
                    # ...and the directory is synced before anything else is replaced.
                    end = next((m for m in range(n + 1, len(events))
                                if events[m][0] == "rename"), len(events))
                    self.assertIn(["sync", os.path.dirname(target)], events[n + 1:end],
                                  f"{target}: {events}")
                for t in targets:
                    self.assertIn(os.path.realpath(os.path.join(self.base, t)), renamed, events)


if __name__ == "__main__":
    unittest.main()
