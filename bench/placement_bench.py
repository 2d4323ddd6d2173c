#!/usr/bin/python3
"""Placement by ryxd: how soon a tenant's new process is in its container under a storm of
starts, what the storm costs the daemon, and what a walk of /proc costs against a ryxps pass.
Run as root, from the build directory's bench-placement target or directly:

    python3 bench/placement_bench.py --build <build dir> [--runs 3 --pairs 7 --only storm|walk]

The daemon runs in a mount namespace of the run's own, over a private subtree of the cgroup v2
hierarchy (mounted again there, the subtree bind-mounted and named to the daemon by a mount
table holding that mount alone), with its own state, registry, tree record and login.defs: the
host's control groups and containers stay as they are, and the subtree goes with the run.
Both parts use one tenant, --uid: a uid that no other process on the host runs as, since a
daemon in the initial pid namespace judges every process of the host (this run's would place
that uid's other processes too, and another run's daemon, of a test say, may place or stop this
run's tenant processes); the run refuses to start while one runs. Which uid it is does not
change what the daemon does.

Storm: placement_storm starts --count processes at each of --rates as root, each becoming the
tenant (by setresuid, setresuid and exec, or setpriv, in turn) and timing itself from just
before its uid change or exec until its cgroup line names its container. p50, p99 and max are
medians over --runs storms at each rate, the rates alternating, after one small warm-up storm.
The daemon needs the kernel's process events, so this part runs in the initial pid namespace.
The daemon's CPU is the growth of its schedstat run time over a storm; it includes the events of
everything else the host starts meanwhile, so its CPU over a quiet interval before the storms is
printed too, and the net figure takes that rate off. The machine's idle share is /proc/stat's
idle and iowait over the storm. Caveats: the probes poll at SCHED_IDLE so as not to delay the
daemon they time, so on a saturated machine (idle near 0%) their own wake-up delay is in the
figures, the tail most, not only the daemon's; the walk interval is an hour, so what the daemon
keeps of exited processes until its next walk is in its RSS after the storms (a walk every 5 s,
the default, would have dropped it).

Walk: viewer_bench's tree population (--procs processes of --threads threads in the layout of
the library's tree, plus --others outside it), every worker running as the tenant --uid, in a
private pid namespace whose /proc lists only them and this script. The tenant has a container
with a memory setting (so each walk renews the address-space limit) and one registered docroot
(so each walk reads every tenant process's working directory; the workers work outside it).
The daemon places every worker before the walks are timed, so the timed walks move nothing;
that every worker is still in place and ryxps still sees every thread is checked before and
after the timed pairs. The daemon runs without process events; a walk is one SIGHUP: forget
every cache, read the state again, judge every process. Its cost is the daemon's CPU from the
signal until its READY=1 (the service manager's protocol, on a socket of this script's) and its
run time stops growing. The ryxps pass is viewer_bench's tree-mode `ryxps -p` one-shot pass over
the same population (records from the tree's files on a tmpfs, threads from the kernel's files),
its user+system CPU from wait4, start-up included. Pairs alternate their order after one warm-up
of each; the ratio walk / pass is the median over the pairs (goal: at most 0.2).

Figures from one invocation on a shared machine: compare the walk with the pass only as the
paired ratio, and read the storm's latencies beside the idle share.
"""

import argparse
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import viewer_bench as vb  # noqa: E402  (beside this script, not installed)

PART_ENV = "RYX_PLACEMENT_PART"  # set in the namespaced child: which part it runs
stopped = False  # the run was interrupted or terminated: no further part
WALK_GOAL = 0.2
MEMORY_PAGES = 1 << 20  # the tenant container's memory setting: 4 GiB of address space

log = vb.log
med = statistics.median


def task_cpu_ns(pid):
    """The run time of every task of pid so far, from schedstat (ns)."""
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
            total += int(f.read().split()[0])
    return total


