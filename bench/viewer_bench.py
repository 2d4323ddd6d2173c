#!/usr/bin/python3
"""Viewer and registry speed on a realistic host: run as root, from the build directory's
bench-run target or directly:

    python3 bench/viewer_bench.py --build <build dir> [--procs 200 --threads 50 --runs 7]

The viewer passes run over real procfs files. The script runs in a private pid and mount
namespace, so that its procfs lists only the worker processes and the script itself; ps reads
that procfs. The viewer and the floor get a /proc of their own: a tmpfs that holds a synthetic
/proc/ryx/list and, bind-mounted, the real /proc/<pid> directory of every process in that
procfs, so they read the kernel's own files, never copies, of the same processes (the real
procfs stays reachable under /proc/.real, for the loader). Our kernel writes no "FNid:" line
into status, so the viewer finds each thread's container through its cgroup: every worker is
moved into a cgroup-v1 group named ryx<id> (in a named hierarchy of this run's own), whose path
is the last component of the thread's cgroup lines. A further set of workers sits in a group
with a non-numeric name, as a host's own daemons do: read, then dropped.

--tree: the same population in the layout of the library's control-group tree, and a ryxps pass
whose records come from that tree (its files on a tmpfs) against the pass over the kernel's list
of the same containers.

Figures are medians of interleaved runs in one invocation; compare them only as ratios.
"""

import argparse
import ctypes
import os
import pty
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import fcntl

MS_BIND = 4096
MS_REC = 16384
MNT_DETACH = 2
CLK_TCK = os.sysconf("SC_CLK_TCK")
SLEEP_SYSCALLS = {"35", "230"}  # nanosleep, clock_nanosleep (x86-64)
BENCH_UID = 1001  # the lookup helper serves only its caller's own uid, which must not be 0

_libc = ctypes.CDLL(None, use_errno=True)


def mount(src, target, fstype=None, flags=0, data=None):
    enc = lambda s: s.encode() if s is not None else None
    if _libc.mount(enc(src), enc(target), enc(fstype), ctypes.c_ulong(flags), enc(data)) != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"mount {src} on {target}: {os.strerror(err)}")


def umount(target):
    _libc.umount2(target.encode(), MNT_DETACH)


def kill_pid(pid, sig=signal.SIGKILL):
    # Never 0 or a negative number: those address process groups or every process there is.
    if isinstance(pid, int) and pid > 0:
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            pass


def log(*a):
    print(*a, flush=True)


