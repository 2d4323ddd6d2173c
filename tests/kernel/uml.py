"""Checks inside a real Linux kernel on any machine: user-mode Linux (Debian's linux.uml) runs as
an ordinary program, so control-group limits can be measured where the host offers no
controllers and no virtualisation.

    guest = Guest(cgroups="v2")                      # or "v1", hybrid=True, controllers=(...)
                                                     # disk=<host file kept across boots>
    helper = guest.install_set_user_id("ryz-limits-helper")
    boot = guest.run({"cpu20": "...shell...", "helper": f"as_user 1000 {helper} ..."})
    boot["cpu20"].status, .out, .err, .seconds, .values["percent"]   # and boot.boot_seconds

One run() is one boot. It makes a scratch directory on the host (the init script, the checks, a
prelude of shell functions, set-user-ID copies of helpers, an archive of the guest's /etc, a
64 MiB ext4 image unless the Guest names one of its own to keep), boots the kernel with the
host's / as its read-only root and that script as PID 1, and reads the results back from the
scratch directory, which the guest mounts writable (hostfs) at /run/uml. The console only
carries a log; each check's output, error output, exit status and run time are files there.

What a check sees: a shell script run as root with the prelude's functions (as_user, spin,
cpu_percent, cpu_percents, timed), in one kernel shared with the checks before it, in order.
After each check every process but init is killed (not under systemd: see Guest's units);
control groups and files it made stay. The guest has one processor and 256 MiB. /proc, /sys and
/dev (devtmpfs, the disk as /dev/ubda, with pts and shm) are the kernel's own; /etc is a
writable copy of the host's with the caller's passwd and group lines in place of any entry of
the same name or id; /run, /tmp, /home and /var/lib are fresh tmpfs, with /var/lib/ryx empty
(or, with a disk kept across boots, the one on that disk, as a host's would be after a reboot)
and a home for each user under /home; the disk is mounted (ext4, where the host has mkfs.ext4)
at $RYX_DISK_DIR; the control groups are mounted as asked (see Guest); the rest of the host's
tree is visible read-only, the build tree ($RYX_BUILD_DIR) included.

Tests skip where linux.uml is missing or does not boot, in sanitized builds (the sanitizer's
shadow memory does not fit the guest's address space) and, for set-user-ID helpers, without root
on the host (the copies must belong to root).
"""

import io
import os
import re
import shlex
import shutil
import subprocess
import tarfile
import tempfile
import time
import unittest

from harness.sandbox import BUILD_DIR, SANITIZED, SOURCE_DIR, program

LINUX = "/usr/bin/linux.uml"
CONTROLLERS = ("cpu", "io", "memory", "pids")
# v1 hierarchy of each controller, named as hosts mount them.
V1_HIERARCHIES = {"cpu": "cpu,cpuacct", "io": "blkio", "memory": "memory", "pids": "pids"}
# The scratch directory as the guest sees it.
GUEST_DIR = "/run/uml"
DISK_MIB = 64
# Fresh tmpfs in the guest (/etc a copy of the host's); a host directory inside one of them
# that the checks need is mounted again at its own path.
_TMPFS = ("/run", "/tmp", "/home", "/var/lib")
_COVERED = _TMPFS + ("/etc",)

DEFAULT_PASSWD = ("alice:x:1000:1000::/home/alice:/bin/sh", "bob:x:1001:1001::/home/bob:/bin/sh")
DEFAULT_GROUP = ("alice:x:1000:", "bob:x:1001:")


def unavailable_reason():
    """None when the kernel tests can run here, else why not."""
    if not os.access(LINUX, os.X_OK):
        return f"{LINUX} not installed (package user-mode-linux)"
    if SANITIZED:
        return "kernel checks run in the release build (sanitized programs may not run in UML)"
    return None


# Why install_set_user_id() cannot work here, or None: the copies must belong to root.
SET_USER_ID_UNAVAILABLE = (None if os.geteuid() == 0
                           else "set-user-ID helpers in the guest need root on the host")


