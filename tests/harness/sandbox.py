"""Black-box sandbox: runs a real built program in a private mount namespace in which /proc, /etc,
/usr, /opt and /var hold fixtures the test declares, so that programs with fixed system paths can
be tested without touching the host.

    host = Host()
    host.ryx_list(["RYX", "EP", "CPU"], [[5, 1, 1000]], version=8)
    host.thread(100, 100, fnid=5)
    res = host.run([program("ryxps")])

/proc is a directory of fixture files bind-mounted over the real one; the real procfs stays
reachable under /proc/.real (a name the viewer's walk passes over) and /proc/self and
/proc/thread-self lead there, so the loader and sanitizer runtimes keep working. /etc, /usr,
/opt, /var and /run are overlays: the fixture tree on top of the real directory, with writes
going to an upper directory inside the test's temporary directory (read it back with
Host.read).

Interval mode is made exact with fake_clock(), whose preload turns every sleep() into an exact,
instant step of the clock with a hook that can put the next sample in place; full-screen modes
run in a real terminal of a fixed size with Host.tmux() (a Tmux).
"""

import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
import unittest

BUILD_DIR = os.environ.get("RYX_BUILD_DIR", "")
SOURCE_DIR = os.environ.get(
    "RYX_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
SANITIZED = bool(os.environ.get("RYX_SANITIZE"))
# The loader's default library directory, where a package puts libryx.
SYSTEM_LIBDIR = os.environ.get("RYX_SYSTEM_LIBDIR") or os.path.normpath(
    "/usr/lib/" + (sysconfig.get_config_var("MULTIARCH") or ""))

# /run for the record of where the containers' control-group tree is (/run/ryx/cgroup).
_OVERLAID = ("etc", "usr", "opt", "var", "run")

_PROGRAMS = {
    "ryxps": "ryxtop/ryxps",
    "ryz-limits-helper": "ryz-helpers/ryz-limits-helper",
    "ryz-registry-helper": "ryz-helpers/ryz-registry-helper",
    "ryz-stats-helper": "ryz-helpers/ryz-stats-helper",
}


def program(name):
    """Path of a program or library built in the tree under test."""
    rel = _PROGRAMS.get(name, name)
    path = os.path.join(BUILD_DIR, rel)
    if not os.path.exists(path):
        raise FileNotFoundError(f"{name}: not built at {path} (is RYX_BUILD_DIR set?)")
    return path


def unavailable_reason():
    """None when the sandbox can run here, else why not."""
    if os.geteuid() != 0:
        return "the mount-namespace sandbox needs root"
    if shutil.which("unshare") is None or shutil.which("setpriv") is None:
        return "unshare/setpriv (util-linux) not installed"
    probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "true"],
                           capture_output=True)
    if probe.returncode != 0:
        return "mount namespaces are not permitted here: " + probe.stderr.decode(errors="replace")
    return None


_REASON = unavailable_reason()


def require_sandbox(test_item):
    """Class or method decorator: skip, loudly, where the sandbox cannot run."""
    if _REASON is None:
        return test_item
    print(f"SKIPPED: {_REASON}", flush=True)
    return unittest.skip(_REASON)(test_item)


def sanitizer_env(env, preloaded=False):
    """Adds the sanitizer settings black-box runs need to env (a dict); options already in env
    come last and so win. A preloaded test library sits ahead of the sanitizer runtime in the
    library list, which the runtime would otherwise refuse."""
    asan = "detect_leaks=1:abort_on_error=0"
    if preloaded:
        asan += ":verify_asan_link_order=0"
    if env.get("ASAN_OPTIONS"):
        asan += ":" + env["ASAN_OPTIONS"]
    env["ASAN_OPTIONS"] = asan
    env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1")
    return env


