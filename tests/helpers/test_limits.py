"""ryz-limits-helper as its callers see it: statuses, exact messages, and the library calls it
makes (from the stand-in's log), run as an ordinary user in the sandbox."""

import os
import unittest

from harness.sandbox import require_sandbox
from helpers.common import DOMAIN, USER, HelperTest

USAGE = ("Usage: ryz-limits-helper <uid> <domain_id> <cpu> <pmem> <io> <nproc> <iops> <ep> "
         "<vmem>\n")
P = "ryz-limits-helper: "
LIMITS = ["10", "20", "30", "40", "50", "60", "70"]  # cpu pmem io nproc iops ep vmem

VERIFY = f"ryz_map_verify_ownership {USER} {DOMAIN} -> 1"
INIT = "init_ryx -> handle"
MOVE = f"ryx_ryk_move {DOMAIN} {USER} -> 0"
ABSENT = f"ryx_info {DOMAIN} zeroed=1 -> -3"
DESTROY = "destroy_ryx handle"


def setup_line(rc=0, cpu=10, pmem=20, io=30, nproc=40, iops=50, ep=60, vmem=70, domain=DOMAIN):
    return (f"ryx_setup {domain} cpu={cpu} cpus=0 io={io} enters={ep} memory={vmem} cpu_weight=0 "
            f"memory_phy={pmem} nproc={nproc} iops={iops} -> {rc}")