def skip(reason):
    """A SkipTest to raise, with the reason printed for ctest's skip pattern."""
    print(f"SKIPPED: {reason}", flush=True)
    return unittest.SkipTest(reason)


def require_uml(test_item):
    """Class or method decorator: skip, loudly, where no guest can boot."""
    reason = unavailable_reason()
    if reason is None:
        return test_item
    print(f"SKIPPED: {reason}", flush=True)
    return unittest.skip(reason)(test_item)


class GuestError(AssertionError):
    """The guest did not get through its set-up or its checks; the message ends with the log."""


class Result:
    """One check's outcome: exit status (None when the guest never finished it; 137 when its
    time ran out), output and error output as text, and its run time in the guest."""

    def __init__(self, name, status, out, err, seconds):
        self.name, self.status, self.out, self.err, self.seconds = name, status, out, err, seconds

    @property
    def values(self):
        """The output's "key=value" lines as a dict."""
        return dict(line.split("=", 1) for line in self.out.splitlines() if "=" in line)

    def __repr__(self):
        return (f"<check {self.name}: status {self.status} after {self.seconds} s\n"
                f"--- out\n{self.out}--- err\n{self.err}>")


class Boot(dict):
    """Results by check name, with the boot's figures: boot_seconds (kernel start to the first
    check, as the guest counts), total_seconds (the whole run, as the host counts) and the
    console's log."""

    def __init__(self, results, boot_seconds, total_seconds, console):
        super().__init__(results)
        self.boot_seconds, self.total_seconds, self.console = boot_seconds, total_seconds, console


class BootTest(unittest.TestCase):
    """One boot per class: guest() says how, checks() what runs ({name: script}); each test
    reads one check's result."""

    CHECKS = {}
    TIMEOUT = 120

    @classmethod
    def guest(cls):
        raise NotImplementedError

    @classmethod
    def checks(cls):
        return cls.CHECKS

    @classmethod
    def setUpClass(cls):
        guest = cls.guest()
        cls.boot = guest.run(cls.checks(), check_timeout=cls.TIMEOUT)
        print(f"\n{cls.__name__}: boot {cls.boot.boot_seconds} s, whole run "
              f"{cls.boot.total_seconds} s; checks: "
              + ", ".join(f"{r.name} {r.seconds} s" for r in cls.boot.values()), flush=True)

    def result(self, name, status=0):
        res = self.boot[name]
        if status is not None:
            self.assertEqual(res.status, status, res)
        return res

    def assertShare(self, name, percent, points=3.0):
        res = self.result(name)
        print(f"{type(self).__name__} {name}: {res.values.get('percent')} % of a processor")
        self.assertAlmostEqual(float(res.values["percent"]), percent, delta=points, msg=res)