class Population:
    """Sleeping worker processes in cgroups named after their containers. The groups are in a
    named cgroup-v1 hierarchy of this run's own, without controllers: the threads' cgroup lines
    name their containers while the host's own control groups stay untouched, and the hierarchy
    goes with the run."""

    def __init__(self, build, procs, threads, containers, others):
        self.build, self.procs, self.threads = build, procs, threads
        self.containers = [5000 + 25 * i for i in range(containers)]
        self.others = others
        self.workers = []  # (Popen, cgroup dir or None)
        self.listed_pids = []
        self.members = {}  # container: pids of its processes
        self.name = f"ryxbench.{os.urandom(4).hex()}"
        self.mnt = None

    def leaf(self, cid):
        """The group of a container's processes, below the hierarchy's root."""
        return f"ryx{cid}"

    def _make_groups(self):
        """({container: group of its processes}, the group of the others)."""
        self.mnt = tempfile.mkdtemp(prefix="ryxbench-cgroup-")
        try:
            mount("cgroup", self.mnt, "cgroup", 0, f"none,name={self.name}")
        except OSError as e:
            os.rmdir(self.mnt)
            self.mnt = None
            raise SystemExit(f"SKIPPED: no cgroup-v1 hierarchy of our own ({e.strerror})")
        groups = {cid: os.path.join(self.mnt, self.leaf(cid)) for cid in self.containers}
        for path in groups.values():
            os.makedirs(path)
        other = os.path.join(self.mnt, "system")
        os.mkdir(other)
        return groups, other

    def start(self):
        groups, other = self._make_groups()
        worker = os.path.join(self.build, "bench", "bench_worker")
        for i in range(self.procs + self.others):
            group = groups[self.containers[i % len(self.containers)]] if i < self.procs else other
            p = subprocess.Popen([worker, str(self.threads)], stdout=subprocess.PIPE,
                                 stdin=subprocess.DEVNULL)
            self.workers.append((p, group))
            if p.stdout.readline().strip() != b"ready":
                raise RuntimeError("a worker did not start")
            with open(os.path.join(group, "cgroup.procs"), "w") as f:
                f.write(str(p.pid))  # moves every thread of the process
            if i < self.procs:
                self.listed_pids.append(p.pid)
                self.members.setdefault(self.containers[i % len(self.containers)], []).append(p.pid)
        # Check that the viewer would see a worker's container through its cgroup lines.
        p = self.workers[0][0]
        tid = sorted(os.listdir(f"/proc/{p.pid}/task"))[-1]
        text = open(f"/proc/{p.pid}/task/{tid}/cgroup").read()
        if f"/ryx{self.containers[0]}\n" not in text:
            raise RuntimeError(f"worker cgroup not as expected:\n{text}")

    def stop(self):
        for p, _ in self.workers:
            kill_pid(p.pid)
        for p, _ in self.workers:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
            if p.stdout:
                p.stdout.close()
        self.workers = []
        if self.mnt:
            self._remove_hierarchy()

    def _remove_hierarchy(self):
        """Every group, deepest first; then the hierarchy, which the kernel destroys once it is
        unmounted without groups and its last removed group is gone for good: mounted and
        unmounted again until it is."""
        for _ in range(50):
            try:
                for top, dirs, _ in os.walk(self.mnt, topdown=False):
                    for d in dirs:
                        os.rmdir(os.path.join(top, d))
                break
            except OSError:
                time.sleep(0.1)  # tasks of killed workers leave their group a little later
        for _ in range(50):
            umount(self.mnt)
            time.sleep(0.2)
            with open("/proc/self/cgroup") as f:
                if f"name={self.name}:" not in f.read():
                    break
            mount("cgroup", self.mnt, "cgroup", 0, f"none,name={self.name}")
        else:
            log(f"warning: the cgroup hierarchy name={self.name} is still there")
        if not os.path.ismount(self.mnt):
            os.rmdir(self.mnt)
        self.mnt = None


