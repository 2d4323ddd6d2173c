"""Control groups in a real kernel: the guest offers what the container limits are built on, a
CPU quota holds a busy loop to its share, by v2's cpu.max and by v1's cfs_quota_us, and the
package's units hold the tree under systemd. One boot per class; each test reads one check's
result."""

import os
import re
import unittest

from harness.sandbox import SOURCE_DIR, program
from kernel.uml import SET_USER_ID_UNAVAILABLE, BootTest, Guest, require_uml, skip

# Percent of a processor a busy loop uses under a quota of 20 ms per 100 ms, over 3 s, once the
# loop has settled in its group.
CPU20 = """
g={group}
mkdir $g && {quota} || exit 1
spin $g
sleep 0.3
echo percent=$(cpu_percent $g 3)
"""
CPU20_V2 = CPU20.format(group="/sys/fs/cgroup/cpu20", quota='echo "20000 100000" > $g/cpu.max')
CPU20_V1 = CPU20.format(group="/sys/fs/cgroup/cpu,cpuacct/cpu20",
                        quota="echo 100000 > $g/cpu.cfs_period_us"
                              " && echo 20000 > $g/cpu.cfs_quota_us")

# Accounts, the writable tree, the state directory and the disk, as the checks find them.
GUEST_CHECK = """
as_user 1000 id -un; as_user 1001 id -un
mkdir -p /etc/container/ryz_ids && echo etc=writable
echo state=$(ls -A /var/lib/ryx | wc -l)
echo disk=$(stat -f -c %T "$RYX_DISK_DIR")
as_user 1000 dd if=/dev/zero of=$RYX_DISK_DIR/direct bs=64k count=16 oflag=direct 2>&1 \\
    | grep -c copied | sed s/^/direct=/
"""

# Without the container kernel's lists: a container made by hand in the library's layout, a busy
# loop in its leaf, the record in /run/ryx/cgroup; what ryxps and the exporter make of it.
TREE_CHECK = """
r=/sys/fs/cgroup/ryx; on="+cpu +io +memory +pids"
mkdir $r $r/ryx1000 $r/ryx1000/ryx1000 $r/ryx1000/ryx60001 $r/ryx1000/ryx60001/ryx60001 || exit 1
for g in $r $r/ryx1000 $r/ryx1000/ryx60001; do
    echo "$on" > $g/cgroup.subtree_control || exit 1
done
mkdir -p /run/ryx && echo "v2 cpu,io,memory,pids $r" > /run/ryx/cgroup
spin $r/ryx1000/ryx60001/ryx60001
sleep 0.5
{ryxps} -n -L -o id:6,ryk:5,pno:4,tno:4,mem:4
{ryxps} -n -d -c 1 -o id:6,cpu:6
{exporter} --once | grep -E '^ryx_container_(processes|threads|cpu_seconds_total)[{{]id="60001"'
"""

# A helper installed set-user-ID root runs for an ordinary user with libryx found (its usage).
HELPER_CHECK = """
stat -c mode=%a:%u {helper}
as_user 1000 {helper}
"""


@require_uml
class CgroupV2Test(BootTest):
    @classmethod
    def guest(cls):
        guest = Guest(cgroups="v2")
        if not SET_USER_ID_UNAVAILABLE:
            cls.helper = guest.install_set_user_id("ryz-limits-helper")
        return guest

    @classmethod
    def checks(cls):
        checks = dict(cls.CHECKS, tree=TREE_CHECK.format(
            ryxps=program("ryxps"), exporter=program("exporter/ryx_exporter")))
        if SET_USER_ID_UNAVAILABLE:
            return checks
        return dict(checks, helper=HELPER_CHECK.format(helper=cls.helper))

    CHECKS = {
        "controllers": """
cat /sys/fs/cgroup/cgroup.controllers /sys/fs/cgroup/cgroup.subtree_control
mkdir /sys/fs/cgroup/fresh && cd /sys/fs/cgroup/fresh && ls cpu.max io.max memory.max pids.max
""",
        "cpu20": CPU20_V2,
        "guest": GUEST_CHECK,
    }

    def test_offers_cpu_io_memory_and_pids(self):
        res = self.result("controllers")
        self.assertEqual(res.out.splitlines()[:2], ["cpu io memory pids"] * 2, res)

    def test_cpu_max_holds_a_loop_to_its_share(self):
        self.assertShare("cpu20", 20)

    def test_users_state_and_disk(self):
        values = self.result("guest").values
        self.assertEqual(self.boot["guest"].out.splitlines()[:2], ["alice", "bob"])
        self.assertEqual(values["etc"], "writable")
        self.assertEqual(values["state"], "0")
        self.assertEqual(values["disk"], "ext2/ext3")
        self.assertEqual(values["direct"], "1", self.boot["guest"])

    def test_ryxps_and_the_exporter_see_the_containers_of_the_tree(self):
        res = self.result("tree")
        rows = [line.split() for line in res.out.splitlines()]
        self.assertEqual(rows[0], ["ID", "RYK", "PNO", "TNO", "MEM"], res)
        self.assertIn(["60001", "1000", "1", "1", "0"], rows[1:], res)
        # Its own leaf's CPU over one interval: the whole loop, about one processor.
        speed = next(r[1] for r in rows if r[0] == "60001" and r[1].endswith("%"))
        self.assertGreater(int(speed[:-1]), 50, res)
        metrics = dict(re.findall(r'^ryx_container_(\w+)\{id="60001",.*\} (\S+)$', res.out, re.M))
        self.assertEqual((metrics["processes"], metrics["threads"]), ("1", "1"), res)
        self.assertGreater(float(metrics["cpu_seconds_total"]), 0.3, res)

    def test_set_user_id_helper(self):
        if SET_USER_ID_UNAVAILABLE:
            raise skip(SET_USER_ID_UNAVAILABLE)
        res = self.result("helper", status=2)
        self.assertEqual(res.values["mode"], "4755:0")
        self.assertIn("Usage: ryz-limits-helper", res.err)

