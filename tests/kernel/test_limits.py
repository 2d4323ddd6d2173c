"""Every container limit measured in a real kernel, on cgroup v2 and on v1: containers made with
ryxctl (and the limits helper, as their user), processes put in them with ryxctl enter, and what
the kernel then lets them do, timed and counted. One boot per hierarchy kind runs the same
scripts; a host without some controllers, a read-only cgroup mount and a reboot over the first
boot's disk get one boot each. The figures go to the log."""

import os
import shutil
import tempfile
import unittest

from kernel.uml import SET_USER_ID_UNAVAILABLE, BootTest, Guest, require_uml, skip

# Before every check: the programs under test, where the tree is, busy loops in containers.
SHELL = r"""
export PATH=$RYX_BUILD_DIR/libryx:$RYX_BUILD_DIR/ryxtop:$RYX_BUILD_DIR/exporter:$PATH
# The tree's root in the hierarchy of controller $1, as ryxd recorded it.
root_of() {
    while read _v _c _r; do case ",$_c," in *,$1,*) echo "$_r"; return; esac; done < /run/ryx/cgroup
}
# A busy loop entered into container $1, in the background ($! is its pid).
loop() { ryxctl enter "$1" -- sh -c 'while :; do :; done' & }
# Container $1 (under reseller $3, if given) with the settings $2, e.g. "cpu=20".
make() { ryxctl create $1 $3 && ryxctl set $1 $2; }
# The limits helper for alice, and its status as $1=<status>.
helper() { _n=$1; shift; as_user 1000 "$HELPER" 1000 "$@"; echo "$_n=$?"; }
"""