# Shell functions every check starts with; they fork little, for a fork costs milliseconds here.
_PRELUDE = r"""
as_user() { u=$1; shift; setpriv --reuid="$u" --regid="$u" --clear-groups -- "$@"; }
# Runs a busy loop, in the background, in each control group directory given.
spin() { sh -c 'for g; do echo $$ > "$g/cgroup.procs" || exit 1; done
                while :; do :; done' spin "$@" & }
# _now: guest uptime in microseconds (10 ms steps); _usage DIR: the group's CPU time in
# microseconds, from v1's cpuacct.usage or v2's cpu.stat.
_now() { read _t _x < /proc/uptime; _t=$(( ${_t%.*} * 1000000 + 1${_t#*.}0000 - 1000000 )); }
_usage() {
    if [ -e "$1/cpuacct.usage" ]; then read _u < "$1/cpuacct.usage"; _u=$((_u / 1000)); return; fi
    while read _k _v; do [ "$_k" = usage_usec ] && _u=$_v; done < "$1/cpu.stat"
}
# Prints the percent of one processor the group at $1 uses over the next $2 seconds, e.g. 19.8.
cpu_percent() {
    _usage "$1"; _now; _u0=$_u; _t0=$_t
    sleep "$2"
    _usage "$1"; _now
    _p=$(( (_u - _u0) * 1000 / (_t - _t0) ))
    echo "$((_p / 10)).$((_p % 10))"
}
# cpu_percents SECONDS DIR...: the same for several groups over one window, e.g. "24.8 75.1".
cpu_percents() {
    _s=$1; shift; _i=0
    for _g; do _i=$((_i + 1)); _usage "$_g"; eval "_b$_i=\$_u"; done
    _now; _t0=$_t; sleep "$_s"; _now; _t1=$_t; _i=0; _o=
    for _g; do
        _i=$((_i + 1)); _usage "$_g"; eval "_p=\$(( (_u - _b$_i) * 1000 / (_t1 - _t0) ))"
        _o="$_o $((_p / 10)).$((_p % 10))"
    done
    echo $_o
}
# timed NAME COMMAND...: runs the command, prints "NAME=<seconds>" (e.g. 4.02), keeps its status.
timed() {
    _name=$1; shift; _now; _t0=$_t; "$@"; _rc=$?; _now; _d=$(( (_t - _t0) / 10000 ))
    echo "$_name=$((_d / 100)).$((_d / 10 % 10))$((_d % 10))"
    return $_rc
}
"""


