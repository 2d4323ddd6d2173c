"""An administrator's and a user's day on the simulated host, with the real programs throughout:
isolation enabled with ryxctl, domains assigned through _ryzmap, looked up and limited by the
user's helpers, watched live in ryxps, reported by the statistics helper, removed, and the index
rebuilt."""

import json
import re
import unittest

from harness.sandbox import require_sandbox
from sim.simhost import SimHost

ALICE, BOB = 1000, 1001
# Where the simulated host has the programs installed, the helpers set-user-ID root.
LIBEXEC = "/usr/libexec/ryxkit"
RYXPS = "/usr/bin/ryxps"
SHOP = "/home/alice/www/shop.example"
BLOG = "/home/alice/www/blog.example"

SCENARIO = """
seed 11
tick 0.2
user uid=1000 name=alice
user uid=1001 name=bob isolation
reseller id=1000
profile name=busy cpu=95..99 mem=100M..150M io=100K..400K iops=20..80
profile name=calm cpu=4..8 mem=30M..40M io=1K..5K iops=1..5
domain user=alice name=shop.example docroot=/home/alice/www/shop.example
domain user=alice name=blog.example docroot=/home/alice/www/blog.example
domain user=bob name=bob.example docroot=/home/bob/www assign
process user=alice domain=shop.example name=php-fpm cmdline="php-fpm: pool shop" count=2 profile=busy entry
process user=alice domain=blog.example name=php-fpm cmdline="php-fpm: pool blog" profile=calm entry
process user=alice name=bash cmdline=-bash cpu=0..1 mem=4M
process user=bob domain=bob.example name=python3 cmdline="python3 app.py" threads=3 profile=calm
"""


def table(text):
    """ryxps output as a list of dicts keyed by the header cells (numeric ids with -n)."""
    lines = [l for l in text.splitlines() if l.strip()]
    head = lines[0].split()
    return [dict(zip(head, l.split())) for l in lines[1:]]


def percent(cell):
    return int(cell.rstrip("%"))