def fake_clock(start=None, hook=None, real_ms=None, tsc=None, tsc_hz=None, tsc_program="ryxps"):
    """(preload, env) for Host.run or Tmux that make every sleep() of the program exact and
    instant on a fake realtime clock (see tests/fakes/fake_clock.c). hook: a shell command run
    inside the sandbox at each sleep, before the clock moves on; $RYX_FAKE_SLEEPS numbers the
    sleeps from 1. tsc: fake the time-stamp counter from this value (tsc_hz cycles per second),
    in tsc_program only: the launchers before it (unshare, sh, setpriv) must not arm the trap."""
    env = {}
    for key, value in (("RYX_FAKE_CLOCK", start), ("RYX_FAKE_SLEEP_HOOK", hook),
                       ("RYX_FAKE_SLEEP_REAL_MS", real_ms), ("RYX_FAKE_TSC", tsc),
                       ("RYX_FAKE_TSC_HZ", tsc_hz),
                       ("RYX_FAKE_TSC_PROGRAM", tsc_program if tsc is not None else None)):
        if value is not None:
            env[key] = str(value)
    if tsc is not None and SANITIZED:
        env["ASAN_OPTIONS"] = "handle_segv=0"  # the fake counter is read through SIGSEGV
    return (program("tests/fakes/libfake_clock.so"),), env


# Status of a program preloaded with fake_clock(tsc=...) on a machine that ignores the
# counter trap.
FAKE_TSC_UNAVAILABLE = 77


def _to_bytes(content):
    if isinstance(content, bytes):
        return content
    return str(content).encode()


