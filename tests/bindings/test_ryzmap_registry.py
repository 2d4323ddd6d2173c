"""_ryzmap over the real libryx, with a registry in the sandbox: the module's calls run in a child
interpreter inside a private mount namespace whose /etc holds the fixture registry, so the
host's /etc is never touched. Users are enabled with the library's own ryxctl."""

import os
import sys
import unittest

from bindings import support
from harness.sandbox import Host, program, require_sandbox

REGISTRY = "/etc/container/ryz_ids"


def oserror(message):
    return ("error", "OSError", message)


@require_sandbox
class RegistryTest(unittest.TestCase):
    def setUp(self):
        if os.path.lexists(REGISTRY):
            self.skipTest(f"SKIPPED: the host has a real {REGISTRY}, which the fixture would merge")
        self.host = Host(passwd={0: "root", 1000: "alice", 1001: "bob", 1002: "carol"})
        self.addCleanup(self.host.close)
        self.host.file("/etc/login.defs", "UID_MIN 1000\nUID_MAX 65000\n")
        self.ryxctl("allow-domain-limits", "1000")
        self.ryxctl("allow-domain-limits", "bob")

    def ryxctl(self, *args):
        res = self.host.run([program("libryx/ryxctl"), *args])
        self.assertEqual(res.returncode, 0, res.stderr)
        return res.stdout.decode()

    def calls(self, calls, uid=None):
        res = self.host.run(support.preloaded([sys.executable, support.DRIVER]), uid=uid,
                            env=support.child_env(),
                            input=support.driver_input(calls))
        self.assertEqual(res.returncode, 0, res.stderr.decode(errors="replace"))
        answers = support.driver_output(res.stdout)
        self.assertEqual(len(answers), len(calls))
        return answers

    def test_lifecycle(self):
        a, again, b, c = self.calls([["assign", 1000, "/srv/a"], ["assign", 1000, "/srv/a"],
                                     ["assign", 1000, "/srv/b"], ["assign", 1001, "/srv/a"]])
        self.assertEqual(again, a)
        self.assertEqual(len({a, b, c}), 3)
        self.assertTrue(all(65000 <= i < 2**32 - 1 for i in (a, b, c)))
        self.assertEqual(self.calls([
            ["lookup", 1000, "/srv/a"], ["lookup", 1000, "/srv/none"],
            ["lookup", 2**32 + 1001, "/srv/a"],  # the uid wraps to 1001
            ["verify_ownership", 1000, a], ["verify_ownership", 1001, a],
            ["verify_ownership", 2**32 + 1001, c], ["verify_ownership", 1000, 0],
            ["remove", 1000, "/srv/none"], ["remove", 1000, "/srv/b"], ["lookup", 1000, "/srv/b"],
            ["verify_ownership", 1000, b], ["get_all_entries", 1000], ["get_all_entries", 1001],
            ["get_all_entries", -1],
        ]), [a, 0, c, True, False, True, False, None, b, 0, False, {"/srv/a": a},
             {"/srv/a": c}, {}])
        self.assertEqual(self.ryxctl("map-lookup", "1000", "/srv/a").strip(), str(a))

    def test_remove_all_returns_the_snapshot_in_insertion_order(self):
        docroots = ["/srv/z", "/srv/a", "/srv/\u00e9t\u00e9", "/srv/m"]
        ids = self.calls([["assign", 1000, d] for d in docroots] + [["assign", 1001, "/srv/k"]])
        (removed, after, again, other, none_enabled,
         domain_ids) = self.calls([["remove_all", 1000], ["get_all_entries", 1000],
                                   ["remove_all", 1000], ["get_all_entries", 1001],
                                   ["remove_all", 1002], ["get_all_domain_ids"]])
        self.assertEqual(removed, list(zip(docroots, ids[:4])))
        self.assertEqual((after, again, none_enabled), ({}, [], []))
        self.assertEqual(other, {"/srv/k": ids[4]})
        self.assertEqual(domain_ids, {ids[4]})
        # The entry stays: isolation is still enabled for the user.
        self.assertIn("1000", self.host.listdir(REGISTRY))

    def test_domain_ids_across_users(self):
        self.assertEqual(self.calls([["get_all_domain_ids"]]), [set()])
        self.ryxctl("allow-domain-limits", "1002")
        ids = self.calls([["assign", 1000, "/a"], ["assign", 1000, "/b"], ["assign", 1001, "/a"],
                          ["assign", 1002, "/c"]])
        # A leftover of an interrupted write and a stray copy are not users.
        self.host.file(f"{REGISTRY}/.1003.new", "")
        self.host.file(f"{REGISTRY}/1003.bak", "")
        self.assertEqual(self.calls([["get_all_domain_ids"], ["rebuild_index"],
                                     ["get_all_domain_ids"]]),
                         [set(ids), None, set(ids)])

    def test_min_id_from_login_defs(self):
        for text, want in (("UID_MAX 65000\n", 65000), ("UID_MAX 1000\n", 60000),
                           ("UID_MAX 3000000000\n", 3000000000)):
            self.host.file("/etc/login.defs", text)
            self.assertEqual(self.calls([["min_id"]]), [want], text)

    def test_failures_are_oserrors_with_the_status(self):
        self.assertEqual(self.calls([["assign", 1002, "/srv/a"], ["assign", 1000, ""],
                                     ["remove", 1002, "/srv/a"], ["remove_all", 1002]]),
                         [oserror("ryz_map_assign failed: -1"),  # isolation not enabled
                          oserror("ryz_map_assign failed: -22"), None, []])

    def test_an_unprivileged_caller_gets_what_the_registry_allows(self):
        a, b = self.calls([["assign", 1000, "/srv/a"], ["assign", 1001, "/srv/b"]])
        self.assertEqual(self.calls([
            ["get_all_entries", 1000], ["lookup", 1000, "/srv/a"], ["verify_ownership", 1000, a],
            ["get_all_entries", 1001], ["get_all_domain_ids"],
            ["assign", 1000, "/srv/c"], ["remove", 1000, "/srv/a"], ["remove_all", 1000],
            ["rebuild_index"],
        ], uid=1000), [
            # Every table is root's alone: an ordinary user reads no mappings, not even
            # their own (their lookups go through the set-user-ID helper).
            {}, 0, False,
            {}, set(),
            oserror("ryz_map_assign failed: -13"), oserror("ryz_map_remove failed: -13"),
            oserror("ryz_map_remove_all failed: -13"), oserror("ryz_index_rebuild failed: -13"),
        ])
        self.assertEqual(self.calls([["get_all_entries", 1000]]), [{"/srv/a": a}])

    def test_a_docroot_that_is_not_utf8_fails_listings_and_removes_nothing(self):
        ok = self.calls([["assign", 1000, "/srv/ok"]])[0]
        res = self.host.run(["sh", "-c", f"exec {program('libryx/ryxctl')} map-assign 1000 "
                                         "\"$(printf '/srv/\\377')\""])
        self.assertEqual(res.returncode, 0, res.stderr)
        bad_id = int(res.stdout)
        bad = "'utf-8' codec can't decode byte 0xff in position 5: invalid start byte"
        self.assertEqual(self.calls([["get_all_entries", 1000], ["remove_all", 1000],
                                     ["lookup", 1000, "/srv/ok"], ["get_all_domain_ids"]]),
                         [("error", "UnicodeDecodeError", bad)] * 2 + [ok, {ok, bad_id}])


if __name__ == "__main__":
    unittest.main()
