"""ryz-registry-helper as its callers see it: the id on standard output or nothing, exact
messages and statuses, and the one library call with the docroot unchanged."""

import unittest

from harness.sandbox import require_sandbox
from helpers.common import USER, HelperTest, closing

USAGE = "Usage: ryz-registry-helper get <uid> <docroot>\n"
P = "ryz-registry-helper: "
DOCROOT = "/home/alice/public_html"


def lookup_line(docroot, result, uid=USER):
    return f"ryz_map_lookup {uid} {docroot.encode().hex()} -> {result}"


@require_sandbox
class RegistryHelperTest(HelperTest):
    PROGRAM = "ryz-registry-helper"

    def setUp(self):
        super().setUp()
        self.enable_isolation()

    def assertFails(self, result, status, message):
        self.assertEqual(result, (status, "", message, []))

    def test_usage(self):
        for args in [[], ["get", str(USER)], ["get", str(USER), DOCROOT, "x"],
                     ["GET", str(USER), DOCROOT], ["get2", str(USER), DOCROOT],
                     ["", str(USER), DOCROOT], ["get ", str(USER), DOCROOT]]:
            with self.subTest(args=args):
                self.assertFails(self.run_helper(*args), 2, USAGE)

    def test_invalid_uid(self):
        for uid in ["0", "4294967296", "12a", "", "-1", " ", "%s%s%s"]:
            with self.subTest(uid=uid):
                self.assertFails(self.run_helper("get", uid, DOCROOT), 2,
                                 f"{P}invalid uid '{uid}'\n")

    def test_other_user_is_refused_without_consulting_the_registry(self):
        self.host.remove(f"/etc/container/ryz_ids/{USER}")
        self.assertFails(self.run_helper("get", "1001", DOCROOT), 3,
                         f"{P}permission denied (real uid {USER} != target 1001)\n")

    def test_isolation_not_enabled(self):
        self.host.remove(f"/etc/container/ryz_ids/{USER}")
        self.enable_isolation(1001)
        self.assertFails(
            self.run_helper("get", str(USER), DOCROOT, fake={"LOOKUP": 70001}), 3,
            f"{P}domain isolation is not enabled for uid {USER}; ask the administrator to run "
            "'ryxctl allow-domain-limits <user>'\n")

    def test_registered_docroot_prints_its_id(self):
        for uid_text in [str(USER), " +1000", "\t1000"]:
            for domain_id in ["70001", "4294967295"]:
                with self.subTest(uid=uid_text, id=domain_id):
                    self.assertEqual(
                        self.run_helper("get", uid_text, DOCROOT, fake={"LOOKUP": domain_id}),
                        (0, f"{domain_id}\n", "", [lookup_line(DOCROOT, domain_id)]))

    def test_unregistered_docroot_prints_nothing(self):
        for docroot in [DOCROOT, ""]:
            with self.subTest(docroot=docroot):
                self.assertEqual(self.run_helper("get", str(USER), docroot),
                                 (0, "", "", [lookup_line(docroot, 0)]))

    def test_docroot_reaches_the_library_unchanged(self):
        docroot = " /home/alice/../x %s%n\t\x1b[2J/ü/"
        self.assertEqual(self.run_helper("get", str(USER), docroot, fake={"LOOKUP": 5}),
                         (0, "5\n", "", [lookup_line(docroot, 5)]))

    def test_id_that_cannot_be_written_is_not_reported_as_success(self):
        # Callers read empty output as "nothing registered"; a lost id must not look like that.
        redirect = ["sh", "-c", 'exec "$0" "$@" >/dev/full']
        code, _, err, _ = self.run_helper("get", str(USER), DOCROOT, fake={"LOOKUP": 70001},
                                          argv_prefix=redirect)
        self.assertEqual((code, err), (1, f"{P}cannot write to standard output: No space left "
                                          "on device\n"))
        # Nothing to write: nothing can fail.
        self.assertEqual(self.run_helper("get", str(USER), DOCROOT, argv_prefix=redirect)[:3],
                         (0, "", ""))
        # A caller that closed stdout asked for no output: the id goes to /dev/null.
        self.assertEqual(self.run_helper("get", str(USER), DOCROOT, fake={"LOOKUP": 70001},
                                         argv_prefix=closing("<&- >&- 2>&-")),
                         (0, "", "", [lookup_line(DOCROOT, 70001)]))


if __name__ == "__main__":
    unittest.main()