# The checks of a full host, in the order they run; the same scripts on v2 and on v1.
CHECKS = {
    "tree": "ryxd --once && cat /run/ryx/cgroup",
    "cpu20": r"""
make 101 cpu=20 || exit 1
loop 101; sleep 0.5
ryxps -n -d -c 3 -o id:6,cpu:6 > /tmp/ps & viewer=$!
echo percent=$(cpu_percents 3 $(root_of cpu)/ryx101)
wait $viewer; echo ryxps=$(sed -n 's/^ *101 *\([0-9]*\)%$/\1/p' /tmp/ps)
""",
    "weights": r"""
make 102 cpu_weight=100 && make 103 cpu_weight=300 || exit 1
loop 102; light=$!; loop 103; heavy=$!; sleep 0.5
r=$(root_of cpu); set -- $(cpu_percents 3 $r/ryx102 $r/ryx103)
kill -0 $light && kill -0 $heavy && echo both=running
q=$(( ${2%.*}${2#*.} * 100 / ${1%.*}${1#*.} ))
printf "light=%s\nheavy=%s\nratio=%s\n" $1 $2 $((q / 100)).$((q / 10 % 10))$((q % 10))
""",
    # 16 MiB: 14 of them held in a tmpfs file (charged to the container), then a process that
    # wants 64 MiB.
    "memory": r"""
make 104 memory_phy=4096 || exit 1
sleep 600 & bystander=$!
ryxctl enter 104 -- dd if=/dev/zero of=/dev/shm/fill bs=1M count=14 2>/dev/null || exit 1
ryxctl enter 104 -- sleep 600 & sleep 0.3
echo mem=$(ryxps -n -o id:6,mem:8 | sed -n 's/^ *104 *//p')
ryxctl enter 104 -- dd if=/dev/zero of=/dev/null bs=64M count=1 2>/dev/null; echo hog=$?
m=$(root_of memory)/ryx104/ryx104
sed -n 's/^oom_kill /oom_kill=/p' $m/memory.events $m/memory.oom_control 2>/dev/null
kill -0 $bystander && echo bystander=alive
rm /dev/shm/fill
""",
    # The entered shell and eight sleeps are nine; timeout is the tenth, its child the eleventh.
    "nproc": r"""
make 105 nproc=10 || exit 1
ryxctl enter 105 -- sh -c 'for i in 1 2 3 4 5 6 7 8; do sleep 600 & done
    read n < "$0/pids.current"; echo running=$n; timeout 9 true; echo eleventh=$?' \
    $(root_of pids)/ryx105
for i in 1 2 3 4 5 6 7 8 9 10 11 12; do sleep 1 & done; wait && echo outside=12
""",
    # Overwrites of a file written beforehand: no allocation, so only the data goes to the disk.
    "io": r"""
make 106 io=1024 && make 107 iops=50 || exit 1
f=$RYX_DISK_DIR/limits; dd if=/dev/zero of=$f bs=1M count=4 2>/dev/null && sync || exit 1
timed bps ryxctl enter 106 -- dd if=/dev/zero of=$f bs=64k count=64 oflag=direct conv=notrunc
timed iops ryxctl enter 107 -- dd if=/dev/zero of=$f bs=4k count=200 oflag=direct conv=notrunc
timed unlimited dd if=/dev/zero of=$f bs=4k count=200 oflag=direct conv=notrunc
""",
    "reseller": r"""
make 200 cpu=30 && make 201 cpu=100 || exit 1
loop 201; sleep 0.3
ryxctl move 201 200 && make 202 cpu=100 200 || exit 1
loop 202; sleep 0.5
r=$(root_of cpu); [ -e $r/ryx201 ] || echo old_group=gone
echo moved_loop=$(wc -l < $r/ryx200/ryx201/ryx201/cgroup.procs)
set -- $(cpu_percents 3 $r/ryx200 $r/ryx200/ryx201 $r/ryx200/ryx202)
printf "percent=%s\nmoved=%s\nsecond=%s\n" "$@"
""",
    "helper": r"""
ryxctl allow-domain-limits 1000 > /dev/null && ryxctl create 1000 || exit 1
id=$(ryxctl map-assign 1000 /home/alice/www/x) && echo id=$id || exit 1
helper status $id 20 0 0 0 0 0 0
loop $id; sleep 0.5
echo percent=$(cpu_percents 3 $(root_of cpu)/ryx1000/ryx$id)
ryxps -n -L | sed -n "s/^ *$id *\([0-9]*\) .*/reseller=\1/p"
ryx_exporter --once | sed -n \
    -e "s/^ryx_container_cpu_seconds_total{id=\"$id\",.*} /cpu_seconds=/p" \
    -e "s/^ryx_container_\(limit[a-z_]*\){id=\"$id\",.*,resource=\"cpu\"} /\1=/p"
""",
    "live": r"""
make 108 cpu=20 || exit 1
loop 108; sleep 0.5; g=$(root_of cpu)/ryx108
echo before=$(cpu_percents 1 $g)
ryxctl set 108 cpu=50 && echo set=$(cpu_percents 1 $g)
ryxctl info 108 | sed -n 's/^cpu=/stored=/p; s/^enforced: /set_enforced=/p'
ryxctl disable 108 && echo disabled=$(cpu_percents 1 $g)
ryxctl info 108 | sed -n 's/^not enforced: /disabled_not_enforced=/p'
ryxctl enable 108 && echo enabled=$(cpu_percents 1 $g)
""",
    # Two entries of two allowed, the third refused; one gone, room again. 256 MiB of address
    # space per process.
    "enters": r"""
make 109 "enters=2 memory=65536" || exit 1
ryxctl enter 109 -- sleep 30 & first=$!
ryxctl enter 109 -- sleep 30 & sleep 1
ryxctl enter 109 -- sleep 30; echo third=$?
echo ep=$(ryxps -n -o id:6,ep:4 | sed -n 's/^ *109 *//p')
echo as=$(awk '/^Max address space/ { print $4 "," $5 }' /proc/$first/limits)
kill $first; wait $first; ryxctl enter 109 -- true; echo after=$?
""",
    # No ryxctl enter: ryxd places bob's own processes (on walks: this kernel has no process
    # events), and the kernel holds them to bob's container.
    "placed": r"""
make 1001 "cpu=20 memory_phy=4096 memory=65536" || exit 1
ryxd --foreground --walk-interval 0.5 2> /tmp/ryxd.log & sleep 1
setpriv --reuid=1001 --regid=1001 --clear-groups sh -c 'while :; do :; done' & spin=$!
as_user 1001 sh -c 'sleep 2; exec dd if=/dev/zero of=/dev/null bs=64M count=1 2>/dev/null'
echo hog=$?
grep -q '/ryx1001/ryx1001$' /proc/$spin/cgroup && echo group=ryx1001
echo percent=$(cpu_percents 3 $(root_of cpu)/ryx1001)
echo as=$(awk '/^Max address space/ { print $4 "," $5 }' /proc/$spin/limits)
sed -n 's/^ryxd: no process events .*/events=none/p' /tmp/ryxd.log
""",
    # alice, in a tree the checks above filled.
    "hostile": r"""
files=$(find $(sed 's/.* //' /run/ryx/cgroup) -name cgroup.procs -o -name tasks \
        -o -name cgroup.threads)
echo files=$(echo $files | wc -w)
as_user 1000 sh -c 'n=0; for f; do { echo $$ > "$f"; } 2> /dev/null && n=$((n + 1)); done
                    echo moved=$n' sh $files
r=$(root_of cpu); q=$r/ryx101/cpu.max; v=max; [ -e $q ] || { q=$r/ryx101/cpu.cfs_quota_us; v=-1; }
as_user 1000 mkdir $r/ryx999; echo mkdir_root=$?
as_user 1000 mkdir $r/ryx101/ryx999; echo mkdir_group=$?
read before < $q; as_user 1000 sh -c 'echo $1 > $0' $q $v; echo write_limit=$?
read after < $q; [ "$before" = "$after" ] && echo limit=unchanged
as_user 1000 ryxctl enter 101 -- true; echo enter=$?
""",
}