# Under systemd, with the package's units: a container made in ryx-tree.service's tree, a
# tenant's process placed there, ryxd restarted while it runs, a stop of the tree refused.
UNITS_CHECK = """
T=/sys/fs/cgroup/system.slice/ryx-tree.service
alice() {{ setpriv --reuid=1000 --regid=1000 --clear-groups sleep 300 & }}
placed() {{ i=0; while [ $i -lt 100 ] && ! grep -q /ryx1000/ryx1000$ /proc/$1/cgroup; do
    sleep 0.1; i=$((i + 1)); done; grep -c /ryx1000/ryx1000$ /proc/$1/cgroup; }}
echo units=$(systemctl is-active ryx-tree ryxd | paste -sd,)
echo record=$(cat /run/ryx/cgroup)
{ryxctl} create 1000 && {ryxctl} set 1000 nproc=50 && systemctl reload ryxd || exit 1
echo nproc=$(cat $T/ryx1000/pids.max)
alice; p=$!
echo placed=$(placed $p)
systemctl restart ryxd; echo restart=$?,$(systemctl is-active ryxd),$(placed $p)
alice; q=$!
echo placed_after=$(placed $q)
echo daemon_group=$(wc -l < /sys/fs/cgroup/system.slice/ryxd.service/cgroup.procs)
systemctl stop ryx-tree 2> /dev/null; echo stop=$?,$(systemctl is-active ryx-tree)
echo left_over=$(journalctl -o cat | grep -c left-over)
"""


@require_uml
class SystemdUnitsTest(BootTest):
    """ryx-tree.service and ryxd.service as the package ships them (ryxd from the build), on the
    host's systemd."""

    @classmethod
    def guest(cls):
        if not os.access("/lib/systemd/systemd", os.X_OK):
            raise skip("systemd is not installed")
        guest = Guest(cgroups=None, units={})
        ryxd = guest.install("libryx/ryxd")
        for name in ("ryx-tree.service", "ryxd.service"):
            with open(os.path.join(SOURCE_DIR, "debian", f"ryxkit.{name}")) as f:
                guest.units[name] = f.read().replace("/usr/sbin/ryxd", ryxd)
        return guest

    @classmethod
    def checks(cls):
        return {"units": UNITS_CHECK.format(ryxctl=program("libryx/ryxctl"))}

    def test_the_tree_outlives_restarts_of_the_daemon_and_refuses_a_stop(self):
        values = self.result("units").values
        self.assertEqual(values["units"], "active,active", self.boot["units"])
        self.assertEqual(values["record"], "v2 cpu,io,memory,pids "
                         "/sys/fs/cgroup/system.slice/ryx-tree.service")
        self.assertEqual(values["nproc"], "50")  # the controllers are handed down
        self.assertEqual(values["placed"], "1", self.boot["units"])
        self.assertEqual(values["restart"], "0,active,1")  # the tenant stays where it was
        self.assertEqual(values["placed_after"], "1")
        self.assertEqual(values["daemon_group"], "1")  # ryxd alone
        self.assertEqual(values["stop"], "4,active")  # refused
        self.assertEqual(values["left_over"], "0")


@require_uml
class CgroupV1Test(BootTest):
    @classmethod
    def guest(cls):
        return Guest(cgroups="v1", hybrid=True)

    CHECKS = {
        "hierarchies": """
for h in cpu,cpuacct memory pids blkio; do
    grep -q "^cgroup /sys/fs/cgroup/$h cgroup .*,$h" /proc/mounts && echo $h=mounted
done
grep -q '^cgroup2 /sys/fs/cgroup/unified cgroup2 ' /proc/mounts && echo unified=mounted
echo "unified_controllers=$(cat /sys/fs/cgroup/unified/cgroup.controllers)"
""",
        "cpu20": CPU20_V1,
    }

    def test_one_hierarchy_per_controller_and_an_empty_unified_tree(self):
        values = self.result("hierarchies").values
        for h in ("cpu,cpuacct", "memory", "pids", "blkio", "unified"):
            self.assertEqual(values.get(h), "mounted", self.boot["hierarchies"])
        self.assertEqual(values["unified_controllers"], "")

    def test_cfs_quota_holds_a_loop_to_its_share(self):
        self.assertShare("cpu20", 20)


@require_uml
class GuestOptionsTest(BootTest):
    """A controller left out, a read-only tree, a check that overruns its time and one that
    leaves a process behind."""

    @classmethod
    def guest(cls):
        return Guest(cgroups="v2", controllers=("cpu", "memory"), readonly=True)

    TIMEOUT = 5
    CHECKS = {
        "tree": """
cat /sys/fs/cgroup/cgroup.subtree_control
mkdir /sys/fs/cgroup/x 2>&1
""",
        "hang": "sleep 600",
        "leaves": "sleep 600 > /dev/null 2>&1 &",
        "after": "pgrep -c sleep",
    }

    def test_only_the_controllers_asked_for_on_a_read_only_tree(self):
        res = self.result("tree", status=1)
        self.assertEqual(res.out.splitlines()[0], "cpu memory", res)
        self.assertIn("Read-only file system", res.out)

    def test_a_check_out_of_time_is_killed_and_nothing_outlives_its_check(self):
        self.assertTrue(5 <= self.result("hang", status=137).seconds < 10, self.boot["hang"])
        self.result("leaves")
        self.assertEqual(self.result("after", status=1).out.strip(), "0")


if __name__ == "__main__":
    unittest.main()
