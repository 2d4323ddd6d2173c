"""What the viewer's black-box tests share: the usage text and a fixture host with lists."""

import os
import shlex

from harness.sandbox import Host, program

USAGE = (
    "ryxps version 6.6.46 release 1.el10.tavrenox\n"
    "usage: ryxps [-p] [-n] [-L] [-o <fmt1:width1,...>] [-d] [-c <time>] [-s <style>] [-t] [-h]\n"
    "       -p to print per-process/per-thread statistics\n"
    "       -n to print RYX ID istead of username\n"
    "       -o to use formatted output (fmt=id,ryk,ep,pid,tid,cpu,mem,io)\n"
    "       -L to add the RYK column (parent container id, 0 if none);\n"
    "          ignored when -o is given, which selects columns explicitly\n"
    "       -d to show dynamic cpu usage instead of total cpu usage\n"
    "       -c to calculate average cpu usage for <time> seconds (used with -d)\n"
    "       -r to run under realtime priority for more accuracy (needs privileges)\n"
    "       -s to sort RYXs in output (cpu, process, thread, mem, io)\n"
    "       -t to run in the top-mode\n"
    "       -w to show pids instead of command names\n"
    "       -h to print this brief help message\n"
    "       -l to print cpu usage in old format\n"
    "       -m to print cpu usage in mhz\n"
    "       -x to print output with at least one space between columns\n")

COLUMNS = ["RYX", "EP", "CPU", "IO", "IOPS", "MEMPHY"]


def ryxps():
    return program("ryxps")


def new_host(test):
    """A host with a processor, cleaned up with the test."""
    host = Host(passwd={0: "root"})
    test.addCleanup(host.close)
    host.cpuinfo(mhz=2400.0)
    return host


def with_threads(host, ids, first_pid=100):
    """One single-threaded process in each container of ids, so that one-shot passes list it."""
    for n, cid in enumerate(ids):
        pid = first_pid + n
        host.thread(pid, pid, fnid=cid, name=f"p{cid}")


def rows_of(stdout):
    """Output lines split into cells (the header included)."""
    return [line.split() for line in stdout.decode().splitlines()]


def stage(host, name, text, target="/proc/ryx/list"):
    """Keeps text outside the sandboxed /proc; returns the shell command that puts it at target
    (for a sleep hook, which runs inside the sandbox while the program waits)."""
    path = os.path.join(host.tmp, "staged", name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    return f"cp {shlex.quote(path)} {shlex.quote(target)}"


def sanitized():
    return bool(os.environ.get("RYX_SANITIZE"))


# The library's control-group tree in fixtures: a hierarchy "mounted" at TREE_MOUNT (sandboxed;
# real ones are under /sys/fs/cgroup) with the tree's root at TREE.
TREE_MOUNT = "/run/cgroup-fixture"
TREE = TREE_MOUNT + "/ryx"


def tree_leaf(host, cid, parent=0, files=()):
    """Container cid's leaf (under reseller parent) with its files {name: text}, every directory
    root's alone, and the record naming the tree; returns the path a thread's cgroup names."""
    host.mkdir("/run/ryx")
    host.file("/run/ryx/cgroup", f"v2 cpu,io,memory,pids {TREE}\n")
    path = TREE_MOUNT
    for part in ["ryx"] + [f"ryx{parent}"] * bool(parent) + [f"ryx{cid}"] * 2:
        path += "/" + part
        host.mkdir(path)
    for name, text in dict(files).items():
        host.file(f"{path}/{name}", text)
    return path[len(TREE_MOUNT):]