class Guest:
    """How to boot: cgroups "v2" (cgroup2 at /sys/fs/cgroup, the given controllers enabled in its
    subtree_control), "v1" (a tmpfs there with one hierarchy per controller, named as
    V1_HIERARCHIES, plus an empty cgroup2 at unified/ when hybrid) or None; a controller left out
    of controllers is disabled in the kernel (cgroup_disable), as on a host without it; readonly
    mounts them read-only once set up. passwd and group: lines for the guest's /etc. expose:
    host paths under a directory the guest covers with tmpfs that must stay visible (the build
    and source trees always are). disk: a host file for the guest's disk, made and formatted on
    first use and kept: another boot with it finds the files of the one before, the guest's
    /var/lib/ryx (kept on that disk) included. units: {name: text} boots the host's systemd as
    PID 1 (with cgroups=None: it mounts the unified hierarchy itself) with these units in
    /etc/systemd/system, each enabled at the targets its WantedBy= names and none of the
    host's; the checks then run from a service once basic.target is reached."""

    def __init__(self, cgroups="v2", controllers=CONTROLLERS, hybrid=False, readonly=False,
                 passwd=DEFAULT_PASSWD, group=DEFAULT_GROUP, expose=(), disk=None, units=None):
        if cgroups not in ("v1", "v2", None):
            raise ValueError(f"cgroups: {cgroups!r}")
        if units is not None and cgroups is not None:
            raise ValueError("units: systemd mounts the control groups itself (cgroups=None)")
        if hybrid and cgroups != "v1":
            raise ValueError("hybrid: a v1 layout only")
        unknown = set(controllers) - set(CONTROLLERS)
        if unknown:
            raise ValueError(f"unknown controllers {sorted(unknown)}")
        self.cgroups, self.controllers = cgroups, tuple(controllers)
        self.hybrid, self.readonly = hybrid, readonly
        self.passwd, self.group = tuple(passwd), tuple(group)
        self.expose = tuple(expose)
        self.disk = disk
        self.units = units
        self._set_user_id = []
        self._installed = []

    def install(self, name):
        """Copies a built program into the guest, where a hardened unit sees it (the build tree
        may lie under /tmp or /home, which such a unit hides); returns its path in the guest."""
        program(name)  # fails early when it is not built
        self._installed.append(name)
        return f"{GUEST_DIR}/sbin/{os.path.basename(name)}"

    def install_set_user_id(self, name):
        """Installs a built program set-user-ID root in the guest, with libryx where the loader
        finds it for such a program; returns the program's path in the guest."""
        program(name)  # fails early when it is not built
        self._set_user_id.append(name)
        return f"{GUEST_DIR}/sbin/{os.path.basename(name)}"

    def run(self, checks, check_timeout=120):
        """Boots, runs checks ({name: shell script}, in order) and powers off; returns a Boot.
        A check still running after check_timeout seconds is killed (status 137)."""
        for name in checks:
            if not name or not all(c.isalnum() or c in "_-." for c in name):
                raise ValueError(f"check name {name!r}: letters, digits, _ - . only")
        reason = unavailable_reason()
        if reason is not None:
            raise skip(reason)
        if self._set_user_id and SET_USER_ID_UNAVAILABLE:
            raise skip(SET_USER_ID_UNAVAILABLE)
        scratch = tempfile.mkdtemp(prefix="ryx-uml-")
        try:
            os.chmod(scratch, 0o755)  # ordinary users in the guest reach the helpers in it
            self._prepare(scratch, checks, check_timeout)
            started = time.monotonic()
            console, status = self._boot(scratch, self._disk_path(scratch),
                                         60 + len(checks) * (check_timeout + 5))
            total = time.monotonic() - started
            return self._collect(scratch, checks, console, status, total)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)

    # -- before the boot ------------------------------------------------------------------

    def _prepare(self, scratch, checks, check_timeout):
        for sub in ("out", "checks", "sbin", "lib"):
            os.mkdir(os.path.join(scratch, sub))
        for name in self._set_user_id:
            dest = os.path.join(scratch, "sbin", os.path.basename(name))
            shutil.copyfile(program(name), dest)
            os.chmod(dest, 0o4755)
        for name in self._installed:
            dest = os.path.join(scratch, "sbin", os.path.basename(name))
            shutil.copyfile(program(name), dest)
            os.chmod(dest, 0o755)
        if self._set_user_id:
            shutil.copyfile(program("libryx/libryx.so.0"),
                            os.path.join(scratch, "lib", "libryx.so.0"))
        self._write_tree(os.path.join(scratch, "tree.tar"))
        _write(os.path.join(scratch, "prelude.sh"), _PRELUDE)
        for index, script in enumerate(checks.values()):
            _write(os.path.join(scratch, "checks", f"{index}.sh"),
                   f". {GUEST_DIR}/prelude.sh\n{script}\n")
        formatted = _make_disk(self._disk_path(scratch))
        if self.disk and not formatted:
            raise skip("no ext4 disk to keep across boots (mkfs.ext4 is missing)")
        init = os.path.join(scratch, "init.sh")
        _write(init, self._init_script(scratch, checks, formatted, check_timeout))
        os.chmod(init, 0o755)

    def _write_tree(self, path):
        """The guest's writable files, unpacked over its fresh tmpfs directories: the host's
        /etc with the caller's accounts in place of any of the same name or id, homes under
        /home, an empty /var/lib/ryx, and libryx for set-user-ID programs through the loader's
        cache. Archived here, for the guest copies one file far faster than a tree."""
        accounts = {f"/etc/{db}": _merge_accounts(f"/etc/{db}", lines)
                    for db, lines in (("passwd", self.passwd), ("group", self.group))}
        with tarfile.open(path, "w") as tar:
            for top, dirs, files in os.walk("/etc"):
                if self.units is not None and top.startswith("/etc/systemd/system/") \
                        and top.endswith(".wants"):
                    continue  # the host's enabled units
                _add_copy(tar, top)
                links = [d for d in dirs if os.path.islink(os.path.join(top, d))]
                for name in sorted(files + links):
                    if os.path.join(top, name) not in accounts:
                        _add_copy(tar, os.path.join(top, name))
            for dest, text in accounts.items():
                _add_text(tar, dest, text)
            if self._set_user_id:
                _add_text(tar, "/etc/ld.so.conf.d/zz-ryx-guest.conf", f"{GUEST_DIR}/lib\n")
            for user in (line.split(":") for line in self.passwd):
                if user[5].startswith("/home/") and os.path.isdir("/home"):
                    _add_dir(tar, user[5], int(user[2]), int(user[3]))
            _add_dir(tar, "/var/lib/ryx", 0, 0)
            for name, text in (self.units or {}).items():
                _add_text(tar, f"/etc/systemd/system/{name}", text)
                for target in re.findall(r"^WantedBy=(.*)$", text, re.M):
                    for t in target.split():
                        link = tarfile.TarInfo(f"etc/systemd/system/{t}.wants/{name}")
                        link.type, link.linkname = tarfile.SYMTYPE, f"../{name}"
                        tar.addfile(link)
            if self.units is not None:
                _add_text(tar, "/etc/systemd/system/ryx-guest.target", _CHECKS_TARGET)
                _add_text(tar, "/etc/systemd/system/ryx-guest-checks.service",
                          _CHECKS_SERVICE.format(guest=GUEST_DIR))

    def _init_script(self, scratch, checks, formatted, check_timeout):
        q = shlex.quote
        functions = _FUNCTIONS.format(guest=GUEST_DIR, build=q(BUILD_DIR),
                                      reap="" if self.units is not None else _REAP)
        lines = [functions + _MOUNTS]
        for path in _TMPFS + (_SYSTEMD_TMPFS if self.units is not None else ()):
            if os.path.isdir(path):
                lines.append(f"mount -t tmpfs -o mode=0755 tmpfs {path} || fail 'tmpfs on {path}'")
        lines.append("chmod 1777 /tmp")
        lines.append(f"mkdir {GUEST_DIR} && mount -t hostfs -o {q(scratch)} hostfs {GUEST_DIR}"
                     " || fail 'scratch directory'")
        lines.append("mark init")
        lines.append("mount -t tmpfs -o mode=0755 tmpfs /etc && tar -C / --numeric-owner -xpf "
                     f"{GUEST_DIR}/tree.tar || fail 'writable tree'")
        if self._set_user_id:
            lines.append("ldconfig || fail ldconfig")
        exposed = {os.path.realpath(p) for p in (BUILD_DIR, SOURCE_DIR, *self.expose) if p}
        for path in sorted(exposed):
            if any(path == c or path.startswith(c + "/") for c in _COVERED):
                lines.append(f"mkdir -p {q(path)} && mount -t hostfs -o {q(path)},ro hostfs "
                             f"{q(path)} || fail 'expose {path}'")
        disk_dir = "/mnt" if os.path.isdir("/mnt") else "/run/disk"
        if formatted:
            lines.append(f"mkdir -p {disk_dir} && mount /dev/ubda {disk_dir} && chmod 1777 "
                         f"{disk_dir} && export RYX_DISK_DIR={disk_dir} || fail disk")
        if self.disk:
            lines.append(f"mkdir -p -m 0755 {disk_dir}/ryx-state && mount --bind "
                         f"{disk_dir}/ryx-state /var/lib/ryx || fail 'state on the disk'")
        lines.append(self._cgroup_setup())
        runs = ["mark ready"]
        for index, name in enumerate(checks):
            runs.append(f"check {index} {q(name)} {int(check_timeout)}")
        runs.append("finish")
        if self.units is not None:
            _write(os.path.join(scratch, "checks.sh"), functions + "\n".join(runs) + "\n")
            runs = ["exec /lib/systemd/systemd --unit=ryx-guest.target"]
        return "\n".join(lines + runs) + "\n"

    def _cgroup_setup(self):
        root = "/sys/fs/cgroup"
        if self.cgroups is None:
            return ""
        if self.cgroups == "v2":
            enable = " ".join(f"+{c}" for c in self.controllers)
            lines = [f"mount -t cgroup2 cgroup2 {root} || fail cgroup2"]
            if enable:
                lines.append(f"echo '{enable}' > {root}/cgroup.subtree_control || fail controllers")
            mounts = [root]
        else:
            lines = [f"mount -t tmpfs -o mode=0755 cgroup {root} || fail 'cgroup tmpfs'"]
            mounts = []
            for c in self.controllers:
                h = V1_HIERARCHIES[c]
                lines.append(f"mkdir {root}/{h} && mount -t cgroup -o {h} cgroup {root}/{h}"
                             f" || fail 'v1 {h}'")
                mounts.append(f"{root}/{h}")
                if "," in h:  # the aliases hosts keep for a joined hierarchy
                    lines += [f"ln -s {h} {root}/{alias}" for alias in h.split(",")]
            if self.hybrid:
                lines.append(f"mkdir {root}/unified && mount -t cgroup2 cgroup2 {root}/unified"
                             " || fail unified")
                mounts.append(f"{root}/unified")
            mounts.append(root)  # last, after the mount points in it were made
        if self.readonly:
            lines += [f"mount -o remount,bind,ro {m} || fail 'read-only {m}'" for m in mounts]
        return "\n".join(lines)

    # -- the boot -------------------------------------------------------------------------

    def _disk_path(self, scratch):
        return self.disk or os.path.join(scratch, "disk.img")

    def _boot(self, scratch, disk, timeout):
        """Runs the kernel to its power-off (or kills it at timeout); returns the console's log
        and the kernel's exit status."""
        log_path = os.path.join(scratch, "console.log")
        argv = [LINUX, "mem=256M", "root=/dev/root", "rootfstype=hostfs", "hostfs=/", "ro",
                f"ubd0={disk}", f"init={scratch}/init.sh", "con=null",
                "con0=fd:0,fd:1", f"uml_dir={scratch}", "umid=guest"]
        left_out = [c for c in CONTROLLERS if c not in self.controllers]
        if self.cgroups and left_out:
            argv.append("cgroup_disable=" + ",".join(left_out))
        # uml_dir keeps the kernel's control socket out of $HOME.
        with open(log_path, "wb") as log:
            proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log,
                                    stderr=subprocess.STDOUT, start_new_session=True)
            try:
                proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                pass
            finally:
                # The kernel runs each guest process as a host process of its own session.
                try:
                    if proc.pid > 0:  # never -1 or 0: that would be every process we may signal
                        os.killpg(proc.pid, 9)
                except ProcessLookupError:
                    pass
                proc.wait()
        with open(log_path, "rb") as f:
            return f.read().decode(errors="replace"), proc.returncode

    # -- after it -------------------------------------------------------------------------

    def _collect(self, scratch, checks, console, status, total):
        out = os.path.join(scratch, "out")
        marks = dict(line.split() for line in _read(os.path.join(out, "marks")).splitlines())
        if "init" not in marks:
            if f"Run {scratch}/init.sh as init process" not in console:
                raise skip(f"linux.uml did not boot here (exit status {status}): "
                            + (_tail(console, 3).replace("\n", " | ") or "no console output"))
            raise GuestError("the guest's init stopped before its set-up:\n" + _tail(console))
        if "error" in marks or "end" not in marks:
            error = _read(os.path.join(out, "error")).strip() or "it never powered off"
            raise GuestError(f"the guest stopped: {error} (marks {marks}); its log:\n"
                             + _tail(console))
        results = {}
        for index, name in enumerate(checks):
            base = os.path.join(out, str(index))
            code = _read(base + ".status").strip()
            times = _read(base + ".time").split()
            seconds = round(float(times[1]) - float(times[0]), 2) if len(times) == 2 else None
            results[name] = Result(name, int(code) if code else None, _read(base + ".out"),
                                   _read(base + ".err"), seconds)
        return Boot(results, float(marks["ready"]), round(total, 2), console)