@require_sandbox
class AdministratorAndUserDay(unittest.TestCase):
    def setUp(self):
        self.host = SimHost(SCENARIO)
        self.addCleanup(self.host.close)

    def ok(self, res):
        self.assertEqual(res.returncode, 0, f"{res.args}\n{res.stdout}\n{res.stderr}")
        return res.stdout

    def ryxps(self, *opts):
        return table(self.ok(self.host.run([RYXPS, "-n", *opts], uid=ALICE)))

    def test_the_day(self):
        host = self.host
        registry = f"{LIBEXEC}/ryz-registry-helper"
        limits = f"{LIBEXEC}/ryz-limits-helper"

        # Morning: alice has no domain isolation yet, and her helpers say so.
        res = host.run([registry, "get", str(ALICE), SHOP], uid=ALICE)
        self.assertEqual(res.returncode, 3)
        self.assertIn("domain isolation is not enabled for uid 1000", res.stderr)

        # The administrator enables it and registers two of her domains.
        self.ok(host.run(["/usr/sbin/ryxctl", "allow-domain-limits", "alice"]))
        out = self.ok(host.python(
            "import _ryzmap as m, json\n"
            f"print(json.dumps([m.assign({ALICE}, {SHOP!r}), m.assign({ALICE}, {BLOG!r}),"
            f" m.assign({ALICE}, {SHOP!r}), m.min_id(), m.lookup({BOB}, '/home/bob/www')]))"))
        shop, blog, again, min_id, bobs = json.loads(out)
        self.assertEqual(again, shop, "assigning a mapped docroot gives its id")
        self.assertNotEqual(shop, blog)
        self.assertGreaterEqual(min(shop, blog), min_id)
        self.assertNotIn(bobs, (0, shop, blog))

        # Alice looks one up herself.
        self.assertEqual(self.ok(host.run([registry, "get", str(ALICE), SHOP], uid=ALICE)),
                         f"{shop}\n")

        # She limits both; the shop gets 150% of a processor for its two busy workers.
        self.ok(host.run([limits, str(ALICE), str(shop), "150", "65536", "2048", "20", "500",
                          "10", "262144"], uid=ALICE))
        self.ok(host.run([limits, str(ALICE), str(blog), "50", "0", "0", "0", "0", "0", "0"],
                         uid=ALICE))
        # Not bob's domain, and not as bob.
        res = host.run([limits, str(ALICE), str(bobs), "10", "0", "0", "0", "0", "0", "0"],
                       uid=ALICE)
        self.assertEqual((res.returncode, res.stderr),
                         (4, f"ryz-limits-helper: domain_id {bobs} not owned by uid 1000\n"))
        res = host.run([limits, str(ALICE), str(shop), "10", "0", "0", "0", "0", "0", "0"], uid=BOB)
        self.assertEqual(res.returncode, 3)
        self.assertIn("permission denied (real uid 1001 != target 1000)", res.stderr)

        # The kernel's lists now hold the domain containers under alice's reseller.
        host.wait_for(lambda: re.search(rf"^1000,{shop}\t",
                                        host.read("/proc/ryx/resellers/ryk1000/list") or "", re.M),
                      "the shop under ryk1000")

        # ryxps -L shows them under the reseller, with their workers and live figures.
        rows = host.wait_for(lambda: [r for r in self.ryxps("-L", "-d", "-c", "1")
                                      if r["ID"] == str(shop) and r["PNO"] == "2"],
                             "the shop's workers in its container")
        r = rows[0]
        self.assertEqual((r["RYK"], r["TNO"]), ("1000", "2"))
        # Held to its limit; ryxps measures over real time, so a tick more or less shows.
        self.assertGreater(percent(r["SPEED"]), 100)
        self.assertGreater(int(r["MEM"]), 100)
        self.assertGreater(int(r["IO"]), 0)
        figures = {(r["SPEED"], r["IO"], r["IOPS"])}
        for _ in range(3):
            figures |= {(r["SPEED"], r["IO"], r["IOPS"]) for r in self.ryxps("-L", "-d", "-c", "1")
                        if r["ID"] == str(shop)}
        self.assertGreater(len(figures), 1, "the figures should change from pass to pass")

        # Sorted by CPU: largest first; with "!" the other way round.
        rows = self.ryxps("-L", "-d", "-c", "1", "-s", "cpu")
        speeds = [percent(r["SPEED"]) for r in rows]
        self.assertEqual(speeds, sorted(speeds, reverse=True))
        self.assertEqual(rows[0]["ID"], str(shop))
        speeds = [percent(r["SPEED"]) for r in self.ryxps("-d", "-c", "1", "-s", "!cpu")]
        self.assertEqual(speeds, sorted(speeds))

        # The statistics helper reports alice's domains and nobody else's.
        res = host.run([f"{LIBEXEC}/ryz-stats-helper", "get", "1h"], uid=ALICE)
        report = json.loads(self.ok(res))
        domains = {d["domain"]: d for d in report["domains"]}
        self.assertEqual(set(domains), {"shop.example", "blog.example"})
        d = domains["shop.example"]
        self.assertEqual((d["domain_id"], d["parent_uid"], d["lCPU"]), (shop, ALICE, 150))
        # Two workers wanting 95% each never get more than the 150% limit, and every tick in
        # its container hits it.
        self.assertGreater(d["aCPU"], 0)
        self.assertEqual(d["mCPU"], 150.0)
        self.assertGreater(d["CPUf"], 0)
        self.assertEqual(list(d)[:4], ["domain", "domain_id", "parent_uid", "aCPU"])
        self.assertEqual(len(d), 31)
        res = host.run([f"{LIBEXEC}/ryz-stats-helper", "get", "1h"])
        self.assertEqual(res.returncode, 1)
        self.assertIn("refusing to run as root", res.stderr)

        # Evening: the administrator removes the domains; the workers fall back into alice's
        # own container and her lookups come back empty.
        out = self.ok(host.python(
            "import _ryzmap as m, json\n"
            f"r = m.remove({ALICE}, {SHOP!r}); rest = m.remove_all({ALICE})\n"
            f"print(json.dumps([r, rest, m.get_all_entries({ALICE})]))"))
        self.assertEqual(json.loads(out), [shop, [[BLOG, blog]], {}])
        self.assertEqual(self.ok(host.run([registry, "get", str(ALICE), SHOP], uid=ALICE)), "")
        host.wait_for(lambda: any(r["ID"] == str(ALICE) and r["PNO"] == "4"
                                  for r in self.ryxps("-L")), "the workers back home")
        self.assertNotIn(str(shop), [r["ID"] for r in self.ryxps("-L")])

        # And rebuilds the index: only bob's id is left, and ownership follows it.
        self.ok(host.run(["/usr/sbin/ryxctl", "rebuild-index"]))
        out = self.ok(host.python(
            "import _ryzmap as m, json\n"
            "m.rebuild_index()\n"
            f"print(json.dumps([sorted(m.get_all_domain_ids()), m.verify_ownership({BOB}, {bobs}),"
            f" m.verify_ownership({ALICE}, {shop})]))"))
        self.assertEqual(json.loads(out), [[bobs], True, False])


if __name__ == "__main__":
    unittest.main()