def cpu_times():
    """(idle, total) jiffies of the whole machine; idle includes iowait."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    # user nice system idle iowait irq softirq steal (guest time is already in user and nice)
    return fields[3] + fields[4], sum(fields[:8])


def real_uid(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("Uid:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def has_sys_resource():
    """Whether this process may read and set other users' resource limits."""
    with open("/proc/self/status") as f:
        caps = [ln for ln in f if ln.startswith("CapEff:")][0].split()[1]
    return bool(int(caps, 16) >> 24 & 1)  # CAP_SYS_RESOURCE


class Sandbox:
    """ryxd over a private cgroup v2 subtree, with state of its own. Must be made inside a
    private mount namespace: its mounts are not meant to reach the host's."""

    def __init__(self, build):
        self.build = build
        self.dir = tempfile.mkdtemp(prefix="ryxplace-")
        os.chmod(self.dir, 0o755)  # the tree record's directory and its parent are root's 0755
        self.cg = os.path.join(self.dir, "cg")
        self.sub = os.path.join(self.dir, "sub")
        self.subtree = f"ryxbench.{os.urandom(4).hex()}"  # pids repeat across pid namespaces
        self.run_dir = os.path.join(self.dir, "run")
        self.daemon = None
        self.notify = None
        for d in (self.cg, self.sub, self.run_dir, "state", "reg", "www/site"):
            os.makedirs(os.path.join(self.dir, d), mode=0o755)
        vb.mount("none", self.cg, "cgroup2")
        os.mkdir(os.path.join(self.cg, self.subtree))
        vb.mount(os.path.join(self.cg, self.subtree), self.sub, None, vb.MS_BIND)
        with open("/proc/self/mountinfo") as f:
            line = [ln for ln in f if ln.split()[4] == self.sub]
        self.mountinfo = os.path.join(self.dir, "mountinfo")
        with open(self.mountinfo, "w") as f:
            f.writelines(line)
        self.login_defs = os.path.join(self.dir, "login.defs")
        with open(self.login_defs, "w") as f:
            f.write("UID_MIN 1000\nUID_MAX 60000\n")
        self.docroot = os.path.join(self.dir, "www", "site")

    def paths(self):
        return ["--state-dir", os.path.join(self.dir, "state"),
                "--registry", os.path.join(self.dir, "reg"),
                "--cgroup-record", os.path.join(self.run_dir, "cgroup")]

    def ryxctl(self, *args):
        res = subprocess.run([os.path.join(self.build, "libryx", "ryxctl")] + self.paths()
                             + [str(a) for a in args], capture_output=True, text=True)
        if res.returncode != 0:
            raise RuntimeError(f"ryxctl {' '.join(map(str, args))}: {res.stderr.strip()}")
        return res.stdout

    def start(self, events):
        """Starts the daemon and waits for its first walk (READY=1)."""
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        path = os.path.join(self.dir, "notify")
        self.notify.bind(path)
        argv = [os.path.join(self.build, "libryx", "ryxd"), "--foreground", "--walk-interval",
                "3600", "--mountinfo", self.mountinfo, "--login-defs", self.login_defs]
        argv += self.paths() + ([] if events else ["--no-events"])
        self.log_file = open(os.path.join(self.dir, "ryxd.log"), "w+")
        # A session of its own: an interrupt at the terminal reaches this script, which then
        # stops the daemon after everything else, not the daemon first.
        self.daemon = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=self.log_file,
                                       stderr=self.log_file, start_new_session=True,
                                       env=dict(os.environ, NOTIFY_SOCKET=path))
        self._ready()

    def _ready(self, timeout=30):
        self.notify.settimeout(0.1)
        deadline = time.monotonic() + timeout
        while self.daemon.poll() is None and time.monotonic() < deadline:
            try:
                if "READY=1" in self.notify.recv(4096).decode().split("\n"):
                    return
            except socket.timeout:
                pass
        raise RuntimeError(f"ryxd is not ready (exit status {self.daemon.poll()}):\n"
                           f"{self.journal()}")

    def journal(self):
        self.log_file.seek(0)
        return self.log_file.read()

    def cpu_ns(self):
        return task_cpu_ns(self.daemon.pid)

    def settled_cpu_ns(self):
        """The daemon's run time once it has stopped growing: what it does after READY=1 (the
        journal, back to its poll) is counted too."""
        last = self.cpu_ns()
        while True:
            time.sleep(0.02)
            now = self.cpu_ns()
            if now == last:
                return now
            last = now

    def reload(self):
        """One SIGHUP and the walk that follows: (CPU ns, wall s)."""
        self.notify.setblocking(False)
        try:
            while self.notify.recv(4096):
                pass
        except BlockingIOError:
            pass
        before = self.settled_cpu_ns()
        t0 = time.monotonic()
        vb.kill_pid(self.daemon.pid, signal.SIGHUP)
        self._ready()
        wall = time.monotonic() - t0
        return self.settled_cpu_ns() - before, wall

    def memory(self):
        """(VmRSS, VmHWM) of the daemon, KiB."""
        got = {}
        with open(f"/proc/{self.daemon.pid}/status") as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in ("VmRSS", "VmHWM"):
                    got[key] = int(value.split()[0])
        return got["VmRSS"], got["VmHWM"]

    def close(self):
        """Stops the daemon, then removes the subtree deepest first and every mount. Whoever
        ran processes in the subtree has stopped them by now."""
        if self.daemon:
            vb.kill_pid(self.daemon.pid, signal.SIGTERM)
            try:
                self.daemon.wait(timeout=10)
            except subprocess.TimeoutExpired:
                vb.kill_pid(self.daemon.pid)
                self.daemon.wait()
            self.log_file.close()
        if self.notify:
            self.notify.close()
        for _ in range(50):
            try:
                for top, dirs, _ in os.walk(self.sub, topdown=False):
                    for d in dirs:
                        os.rmdir(os.path.join(top, d))
                break
            except OSError:
                time.sleep(0.1)  # killed processes leave their groups a little later
        vb.umount(self.sub)
        try:
            os.rmdir(os.path.join(self.cg, self.subtree))
        except OSError as e:
            log(f"warning: cannot remove the cgroup subtree {self.subtree}: {e.strerror}")
        vb.umount(self.cg)
        if not os.path.ismount(self.cg) and not os.path.ismount(self.sub):
            shutil.rmtree(self.dir, ignore_errors=True)