# Measured figures: (check, value) -> (expected, tolerance).
FIGURES = {
    ("cpu20", "percent"): (20, 3),
    ("weights", "ratio"): (3, 0.45),
    ("io", "bps"): (4, 0.4),
    ("io", "iops"): (4, 0.4),
    ("reseller", "percent"): (30, 3),
    ("helper", "percent"): (20, 3),
    ("placed", "percent"): (20, 3),
    # One-second windows: a period's quota more or less at their edges, and the clock's 10 ms.
    ("live", "before"): (20, 4),
    ("live", "set"): (50, 6),
    ("live", "disabled"): (100, 20),  # uncapped: a loaded host's guest loses some to itself
    ("live", "enabled"): (50, 6),
}

# After a reboot: group files as the first boot's settings make them (v2).
REBOOT_FILES = {
    "ryx101/cpu.max": "20000 100000",
    "ryx103/cpu.weight": "300",
    "ryx104/memory.max": "16777216",
    "ryx105/pids.max": "10",
    "ryx106/io.max": " rbps=1048576 wbps=1048576 riops=max wiops=max",
    "ryx107/io.max": " rbps=max wbps=max riops=50 wiops=50",
    "ryx108/cpu.max": "50000 100000",
    "ryx200/cpu.max": "30000 100000",
    "ryx200/ryx201/cpu.max": "100000 100000",
    "ryx200/ryx202/cpu.max": "100000 100000",
    "ryx1000/ryx{domain}/cpu.max": "20000 100000",
}

REBOOT = r"""
echo trees_before=$(ls -d /sys/fs/cgroup/ryx* 2> /dev/null | wc -l)
ryxd --once || exit 1
for id in $(ryxctl list | sed -n 's/ active .*//p'); do
    ryxctl info $id | sed -n "s/^not enforced: /lost_$id=/p"
done
r=$(root_of cpu)
for f in {files}; do [ -e $r/$f ] && read v < $r/$f && echo "$f=$v"; done
loop 101; sleep 0.5; echo percent=$(cpu_percents 2 $r/ryx101)
"""

