"""get_all_domain_ids walks /etc/container/ryz_ids itself: which directory entries it takes as
users, what it makes of their ids, and that the directory and every iterator are closed on every
path. The users' entries come from the recording stand-in; the directory is a sandbox fixture."""

import collections
import os
import re
import sys
import unittest

from bindings import support
from harness.sandbox import Host, require_sandbox
from harness.scratch import scratch_dir

REGISTRY = "/etc/container/ryz_ids"
TOP = 2**32 - 1


@require_sandbox
class DomainIdsTest(unittest.TestCase):
    def setUp(self):
        if os.path.lexists(REGISTRY):
            self.skipTest(f"SKIPPED: the host has a real {REGISTRY}, which the fixture would merge")
        self.host = Host()
        self.addCleanup(self.host.close)
        # The stand-in logs from unprivileged callers too.
        self.tmp = scratch_dir(self, "ryzmap-ids-", 0o777)
        self.log_path = os.path.join(self.tmp, "calls.log")

    def run_calls(self, calls, uid=None, **script):
        extra = {"RYX_FAKE_LOG": self.log_path}
        extra.update({"RYX_FAKE_" + k: str(v) for k, v in script.items()})
        res = self.host.run(support.preloaded([sys.executable, support.DRIVER], fake=True),
                            uid=uid, env=support.child_env(extra),
                            input=support.driver_input(calls))
        self.assertEqual(res.returncode, 0, res.stderr.decode(errors="replace"))
        log = support.read_log(self.log_path)
        self.assertEqual(support.iterator_faults(log), [], "\n".join(log))
        return support.driver_output(res.stdout), log

    def opened_uids(self, log):
        return collections.Counter(int(line.split()[1]) for line in log
                                   if line.startswith("ryz_map_iter_open "))

    def test_names_that_are_users(self):
        self.host.mkdir(REGISTRY)
        taken = {"1000": 1000, "1001": 1001, "007": 7, "+1004": 1004, " 1005": 1005,
                 "\t1006": 1006, "-1": TOP, "4294967301": 5, "18446744073709551616": TOP}
        skipped = [".1002", "..1002", "1003x", "x1003", "abc", "1008 ", "0x10", "+", "1009.bak"]
        for name in taken.keys() - {"1001"}:
            self.host.mkdir(f"{REGISTRY}/{name}")
        self.host.file(f"{REGISTRY}/1001", "")  # a plain file: the type is not looked at
        for name in skipped:
            self.host.file(f"{REGISTRY}/{name}", "")
        ids, log = self.run_calls(
            [["get_all_domain_ids"]],
            ENTRIES_1000=support.entries([("/a", 60001), (b"/\xff", 60002)]),  # docroot unused
            ENTRIES_1001=support.entries([("/a", 60002), ("/b", 2**31 + 1)]),
            ENTRIES_5=support.entries([("/a", TOP)]),
            ENTRIES_7="",  # an iterator without entries
            ENTRIES_1006=support.entries([("/a", 60010)]),
            ENTRIES_4294967295=support.entries([("/a", 60020)]),
            # What a lenient reading of a skipped name would find:
            ENTRIES_1002=support.entries([("/x", 61002)]),
            ENTRIES_1003=support.entries([("/x", 61003)]),
            ENTRIES_1008=support.entries([("/x", 61008)]),
            ENTRIES_1009=support.entries([("/x", 61009)]),
            ENTRIES_0=support.entries([("/x", 61000)]))
        self.assertEqual(ids, [{60001, 60002, 2**31 + 1, TOP, 60010, 60020}])
        self.assertEqual(self.opened_uids(log),
                         collections.Counter({1000: 1, 1001: 1, 7: 1, 1004: 1, 1005: 1, 1006: 1,
                                              TOP: 2, 5: 1}))

    def test_no_registry_or_an_unreadable_one_is_empty(self):
        answers, log = self.run_calls([["get_all_domain_ids"]], ENTRIES_1000="")
        self.assertEqual((answers, log), ([set()], []))
        self.host.mkdir(REGISTRY, mode=0o700)
        self.host.mkdir(f"{REGISTRY}/1000")
        answers, log = self.run_calls([["get_all_domain_ids"]], uid=1000,
                                      ENTRIES_1000=support.entries([("/a", 60001)]))
        self.assertEqual((answers, log), ([set()], []))

    def test_directory_and_iterators_closed_on_every_path(self):
        self.host.mkdir(REGISTRY)
        for uid in range(1000, 1004):
            self.host.mkdir(f"{REGISTRY}/{uid}")
        script = {f"ENTRIES_{uid}": support.entries([(f"/d{i}", 70000 + 10 * uid + i)
                                                     for i in range(3)])
                  for uid in range(1000, 1004)}
        calls = [["fds"]] + [["get_all_domain_ids"]] * 3 + [["fds"]]
        if _has_testcapi():
            calls += [["nomemory", "get_all_domain_ids"], ["fds"]]
        answers, log = self.run_calls(calls, **script)
        want = {70000 + 10 * uid + i for uid in range(1000, 1004) for i in range(3)}
        self.assertEqual(answers[1:4], [want] * 3)
        self.assertEqual(answers[4], answers[0])  # the directory stream is gone
        if _has_testcapi():
            outcomes = answers[5]
            self.assertIn("MemoryError", outcomes)
            self.assertEqual(outcomes[-1], "ok")
            self.assertEqual(answers[6], answers[0])
            self.assertTrue(all(re.fullmatch(r"ryz_map_iter_(open|next|close) .*", line)
                                for line in log))


def _has_testcapi():
    try:
        import _testcapi  # noqa: F401
    except ImportError:
        return False
    return True


if __name__ == "__main__":
    unittest.main()
