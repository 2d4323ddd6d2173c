"""ryx_exporter on the simulated host, black-box: what --once writes against the lists and
ryxps, promtool's verdict, unreadable lists counted as errors (served and in the textfile),
the HTTP answers, counters across scrapes, and clients that stall."""

import os
import shutil
import stat
import subprocess
import tempfile
import threading
import time
import unittest

from exporter.exporter_support import Server, exporter_in, parse_exposition, series
from harness.sandbox import require_sandbox
from sim.simhost import SimHost

# A domain with limits under alice's reseller, processes of several threads in three containers.
SCENARIO = """
cpu mhz=2400
user uid=1000 name=alice isolation
user uid=1001 name=bob
reseller id=1000
profile name=web cpu=2..45@40 mem=60M..140M io=20K..900K iops=5..180
domain user=alice name=shop.example docroot=/home/alice/www/shop.example assign limits=200,131072,4096,64,800,30,524288
process user=alice domain=shop.example name=php-fpm cmdline="php-fpm: pool shop" count=3 threads=2 profile=web entry
process user=alice name=cron
process user=bob name=java threads=4 cpu=30..70 mem=1500M io=1M iops=100
"""
PAGE = os.sysconf("SC_PAGE_SIZE")
COUNTERS = ("ryx_container_cpu_seconds_total", "ryx_container_io_bytes_total",
            "ryx_container_io_operations_total")


def read_lists(host):
    """{id: row} of every list, each row a dict by column, with its parent."""
    text = host.run(["sh", "-c", "cat /proc/ryx/list; for f in /proc/ryx/resellers/*/list; "
                     "do echo --; cat $f; done"]).stdout
    rows = {}
    for part in text.split("--\n"):
        lines = part.splitlines()
        columns = lines[0].split(":", 1)[-1].split("\t")
        tokens = " ".join(lines[1:]).split()
        for k in range(0, len(tokens) - len(columns) + 1, len(columns)):
            row, parent = {}, 0
            for name, token in zip(columns, tokens[k:k + len(columns)]):
                if "," in token:
                    parent, token = token.split(",")
                row[name] = int(token)
            row["parent"] = int(parent)
            rows[row["RYX"]] = row
    return rows


def promtool_verdict(text):
    """promtool check metrics on text: (status, what it said); None without promtool."""
    if shutil.which("promtool") is None:
        return None
    res = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                         text=True, timeout=60)
    return res.returncode, res.stdout + res.stderr