def storm(build, sandbox, uid, count, rate):
    """One storm: the probes' line, the daemon's CPU ns, the machine's idle share and the
    storm's wall time (s)."""
    cpu0, (idle0, total0), t0 = sandbox.cpu_ns(), cpu_times(), time.monotonic()
    res = subprocess.run([os.path.join(build, "bench", "placement_storm"), "--uid", str(uid),
                          "--count", str(count), "--rate", str(rate), "--expect",
                          f"/ryx{uid}/ryx{uid}", "--timeout", "10"],
                         capture_output=True, text=True)
    cpu1, (idle1, total1), t1 = sandbox.settled_cpu_ns(), cpu_times(), time.monotonic()
    if res.returncode != 0:
        raise RuntimeError(f"placement_storm: {res.stderr.strip()}")
    words = res.stdout.split()
    got = {words[i]: float(words[i + 1]) for i in range(0, len(words) - 1, 2)}
    return got, cpu1 - cpu0, (idle1 - idle0) / max(1, total1 - total0), t1 - t0


def run_storm(args):
    build, uid = os.path.abspath(args.build), args.uid
    log(f"{os.uname().release}, {os.cpu_count()} cpus, load average "
        f"{open('/proc/loadavg').read().split()[0]} at the start")
    sandbox = Sandbox(build)
    try:
        sandbox.start(events=True)
        sandbox.ryxctl("create", uid)
        sandbox.reload()  # the container is known for certain, whatever the watch saw
        storm(build, sandbox, uid, 100, 1000)  # warm-up, not reported
        # What the rest of the host's process events cost the daemon meanwhile.
        cpu0, (idle0, total0), t0 = sandbox.settled_cpu_ns(), cpu_times(), time.monotonic()
        time.sleep(args.quiet)
        cpu1, (idle1, total1), t1 = sandbox.settled_cpu_ns(), cpu_times(), time.monotonic()
        quiet_ms = (cpu1 - cpu0) / 1e6 / (t1 - t0)
        quiet_idle = (idle1 - idle0) / max(1, total1 - total0)
        rates = args.rates
        results = {r: [] for r in rates}
        memory = {}
        for run in range(args.runs):
            for rate in (rates if run % 2 == 0 else rates[::-1]):
                results[rate].append(storm(build, sandbox, uid, args.count, rate))
                memory[rate] = sandbox.memory()
        log(f"\nplacement under a storm of {args.count} starts as uid {uid}, median of "
            f"{args.runs} storms at each rate (the rates alternating)")
        log(f"{'starts/s':>8} {'landed':>9} {'p50 ms':>7} {'p99 ms':>7} {'max ms':>7} "
            f"{'ryxd ms/1000':>12} {'net':>6} {'% of a cpu':>10} {'idle':>5} {'RSS KiB':>8} "
            f"{'HWM KiB':>8}")
        for rate in rates:
            v = results[rate]
            landed = min(int(g["landed"]) for g, _, _, _ in v)
            per_1000 = med([c / g["started"] for g, c, _, _ in v]) * 1000 / 1e6
            net = med([(c - quiet_ms * 1e6 * w) / g["started"] for g, c, _, w in v]) * 1000 / 1e6
            log(f"{rate:8} {landed:4}/{args.count:<4} "
                f"{med([g['p50_ms'] for g, _, _, _ in v]):7.2f} "
                f"{med([g['p99_ms'] for g, _, _, _ in v]):7.2f} "
                f"{med([g['max_ms'] for g, _, _, _ in v]):7.2f} {per_1000:12.2f} {net:6.2f} "
                f"{net * rate / 1000 / 10:9.2f}% {med([i for _, _, i, _ in v]) * 100:4.0f}% "
                f"{memory[rate][0]:8} {memory[rate][1]:8}")
        log("each storm (p50/p99/max ms; ryxd CPU ms; idle; wall s):")
        for rate in rates:
            log(f"{rate:8}: " + "; ".join(f"{g['p50_ms']:.2f}/{g['p99_ms']:.2f}/{g['max_ms']:.2f} "
                                        f"{c / 1e6:.1f} {i * 100:.0f}% {w:.2f}"
                                        for g, c, i, w in results[rate]))
        log(f"quiet interval before the storms ({args.quiet:g} s): ryxd {quiet_ms:.3f} ms of CPU "
            f"per second, machine {quiet_idle * 100:.0f}% idle")
        log("(landed: the fewest of the storms within 10 s; ryxd ms/1000: the daemon's CPU per "
            "1,000 starts; net: less the quiet interval's rate over the storm's wall time, and "
            "as a share of one processor at that rate; idle: the whole machine's during the "
            "storm; RSS and HWM of the daemon after the last storm at that rate)")
        failures = [ln for ln in sandbox.journal().splitlines() if "cannot" in ln]
        if failures:
            log("ryxd said:\n  " + "\n  ".join(failures[:10]))
    finally:
        sandbox.close()