class TreePopulation(Population):
    """The population laid out as the library's control-group tree, ryx/ryx<ID>/ryx<ID> and
    ryx/ryx<R>/ryx<ID>/ryx<ID>: a fifth of the containers at the top, the others domain
    containers under them, so that the threads' cgroup lines name their leaves as on a stock
    kernel."""

    def __init__(self, build, procs, threads, containers, others):
        super().__init__(build, procs, threads, containers, others)
        top = max(1, containers // 5)
        self.parents = {5000 + i: 0 for i in range(top)}
        for j in range(containers - top):
            self.parents[60000 + j] = 5000 + j % top
        self.containers = list(self.parents)

    def leaf(self, cid):
        parent = self.parents[cid]
        return "ryx/" + (f"ryx{parent}/" if parent else "") + f"ryx{cid}/ryx{cid}"


def build_proc(tmp, listed_ids, name="proc", list_text=None):
    """The viewer's /proc: a tmpfs with the list file, the real procfs under .real, and the real
    directory of every process there is (in this pid namespace: the workers and this script).
    list_text: the list's whole text instead of one made of listed_ids; neither: no /proc/ryx
    (a stock kernel's)."""
    root = os.path.join(tmp, name)
    os.mkdir(root)
    mount("ryxbench", root, "tmpfs", 0, "mode=0555")
    real_names = os.listdir("/proc")
    os.mkdir(os.path.join(root, ".real"))
    mount("/proc", os.path.join(root, ".real"), None, MS_BIND | MS_REC)
    for name in real_names:
        if not name.isdigit() and name != "ryx":
            os.symlink(os.path.join(".real", name), os.path.join(root, name))
    pids = sorted(int(n) for n in real_names if n.isdigit())
    for pid in pids:  # creation order is listing order: ascending, as procfs lists
        d = os.path.join(root, str(pid))
        os.mkdir(d)
        mount(f"/proc/{pid}", d, None, MS_BIND)
    if listed_ids is None and list_text is None:
        return root
    if list_text is None:
        rows = []
        for cid in listed_ids:
            rows.append(f"{cid}\t{cid % 7 + 1}\t{cid * 1000}\t{cid * 300}\t{cid * 100}"
                        f"\t{cid * 40}\t{cid * 3}\n")
        list_text = "8:RYX\tEP\tCPU\tMEM\tMEMPHY\tIO\tIOPS\n" + "".join(rows)
    os.makedirs(os.path.join(root, "ryx"))
    with open(os.path.join(root, "ryx", "list"), "w") as f:
        f.write(list_text)
    return root


TREE_RECORD = "/run/ryx/cgroup"
TREE_ROOT = "/run/ryxbench-tree/ryx"


def build_tree(pop):
    """The library's tree as regular files on a tmpfs over /run (in this run's mount namespace
    only), with the record that names it: per container the files of a v2 leaf, its counters
    and the real pids and thread ids of its processes. Returns the text of a version 8 list with
    the same containers and counters, for the kernel's side of the comparison."""
    mount("ryxbench-run", "/run", "tmpfs", 0, "mode=0755")
    rows = []
    for cid in pop.containers:
        leaf = os.path.join(TREE_ROOT, pop.leaf(cid)[len("ryx/"):])
        os.makedirs(leaf, mode=0o755)
        pids = pop.members.get(cid, [])
        tids = [t for p in pids for t in sorted(os.listdir(f"/proc/{p}/task"), key=int)]
        files = {
            "cpu.stat": f"usage_usec {cid * 1000}\nuser_usec {cid * 600}\n"
                        f"system_usec {cid * 400}\n",
            "memory.current": f"{cid * 300 * 4096}\n",
            "io.stat": f"8:0 rbytes={cid * 30} wbytes={cid * 10} rios={cid} wios={cid * 2} "
                       "dbytes=0 dios=0\n",
            "cgroup.procs": "".join(f"{p}\n" for p in pids),
            "cgroup.threads": "".join(f"{t}\n" for t in tids),
        }
        for name, text in files.items():
            with open(os.path.join(leaf, name), "w") as f:
                f.write(text)
        parent = pop.parents[cid]
        rows.append(f"{parent},{cid}" if parent else f"{cid}")
        rows[-1] += f"\t0\t{cid * 1000000}\t{cid * 300}\t{cid * 300}\t{cid * 40}\t{cid * 3}\n"
    os.makedirs(os.path.dirname(TREE_RECORD), mode=0o755)
    with open(TREE_RECORD, "w") as f:
        f.write(f"v2 cpu,io,memory,pids {TREE_ROOT}\n")
    return "8:RYX\tEP\tCPU\tMEM\tMEMPHY\tIO\tIOPS\n" + "".join(rows)


NICE = -20  # measured programs all run at this nice value; None: as started


def spawner(build, proc=None, uid=None, out=None, runs=1):
    cmd = [os.path.join(build, "bench", "bench_spawn"), "-n", str(runs)]
    if NICE is not None:
        cmd += ["-N", str(NICE)]
    if uid is not None:
        cmd += ["-u", str(uid)]
    if proc is not None:
        cmd += ["-p", proc]
    if out is not None:
        cmd += ["-o", out]
    return cmd + ["--"]


def spawn_times(build, argv, runs=1, uid=None, proc=None):
    res = subprocess.run(spawner(build, proc, uid, runs=runs) + argv, capture_output=True,
                         text=True)
    if res.returncode != 0:
        raise RuntimeError(f"bench_spawn {argv[0]}: {res.stderr.strip()}")
    out = res.stderr
    res = []
    for line in out.splitlines():
        wall, user, sys_, rss, status = line.split()
        if int(status) != 0:
            raise RuntimeError(f"{argv[0]} exited with status {status}")
        res.append((float(wall), float(user) + float(sys_), int(rss)))
    return res


def med(xs):
    return statistics.median(xs)


def measure_passes(build, commands, runs, procs):
    """Interleaved runs, the order rotating each round; one warm-up round first."""
    names = list(commands)
    samples = {n: [] for n in names}
    for n in names:
        spawn_times(build, commands[n], proc=procs[n])
    for r in range(runs):
        for k in range(len(names)):
            n = names[(r + k) % len(names)]
            samples[n] += spawn_times(build, commands[n], proc=procs[n])
    return {n: {"wall": med([s[0] for s in v]), "cpu": med([s[1] for s in v]),
                "rss": max(s[2] for s in v)} for n, v in samples.items()}


def count_lines(build, argv, proc, tmp):
    out = os.path.join(tmp, "out")
    spawn = spawner(build, proc, out=out)
    res = subprocess.run(spawn + argv, capture_output=True, text=True)
    if res.returncode != 0 or res.stderr.split()[-1] != "0":
        raise RuntimeError(f"{argv[0]}: {res.stderr.strip()}")
    with open(out) as f:
        return f.read().count("\n")


def cpu_ns(pid):
    try:
        return int(open(f"/proc/{pid}/schedstat").read().split()[0])
    except (OSError, ValueError, IndexError):
        f = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
        return (int(f[11]) + int(f[12])) * 1_000_000_000 // CLK_TCK


def top_mode(build, passes, proc):
    """CPU per repaint of `ryxps -t -c 1`: the CPU the process used from one interval's sleep to
    the next, which covers both list reads, the collector and the repaint."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 160, 0, 0))
    env = dict(os.environ, TERM="xterm")
    p = subprocess.Popen(spawner(build, proc, out="-") + [os.path.join(build, "ryxtop", "ryxps"),
                         "-t", "-c", "1"], stdin=slave, stdout=slave, stderr=subprocess.DEVNULL,
                         env=env, start_new_session=True)
    os.close(slave)
    viewer = 0
    for _ in range(500):
        try:
            children = open(f"/proc/{p.pid}/task/{p.pid}/children").read().split()
        except OSError:
            children = []
        if children:
            viewer = int(children[0])
            break
        time.sleep(0.01)
    done = threading.Event()

    def drain():
        while not done.is_set():
            r, _, _ = select.select([master], [], [], 0.1)
            if r:
                try:
                    os.read(master, 65536)
                except OSError:
                    return

    t = threading.Thread(target=drain, daemon=True)
    t.start()
    marks = []
    sleeping = True  # the first sleep seen starts the first measured pass
    deadline = time.monotonic() + 30 + passes * 5
    try:
        while viewer > 0 and len(marks) <= passes and time.monotonic() < deadline and \
                p.poll() is None:
            try:
                sc = open(f"/proc/{viewer}/syscall").read().split()[0]
            except OSError:
                break
            now_sleeping = sc in SLEEP_SYSCALLS
            if now_sleeping and not sleeping:
                marks.append(cpu_ns(viewer))
            sleeping = now_sleeping
            time.sleep(0.01)
        os.write(master, b"q")
        try:
            p.wait(timeout=10)
        except subprocess.TimeoutExpired:
            kill_pid(viewer)
            p.wait()
    finally:
        if p.poll() is None:
            kill_pid(viewer)
            kill_pid(p.pid)
            p.wait()
        done.set()
        t.join()
        os.close(master)
    if len(marks) < 2:
        raise RuntimeError("top mode: no complete pass observed")
    per = [(b - a) / 1e9 for a, b in zip(marks, marks[1:])]
    return med(per), len(per), p.returncode


def registry(build, tmp, runs):
    out = {}
    text = subprocess.run([os.path.join(build, "bench", "registry_bench"), tmp],
                          capture_output=True, text=True, check=True,
                          preexec_fn=(lambda: os.nice(NICE)) if NICE is not None else None).stdout
    out["registry_bench"] = text
    helper = os.path.join(build, "ryz-helpers", "ryz-registry-helper")
    etc_lower = os.path.join(tmp, "etc")
    os.makedirs(os.path.join(etc_lower, "container"))
    for n in (10, 100000):
        root = os.path.join(etc_lower, "container", "ryz_ids")
        if os.path.isdir(root):
            shutil.rmtree(root)
        docroot = subprocess.run([os.path.join(build, "bench", "registry_bench"), "--make", root,
                                  str(BENCH_UID), str(n)], capture_output=True, text=True,
                                 check=True).stdout.strip()
        # The helper runs here without set-user-ID, as BENCH_UID: the table must be readable
        # to it, and the library believes the files of the account it runs as.
        os.chown(os.path.join(root, str(BENCH_UID)), BENCH_UID, BENCH_UID)
        mount("overlay", "/etc", "overlay", 0, f"lowerdir={etc_lower}:/etc")
        try:
            got = subprocess.run([helper, "get", str(BENCH_UID), docroot], capture_output=True,
                                 text=True, user=BENCH_UID, group=BENCH_UID, extra_groups=[])
            if got.returncode != 0 or not got.stdout.strip().isdigit():
                raise RuntimeError(f"helper lookup failed: {got.returncode} {got.stderr!r}")
            h, t = [], []
            chunk = max(1, runs // 5)
            for _ in range(5):
                h += spawn_times(build, [helper, "get", str(BENCH_UID), docroot], chunk,
                                 BENCH_UID)
                t += spawn_times(build, ["/bin/true"], chunk, BENCH_UID)
            out[n] = (med([x[0] for x in h]), med([x[0] for x in t]), max(x[2] for x in h),
                      max(x[2] for x in t))
        finally:
            umount("/etc")
    return out


def add_population_arguments(ap):
    """The options that shape the population every benchmark here measures over."""
    ap.add_argument("--build", required=True, help="build directory")
    ap.add_argument("--procs", type=int, default=200, help="processes in listed containers")
    ap.add_argument("--threads", type=int, default=50, help="threads per process")
    ap.add_argument("--containers", type=int, default=20, help="containers the processes share")
    ap.add_argument("--listed", type=int, default=500, help="containers in /proc/ryx/list")
    ap.add_argument("--others", type=int, default=10, help="processes outside any container")


def remove_scratch(tmp):
    """Unmounts the scratch /procs, then removes the scratch directory. Only after the mounts
    are gone: nothing of the real /proc may lie under tmp then."""
    procs = [os.path.join(tmp, n) for n in ("proc", "proc-tree")]
    for proc in procs:
        if os.path.ismount(proc):
            umount(proc)
    if not any(os.path.ismount(proc) for proc in procs):
        shutil.rmtree(tmp, ignore_errors=True)


def outside_namespace(script):
    """Runs script again, with this process's arguments, in a private mount and pid namespace,
    where everything mounted vanishes with it; returns its status. None when already inside."""
    if os.geteuid() != 0:
        print("SKIPPED: the benchmark needs root (mount namespace, cgroups)")
        return 0
    if os.environ.get("RYX_BENCH_NS") == "1":
        return None
    env = dict(os.environ, RYX_BENCH_NS="1")
    return subprocess.run(["unshare", "--mount", "--propagation", "private", "--pid", "--fork",
                           "--mount-proc", sys.executable, os.path.abspath(script)]
                          + sys.argv[1:], env=env).returncode


def verdict(ok):
    return "met" if ok else "MISSED"


def report_registry(build, tmp, runs):
    reg = registry(build, tmp, runs)
    log("\nregistry (registry_bench):")
    for line in reg["registry_bench"].splitlines()[1:]:
        log("  " + line)
    log(f"\nryz-registry-helper get, end to end, median of {runs} runs:")
    for n in (10, 100000):
        h, t, hr, tr = reg[n]
        log(f"  {n:6} entries: {h * 1e6:7.0f} us; /bin/true {t * 1e6:5.0f} us; "
            f"ratio {h / t:4.2f} ({verdict(h <= 2 * t)}); peak RSS {hr} / {tr} KiB")


def run(args):
    build = os.path.abspath(args.build)
    tmp = tempfile.mkdtemp(prefix="ryxbench-")
    if args.registry_only:
        try:
            report_registry(build, tmp, args.helper_runs)
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
        return
    pop = Population(build, args.procs, args.threads, args.containers, args.others)
    # A host lists more containers than run processes at any moment.
    listed = sorted(set(pop.containers) | set(range(5000, 5000 + args.listed)))
    ryxps = os.path.join(build, "ryxtop", "ryxps")
    ps = shutil.which("ps")
    try:
        log(f"{os.uname().release}, {os.cpu_count()} cpus, load average "
            f"{open('/proc/loadavg').read().split()[0]} at the start")
        log(f"starting {args.procs + args.others} processes of {args.threads} threads ...")
        pop.start()
        fake = build_proc(tmp, listed)
        total = (args.procs + args.others) * args.threads
        in_list = args.procs * args.threads
        # Everyone must see the same population before anything is timed.
        # ps also lists this script's threads, bench_spawn and itself.
        own = len(os.listdir(f"/proc/{os.getpid()}/task")) + 2
        got_ps = count_lines(build, [ps, "-eLo", "pid,tid,rss,time,comm"], None, tmp) - 1 - own
        busy = min(args.procs, len(pop.containers))  # containers with a line of their own
        got_ryxps = count_lines(build, [ryxps, "-p"], fake, tmp) - 1 - busy
        if got_ps != total or got_ryxps != in_list:
            raise RuntimeError(f"population mismatch: ps sees {got_ps} threads of {total}, "
                               f"ryxps -p {got_ryxps} of {in_list}")
        log(f"population: {total} threads in /proc, {in_list} of them in "
            f"{min(args.procs, len(pop.containers))} listed containers "
            f"({len(listed)} containers listed)")
        if args.exec:
            # For profiling: $RYX_BENCH_SPAWN -- <program> runs it over the viewer's /proc.
            env = dict(os.environ, RYX_BENCH_PROC=fake,
                       RYX_BENCH_SPAWN=" ".join(spawner(build, fake, out="-")[:-1]),
                       RYX_BENCH_LISTED=" ".join(str(p) for p in pop.listed_pids))
            subprocess.run(["/bin/sh", "-c", args.exec], env=env)
            return
        commands = {
            "floor": [os.path.join(build, "bench", "viewer_floor")] + [str(p) for p in
                                                                       pop.listed_pids],
            "ryxps": [ryxps],
            "ryxps -p": [ryxps, "-p"],
            "ps -eLo": [ps, "-eLo", "pid,tid,rss,time,comm"],
        }
        procs = {n: (None if n.startswith("ps") else fake) for n in commands}
        res = measure_passes(build, commands, args.runs, procs)
        log(f"\none pass over {total} threads, median of {args.runs} runs "
            "(wall and user+system CPU; peak RSS the largest seen)")
        log(f"{'':10} {'wall ms':>9} {'cpu ms':>9} {'peak RSS KiB':>13}")
        for n, r in res.items():
            log(f"{n:10} {r['wall'] * 1e3:9.1f} {r['cpu'] * 1e3:9.1f} {r['rss']:13d}")
        fl, rx, rp, pz = res["floor"], res["ryxps"], res["ryxps -p"], res["ps -eLo"]
        log("\nratios (wall, cpu):")
        for label, a, b in (("ryxps / floor", rx, fl), ("ryxps -p / floor", rp, fl),
                            ("ryxps / ps", rx, pz), ("floor / ps", fl, pz)):
            log(f"  {label:17} {a['wall'] / b['wall']:5.2f}  {a['cpu'] / b['cpu']:5.2f}")
        log("\ngoals (wall, cpu):")

        def goal(label, a, b, limit):
            log(f"  {label:35} {verdict(a['wall'] <= limit * b['wall']):6}  "
                f"{verdict(a['cpu'] <= limit * b['cpu'])}")

        goal("ryxps within 1.10x of the floor", rx, fl, 1.10)
        goal("ryxps no slower than ps", rx, pz, 1.0)
        goal("ryxps -p within 1.25x of the floor", rp, fl, 1.25)
        log(f"  {'peak RSS below ps (ryxps, -p)':35} "
            f"{verdict(rx['rss'] < pz['rss'] and rp['rss'] < pz['rss'])}")

        if args.top_passes:
            per, n, status = top_mode(build, args.top_passes, fake)
            log(f"\ntop mode (ryxps -t -c 1): {per:.3f} CPU seconds per pass over {total} "
                f"threads (median of {n} passes; exit status {status})")

        if not args.skip_registry:
            report_registry(build, tmp, args.helper_runs)
    finally:
        pop.stop()
        remove_scratch(tmp)


def paired_cpu(build, commands, procs, runs):
    """Interleaved runs as measure_passes makes them, the order alternating each round after a
    warm-up round; returns {name: [(wall, cpu, rss) per round]}."""
    names = list(commands)
    samples = {n: [] for n in names}
    for n in names:
        spawn_times(build, commands[n], proc=procs[n])
    for r in range(runs):
        for k in range(len(names)):
            n = names[(r + k) % len(names)]
            samples[n] += spawn_times(build, commands[n], proc=procs[n])
    return samples


def start_tree(args, build, tmp):
    """The population in the tree's layout, the tree's files and record, and a /proc with the
    kernel's list of the same containers and one without: (population, /proc with the list,
    /proc without)."""
    os.umask(0o022)
    pop = TreePopulation(build, args.procs, args.threads, args.tree, args.others)
    log(f"starting {args.procs + args.others} processes of {args.threads} threads in "
        f"{args.tree} containers of a tree ...")
    pop.start()
    list_text = build_tree(pop)
    return pop, build_proc(tmp, None, "proc", list_text), build_proc(tmp, None, "proc-tree")


def run_tree(args):
    """A ryxps pass whose records come from the control-group tree against the same pass over
    the kernel's list of the same containers, over the same threads."""
    build = os.path.abspath(args.build)
    tmp = tempfile.mkdtemp(prefix="ryxbench-tree-")
    ryxps = os.path.join(build, "ryxtop", "ryxps")
    pop = None
    try:
        log(f"{os.uname().release}, {os.cpu_count()} cpus, load average "
            f"{open('/proc/loadavg').read().split()[0]} at the start")
        pop, with_list, without = start_tree(args, build, tmp)
        in_list = args.procs * args.threads
        busy = min(args.procs, args.tree)
        for label, proc in (("list", with_list), ("tree", without)):
            got = count_lines(build, [ryxps, "-p"], proc, tmp) - 1 - busy
            if got != in_list:
                raise RuntimeError(f"population mismatch: ryxps -p on the {label} sees {got} "
                                   f"threads of {in_list}")
        log(f"population: {in_list} threads in {busy} containers of {args.tree}, "
            f"{args.others * args.threads} more outside any")
        samples = paired_cpu(build, {"list": [ryxps], "tree": [ryxps]},
                             {"list": with_list, "tree": without}, args.runs)
        log(f"\none ryxps pass, median of {args.runs} runs (wall and user+system CPU)")
        log(f"{'':6} {'wall ms':>9} {'cpu ms':>9} {'peak RSS KiB':>13}")
        for n, v in samples.items():
            log(f"{n:6} {med([x[0] for x in v]) * 1e3:9.1f} {med([x[1] for x in v]) * 1e3:9.1f} "
                f"{max(x[2] for x in v):13d}")
        ratios = [t[1] / l[1] for t, l in zip(samples["tree"], samples["list"])]
        ratio = med(ratios)
        log(f"\ntree / list, CPU, median of {len(ratios)} paired runs: {ratio:.3f} "
            f"(range {min(ratios):.3f}-{max(ratios):.3f}); goal within 1.05x: "
            f"{verdict(ratio <= 1.05)}")
    finally:
        # The tmpfs over /run goes with this run's mount namespace.
        if pop:
            pop.stop()
        remove_scratch(tmp)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_population_arguments(ap)
    ap.add_argument("--runs", type=int, default=7, help="timed runs of each pass")
    ap.add_argument("--top-passes", type=int, default=5, help="top-mode passes (0: skip)")
    ap.add_argument("--helper-runs", type=int, default=500, help="lookup helper runs")
    ap.add_argument("--skip-registry", action="store_true")
    ap.add_argument("--registry-only", action="store_true",
                    help="only the registry figures (no population is started)")
    ap.add_argument("--no-nice", action="store_true",
                    help="run the measured programs at normal priority (default: nice -20, so "
                         "that other load on a shared machine disturbs the figures less)")
    ap.add_argument("--tree", type=int, nargs="?", const=100, metavar="CONTAINERS",
                    help="instead: a pass over the records of a control-group tree of CONTAINERS "
                         "containers (default 100) against a pass over the kernel's list of "
                         "them")
    ap.add_argument("--exec", metavar="SHELL_COMMAND",
                    help="instead of measuring, run a command within the population (profiling)")
    args = ap.parse_args()
    status = outside_namespace(__file__)
    if status is not None:
        return status
    global NICE
    if args.no_nice:
        NICE = None
    # A terminated run still cleans up (the finally clauses), as an interrupted one does.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    if args.tree:
        run_tree(args)
    else:
        run(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
