#!/usr/bin/python3
"""Exporter cost on the viewer benchmark's population: run as root, from the build directory's
exporter-bench-run target or directly:

    python3 bench/exporter_bench.py --build <build dir> [--procs 200 --threads 50 --runs 7]

Over the same real threads as bench/viewer_bench.py (whose population and /proc it reuses),
interleaved in one run: a scrape of a running ryx_exporter (the CPU time of all the server's
threads over one HTTP scrape), a `ryx_exporter --once` run, and a one-shot `ryxps -n` pass
(both timed by bench_spawn, start-up included). Then the server's resident size over
--scrapes scrapes in a row.

--tree: the same on the library's control-group tree (bench/viewer_bench.py --tree), where the
exporter walks no threads: a scrape against a ryxps -n pass over the same tree and threads.

Every listed container is a user's, as on a hosting server: /etc is overlaid, in this run's
mount namespace only, with a passwd that has an entry for each listed id (the exporter looks
up the name of every listed container; ryxps -n looks up none).

Figures are medians of interleaved runs in one invocation; compare them only as ratios.
"""

import argparse
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import viewer_bench as vb  # noqa: E402  (the population, its /proc and the spawn timer)

GOAL = 1.15  # a scrape within this factor of a ryxps -n pass, in CPU time
TREE_GOAL = 0.1  # the same on the tree, where the scrape walks no threads


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def task_cpu_ns(pid):
    """CPU time of every thread of a process so far, in nanoseconds."""
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError):
            pass
    return total


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