# The functions that run the checks, in PID 1 or, under systemd, in a service of its own.
_FUNCTIONS = """\
#!/bin/sh
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C
export RYX_BUILD_DIR={build}
mark() {{ read up _x < /proc/uptime; echo "$1 $up" >> {guest}/out/marks; }}
finish() {{ mark end; sync; echo o > /proc/sysrq-trigger; sleep 60; }}
fail() {{ echo "RYX-GUEST-ERROR $*"; echo "$*" > {guest}/out/error; mark error; finish; }}
check() {{
    read t0 _x < /proc/uptime
    (cd / && exec timeout -s KILL "$3" sh {guest}/checks/$1.sh) \\
        < /dev/null > {guest}/out/$1.out 2> {guest}/out/$1.err
    status=$?
    read t1 _x < /proc/uptime
    {reap}
    echo "$status" > {guest}/out/$1.status
    echo "$t0 $t1" > {guest}/out/$1.time
    sync
    echo "RYX-CHECK $2 status $status in $t0..$t1 s"
}}
"""
# Whatever a check left running; init itself is spared (systemd's services would not be).
_REAP = "kill -KILL -1 2> /dev/null"
# PID 1's start: the kernel's file systems and a console without kernel chatter.
_MOUNTS = """\
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mountpoint -q /dev || mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm && mount -t devpts devpts /dev/pts && mount -t tmpfs tmpfs /dev/shm
ln -sf /proc/self/fd /dev/fd
echo 1 > /proc/sys/kernel/printk
"""
# Under systemd: what its services write (PrivateTmp= needs /var/tmp), and the checks' service.
_SYSTEMD_TMPFS = ("/var/tmp", "/var/log")
_CHECKS_TARGET = """\
[Unit]
Requires=basic.target ryx-guest-checks.service
After=basic.target ryx-guest-checks.service
"""
_CHECKS_SERVICE = """\
[Unit]
After=basic.target
[Service]
Type=oneshot
ExecStart=/bin/sh {guest}/checks.sh
"""