@require_sandbox
class OnceTest(unittest.TestCase):
    """A host that ticks once a minute, first after half a minute: nothing moves while the
    exporter, the lists and ryxps are read one after the other."""

    @classmethod
    def setUpClass(cls):
        cls.host = SimHost(SCENARIO, extra_args=("-t", "60"))
        cls.exporter = exporter_in(cls.host)

    @classmethod
    def tearDownClass(cls):
        cls.host.close()

    def once(self, *args, uid=None):
        res = self.host.run([self.exporter, "--once", *args], uid=uid)
        return res

    def test_once_reads_what_the_lists_and_ryxps_show(self):
        res = self.once()
        self.assertEqual(res.returncode, 0, res.stderr)
        samples, types = parse_exposition(res.stdout)
        lists = read_lists(self.host)
        viewer = self.host.run(["ryxps", "-n"])
        self.assertEqual(viewer.returncode, 0, viewer.stderr)
        shown = {int(r[0]): r for r in (l.split() for l in viewer.stdout.splitlines()[1:])}

        threads = series(samples, "ryx_container_threads")
        processes = series(samples, "ryx_container_processes")
        self.assertEqual(set(threads), set(lists), "one series per listed container")
        self.assertTrue(len(shown) >= 3, viewer.stdout)
        for cid, row in lists.items():
            labels = threads[cid][0]
            self.assertEqual(labels["reseller"], str(row["parent"]))
            self.assertEqual(threads[cid][1], int(shown[cid][3]) if cid in shown else 0, cid)
            self.assertEqual(processes[cid][1], int(shown[cid][2]) if cid in shown else 0, cid)
            # Base units: seconds from nanoseconds, bytes from pages.
            self.assertAlmostEqual(series(samples, "ryx_container_cpu_seconds_total")[cid][1],
                                   row["CPU"] / 1e9, places=6)
            self.assertEqual(series(samples, "ryx_container_memory_bytes")[cid][1],
                             row["MEMPHY"] * PAGE)
            self.assertEqual(series(samples, "ryx_container_io_bytes_total")[cid][1], row["IO"])
            self.assertEqual(series(samples, "ryx_container_io_operations_total")[cid][1],
                             row["IOPS"])
            self.assertEqual(series(samples, "ryx_container_entry_processes")[cid][1], row["EP"])
        self.assertEqual(threads[1000][0]["user"], "alice")
        self.assertEqual(threads[1001][0]["user"], "bob")
        self.assertEqual(threads[60000][0]["user"], "", "a domain id is no uid")

        limits = {d["resource"]: v for (n, l), v in samples.items()
                  if n == "ryx_container_limit" for d in [dict(l)] if d["id"] == "60000"}
        self.assertEqual(limits, {"cpu": 2.0, "memory": 131072 * 4096, "io": 4096 * 1024,
                                  "processes": 64, "io_operations": 800, "entry_processes": 30,
                                  "virtual_memory": 524288 * 4096})
        self.assertEqual(series(samples, "ryx_container_limit", id="1001"), {},
                         "no limits where libryx knows no container")
        self.assertEqual(types["ryx_exporter_collect_errors_total"], "counter")
        self.assertEqual(samples[("ryx_exporter_collect_errors_total", frozenset())], 0)

    def test_promtool_finds_nothing_to_say(self):
        res = self.once()
        verdict = promtool_verdict(res.stdout)
        if verdict is None:
            self.skipTest("promtool not installed (Debian package prometheus)")
        self.assertEqual(verdict, (0, ""))

    def test_unreadable_lists_are_counted_served_and_written(self):
        # Unreadable for bob: the scrape answers with the exporter's own figures, and the
        # error count rises with every failed pass, also from one textfile run to the next.
        lst = "/proc/ryx/list"
        mode = int(self.host.run(["stat", "-c", "%a", lst]).stdout, 8)
        self.assertEqual(self.host.run(["chmod", "000", lst]).returncode, 0)
        restore = lambda: self.host.run(["chmod", oct(mode)[2:], lst])
        self.addCleanup(restore)
        out_dir = tempfile.mkdtemp(prefix="ryx-textfile-")
        self.addCleanup(shutil.rmtree, out_dir, True)
        os.chmod(out_dir, 0o777)
        prom = os.path.join(out_dir, "ryx.prom")
        errors = ("ryx_exporter_collect_errors_total", frozenset())

        with Server(self.host, uid=1001) as server:
            for expected in (1, 2):
                status, headers, body = server.get()
                self.assertEqual(status, 200)
                samples, _ = parse_exposition(body.decode())
                self.assertEqual(samples[errors], expected)
                self.assertEqual(series(samples, "ryx_container_threads"), {})
            for expected in (1, 2):
                res = self.once("--output", prom, uid=1001)
                self.assertEqual(res.returncode, 1)
                self.assertIn("cannot read the container lists", res.stderr)
                with open(prom) as f:
                    samples, _ = parse_exposition(f.read())
                self.assertEqual(samples[errors], expected)
            restore()
            status, _, body = server.get()
            samples, _ = parse_exposition(body.decode())
            self.assertEqual(samples[errors], 2, "the count never goes down")
            self.assertTrue(series(samples, "ryx_container_threads"))
            self.assertEqual(server.stop(), 0, server.log())

        res = self.once("--output", prom, uid=1001)
        self.assertEqual(res.returncode, 0, res.stderr)
        with open(prom) as f:
            samples, _ = parse_exposition(f.read())
        self.assertEqual(samples[errors], 2)
        self.assertEqual(os.listdir(out_dir), ["ryx.prom"], "no temporary file left behind")
        self.assertEqual(stat.S_IMODE(os.stat(prom).st_mode) & 0o444, 0o444)