@require_sandbox
class LimitsHelperTest(HelperTest):
    PROGRAM = "ryz-limits-helper"

    def setUp(self):
        super().setUp()
        self.enable_isolation()

    def limits(self, *args, **kw):
        return self.run_helper(*args, **kw)

    def assertFails(self, result, status, message, calls=()):
        code, out, err, log = result
        self.assertEqual((code, err), (status, message))
        self.assertEqual(out, "")
        self.assertEqual(log, list(calls))

    def reseller_list(self, text):
        self.host.file(f"/proc/ryx/resellers/ryk{USER}/list", text)

    # -- arguments, identity, registry: all decided before the library handle exists ------

    def test_wrong_argument_count_prints_usage(self):
        for args in ([], [str(USER), str(DOMAIN)] + LIMITS[:6],
                     [str(USER), str(DOMAIN)] + LIMITS + ["80"]):
            with self.subTest(argc=len(args)):
                self.assertFails(self.limits(*args), 2, USAGE)

    def test_invalid_uid(self):
        for uid in ["0", "4294967296", "12a", "", "-1", "-0", "1000 ", "%n%s" * 3000]:
            with self.subTest(uid=uid[:10]):
                self.assertFails(self.limits(uid, str(DOMAIN), *LIMITS), 2,
                                 f"{P}invalid uid '{uid}'\n")

    def test_invalid_domain_id_is_reported_before_identity(self):
        for domain in ["4294967296", "x", "1.0", "-1", "18446744073709551617"]:
            with self.subTest(domain=domain):
                self.assertFails(self.limits("1001", domain, *LIMITS), 2,
                                 f"{P}invalid domain_id '{domain}'\n")


    def test_other_user_is_refused_before_anything_else_is_consulted(self):
        self.host.remove(f"/etc/container/ryz_ids/{USER}")
        self.enable_isolation(1001)
        # Even broken limits lose to the identity check.
        self.assertFails(self.limits("1001", str(DOMAIN), "x", *LIMITS[1:]), 3,
                         f"{P}permission denied (real uid {USER} != target 1001)\n")

    def test_isolation_not_enabled(self):
        self.host.remove(f"/etc/container/ryz_ids/{USER}")
        self.enable_isolation(1001)
        self.assertFails(self.limits(str(USER), str(DOMAIN), *LIMITS), 3,
                         f"{P}domain isolation is not enabled for uid {USER}\n")


    def test_domain_not_registered(self):
        self.assertFails(self.limits(str(USER), str(DOMAIN), *LIMITS, fake={"VERIFY": 0}), 4,
                         f"{P}domain_id {DOMAIN} not owned by uid {USER}\n",
                         [f"ryz_map_verify_ownership {USER} {DOMAIN} -> 0"])

    def test_domain_id_zero_passes_parsing_and_reaches_ownership(self):
        self.assertFails(self.limits(str(USER), "0", *LIMITS, fake={"VERIFY": 0}), 4,
                         f"{P}domain_id 0 not owned by uid {USER}\n",
                         [f"ryz_map_verify_ownership {USER} 0 -> 0"])

    def test_unparsable_limit_in_any_position(self):
        for pos in range(7):
            for bad in ["2147483648", "1.5", "x", "-2147483649", "7 "]:
                args = list(LIMITS)
                args[pos] = bad
                with self.subTest(pos=pos, value=bad):
                    self.assertFails(self.limits(str(USER), str(DOMAIN), *args), 2,
                                     f"{P}invalid limit value\n", [VERIFY])

    def test_negative_limit_in_any_position(self):
        for pos in range(7):
            args = list(LIMITS)
            args[pos] = "-1"
            with self.subTest(pos=pos):
                self.assertFails(self.limits(str(USER), str(DOMAIN), *args), 2,
                                 f"{P}negative limit value not allowed\n", [VERIFY])

    def test_all_limits_parse_before_the_sign_test(self):
        args = ["-1"] + LIMITS[1:6] + ["x"]
        self.assertFails(self.limits(str(USER), str(DOMAIN), *args), 2,
                         f"{P}invalid limit value\n", [VERIFY])

    # -- the library sequence ---------------------------------------------------------------

    def test_new_domain_container_gets_its_limits(self):
        code, out, err, log = self.limits(str(USER), str(DOMAIN), *LIMITS)
        self.assertEqual((code, out, err), (0, "", ""))
        self.assertEqual(log, [VERIFY, INIT, MOVE, ABSENT, setup_line(), DESTROY])

    def test_strtol_rules_for_numbers(self):
        # Leading blanks and a plus sign are accepted; an empty limit is 0.
        code, _, err, log = self.limits(" +1000", "\t+70001", " 5", "+6", "", "0", "\n9", "-0",
                                        "2147483647")
        self.assertEqual((code, err), (0, ""))
        self.assertIn(setup_line(cpu=5, pmem=6, io=0, nproc=0, iops=9, ep=0, vmem=2147483647),
                      log)
        self.assertEqual(log[0], VERIFY)

    def test_cpu_default_from_the_users_own_container(self):
        zero_cpu = ["0"] + LIMITS[1:]
        for info, cpu in [("0:25", 25), ("0:0", 0), ("0:-5", 0), ("-3", 0), ("-1:40", 0),
                          (None, 0)]:
            fake = {} if info is None else {"INFO_1000": info}
            with self.subTest(user_info=info):
                code, _, err, log = self.limits(str(USER), str(DOMAIN), *zero_cpu, fake=fake)
                self.assertEqual((code, err), (0, ""))
                rc = -3 if info is None else int(info.split(":")[0])
                self.assertEqual(log, [VERIFY, INIT, f"ryx_info {USER} zeroed=1 -> {rc}", MOVE,
                                       ABSENT, setup_line(cpu=cpu), DESTROY])

    def test_explicit_cpu_is_not_replaced(self):
        code, _, _, log = self.limits(str(USER), str(DOMAIN), *LIMITS, fake={"INFO_1000": "0:25"})
        self.assertEqual(code, 0)
        self.assertNotIn(f"ryx_info {USER} zeroed=1 -> 0", log)
        self.assertIn(setup_line(cpu=10), log)

    def test_init_failure(self):
        self.assertFails(self.limits(str(USER), str(DOMAIN), *LIMITS, fake={"INIT_ERRNO": 12}), 5,
                         f"{P}init_ryx failed: Cannot allocate memory\n",
                         [VERIFY, "init_ryx -> NULL errno=12"])

    def test_move_refused(self):
        self.assertFails(self.limits(str(USER), str(DOMAIN), *LIMITS, fake={"MOVE": -1}), 6,
                         f"{P}ryx_ryk_move(domain {DOMAIN} -> ryk {USER}) failed: -1\n",
                         [VERIFY, INIT, f"ryx_ryk_move {DOMAIN} {USER} -> -1", DESTROY])

    def test_existence_undetermined(self):
        for rc in ["-5", "-2", "1"]:
            with self.subTest(rc=rc):
                self.assertFails(
                    self.limits(str(USER), str(DOMAIN), *LIMITS, fake={f"INFO_{DOMAIN}": rc}), 5,
                    f"{P}cannot determine whether RYX {DOMAIN} already exists; refusing to apply "
                    f"limits\n", [VERIFY, INIT, MOVE, f"ryx_info {DOMAIN} zeroed=1 -> {rc}",
                                  DESTROY])

    def test_setup_refused(self):
        for rc, status in [(-22, 2), (-34, 2), (-1, 6), (-12, 6), (3, 6)]:
            with self.subTest(rc=rc):
                self.assertFails(
                    self.limits(str(USER), str(DOMAIN), *LIMITS, fake={"SETUP": rc}), status,
                    f"{P}ryx_setup({DOMAIN}) failed: {rc}\n",
                    [VERIFY, INIT, MOVE, ABSENT, setup_line(rc=rc), DESTROY])


    def existing(self, listing):
        if listing is None:
            self.host.remove(f"/proc/ryx/resellers/ryk{USER}/list")
        else:
            self.reseller_list(listing)
        return self.limits(str(USER), str(DOMAIN), *LIMITS, fake={f"INFO_{DOMAIN}": 0})

    HEADER = "8:RYX\tEP\tCPU\tMEM\n"
    EXISTS = f"ryx_info {DOMAIN} zeroed=1 -> 0"

    def test_listed_child_gets_its_limits(self):
        for listing in [
                self.HEADER + f"{USER},{USER}\t1\t2\t3\n{USER},{DOMAIN}\t0\t100\t5\n",
                self.HEADER + f"{USER},{DOMAIN} 0 100 5\n",
                self.HEADER + f"{USER},{DOMAIN}\n",
                self.HEADER + f"{USER},{DOMAIN}",  # last line without newline
        ]:
            with self.subTest(listing=listing):
                code, out, err, log = self.existing(listing)
                self.assertEqual((code, out, err), (0, "", ""))
                self.assertEqual(log, [VERIFY, INIT, MOVE, self.EXISTS, setup_line(), DESTROY])

    def test_unlisted_child_is_refused(self):
        for listing in [
                self.HEADER,
                self.HEADER + f"{USER},{DOMAIN}1\t0\t1\t2\n",      # longer id
                self.HEADER + f"{USER},7000\t0\n",                 # shorter id
                self.HEADER + f"  {USER},{DOMAIN}\t0\t1\t2\n",     # leading blanks
                self.HEADER + f"5\t{USER},{DOMAIN}\t1\n",          # not the leading token
                self.HEADER + f"1001,{DOMAIN}\t0\t1\t2\n",         # another reseller
                self.HEADER + f"{USER},{DOMAIN},1\t0\n",
                "",
        ]:
            with self.subTest(listing=listing):
                self.assertFails(
                    self.existing(listing), 6,
                    f"{P}RYX {DOMAIN} already exists and is not a child of ryk{USER}; refusing to "
                    f"apply limits\n", [VERIFY, INIT, MOVE, self.EXISTS, DESTROY])

    def test_unreadable_listing(self):
        # Missing, or a FIFO: that must be neither read nor waited on.
        for fifo in (False, True):
            path = self.host.file(f"/proc/ryx/resellers/ryk{USER}/list", "")
            os.unlink(path)
            if fifo:
                os.mkfifo(path)
            with self.subTest(fifo=fifo):
                self.assertFails(
                    self.limits(str(USER), str(DOMAIN), *LIMITS, fake={f"INFO_{DOMAIN}": 0},
                                timeout=20), 5,
                    f"{P}RYX {DOMAIN} already exists and is not a child of ryk{USER} (ryk "
                    f"listing unreadable); refusing to apply limits\n",
                    [VERIFY, INIT, MOVE, self.EXISTS, DESTROY])


    def test_without_the_kernels_lists_the_tree_places_the_child(self):
        # No /proc/ryx: the library's control-group tree, the first one /run/ryx/cgroup names.
        tree, text = "/run/cgroup-fixture/ryx", "v2 cpu,io,memory,pids /run/cgroup-fixture/ryx\n"
        self.host.mkdir("/run/ryx")
        record = self.host.file("/run/ryx/cgroup", text + "v1 cpu /run/elsewhere\n")
        unlisted, unreadable = (6, ""), (5, " (ryk listing unreadable)")
        elsewhere = [f"ryx1001/ryx{DOMAIN}", f"ryx{DOMAIN}", f"ryx{USER}/ryx{DOMAIN}1"]
        for groups, outcome in [([f"ryx{USER}/ryx{DOMAIN}/ryx{DOMAIN}"], (0, None)),
                                (elsewhere, unlisted)]:
            self.host.remove(tree)
            for group in groups:
                self.host.mkdir(f"{tree}/{group}")
            self.host.mkdir(tree)
            with self.subTest(groups=groups):
                self.assertTreeSays(outcome)
        # Somebody else's group; a root or a record others may write; no record at all.
        group = self.host.mkdir(f"{tree}/ryx{USER}/ryx{DOMAIN}", mode=0o777)
        self.assertTreeSays(unlisted)
        os.chmod(group, 0o755)
        for path, mode, back in ((self.host.path(tree), 0o775, 0o755), (record, 0o646, 0o644)):
            os.chmod(path, mode)
            self.assertTreeSays(unreadable)
            os.chmod(path, back)
        os.unlink(record)
        self.assertTreeSays(unreadable)
        # A kernel with lists has /proc/ryx: its missing list is unreadable, whatever the tree.
        self.host.file("/run/ryx/cgroup", text)
        self.host.mkdir("/proc/ryx")
        self.assertTreeSays(unreadable)

    def assertTreeSays(self, outcome):
        status, suffix = outcome
        result = self.existing(None)
        if status == 0:
            self.assertEqual(result, (0, "", "", [VERIFY, INIT, MOVE, self.EXISTS, setup_line(),
                                                  DESTROY]))
            return
        self.assertFails(result, status, f"{P}RYX {DOMAIN} already exists and is not a child of "
                         f"ryk{USER}{suffix}; refusing to apply limits\n",
                         [VERIFY, INIT, MOVE, self.EXISTS, DESTROY])

    def test_tail_of_a_long_line_is_not_a_line_start(self):
        # The line buffer holds 1023 characters: the tail of this line starts exactly with the
        # wanted token and must still not count.
        head = f"{USER},5\t" + "x" * (1023 - len(f"{USER},5\t"))
        for tail in [f"{USER},{DOMAIN}\t1\n", f"{USER},{DOMAIN}\n", f"{USER},{DOMAIN}"]:
            with self.subTest(tail=tail):
                self.assertFails(
                    self.existing(self.HEADER + head + tail), 6,
                    f"{P}RYX {DOMAIN} already exists and is not a child of ryk{USER}; refusing "
                    f"to apply limits\n", [VERIFY, INIT, MOVE, self.EXISTS, DESTROY])
        # Three pieces deep, too.
        self.assertEqual(self.existing(self.HEADER + head * 2 + f"{USER},{DOMAIN}\n")[0], 6)

    def test_lines_after_a_long_line_still_count(self):
        long_line = f"{USER},5\t" + "y" * 3000 + "\n"
        exact = f"{USER},6\t" + "z" * (1023 - len(f"{USER},6\t")) + "\n"  # newline in piece 2
        nul = f"{USER},7\t\0" + "w" * 2000 + "\n"
        for before in [long_line, exact, nul, long_line + exact + nul]:
            with self.subTest(length=len(before)):
                code, _, err, log = self.existing(self.HEADER + before + f"{USER},{DOMAIN}\t0\n")
                self.assertEqual((code, err), (0, ""))
                self.assertIn(setup_line(), log)


if __name__ == "__main__":
    unittest.main()
