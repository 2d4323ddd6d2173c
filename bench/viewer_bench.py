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
moved into a cgroup-v1 group named ryx<id> (under a group of this run's own), whose path is the
last component of the thread's cgroup lines. A further set of workers sits in a group with a
non-numeric name, as a host's own daemons do: read, then dropped.

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
    """Sleeping worker processes in cgroups named after their containers."""

    def __init__(self, build, procs, threads, containers, others):
        self.build, self.procs, self.threads = build, procs, threads
        self.containers = [5000 + 25 * i for i in range(containers)]
        self.others = others
        self.workers = []  # (Popen, cgroup dir or None)
        self.listed_pids = []
        self.cg_root = None

    def _cgroup_hierarchy(self):
        for line in open("/proc/self/mountinfo"):
            parts = line.split()
            sep = parts.index("-")
            if parts[sep + 1] == "cgroup" and "pids" in parts[sep + 3].split(","):
                return parts[4]
        raise SystemExit("SKIPPED: no cgroup-v1 pids hierarchy to place the workers in")

    def start(self):
        # The script is pid 1 of its namespace: the name must come from elsewhere.
        self.cg_root = os.path.join(self._cgroup_hierarchy(), f"ryxbench.{os.urandom(4).hex()}")
        os.mkdir(self.cg_root)
        groups = {}
        for cid in self.containers:
            groups[cid] = os.path.join(self.cg_root, f"ryx{cid}")
            os.mkdir(groups[cid])
        other = os.path.join(self.cg_root, "system")
        os.mkdir(other)
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
        if self.cg_root and os.path.isdir(self.cg_root):
            for _ in range(50):
                try:
                    for d in os.listdir(self.cg_root):
                        if os.path.isdir(os.path.join(self.cg_root, d)):
                            os.rmdir(os.path.join(self.cg_root, d))
                    os.rmdir(self.cg_root)
                    break
                except OSError:
                    time.sleep(0.1)  # tasks of killed workers leave their group a little later


def build_proc(tmp, listed_ids):
    """The viewer's /proc: a tmpfs with the list file, the real procfs under .real, and the real
    directory of every process there is (in this pid namespace: the workers and this script)."""
    root = os.path.join(tmp, "proc")
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
    os.makedirs(os.path.join(root, "ryx"))
    rows = []
    for cid in listed_ids:
        rows.append(f"{cid}\t{cid % 7 + 1}\t{cid * 1000}\t{cid * 300}\t{cid * 100}\t{cid * 40}"
                    f"\t{cid * 3}\n")
    with open(os.path.join(root, "ryx", "list"), "w") as f:
        f.write("8:RYX\tEP\tCPU\tMEM\tMEMPHY\tIO\tIOPS\n" + "".join(rows))
    return root


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
    """Unmounts the scratch /proc, then removes the scratch directory. Only after the mounts
    are gone: nothing of the real /proc may lie under tmp then."""
    proc = os.path.join(tmp, "proc")
    if os.path.ismount(proc):
        umount(proc)
    if not os.path.ismount(proc):
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
    run(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