@require_sandbox
class ServerTest(unittest.TestCase):
    """A host that ticks five times a second, served by one exporter for the whole class."""

    @classmethod
    def setUpClass(cls):
        cls.host = SimHost(SCENARIO, extra_args=("-t", "0.2"))
        try:
            cls.server = Server(cls.host)
        except Exception:
            cls.host.close()
            raise

    @classmethod
    def tearDownClass(cls):
        status = cls.server.stop()
        log = cls.server.log()
        cls.server.log_file.close()
        cls.host.close()
        assert status == 0, f"ryx_exporter ended with {status}: {log}"

    def test_http_answers(self):
        s = self.server
        status, headers, body = s.get()
        self.assertEqual(status, 200)
        self.assertEqual(headers["content-type"], "text/plain; version=0.0.4; charset=utf-8")
        samples, _ = parse_exposition(body.decode())
        self.assertTrue(series(samples, "ryx_container_threads"))
        status, headers, body = s.get(method="HEAD")
        self.assertEqual((status, body), (200, b""))
        self.assertGreater(int(headers["content-length"]), 1000)
        status, headers, body = s.get("/")
        self.assertEqual(status, 200)
        self.assertIn(b'href="/metrics"', body)
        self.assertEqual(s.get("/metrics/")[0], 404)
        self.assertEqual(s.get("/other")[0], 404)
        status, headers, _ = s.get(method="POST", body=b"x=1")
        self.assertEqual((status, headers["allow"]), (405, "GET, HEAD"))
        self.assertEqual(s.get("/", method="DELETE")[0], 405)
        # Too large: a header beyond the request limit, a body where none is taken.
        self.assertEqual(s.get(headers=["X-Filler: " + "a" * 40000])[0], 431)
        self.assertEqual(s.get(body=b"a" * 100)[0], 413)

        answers = []
        scrape = lambda: answers.append(s.get())
        threads = [threading.Thread(target=scrape) for _ in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual([a[0] for a in answers], [200] * 6)
        for _, _, body in answers:
            parse_exposition(body.decode())

    def test_counters_only_go_up(self):
        first, _ = parse_exposition(self.server.get()[2].decode())
        time.sleep(0.6)
        second, _ = parse_exposition(self.server.get()[2].decode())
        grew = 0
        for name in COUNTERS:
            before, after = series(first, name), series(second, name)
            self.assertEqual(set(before), set(after))
            for cid in before:
                self.assertGreaterEqual(after[cid][1], before[cid][1], (name, cid))
                grew += after[cid][1] > before[cid][1]
        self.assertGreater(grew, 0, "three ticks went by")

    def test_stalled_clients_hold_nobody_up(self):
        s = self.server
        stalled = s.connect()
        stalled.sendall(b"GET /metrics HTTP/1.1\r\nHost: loc")  # and nothing more
        silent = [s.connect() for _ in range(6)]
        start = time.monotonic()
        self.assertEqual(s.get()[0], 200)
        self.assertLess(time.monotonic() - start, 5, "a scrape beside stalled clients")
        # Eight connections from one address at most: the next one is closed unanswered.
        silent.append(s.connect())
        extra = s.connect()
        extra.settimeout(5)
        try:
            self.assertEqual(extra.recv(100), b"", "over the per-address limit")
        except ConnectionResetError:
            pass
        extra.close()
        for c in silent:
            c.close()
        # A client that stops sending is dropped after the idle limit.
        stalled.settimeout(20)
        start = time.monotonic()
        try:
            self.assertEqual(stalled.recv(100), b"")
        except ConnectionResetError:
            pass
        self.assertLess(time.monotonic() - start, 15)
        stalled.close()
        self.assertEqual(s.get()[0], 200)

if __name__ == "__main__":
    unittest.main()