class Server:
    """ryx_exporter serving over the benchmark's /proc, started by bench_spawn as the other
    programs are (same nice value, same mount of /proc)."""

    def __init__(self, build, proc):
        self.port = free_port()
        exe = os.path.join(build, "exporter", "ryx_exporter")
        self.log = tempfile.TemporaryFile()
        self.spawn = subprocess.Popen(
            vb.spawner(build, proc, out="-") + [exe, f"--web.listen-address=127.0.0.1:{self.port}"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.log)
        self.pid = 0
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and self.spawn.poll() is None:
            try:
                with open(f"/proc/{self.spawn.pid}/task/{self.spawn.pid}/children") as f:
                    children = f.read().split()
            except OSError:
                children = []
            if children:
                self.pid = int(children[0])
                try:
                    self.get()
                    return
                except OSError:
                    pass
            time.sleep(0.05)
        self.stop()
        raise RuntimeError("ryx_exporter did not start")

    def get(self):
        url = f"http://127.0.0.1:{self.port}/metrics"
        with urllib.request.urlopen(url, timeout=60) as r:
            if r.status != 200:
                raise RuntimeError(f"scrape answered {r.status}")
            return r.read().decode()

    def scrape(self):
        """(wall seconds, server CPU seconds) of one scrape."""
        before = task_cpu_ns(self.pid)
        start = time.monotonic()
        self.get()
        wall = time.monotonic() - start
        time.sleep(0.02)  # the collection thread goes back to sleep after handing over
        return wall, (task_cpu_ns(self.pid) - before) / 1e9

    def stop(self):
        vb.kill_pid(self.pid, signal.SIGTERM)
        try:
            self.spawn.wait(timeout=30)
        except subprocess.TimeoutExpired:
            vb.kill_pid(self.pid)
            self.spawn.wait()
        self.log.seek(0)
        status = self.log.read().decode(errors="replace").strip().splitlines()
        self.log.close()
        return status[-1].split()[-1] if status else "?"


def users_for(tmp, ids):
    """/etc, overlaid with a passwd that names every listed container."""
    lower = os.path.join(tmp, "etc")
    os.mkdir(lower)
    with open("/etc/passwd") as f:
        text = f.read()
    known = {int(line.split(":")[2]) for line in text.splitlines() if line.count(":") >= 6}
    text += "".join(f"u{i}:x:{i}:{i}::/home/u{i}:/usr/sbin/nologin\n" for i in ids
                    if i not in known)
    with open(os.path.join(lower, "passwd"), "w") as f:
        f.write(text)
    vb.mount("overlay", "/etc", "overlay", 0, f"lowerdir={lower}:/etc")


def threads_in(exposition):
    return sum(int(float(line.rsplit(" ", 1)[1])) for line in exposition.splitlines()
               if line.startswith("ryx_container_threads{"))


def measure(build, server, proc, runs):
    """Interleaved scrapes, --once runs and ryxps -n passes, the order rotating each round,
    after one warm-up round: medians."""
    exporter = os.path.join(build, "exporter", "ryx_exporter")
    ryxps = os.path.join(build, "ryxtop", "ryxps")
    samples = {"scrape": [], "--once": [], "ryxps -n": []}
    run_one = {
        "scrape": lambda: [server.scrape() + (0,)],
        "--once": lambda: vb.spawn_times(build, [exporter, "--once"], proc=proc),
        "ryxps -n": lambda: vb.spawn_times(build, [ryxps, "-n"], proc=proc),
    }
    names = list(run_one)
    for n in names:
        run_one[n]()
    for r in range(runs):
        for k in range(len(names)):
            n = names[(r + k) % len(names)]
            samples[n] += run_one[n]()
    return {n: {"wall": vb.med([s[0] for s in v]), "cpu": vb.med([s[1] for s in v])}
            for n, v in samples.items()}


def run(args):
    build = os.path.abspath(args.build)
    tmp = tempfile.mkdtemp(prefix="ryxbench-exporter-")
    pop = vb.Population(build, args.procs, args.threads, args.containers, args.others)
    listed = sorted(set(pop.containers) | set(range(5000, 5000 + args.listed)))
    server = None
    etc_overlaid = False
    try:
        vb.log(f"{os.uname().release}, {os.cpu_count()} cpus, load average "
               f"{open('/proc/loadavg').read().split()[0]} at the start")
        vb.log(f"starting {args.procs + args.others} processes of {args.threads} threads ...")
        pop.start()
        fake = vb.build_proc(tmp, listed)
        if not args.unknown_users:
            users_for(tmp, listed)
            etc_overlaid = True
        server = Server(build, fake)
        busy = min(args.procs, len(pop.containers))
        compare(build, server, fake, tmp, args, busy, f"{busy} containers ({len(listed)} listed)",
                "one pass over {} threads", GOAL, "a scrape")

        if args.scrapes:
            marks = {1, 10, 100, args.scrapes} | {args.scrapes * k // 4 for k in (1, 2, 3)}
            seen = {}
            start = time.monotonic()
            for i in range(1, args.scrapes + 1):
                server.get()
                if i in marks:
                    seen[i] = rss_kib(server.pid)
            took = time.monotonic() - start
            vb.log(f"\nserver RSS over {args.scrapes} scrapes in a row ({took:.0f} s), KiB:")
            vb.log("  " + ", ".join(f"after {i}: {seen[i]}" for i in sorted(seen)))
            growth = seen[args.scrapes] - seen[min(10, args.scrapes)]
            vb.log(f"  from scrape 10 to {args.scrapes}: {growth:+d} KiB "
                   f"({vb.verdict(growth <= 1024)}: flat within 1 MiB)")
    finally:
        if server:
            status = server.stop()
            vb.log(f"\nserver exit status {status}")
        pop.stop()
        if etc_overlaid:
            vb.umount("/etc")
        vb.remove_scratch(tmp)


def compare(build, server, proc, tmp, args, busy, where, what, goal, goal_of):
    """Checks that the exporter and ryxps -p count the population's threads, then times a
    scrape, --once and a ryxps -n pass over proc and prints them with the CPU ratio's verdict."""
    ryxps = os.path.join(build, "ryxtop", "ryxps")
    in_list = args.procs * args.threads
    got = threads_in(server.get())
    got_ryxps = vb.count_lines(build, [ryxps, "-n", "-p"], proc, tmp) - 1 - busy
    if got != in_list or got_ryxps != in_list:
        raise RuntimeError(f"population mismatch: the exporter counts {got} threads, "
                           f"ryxps -p {got_ryxps}, of {in_list}")
    vb.log(f"population: {in_list} threads in {where}, "
           f"{args.others * args.threads} more outside any")
    res = measure(build, server, proc, args.runs)
    vb.log(f"\n{what.format(in_list)}, median of {args.runs} runs "
           "(wall and user+system CPU; the scrape's CPU is the server's, all threads)")
    vb.log(f"{'':10} {'wall ms':>9} {'cpu ms':>9}")
    for n, r in res.items():
        vb.log(f"{n:10} {r['wall'] * 1e3:9.1f} {r['cpu'] * 1e3:9.1f}")
    base = res["ryxps -n"]
    vb.log("\nratios to ryxps -n (wall, cpu):")
    for n in ("scrape", "--once"):
        vb.log(f"  {n:8} {res[n]['wall'] / base['wall']:5.3f}  "
               f"{res[n]['cpu'] / base['cpu']:5.3f}")
    vb.log(f"goal: {goal_of} within {goal}x of a ryxps -n pass in CPU time: "
           f"{vb.verdict(res['scrape']['cpu'] <= goal * base['cpu'])}")
    return res


def run_tree(args):
    """A scrape whose records come from the control-group tree (no walk of /proc) against a
    ryxps -n pass over the same tree and threads."""
    build = os.path.abspath(args.build)
    tmp = tempfile.mkdtemp(prefix="ryxbench-exporter-tree-")
    pop = server = None
    etc_overlaid = False
    try:
        vb.log(f"{os.uname().release}, {os.cpu_count()} cpus, load average "
               f"{open('/proc/loadavg').read().split()[0]} at the start")
        pop, _, proc = vb.start_tree(args, build, tmp)
        if not args.unknown_users:
            users_for(tmp, pop.containers)
            etc_overlaid = True
        busy = min(args.procs, args.tree)
        server = Server(build, proc)
        compare(build, server, proc, tmp, args, busy,
                f"{busy} containers of a tree of {args.tree}", "one pass over the tree", TREE_GOAL,
                "a scrape of the tree")
    finally:
        if server:
            vb.log(f"\nserver exit status {server.stop()}")
        if pop:
            pop.stop()
        if etc_overlaid:
            vb.umount("/etc")
        vb.remove_scratch(tmp)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    vb.add_population_arguments(ap)
    ap.add_argument("--runs", type=int, default=7, help="timed runs of each")
    ap.add_argument("--scrapes", type=int, default=1000, help="scrapes for the RSS (0: skip)")
    ap.add_argument("--unknown-users", action="store_true",
                    help="leave /etc alone: no listed id has a passwd entry, and every name "
                         "lookup goes through the whole NSS chain")
    ap.add_argument("--no-nice", action="store_true",
                    help="run the measured programs at normal priority (default: nice -20)")
    ap.add_argument("--tree", type=int, nargs="?", const=100, metavar="CONTAINERS",
                    help="instead: a scrape of a control-group tree of CONTAINERS containers "
                         "(default 100) against a ryxps -n pass over it")
    args = ap.parse_args()
    status = vb.outside_namespace(__file__)
    if status is not None:
        return status
    if args.no_nice:
        vb.NICE = None
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    if args.tree:
        run_tree(args)
    else:
        run(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