class Host:
    """A fixture host: files under /proc and the overlaid directories, and a way to run programs
    against them. Use as a context manager, or call close()."""

    def __init__(self, passwd=None):
        self.tmp = tempfile.mkdtemp(prefix="ryx-sandbox-")
        self.root = os.path.join(self.tmp, "root")
        self.upper = os.path.join(self.tmp, "upper")
        for d in ("proc",) + _OVERLAID:
            os.makedirs(os.path.join(self.root, d))
        os.makedirs(os.path.join(self.root, "proc", ".real"))
        if passwd is not None:
            self.passwd(passwd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    # -- declaring fixtures ---------------------------------------------------------------

    def path(self, path):
        """Where the fixture for an absolute path lives (writable from outside, also while a
        program runs: for /proc this is the very directory the program sees)."""
        rel = path.lstrip("/")
        if rel.split("/", 1)[0] not in ("proc",) + _OVERLAID:
            raise ValueError(f"{path}: not a sandboxed path")
        return os.path.join(self.root, rel)

    def file(self, path, content, mode=0o644):
        real = self.path(path)
        os.makedirs(os.path.dirname(real), exist_ok=True)
        tmp = real + ".tmp~"
        with open(tmp, "wb") as f:
            f.write(_to_bytes(content))
        os.chmod(tmp, mode)
        os.replace(tmp, real)  # atomic, so a running reader never sees half a fixture
        return real

    def install_set_user_id(self, name, directory="/usr/libexec/ryxkit"):
        """Installs a built program set-user-ID root as a package does, with libryx in the
        loader's default directory (a set-user-ID program never follows its run path back into
        the build tree). Returns the program's path in the sandbox."""
        with open(program("libryx/libryx.so.0"), "rb") as f:
            self.file(f"{SYSTEM_LIBDIR}/libryx.so.0", f.read())
        with open(program(name), "rb") as f:
            self.file(f"{directory}/{name}", f.read(), mode=0o4755)
        return f"{directory}/{name}"

    def mkdir(self, path, mode=0o755):
        real = self.path(path)
        os.makedirs(real, exist_ok=True)
        os.chmod(real, mode)
        return real

    def remove(self, path):
        real = self.path(path)
        if os.path.isdir(real) and not os.path.islink(real):
            shutil.rmtree(real)
        elif os.path.lexists(real):
            os.unlink(real)

    def passwd(self, users):
        """users: {uid: name}."""
        lines = [f"{name}:x:{uid}:{uid}::/nonexistent:/bin/false\n" for uid, name in users.items()]
        self.file("/etc/passwd", "".join(lines))

    @staticmethod
    def list_text(columns, rows, version=8, setup_lines=()):
        """A container list: optional "ryx setup" lines, the header, then one row per line.
        A row is a sequence of tokens (ints or strings such as "12,7" or "-1")."""
        head = "".join(f"{line}\n" for line in setup_lines)
        names = "\t".join(columns)
        head += (f"{version}:{names}\n" if version is not None else f"{names}\n")
        body = "".join("\t".join(str(t) for t in row) + "\n" for row in rows)
        return head + body

    def ryx_list(self, columns, rows, version=8, reseller=None, setup_lines=()):
        """The main list, or with reseller= the list /proc/ryx/resellers/<reseller>/list."""
        path = "/proc/ryx/list" if reseller is None else f"/proc/ryx/resellers/{reseller}/list"
        return self.file(path, self.list_text(columns, rows, version, setup_lines))

    def cpuinfo(self, mhz=2400.0, processors=1):
        text = ""
        for n in range(processors):
            text += (f"processor\t: {n}\nvendor_id\t: GenuineIntel\nmodel name\t: Fixture CPU\n"
                     + (f"cpu MHz\t\t: {mhz:.3f}\n" if mhz is not None else "") + "\n")
        self.file("/proc/cpuinfo", text)

    def thread(self, pid, tid, fnid=None, name="worker", status=None, statm="1000 300 100 1 0 50 0",
               stat=None, utime=0, stime=0, cmdline=None, cgroup=None):
        """One thread directory /proc/<pid>/task/<tid>/ with status, statm, stat, cmdline and,
        when given, cgroup. A source given as None where it has no default is left out;
        status and stat are built from fnid/name and utime/stime unless given whole."""
        base = f"/proc/{pid}/task/{tid}"
        if status is None:
            status = f"Name:\t{name}\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t{pid}\nPid:\t{tid}\n"
            if fnid is not None:
                status += f"FNid:\t{fnid}\n"
        if stat is None:
            stat = (f"{tid} ({name}) S 1 {pid} {pid} 0 -1 4194560 100 0 0 0 {utime} {stime} "
                    f"0 0 20 0 1 0 100 1000000 300 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 "
                    f"17 0 0 0 0 0 0\n")
        if cmdline is None:
            cmdline = name.encode() + b"\0"
        for src, content in (("status", status), ("statm", statm), ("stat", stat),
                             ("cmdline", cmdline), ("cgroup", cgroup)):
            if content is not None:
                self.file(f"{base}/{src}", content)
        return self.path(base)

    # -- running --------------------------------------------------------------------------

    def _script(self, argv, uid, gid):
        q = shlex.quote
        lines = ["set -e"]
        proc = os.path.join(self.root, "proc")
        lines.append(f"mount --rbind /proc {q(os.path.join(proc, '.real'))}")
        lines.append(f"mount --rbind {q(proc)} /proc")
        # Links made inside the namespace live in the fixture dir; replace stale ones.
        lines.append("ln -sfn .real/self /proc/self; ln -sfn .real/thread-self /proc/thread-self")
        for d in _OVERLAID:
            up, wk = os.path.join(self.upper, d), os.path.join(self.tmp, "work", d)
            lower = os.path.join(self.root, d)
            lines.append(f"mkdir -p {q(up)} {q(wk)}")
            lines.append(f"mount -t overlay overlay -o lowerdir={lower}:/{d},upperdir={up},"
                         f"workdir={wk} /{d}")
        if SANITIZED:
            # Leak checking lists the process's threads through /proc/<own pid>/task.
            lines.append('ln -sfn ".real/$$" "/proc/$$"')
        cmd = " ".join(q(a) for a in argv)
        if uid is not None:
            g = uid if gid is None else gid
            cmd = f"setpriv --reuid={uid} --regid={g} --clear-groups -- {cmd}"
        lines.append(f"exec {cmd}")
        return "\n".join(lines) + "\n"

    def command(self, argv, uid=None, gid=None):
        """The argv that runs argv inside the sandbox (for running under tmux or Popen)."""
        script = os.path.join(self.tmp, f"run-{time.monotonic_ns()}.sh")
        with open(script, "w") as f:
            f.write(self._script(argv, uid, gid))
        return ["unshare", "--mount", "--propagation", "private", "/bin/sh", script]

    def run(self, argv, uid=None, gid=None, env=None, preload=(), input=None, timeout=60):
        """Runs argv in the sandbox; returns a CompletedProcess with bytes stdout/stderr.
        env adds to (or, with a value of None, removes from) the caller's environment."""
        full_env = dict(os.environ)
        for k, v in (env or {}).items():
            if v is None:
                full_env.pop(k, None)
            else:
                full_env[k] = v
        if preload:
            full_env["LD_PRELOAD"] = " ".join(list(preload) + [full_env.get("LD_PRELOAD", "")]).strip()
        if SANITIZED:
            sanitizer_env(full_env, preloaded=bool(preload))
        if input is not None and not isinstance(input, bytes):
            input = str(input).encode()
        self._cleanup_proc_links()
        return subprocess.run(self.command(argv, uid, gid), env=full_env, input=input,
                              capture_output=True, timeout=timeout)

    def tmux(self, argv, cols=100, rows=30, env=None, preload=(), uid=None, gid=None):
        """Runs argv in the sandbox inside a real terminal (Tmux) of a fixed size. env and
        preload as for run(), but only what is given is passed on (the terminal's server
        already has the caller's environment)."""
        extra = dict(env or {})
        if preload:
            extra["LD_PRELOAD"] = " ".join(preload)
        if SANITIZED:
            sanitizer_env(extra, preloaded=bool(preload))
        self._cleanup_proc_links()
        return Tmux(self.command(argv, uid, gid), cols=cols, rows=rows, env=extra)

    def _cleanup_proc_links(self):
        # A pid link left by an earlier sanitized run would look like a process to the walk.
        proc = os.path.join(self.root, "proc")
        for name in os.listdir(proc):
            p = os.path.join(proc, name)
            if name.isdigit() and os.path.islink(p):
                os.unlink(p)

    def read(self, path, default=None):
        """A file's content as programs left it: the overlay's upper layer, else the fixture."""
        rel = path.lstrip("/")
        up = os.path.join(self.upper, rel)
        if os.path.lexists(up):
            if os.path.exists(up) and os.path.isfile(up):
                with open(up, "rb") as f:
                    return f.read()
            return default  # a whiteout: the program removed it
        real = os.path.join(self.root, rel)
        if os.path.isfile(real):
            with open(real, "rb") as f:
                return f.read()
        return default

    def listdir(self, path):
        """Names in a directory as programs left it (upper layer merged over the fixture)."""
        rel = path.lstrip("/")
        names = set()
        fix = os.path.join(self.root, rel)
        if os.path.isdir(fix):
            names.update(os.listdir(fix))
        up = os.path.join(self.upper, rel)
        if os.path.isdir(up):
            for n in os.listdir(up):
                st = os.lstat(os.path.join(up, n))
                if (st.st_mode & 0o170000) == 0o020000 and st.st_rdev == 0:
                    names.discard(n)  # whiteout
                else:
                    names.add(n)
        return sorted(names)


# Runs the program for Tmux and keeps its pid and exit status in files: the terminal's own
# record of a dead pane's status is not dependable (it is sometimes never collected). The
# wrapper leaves Ctrl-C to the program, which gets the default signal actions back.
_TMUX_WRAPPER = """
import os, signal, subprocess, sys
signal.signal(signal.SIGINT, signal.SIG_IGN)
def child():
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
        signal.signal(sig, signal.SIG_DFL)
p = subprocess.Popen(sys.argv[3:], preexec_fn=child)
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(str(p.pid))
os.replace(sys.argv[1] + ".tmp", sys.argv[1])
rc = p.wait()
with open(sys.argv[2] + ".tmp", "w") as f:
    f.write(str(rc))
os.replace(sys.argv[2] + ".tmp", sys.argv[2])
"""


class Tmux:
    """A program in a real terminal of exactly cols x rows (no status line), for full-screen
    modes. The screen stays readable after the program ended."""

    def __init__(self, argv, cols=100, rows=30, env=None):
        if shutil.which("tmux") is None:
            raise unittest.SkipTest("tmux not installed")
        self.name = f"ryx{os.getpid()}x{time.monotonic_ns()}"
        self.sock = ["-L", self.name]
        self.dir = tempfile.mkdtemp(prefix="ryx-tmux-")
        self.pid_file = os.path.join(self.dir, "pid")
        self.status_file = os.path.join(self.dir, "status")
        conf = os.path.join(self.dir, "tmux.conf")
        with open(conf, "w") as f:
            f.write("set-option -g remain-on-exit on\nset-option -g status off\n")
        env_args = []
        for k, v in (env or {}).items():
            env_args += ["-e", f"{k}={v}"]
        wrapped = [sys.executable, "-c", _TMUX_WRAPPER, self.pid_file, self.status_file, *argv]
        cmd = " ".join(shlex.quote(a) for a in wrapped)
        subprocess.run(["tmux", *self.sock, "-f", conf, "new-session", "-d", "-s", self.name,
                        "-x", str(cols), "-y", str(rows), *env_args, cmd], check=True)

    def capture(self, history=0):
        """The screen's text; with history, also up to that many lines scrolled off the top
        (after the program ended the terminal's own notice may push the last lines there)."""
        extra = ["-S", str(-history)] if history else []
        out = subprocess.run(["tmux", *self.sock, "capture-pane", "-p", *extra, "-t", self.name],
                             capture_output=True, check=True)
        return out.stdout.decode(errors="replace")

    def send(self, *keys):
        subprocess.run(["tmux", *self.sock, "send-keys", "-t", self.name, *keys], check=True)

    def wait_for(self, predicate, timeout=20.0, history=0):
        """Polls the screen until predicate(screen) is true; returns the screen."""
        deadline = time.monotonic() + timeout
        screen = ""
        while time.monotonic() < deadline:
            screen = self.capture(history)
            if predicate(screen):
                return screen
            time.sleep(0.1)
        raise AssertionError(f"screen never matched; last screen:\n{screen}")

    def _result(self, timeout):
        """The wrapper's return code of the program: negative for a signal."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if os.path.exists(self.status_file):
                with open(self.status_file) as f:
                    return int(f.read())
            time.sleep(0.1)
        raise AssertionError("program did not exit")

    def exit_status(self, timeout=20.0):
        """Waits for the program to end; returns its exit status (None when a signal ended
        it)."""
        rc = self._result(timeout)
        return rc if rc >= 0 else None

    def exit_signal(self, timeout=20.0):
        """Waits for the program to end; returns the signal that ended it, or None."""
        rc = self._result(timeout)
        return -rc if rc < 0 else None

    def pid(self, timeout=20.0):
        """Process id of the program."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if os.path.exists(self.pid_file):
                with open(self.pid_file) as f:
                    pid = int(f.read())
                # Callers signal this pid: 0 or -1 would reach every process there is.
                if pid <= 0:
                    raise AssertionError(f"implausible pid {pid}")
                return pid
            time.sleep(0.05)
        raise AssertionError("program did not start")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        subprocess.run(["tmux", *self.sock, "kill-server"], capture_output=True)
        shutil.rmtree(self.dir, ignore_errors=True)
