"""ryxd, the real built daemon, placing real processes on this machine's own kernel.

The test process enters a mount namespace of its own, mounts the unified control-group hierarchy
there, makes a private subtree in it (removed at the end) and shows ryxd only that subtree, with
a scratch registry, state and login.defs. No controller is needed to place processes, so a host
whose unified hierarchy has none is enough. Where the kernel's process events, a mountable
unified hierarchy or root are missing, the tests say "skipped" with the reason.
"""

import ctypes
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from harness.sandbox import SANITIZED, program

CLONE_NEWNS = 0x00020000
NETLINK_CONNECTOR = 11
CN_IDX_PROC = 1
USER, OTHER = 1000, 1001
# Starts and their rate: a sanitized probe's own start-up costs tens of milliseconds of CPU, so
# a sanitized storm is smaller, or it would time only a saturated machine.
STORM = ("200", "100") if SANITIZED else ("1000", "1000")


def skip(reason):
    print(f"SKIPPED: {reason}", flush=True)
    return unittest.SkipTest(reason)


def unavailable_reason():
    if os.geteuid() != 0:
        return "placing other users' processes needs root"
    if shutil.which("setpriv") is None:
        return "setpriv (util-linux) not installed"
    try:
        with socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, NETLINK_CONNECTOR) as s:
            s.bind((0, CN_IDX_PROC))
    except OSError as e:
        return f"no process events from this kernel ({e.strerror})"
    return None


def as_user(uid, script, cwd=None):
    """A shell of uid's, running script, started by root as a service's start script would."""
    return subprocess.Popen(["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups",
                             "sh", "-c", script], cwd=cwd)


def group_of(pid):
    """The process's unified-hierarchy group, or None once it is gone."""
    try:
        with open(f"/proc/{pid}/cgroup") as f:
            return next((line[3:].strip() for line in f if line.startswith("0::")), None)
    except OSError:
        return None


class PlacementTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        reason = unavailable_reason()
        if reason:
            raise skip(reason)
        if ctypes.CDLL(None, use_errno=True).unshare(CLONE_NEWNS) != 0:
            raise skip("mount namespaces are not permitted here")
        subprocess.run(["mount", "--make-rprivate", "/"], check=True)
        cls.tmp = tempfile.mkdtemp(prefix="ryxd-test-")
        os.chmod(cls.tmp, 0o755)
        cls.cg, cls.sub = cls.path("cg"), cls.path("sub")
        os.makedirs(cls.cg)
        os.makedirs(cls.sub)
        if subprocess.run(["mount", "-t", "cgroup2", "none", cls.cg]).returncode != 0:
            shutil.rmtree(cls.tmp)
            raise skip("the unified control-group hierarchy cannot be mounted here")
        cls.subtree = os.path.join(cls.cg, f"ryxtest.{os.getpid()}")
        os.mkdir(cls.subtree)
        subprocess.run(["mount", "--bind", cls.subtree, cls.sub], check=True)
        with open("/proc/self/mountinfo") as f, open(cls.path("mountinfo"), "w") as out:
            out.writelines(line for line in f if f" {cls.sub} " in line)
        with open(cls.path("login.defs"), "w") as f:
            f.write("UID_MIN 1000\nUID_MAX 60000\n")
        os.makedirs(cls.path("run"), mode=0o755)
        cls.common = ["--state-dir", cls.path("state"), "--registry", cls.path("reg"),
                      "--cgroup-record", cls.path("run/cgroup")]
        cls.ctl("create", str(USER))
        # Each user's docroot and its active domain container.
        cls.docroot, cls.domain = {}, {}
        for uid in (USER, OTHER):
            cls.docroot[uid] = cls.path(f"home/{uid}/site")
            os.makedirs(cls.docroot[uid] + "/sub")
            for d in (cls.path("home"), cls.path(f"home/{uid}"), cls.docroot[uid],
                      cls.docroot[uid] + "/sub"):
                os.chmod(d, 0o755)
            cls.ctl("allow-domain-limits", str(uid))
            cls.domain[uid] = int(cls.ctl("map-assign", str(uid), cls.docroot[uid]))
            cls.ctl("create", str(cls.domain[uid]), str(uid))
        cls.daemon = None
        cls.start_daemon()

    @classmethod
    def tearDownClass(cls):
        cls.stop_daemon(signal.SIGTERM)
        cls.log.close()
        # Every process in the subtree gone, then its groups, deepest first.
        for _ in range(50):
            pids = [int(p) for d, _, files in os.walk(cls.sub) if "cgroup.procs" in files
                    for p in open(os.path.join(d, "cgroup.procs")).read().split()]
            if not pids:
                break
            for pid in pids:
                if pid > 0:
                    try:
                        os.kill(pid, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
            time.sleep(0.1)
        for d, _, _ in sorted(os.walk(cls.sub), key=lambda e: -e[0].count("/")):
            if d != cls.sub:
                os.rmdir(d)
        subprocess.run(["umount", cls.sub], check=True)
        os.rmdir(cls.subtree)
        subprocess.run(["umount", cls.cg], check=True)
        shutil.rmtree(cls.tmp)

    @classmethod
    def path(cls, rel):
        return os.path.join(cls.tmp, rel)

    @classmethod
    def ctl(cls, *args):
        res = subprocess.run([program("libryx/ryxctl"), *cls.common, *args], capture_output=True,
                             text=True, timeout=60)
        if res.returncode != 0:
            raise AssertionError(f"ryxctl {args}: {res.stdout}{res.stderr}")
        return res.stdout

    @classmethod
    def start_daemon(cls, *extra):
        """ryxd with a walk too rare to matter: what lands in time, events placed."""
        if getattr(cls, "log", None):
            cls.log.close()
        cls.log = open(cls.path("ryxd.log"), "a+")
        # Ready (READY=1 on the service manager's socket) once its first walk is done.
        notify = cls.path("notify")
        if os.path.exists(notify):
            os.unlink(notify)
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as ready:
            ready.bind(notify)
            ready.settimeout(60)
            cls.daemon = subprocess.Popen(
                [program("libryx/ryxd"), "--foreground", *cls.common, "--mountinfo",
                 cls.path("mountinfo"), "--login-defs", cls.path("login.defs"),
                 "--walk-interval", "60", *extra],
                stderr=cls.log, env={**os.environ, "NOTIFY_SOCKET": notify})
            try:
                while ready.recv(256) != b"READY=1":
                    pass
            except socket.timeout:
                raise AssertionError("ryxd did not start: " + cls.read_log()) from None

    @classmethod
    def stop_daemon(cls, sig):
        if cls.daemon and cls.daemon.poll() is None:
            cls.daemon.send_signal(sig)
            cls.daemon.wait(10)
        cls.daemon = None

    @classmethod
    def read_log(cls):
        cls.log.seek(0)
        return cls.log.read()

    def leaf(self, id_, parent=None):
        """A container's leaf as /proc/<pid>/cgroup names it."""
        return (f"/ryxtest.{os.getpid()}/ryx/" + (f"ryx{parent}/" if parent else "") +
                f"ryx{id_}/ryx{id_}")

    def lands(self, procs, want, within=5.0):
        """Waits until every process is in group want (while it lives)."""
        deadline = time.monotonic() + within
        while True:
            where = {p.pid: group_of(p.pid) for p in procs}
            if all(g == want for g in where.values()):
                return
            if time.monotonic() > deadline:
                self.fail(f"not in {want}: {where}\nryxd: {self.read_log()}")
            time.sleep(0.02)

    def spawn(self, uid, script, cwd=None):
        p = as_user(uid, script, cwd)
        self.addCleanup(lambda: (p.kill(), p.wait()))
        return p

    def test_a_storm_by_fork_exec_and_setpriv_lands_in_the_users_container(self):
        # Root's processes that drop to the user (a pool master's workers), exec after the drop,
        # and setpriv: 1,000 of them at 1,000 a second, each timing its own placement.
        res = subprocess.run(
            [program("bench/placement_storm"), "--uid", str(USER), "--count", STORM[0], "--rate",
             STORM[1], "--expect", f"/ryx{USER}/ryx{USER}", "--timeout", "20"],
            capture_output=True, text=True, timeout=120)
        self.assertEqual(res.returncode, 0, res.stderr)
        figures = dict(zip(*[iter(res.stdout.split())] * 2))
        print(f"placement of {figures['started']} starts at {STORM[1]}/s: p50 {figures['p50_ms']} "
              f"ms, p99 {figures['p99_ms']} ms, max {figures['max_ms']} ms", flush=True)
        self.assertEqual(figures["landed"], STORM[0], res.stdout + self.read_log())

    def test_a_group_removed_under_the_daemon_is_made_again(self):
        uid = 1002
        self.ctl("create", str(uid))
        group = os.path.join(self.sub, "ryx", f"ryx{uid}")
        os.rmdir(os.path.join(group, f"ryx{uid}"))
        os.rmdir(group)
        self.lands([self.spawn(uid, "exec sleep 30")], self.leaf(uid))

    def test_working_directory_chooses_the_users_own_domain_container(self):
        mine = self.docroot[USER] + "/sub"
        cases = [  # (uid, where it works, the group it must be in)
            (USER, mine, self.leaf(self.domain[USER], USER)),
            (USER, self.docroot[OTHER], self.leaf(USER)),  # another user's docroot: not theirs
            (USER, "/", self.leaf(USER)),
            (999, mine, "/"),  # a system user's: never moved
            (0, mine, "/"),
        ]
        # Exec'd in the directory: the exec event decides.
        procs = [(self.spawn(uid, "exec sleep 30", cwd), want) for uid, cwd, want in cases]
        for p, want in procs:
            self.lands([p], want)
        # A shell that changes its directory after its exec: the walk (SIGHUP) moves it in, and
        # out of the domain again when it leaves the docroot.
        flag = self.path("left")
        shell = self.spawn(USER, f"cd {mine}; while [ ! -e {flag} ]; do sleep 0.05; done; cd /; "
                           "while :; do sleep 0.05; done")
        time.sleep(0.3)
        self.daemon.send_signal(signal.SIGHUP)
        self.lands([shell], self.leaf(self.domain[USER], USER))
        open(flag, "w").close()
        time.sleep(0.3)
        self.daemon.send_signal(signal.SIGHUP)
        self.lands([shell], self.leaf(USER))

    def test_killed_and_restarted_daemon_places_what_it_missed_and_lets_nothing_go(self):
        before = [self.spawn(USER, "exec sleep 60") for _ in range(5)]
        self.lands(before, self.leaf(USER))
        # Killed in the middle of a storm: what starts meanwhile waits for the next daemon.
        storm = subprocess.Popen(
            [program("bench/placement_storm"), "--uid", str(USER), "--count", STORM[0], "--rate",
             str(int(STORM[1]) // 2), "--expect", f"/ryx{USER}/ryx{USER}", "--timeout", "30"],
            stdout=subprocess.PIPE, text=True)
        time.sleep(0.5)
        self.stop_daemon(signal.SIGKILL)
        missed = [self.spawn(USER, "exec sleep 60") for _ in range(20)]
        time.sleep(0.3)
        self.assertTrue(all(group_of(p.pid) == "/" for p in missed))
        try:
            self.start_daemon()
            self.lands(missed + before, self.leaf(USER))
            self.assertIn(f"started {STORM[0]} landed {STORM[0]} ", storm.communicate(timeout=90)[0])
        finally:
            self.stop_daemon(signal.SIGTERM)
            self.start_daemon()
        # Stopping it left every process running where it was.
        self.assertTrue(all(p.poll() is None for p in before + missed))
        self.assertTrue(all(group_of(p.pid) == self.leaf(USER) for p in before + missed))


if __name__ == "__main__":
    unittest.main()
