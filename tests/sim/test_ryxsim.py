"""ryxsim and ryxinfo as programs: determinism, exit status, cleanup, live and whole files,
threads that add up to their containers from the first interval, scenario errors, the
statistics command's arguments, and running without root."""

import os
import signal
import subprocess
import time
import unittest

from harness.sandbox import SANITIZED, Tmux, require_sandbox
from harness.scratch import scratch_dir
from sim.simhost import RYXSIM, SimHost

SCENARIO = """
tick 0.2
user uid=1000 name=alice
user uid=1001 name=bob
reseller id=1000
process user=alice name=php cmdline="php-fpm: pool a" threads=2 count=3 cpu=20..60 mem=50M io=10K..90K iops=5..50
process user=bob name=mysqld threads=4 cpu=5..10@4 mem=500M io=1M iops=100
"""

# The stat files of the simulated threads; links to real processes (which sanitizer runtimes
# need) are passed over.
SIMULATED_STAT = 'for p in /proc/[0-9]*; do [ -L "$p" ] || cat "$p"/task/*/stat; done'


@require_sandbox
class RyxsimTest(unittest.TestCase):
    def setUp(self):
        self.tmp = scratch_dir(self, "ryxsim-prog-")
        self.scenario = os.path.join(self.tmp, "scenario")
        with open(self.scenario, "w") as f:
            f.write(SCENARIO)
        self.scratch = os.path.join(self.tmp, "scratch")
        os.mkdir(self.scratch)

    def ryxsim(self, *args, scenario=None, **kw):
        env = dict(os.environ, TMPDIR=self.scratch)
        return subprocess.run([RYXSIM, "-f", scenario or self.scenario, *args], env=env,
                              capture_output=True, text=True, timeout=60, **kw)

    def test_same_seed_same_host(self):
        # A long tick: the command reads the host as started, never racing the first tick.
        cat = ["-t", "60", "--", "sh", "-c", "cat /proc/ryx/list; " + SIMULATED_STAT]
        a, b = self.ryxsim("-S", "3", *cat), self.ryxsim("-S", "3", *cat)
        c = self.ryxsim("-S", "4", *cat)
        self.assertEqual(a.returncode, 0, a.stderr)
        self.assertTrue(a.stdout.startswith("8:RYX\tEP\tCPU\tMEM\tIO\tMEMPHY\tIOPS\tNPROC\n"))
        self.assertEqual(a.stdout, b.stdout)
        self.assertNotEqual(a.stdout, c.stdout)

    def test_status_of_the_command_and_nothing_left_behind(self):
        host_had = {p: os.path.exists(p) for p in ("/var/lib/ryxsim", "/usr/sbin/ryxinfo")}
        res = self.ryxsim("--", "sh", "-c", "test -x /usr/sbin/ryxinfo && "
                          "test -e /opt/tavrenox/flags/available-flags.d/"
                          "ryxstats-supports-domain-ryx-limits.flag && "
                          "grep -q '^bob:x:1001:' /etc/passwd && exit 7")
        self.assertEqual(res.returncode, 7, res.stderr)
        self.assertEqual(self.ryxsim("--", "/nonexistent/program").returncode, 127)
        self.assertEqual(os.listdir(self.scratch), [], "the temporary host must be removed")
        self.assertEqual({p: os.path.exists(p) for p in host_had}, host_had)

    def test_a_kept_host_remembers_its_administration(self):
        root = os.path.join(self.tmp, "host")
        self.assertEqual(self.ryxsim("-r", root, "--", "/usr/sbin/ryxctl", "allow-domain-limits",
                                     "alice").returncode, 0)
        res = self.ryxsim("-r", root, "--", "test", "-e", "/etc/container/ryz_ids/1000")
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertNotEqual(self.ryxsim("--", "test", "-e", "/etc/container/ryz_ids/1000").returncode,
                            0, "a fresh host starts without it")

    def test_scenario_errors_are_reported(self):
        bad = os.path.join(self.tmp, "bad")
        with open(bad, "w") as f:
            f.write("user uid=1000 name=alice\nprocess user=bob name=x\n")
        res = self.ryxsim("--", "true", scenario=bad)
        self.assertEqual(res.returncode, 2)
        self.assertEqual(res.stderr, f"ryxsim: {bad}:2: unknown user 'bob'\n")
        self.assertEqual(self.ryxsim("-t", "0", "--", "true").returncode, 2)

    def test_sigterm_ends_the_command_and_cleans_up(self):
        env = dict(os.environ, TMPDIR=self.scratch)
        ready = os.path.join(self.tmp, "ready")
        proc = subprocess.Popen([RYXSIM, "-f", self.scenario, "--ready", ready, "--", "sleep", "600"],
                                env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while not os.path.exists(ready):
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(timeout=30), 128 + signal.SIGTERM)
        self.assertEqual(os.listdir(self.scratch), [])

    def test_live_counters_in_whole_files(self):
        with SimHost(SCENARIO) as host:
            # Many reads while the updater replaces the files: each is whole.
            script = ("i=0; while [ $i -lt 300 ]; do cat /proc/ryx/list; echo '--'; "
                      f"{{ {SIMULATED_STAT}; }} | wc -l; echo '=='; i=$((i+1)); done")
            res = host.run(["sh", "-c", script])
            self.assertEqual(res.returncode, 0, res.stderr)
            for chunk in res.stdout.split("==\n")[:-1]:
                listing, threads = chunk.split("--\n")
                lines = listing.splitlines()
                self.assertEqual(len(lines), 3, listing)
                self.assertTrue(all(len(l.split("\t")) == 8 for l in lines), listing)
                self.assertEqual(threads.strip(), "10")
            first = host.read("/proc/ryx/list")
            time.sleep(0.6)
            second = host.read("/proc/ryx/list")
            cpu = lambda text: [int(l.split("\t")[2]) for l in text.splitlines()[1:]]
            self.assertTrue(all(b > a for a, b in zip(cpu(first), cpu(second))), (first, second))

    def test_threads_add_up_to_their_container_from_the_first_interval(self):
        # The built-in host ticks as often as ryxps -c 1 samples. A container's threads may
        # differ from it by under a tick each and by its timing over the real interval only.
        builtin = subprocess.run([RYXSIM, "-p"], capture_output=True, text=True).stdout
        for seed in ("1", "2", "3"):
            res = self.ryxsim("-S", seed, "--", "ryxps", "-p", "-d", "-c", "1",
                              scenario="/dev/stdin", input=builtin)
            cpu = {}  # container -> [its figure, its threads' sum, threads]
            for line in res.stdout.splitlines()[1:]:
                speed = int(line.split()[-4].rstrip("%"))
                if line[:10].strip():
                    row = cpu[line.split()[0]] = [speed, 0, 0]
                else:
                    row[1:] = [row[1] + speed, row[2] + 1]
            self.assertEqual(len(cpu), 5, res.stdout + res.stderr)
            off = {k: v for k, v in cpu.items() if abs(v[0] - v[1]) > 2 + v[2] // 2 + v[0] // 10}
            self.assertEqual(off, {}, f"seed {seed}:\n{res.stdout}")

    def test_top_mode_in_a_terminal_shows_changing_figures(self):
        enter = 'ln -sfn ".real/$$" "/proc/$$"; exec "$@"' if SANITIZED else 'exec "$@"'
        term = Tmux([RYXSIM, "-f", self.scenario, "--", "/bin/sh", "-c", enter, "sh",
                     "/usr/bin/ryxps", "-t", "-c", "1", "-s", "cpu"],
                    cols=100, rows=20, env={"TMPDIR": self.scratch})
        self.addCleanup(term.close)
        first = term.wait_for(lambda s: "SPEED" in s and "alice" in s)
        term.wait_for(lambda s: "alice" in s and s != first)
        term.send("q")
        self.assertEqual(term.exit_status(), 0)

    def test_ryxinfo_arguments(self):
        with SimHost(SCENARIO) as host:
            info = "/usr/sbin/ryxinfo"
            base = [info, "--json", "--with-domains", "--id", "1000"]
            out = host.run(base + ["--period", "10m", "--show-columns", "domain,aCPU"])
            self.assertEqual(out.returncode, 0, out.stderr)
            self.assertIn('"uid": 1000, "period": "10m"', out.stdout)
            for args, status, message in [
                ([info, "--with-domains", "--id", "1000"], 2,
                 "ryxinfo: only the per-domain JSON report (--json --with-domains) is available\n"),
                (base + ["--period", "1x"], 2, "ryxinfo: invalid period '1x'\n"),
                (base + ["--show-columns", "domain,bogus"], 2, "ryxinfo: unknown column 'bogus'\n"),
                ([info, "--json", "--with-domains", "--id", "12a"], 2, "ryxinfo: invalid id '12a'\n"),
            ]:
                res = host.run(args)
                self.assertEqual((res.returncode, res.stderr), (status, message), args)
            res = host.run(base, uid=1001)
            self.assertEqual(res.returncode, 1)
            self.assertIn("permission denied", res.stderr)

    def test_runs_without_root_where_user_namespaces_are_allowed(self):
        nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]
        probe = subprocess.run(nobody + ["unshare", "--user", "--map-root-user", "--mount", "true"],
                               capture_output=True)
        if probe.returncode != 0:
            print("SKIPPED: unprivileged user namespaces are not allowed here", flush=True)
            self.skipTest("no unprivileged user namespaces")
        os.chmod(self.tmp, 0o755)
        os.chmod(self.scratch, 0o777)
        res = subprocess.run(nobody + [RYXSIM, "-f", self.scenario, "--", "sh", "-c",
                                       "cat /proc/ryx/list; id -u"],
                             env=dict(os.environ, TMPDIR=self.scratch), capture_output=True,
                             text=True, timeout=60)
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertTrue(res.stdout.startswith("8:RYX\t"), res.stdout)
        self.assertTrue(res.stdout.endswith("\n0\n"))
        self.assertEqual(os.listdir(self.scratch), [])


if __name__ == "__main__":
    unittest.main()