# A host without the io and pids controllers: the helper as on a full host, twice (the second
# call finds the container), then on a read-only cgroup mount, then without any tree recorded.
SEVEN = "20 4096 1024 10 50 5 8192"  # cpu pmem io nproc iops ep vmem
PARTIAL_CHECKS = {
    "partial": f"""
ryxd --once && cat /run/ryx/cgroup || exit 1
ryxctl allow-domain-limits 1000 > /dev/null && ryxctl create 1000 || exit 1
id=$(ryxctl map-assign 1000 /home/alice/www/a) || exit 1
helper first $id {SEVEN}; helper again $id {SEVEN}
ryxctl info $id
loop $id; sleep 0.5; echo percent=$(cpu_percents 2 $(root_of cpu)/ryx1000/ryx$id)
""",
    "readonly": f"""
mount -o remount,ro /sys/fs/cgroup || exit 1
id=$(ryxctl map-assign 1000 /home/alice/www/b) || exit 1
helper first $id {SEVEN}; helper again $id {SEVEN}
ryxctl info $id
""",
    "no_tree": f"""
rm /run/ryx/cgroup || exit 1
id=$(ryxctl map-assign 1000 /home/alice/www/c) || exit 1
helper first $id {SEVEN}; helper again $id {SEVEN}
ryxctl info $id
""",
}
STORED = {"cpu": "20", "memory_phy": "4096", "io": "1024", "nproc": "10", "iops": "50",
          "enters": "5", "memory": "8192"}
NO_GROUP = "no group (run 'ryxctl apply')"
NO_TREE = "no control-group tree (start ryx-tree.service or run 'ryxd --once')"
NO_IO, NO_PIDS = "no io controller on this host", "no pids controller on this host"
# What ryxctl info says of each: setting -> held, or why not.
PARTIAL_ENFORCEMENT = {
    "partial": {"cpu": "held", "memory_phy": "held", "io": NO_IO, "iops": NO_IO, "nproc": NO_PIDS},
    "readonly": {"cpu": NO_GROUP, "memory_phy": NO_GROUP, "io": NO_IO, "iops": NO_IO,
                 "nproc": NO_PIDS},
    "no_tree": dict.fromkeys(("cpu", "memory_phy", "io", "iops", "nproc"), NO_TREE),
}

_disk = {}


def setUpModule():
    _disk["dir"] = tempfile.mkdtemp(prefix="ryx-uml-disk-")


def tearDownModule():
    shutil.rmtree(_disk.pop("dir"), ignore_errors=True)


def print_figures(cls):
    """Each check's short values (percentages, seconds, statuses) for the run's log."""
    for res in cls.boot.values():
        shown = " ".join(f"{k}={v}" for k, v in res.values.items() if len(v) <= 12)
        print(f"{cls.__name__} {res.name}: {shown}", flush=True)


def with_helper(checks, guest):
    """The checks with $HELPER set: the limits helper installed set-user-ID in the guest."""
    helper = guest.install_set_user_id("ryz-limits-helper")
    return {name: f"HELPER={helper}\n{SHELL}\n{script}" for name, script in checks.items()}