def tenant_build(tmp, build, uid):
    """A build directory for viewer_bench's population whose bench_worker drops to uid before
    it runs: the population starts bench/bench_worker under the directory it is given."""
    shim = os.path.join(tmp, "tenant-build")
    os.makedirs(os.path.join(shim, "bench"))
    worker = os.path.join(shim, "bench", "bench_worker")
    with open(worker, "w") as f:
        f.write(f"#!/bin/sh\nexec /usr/bin/setpriv --reuid={uid} --regid={uid} --clear-groups "
                f"{os.path.join(build, 'bench', 'bench_worker')} \"$@\"\n")
    os.chmod(worker, 0o755)
    return shim


def run_walk(args):
    build = os.path.abspath(args.build)
    ryxps = os.path.join(build, "ryxtop", "ryxps")
    tmp = tempfile.mkdtemp(prefix="ryxplace-walk-")
    pop = sandbox = None
    try:
        os.umask(0o022)
        pop = vb.TreePopulation(tenant_build(tmp, build, args.uid), args.procs, args.threads,
                                args.tree, args.others)
        log(f"\nstarting {args.procs + args.others} processes of {args.threads} threads as "
            f"uid {args.uid}, {args.procs} of them in {args.tree} containers of a tree ...")
        pop.start()
        vb.build_tree(pop)
        proc = vb.build_proc(tmp, None, "proc-tree")
        in_tree = args.procs * args.threads
        busy = min(args.procs, args.tree)
        got = vb.count_lines(build, [ryxps, "-p"], proc, tmp) - 1 - busy
        if got != in_tree:
            raise RuntimeError(f"population mismatch: ryxps -p sees {got} threads of {in_tree}")

        sandbox = Sandbox(build)
        sandbox.start(events=False)
        sandbox.ryxctl("create", args.uid)
        sandbox.ryxctl("set", args.uid, f"memory={MEMORY_PAGES}")
        sandbox.ryxctl("allow-domain-limits", args.uid)
        sandbox.ryxctl("map-assign", args.uid, sandbox.docroot)
        sandbox.reload()  # moves the workers into the tenant's container

        def check(when):
            """Every worker alive, the tenant's and in its container; ryxps sees them all."""
            leaf = f"/{sandbox.subtree}/ryx/ryx{args.uid}/ryx{args.uid}"
            for p, _ in pop.workers:
                try:
                    with open(f"/proc/{p.pid}/cgroup") as f:
                        v2 = [ln for ln in f.read().splitlines() if ln.startswith("0::")]
                except OSError:
                    v2 = ["gone"]
                if real_uid(p.pid) != args.uid or not v2 or not v2[0].endswith(leaf):
                    raise RuntimeError(f"{when}: worker {p.pid} is not in place: {v2}\n"
                                       f"{sandbox.journal()}")
            got = vb.count_lines(build, [ryxps, "-p"], proc, tmp) - 1 - busy
            if got != in_tree:
                raise RuntimeError(f"{when}: ryxps -p sees {got} threads of {in_tree}")

        check("before the walks")
        processes = sum(1 for n in os.listdir("/proc") if n.isdigit())
        threads = sum(len(os.listdir(f"/proc/{n}/task")) for n in os.listdir("/proc")
                      if n.isdigit())
        log(f"population: {processes} processes, {threads} threads in this pid namespace; "
            f"ryxps -p lists {in_tree} threads in {busy} containers; "
            f"{len(pop.workers)} tenant processes placed, one docroot registered")
        if not has_sys_resource():
            log("note: root here lacks CAP_SYS_RESOURCE: the daemon cannot read or set another "
                "user's address-space limit (EPERM), so each walk asks once per tenant process "
                "and sets nothing, as it would with every limit already in place")

        walk = sandbox.reload

        def ryxps_pass():
            wall, cpu, _ = vb.spawn_times(build, [ryxps, "-p"], proc=proc)[0]
            return cpu * 1e9, wall

        walk()
        ryxps_pass()
        pairs = []
        for i in range(args.pairs):
            if i % 2 == 0:
                w, p = walk(), ryxps_pass()
            else:
                p, w = ryxps_pass(), walk()
            pairs.append((w, p))
        check("after the walks")
        ratios = [w[0] / p[0] for w, p in pairs]
        log(f"\none walk (SIGHUP) against one ryxps -p pass, {args.pairs} pairs, the order "
            "alternating")
        log(f"{'':12} {'cpu ms':>8} {'wall ms':>8}   (medians; each pair's cpu ms)")
        for label, k in (("ryxd walk", 0), ("ryxps -p", 1)):
            log(f"{label:12} {med([x[k][0] for x in pairs]) / 1e6:8.2f} "
                f"{med([x[k][1] for x in pairs]) * 1e3:8.2f}   "
                + " ".join(f"{x[k][0] / 1e6:.2f}" for x in pairs))
        ratio = med(ratios)
        log(f"walk / ryxps -p, CPU, median of {len(ratios)} pairs: {ratio:.3f} (range "
            f"{min(ratios):.3f}-{max(ratios):.3f}); goal at most {WALK_GOAL}: "
            f"{vb.verdict(ratio <= WALK_GOAL)}")
        rss, hwm = sandbox.memory()
        log(f"ryxd after the walks: VmRSS {rss} KiB, VmHWM {hwm} KiB")
    finally:
        # The daemon first, then the workers out of its subtree, then the subtree itself.
        if sandbox and sandbox.daemon:
            vb.kill_pid(sandbox.daemon.pid, signal.SIGTERM)
        if pop:
            pop.stop()
        if sandbox:
            sandbox.close()
        vb.remove_scratch(tmp)


