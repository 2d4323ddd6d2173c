"""A running simulated host for black-box tests: ryxsim started on a scenario with a long-lived
placeholder command, and programs run inside its namespace with nsenter, as root or as a user."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from harness.sandbox import BUILD_DIR, SANITIZED

RYXSIM = os.path.join(BUILD_DIR, "sim", "ryxsim")
MODULE_DIR = os.path.join(BUILD_DIR, "bindings")
# Sanitizer runtimes the uninstrumented interpreter needs before it loads the instrumented module.
SANITIZER_PRELOAD = [p for p in os.environ.get("RYZMAP_PRELOAD", "").split(":") if p]

# Sanitizer runtimes list their own threads through /proc/<pid>/task: that pid has to lead to the
# real procfs. The link is made before setpriv, and the exec chain keeps the pid.
_ENTER = 'ln -sfn ".real/$$" "/proc/$$" 2>/dev/null; exec "$@"' if SANITIZED else 'exec "$@"'


class SimHost:
    """Use as a context manager. run() returns a CompletedProcess with text output."""

    def __init__(self, scenario, extra_args=()):
        self.tmp = tempfile.mkdtemp(prefix="ryxsim-test-")
        os.chmod(self.tmp, 0o755)
        scen = os.path.join(self.tmp, "scenario")
        with open(scen, "w") as f:
            f.write(scenario)
        ready = os.path.join(self.tmp, "ready")
        self.log_path = os.path.join(self.tmp, "ryxsim.log")
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen(
                [RYXSIM, "-f", scen, "-r", os.path.join(self.tmp, "root"), "--ready", ready,
                 *extra_args, "--", "sleep", "3600"],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 60
        while not os.path.exists(ready):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.close()
                raise RuntimeError(f"ryxsim did not come up: {self.log()}")
            time.sleep(0.05)
        with open(ready) as f:
            self.pid = int(f.read())

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def close(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def run(self, argv, uid=None, input=None, env=None, timeout=60):
        if uid is not None:
            argv = ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", "--", *argv]
        full_env = dict(os.environ)
        full_env.update(env or {})
        if SANITIZED:
            full_env.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0")
        cmd = ["nsenter", "--mount", f"--target={self.pid}", "--", "/bin/sh", "-c", _ENTER, "sh",
               *argv]
        return subprocess.run(cmd, input=input, capture_output=True, text=True, env=full_env,
                              timeout=timeout)

    def python(self, code, uid=None):
        """Runs Python code inside the host with the built _ryzmap importable."""
        env = {"PYTHONPATH": MODULE_DIR}
        argv = [sys.executable, "-c", code]
        if SANITIZER_PRELOAD:
            env["ASAN_OPTIONS"] = "detect_leaks=0"  # the interpreter never frees everything
            argv = ["/usr/bin/env", "LD_PRELOAD=" + ":".join(SANITIZER_PRELOAD), *argv]
        return self.run(argv, uid=uid, env=env)

    def read(self, path):
        res = self.run(["cat", path])
        return res.stdout if res.returncode == 0 else None

    def wait_for(self, predicate, what, timeout=20):
        """Polls predicate() until it returns something true; returns that."""
        deadline = time.monotonic() + timeout
        while True:
            value = predicate()
            if value:
                return value
            if time.monotonic() > deadline:
                raise AssertionError(f"timed out waiting for {what}")
            time.sleep(0.2)