class FullHost:
    """The full host's checks in one boot of the layout the test class names (a mixin, so
    that it is no test of its own)."""

    TIMEOUT = 60

    @classmethod
    def setUpClass(cls):
        if "boot" in cls.__dict__:
            return  # booted already, for a class that needs its disk
        if SET_USER_ID_UNAVAILABLE:
            raise skip(SET_USER_ID_UNAVAILABLE)
        super().setUpClass()
        print_figures(cls)

    @classmethod
    def guest(cls):
        cls._guest = Guest(**cls.layout())
        return cls._guest

    @classmethod
    def checks(cls):
        return with_helper(CHECKS, cls._guest)

    def test_figures(self):
        for (check, name), (want, tolerance) in FIGURES.items():
            with self.subTest(check=check, value=name):
                res = self.result(check)
                self.assertAlmostEqual(float(res.values[name]), want, delta=tolerance, msg=res)

    def test_the_tree_is_made(self):
        res = self.result("tree")
        self.assertTrue(res.out.startswith(self.TREE), res)

    def test_ryxps_agrees_with_the_groups_accounting(self):
        values = self.result("cpu20").values
        self.assertAlmostEqual(float(values["ryxps"]), float(values["percent"]), delta=3,
                               msg=self.boot["cpu20"])

    def test_both_weighted_loops_run_through_the_window(self):
        self.assertEqual(self.result("weights").values["both"], "running")

    def test_memory_hog_is_killed_in_its_container_alone(self):
        res = self.result("memory")
        self.assertTrue(12 <= int(res.values["mem"]) <= 16, res)  # MiB, of a 16 MiB limit
        self.assertEqual(res.values["hog"], "137", res)
        self.assertGreaterEqual(int(res.values["oom_kill"]), 1, res)
        self.assertEqual(res.values["bystander"], "alive", res)

    def test_eleventh_process_fails_to_start(self):
        res = self.result("nproc")
        self.assertEqual((res.values["running"], res.values["eleventh"]), ("9", "125"), res)
        self.assertIn("fork system call failed: Resource temporarily unavailable", res.err)
        self.assertEqual(res.values["outside"], "12", res)

    def test_io_is_the_limits_doing(self):
        self.assertLess(float(self.result("io").values["unlimited"]), 1, self.boot["io"])

    def test_a_container_moved_under_a_reseller_takes_its_loop_along(self):
        values = self.result("reseller").values
        self.assertEqual((values["old_group"], values["moved_loop"]), ("gone", "1"))
        for loop in ("moved", "second"):  # each has its part of the reseller's share
            self.assertAlmostEqual(float(values[loop]), 15, delta=3, msg=self.boot["reseller"])

    def test_helper_as_the_user_and_what_the_viewers_show(self):
        values = self.result("helper").values
        self.assertEqual((values["status"], values["reseller"]), ("0", "1000"))
        self.assertEqual((values["limit"], values["limit_enforced"]), ("0.2", "1"))
        self.assertGreater(float(values["cpu_seconds"]), 0.3)

    def test_info_reads_back_what_was_set(self):
        values = self.result("live").values
        self.assertEqual((values["stored"], values["set_enforced"]), ("50", "cpu"))
        self.assertEqual(values["disabled_not_enforced"],
                         "cpu (lifted while the container is disabled)")

    def test_a_customers_own_processes_are_placed_and_held_without_enter(self):
        res = self.result("placed")
        self.assertEqual((res.values["events"], res.values["group"], res.values["hog"]),
                         ("none", "ryx1001", "137"), res)
        self.assertEqual(res.values["as"], f"{65536 * 4096},{65536 * 4096}", res)

    def test_entry_processes_are_limited_counted_and_limited_in_address_space(self):
        res = self.result("enters")
        self.assertEqual((res.values["third"], res.values["ep"], res.values["after"]),
                         ("124", "2", "0"), res)
        self.assertIn("ryxctl: enter: container 109 is at its limit of 2 entry processes\n",
                      res.err)
        self.assertEqual(res.values["as"], f"{65536 * 4096},{65536 * 4096}", res)

    def test_an_ordinary_user_cannot_touch_the_tree(self):
        res = self.result("hostile")
        self.assertGreater(int(res.values["files"]), 20, res)
        self.assertEqual(res.values["moved"], "0", res)
        for refused in ("mkdir_root", "mkdir_group", "write_limit"):
            self.assertNotEqual(res.values[refused], "0", res)
        self.assertEqual(res.err.count("Permission denied"), 3, res)
        self.assertEqual((res.values["limit"], res.values["enter"]), ("unchanged", "125"), res)