def in_namespace(part, pid_namespace):
    """Runs this script again, with its own arguments, for one part in a private mount
    namespace (and pid namespace with a procfs of its own); returns its status."""
    cmd = ["unshare", "--mount", "--propagation", "private"]
    if pid_namespace:
        cmd += ["--pid", "--fork", "--mount-proc"]
    env = dict(os.environ, **{PART_ENV: part})
    child = subprocess.Popen(cmd + [sys.executable, os.path.abspath(__file__)] + sys.argv[1:],
                             env=env)

    def terminate(*_):
        global stopped
        stopped = True
        # The part itself, which cleans up before it exits: unshare --fork passes on no signal.
        pid = child.pid
        if pid_namespace:
            try:
                with open(f"/proc/{pid}/task/{pid}/children") as f:
                    pid = int(f.read().split()[0])
            except (OSError, IndexError, ValueError):
                pass
        vb.kill_pid(pid, signal.SIGTERM)

    signal.signal(signal.SIGTERM, terminate)
    while True:
        try:
            return child.wait()
        except KeyboardInterrupt:
            global stopped
            stopped = True  # the part was interrupted too, and is cleaning up


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", required=True, help="build directory")
    ap.add_argument("--uid", type=int, default=40000,
                    help="the tenant: a uid no process on the host runs as")
    ap.add_argument("--quiet", type=float, default=3, help="seconds of the quiet interval")
    ap.add_argument("--only", choices=("storm", "walk"), help="run one part alone")
    ap.add_argument("--count", type=int, default=1000, help="processes per storm")
    ap.add_argument("--rates", type=int, nargs="+", default=[1000, 250],
                    help="starts per second, one storm series each")
    ap.add_argument("--runs", type=int, default=3, help="storms at each rate")
    ap.add_argument("--pairs", type=int, default=7, help="walk / ryxps pairs")
    ap.add_argument("--procs", type=int, default=200,
                    help="the tenant's processes in ryxps's tree")
    ap.add_argument("--threads", type=int, default=50, help="threads per process")
    ap.add_argument("--tree", type=int, default=100, help="containers of ryxps's tree")
    ap.add_argument("--others", type=int, default=10,
                    help="the tenant's processes outside ryxps's tree")
    args = ap.parse_args()
    if os.geteuid() != 0:
        print("SKIPPED: the benchmark needs root (mount namespace, cgroups)")
        return 0
    part = os.environ.get(PART_ENV)
    if part:
        # A terminated run still cleans up (the finally clauses), as an interrupted one does.
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
        if part == "storm":
            run_storm(args)
        else:
            run_walk(args)
        return 0
    others = [p for p in os.listdir("/proc") if p.isdigit() and real_uid(p) == args.uid]
    if others:
        print(f"uid {args.uid} runs processes already ({', '.join(others[:5])}): choose another "
              "--uid")
        return 1
    # Process events come only to the initial pid namespace; the walk wants a procfs that lists
    # its population alone.
    status = 0
    for name, pid_namespace in (("storm", False), ("walk", True)):
        if args.only in (None, name) and not stopped:
            status = in_namespace(name, pid_namespace) or status
    return status


if __name__ == "__main__":
    sys.exit(main())