def _make_disk(path):
    """The disk image at path, made and formatted (ext4) unless it is there already; whether it
    holds an ext4 file system. Formatted here, in a fraction of the guest's time; a raw disk
    without the tool."""
    if not os.path.exists(path):
        with open(path, "wb") as f:
            f.truncate(DISK_MIB << 20)
        if shutil.which("mkfs.ext4") is None:
            return False
        subprocess.run(["mkfs.ext4", "-q", "-F", path], capture_output=True)
    with open(path, "rb") as f:
        f.seek(1024 + 56)  # the superblock's magic number
        return f.read(2) == b"\x53\xef"


def _merge_accounts(path, lines):
    """The host's passwd or group file with lines in place of entries of the same name or id."""
    def key(line):
        fields = line.split(":") + ["", "", ""]
        return fields[0], fields[2]

    names, ids = zip(*map(key, lines)) if lines else ((), ())
    with open(path) as f:
        kept = [line for line in f.read().splitlines()
                if key(line)[0] not in names and key(line)[1] not in ids]
    return "".join(f"{line}\n" for line in kept + list(lines))


def _add_copy(tar, path):
    try:
        tar.add(path, arcname=path.lstrip("/"), recursive=False)
    except PermissionError:
        pass  # an ordinary user's host lacks the files only root may read (shadow)


def _add_text(tar, path, text, mode=0o644):
    data = text.encode()
    info = tarfile.TarInfo(path.lstrip("/"))
    info.size, info.mode, info.mtime = len(data), mode, int(time.time())
    tar.addfile(info, io.BytesIO(data))


def _add_dir(tar, path, uid, gid, mode=0o755):
    info = tarfile.TarInfo(path.lstrip("/"))
    info.type, info.mode, info.mtime = tarfile.DIRTYPE, mode, int(time.time())
    info.uid, info.gid = uid, gid
    tar.addfile(info)


def _write(path, text):
    with open(path, "w") as f:
        f.write(text)


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode(errors="replace")
    except FileNotFoundError:
        return ""


def _tail(console, lines=25):
    """The console's last lines from init's start on (all of it without one), stack frames left
    out: what the guest said and why it stopped."""
    text = console.split(" as init process\n", 1)[-1]
    kept = [line for line in text.splitlines() if not line.lstrip().startswith("[<")]
    return "\n".join(kept[-lines:])
