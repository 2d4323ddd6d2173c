"""The helpers against the real libryx, installed as they are meant to be (set-user-ID root)
and run by an ordinary user; the registry and containers are set up with ryxctl as root in
the same sandbox."""

import unittest

from harness.sandbox import require_sandbox, program
from helpers.common import USER, HelperTest

DOCROOT = "/home/alice/www/example.org"
LIBEXEC = "/usr/libexec/ryxkit"


@require_sandbox
class WithLibryxTest(HelperTest):

    def setUp(self):
        super().setUp()
        for name in ("ryz-limits-helper", "ryz-registry-helper"):
            self.host.install_set_user_id(name, LIBEXEC)
        self.ryxctl("allow-domain-limits", str(USER))
        self.domain = int(self.ryxctl("map-assign", str(USER), DOCROOT))

    def ryxctl(self, *args, status=0):
        res = self.host.run([program("libryx/ryxctl"), *args])
        self.assertEqual(res.returncode, status, res.stderr)
        return res.stdout.decode()

    def helper(self, name, *args, uid=USER):
        res = self.host.run([f"{LIBEXEC}/{name}", *args], uid=uid)
        return res.returncode, res.stdout.decode(), res.stderr.decode()

    def state(self, container):
        raw = self.host.read(f"/var/lib/ryx/containers/{container}")
        if raw is None:
            return None
        return dict(line.split("=", 1) for line in raw.decode().splitlines())

    def limits(self, *limits, domain=None):
        return self.helper("ryz-limits-helper", str(USER), str(domain or self.domain), *limits)

    def test_registry_lookup(self):
        self.assertEqual(self.helper("ryz-registry-helper", "get", str(USER), DOCROOT),
                         (0, f"{self.domain}\n", ""))
        self.assertEqual(self.helper("ryz-registry-helper", "get", str(USER), DOCROOT + "/"),
                         (0, "", ""))
        # Another user's docroot and id stay invisible.
        self.ryxctl("allow-domain-limits", "1001")
        self.ryxctl("map-assign", "1001", "/home/bob/www")
        self.assertEqual(self.helper("ryz-registry-helper", "get", str(USER), "/home/bob/www"),
                         (0, "", ""))

    def test_new_domain_container_is_created_under_the_reseller(self):
        self.ryxctl("create", str(USER))
        self.ryxctl("set", str(USER), "cpu=25")
        self.assertEqual(self.limits("0", "2", "3", "4", "5", "6", "7"), (0, "", ""))
        st = self.state(self.domain)
        self.assertEqual({k: st[k] for k in ("state", "parent", "cpu", "cpus", "memory_phy",
                                             "io", "nproc", "iops", "enters", "memory",
                                             "cpu_weight")},
                         {"state": "active", "parent": str(USER), "cpu": "25", "cpus": "0",
                          "memory_phy": "2", "io": "3", "nproc": "4", "iops": "5", "enters": "6",
                          "memory": "7", "cpu_weight": "0"})

    def test_existing_domain_container_needs_the_reseller_listing(self):
        self.assertEqual(self.limits("10", "2", "3", "4", "5", "6", "7")[0], 0)
        listing = f"/proc/ryx/resellers/ryk{USER}/list"
        self.host.file(listing,
                       f"8:RYX\tEP\tCPU\n{USER},{self.domain}\t0\t0\n")
        self.assertEqual(self.limits("20", "2", "3", "4", "5", "6", "7"), (0, "", ""))
        self.assertEqual(self.state(self.domain)["cpu"], "20")

        self.host.file(listing, "8:RYX\tEP\tCPU\n")
        self.assertEqual(self.limits("30", "2", "3", "4", "5", "6", "7"), (
            6, "", f"ryz-limits-helper: RYX {self.domain} already exists and is not a child of "
                   f"ryk{USER}; refusing to apply limits\n"))
        self.assertEqual(self.state(self.domain)["cpu"], "20")

    def test_library_refusals(self):
        other = self.domain + 1
        self.assertEqual(self.limits("1", "2", "3", "4", "5", "6", "7", domain=other), (
            4, "", f"ryz-limits-helper: domain_id {other} not owned by uid {USER}\n"))
        self.assertIsNone(self.state(other))
        # Above the library's cpu bound.
        self.assertEqual(self.limits("2147483647", "2", "3", "4", "5", "6", "7"), (
            2, "", f"ryz-limits-helper: ryx_setup({self.domain}) failed: -34\n"))

    def test_other_user_is_refused_by_the_installed_helpers(self):
        self.ryxctl("allow-domain-limits", "1001")
        self.assertEqual(self.limits("1", "2", "3", "4", "5", "6", "7")[0], 0)
        self.assertEqual(
            self.helper("ryz-limits-helper", str(USER), str(self.domain), *"1234567", uid=1001),
            (3, "", "ryz-limits-helper: permission denied (real uid 1001 != target 1000)\n"))
        self.assertEqual(self.helper("ryz-registry-helper", "get", str(USER), DOCROOT, uid=1001),
                         (3, "", "ryz-registry-helper: permission denied (real uid 1001 != "
                                 "target 1000)\n"))


if __name__ == "__main__":
    unittest.main()