@require_uml
class CgroupV1LimitsTest(FullHost, BootTest):
    TREE = "v1 cpu,cpuacct /sys/fs/cgroup/cpu,cpuacct/ryx\n"

    @staticmethod
    def layout():
        return {"cgroups": "v1", "hybrid": True}


@require_uml
class CgroupV2LimitsTest(FullHost, BootTest):
    TREE = "v2 cpu,io,memory,pids /sys/fs/cgroup/ryx\n"

    @staticmethod
    def layout():
        # The state on a disk of its own, for RebootTest's boot to find.
        return {"cgroups": "v2", "disk": os.path.join(_disk["dir"], "v2.img")}


@require_uml
class RebootTest(BootTest):
    """A second boot over the v2 boot's disk (and state): ryxd makes every group again."""

    TIMEOUT = 60

    @classmethod
    def setUpClass(cls):
        CgroupV2LimitsTest.setUpClass()
        cls.files = {f.format(domain=CgroupV2LimitsTest.boot["helper"].values["id"]): v
                     for f, v in REBOOT_FILES.items()}
        super().setUpClass()
        print_figures(cls)

    @classmethod
    def guest(cls):
        return Guest(**CgroupV2LimitsTest.layout())

    @classmethod
    def checks(cls):
        return {"reboot": SHELL + REBOOT.replace("{files}", " ".join(cls.files))}

    def test_every_group_and_limit_is_back(self):
        res = self.result("reboot")
        self.assertEqual(res.values["trees_before"], "0", res)
        self.assertEqual([k for k in res.values if k.startswith("lost_")], [], res)
        for path, want in self.files.items():
            with self.subTest(path=path):
                self.assertIn(want, res.values.get(path, "(missing)"), res)
        self.assertAlmostEqual(float(res.values["percent"]), 20, delta=3, msg=res)


@require_uml
class PartialHostTest(BootTest):
    """A host that offers cpu and memory alone; its cgroup mount then made read-only; then no
    tree at all. The helper succeeds throughout and the state keeps every setting."""

    TIMEOUT = 60

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        print_figures(cls)

    @classmethod
    def guest(cls):
        if SET_USER_ID_UNAVAILABLE:
            raise skip(SET_USER_ID_UNAVAILABLE)
        cls._guest = Guest(cgroups="v2", controllers=("cpu", "memory"))
        return cls._guest

    @classmethod
    def checks(cls):
        return with_helper(PARTIAL_CHECKS, cls._guest)

    def test_the_tree_has_what_the_host_offers(self):
        self.assertTrue(self.result("partial").out.startswith(
            "v2 cpu,memory /sys/fs/cgroup/ryx\n"), self.boot["partial"])
        self.assertAlmostEqual(float(self.boot["partial"].values["percent"]), 20, delta=3,
                               msg=self.boot["partial"])

    def test_helper_statuses_stored_settings_and_what_is_not_enforced(self):
        for check, enforcement in PARTIAL_ENFORCEMENT.items():
            with self.subTest(check=check):
                res = self.result(check)
                self.assertEqual((res.values["first"], res.values["again"]), ("0", "0"), res)
                self.assertEqual({k: res.values[k] for k in STORED}, STORED, res)
                held = [k for k, why in enforcement.items()
                        if why == "held" and k not in ("enters", "memory")]
                lines = res.out.splitlines()
                if held:
                    self.assertIn("enforced: " + " ".join(held), lines, res)
                for key, why in enforcement.items():
                    if why != "held":
                        self.assertIn(f"not enforced: {key} ({why})", lines, res)
                self.assertIn("enforced per process: enters memory", lines, res)


if __name__ == "__main__":
    unittest.main()
