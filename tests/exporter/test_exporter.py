"""ryx_exporter on the simulated host, black-box: --once against the lists and ryxps, promtool's
verdict, unreadable lists counted as errors (served and in the textfile), mistakes in the web
configuration, the HTTP answers, counters across scrapes, clients that stall, and an ordinary
user trickling requests over many connections."""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

from exporter.exporter_support import Server, exporter_in, parse_exposition, series, web_config
from harness.sandbox import require_sandbox
from sim.simhost import SimHost

# A domain with limits under alice's reseller, processes of several threads in three containers.
SCENARIO = """
user uid=1000 name=alice isolation
user uid=1001 name=bob
reseller id=1000
profile name=web cpu=2..45@40 mem=60M..140M io=20K..900K iops=5..180
domain user=alice name=shop.example docroot=/home/alice/www/shop.example assign limits=200,131072,4096,64,800,30,524288
process user=alice domain=shop.example name=php-fpm count=3 threads=2 profile=web entry
process user=alice name=cron
process user=bob name=java threads=4 cpu=30..70 mem=1500M io=1M iops=100
"""
ERRORS = ("ryx_exporter_collect_errors_total", frozenset())
# exposition family: list column, factor to base units
FROM_LIST = {"ryx_container_cpu_seconds_total": ("CPU", 1e-9),
             "ryx_container_memory_bytes": ("MEMPHY", os.sysconf("SC_PAGE_SIZE")),
             "ryx_container_io_bytes_total": ("IO", 1),
             "ryx_container_io_operations_total": ("IOPS", 1),
             "ryx_container_entry_processes": ("EP", 1)}


def read_lists(host):
    """{id: row by column name, with "parent"} of the main list and every reseller list."""
    text = host.run(["sh", "-c", "for f in /proc/ryx/list /proc/ryx/resellers/*/list; do "
                     "cat $f; echo --; done"]).stdout
    rows = {}
    for part in text.split("--\n")[:-1]:
        columns = part.splitlines()[0].split(":")[-1].split("\t")
        tokens = part.split("\n", 1)[1].split()
        for k in range(0, len(tokens), len(columns)):
            cells = [t.split(",") for t in tokens[k:k + len(columns)]]
            row = {c: int(v[-1]) for c, v in zip(columns, cells)}
            row["parent"] = next((int(v[0]) for v in cells if len(v) == 2), 0)
            rows[row["RYX"]] = row
    return rows


@require_sandbox
class OnceTest(unittest.TestCase):
    """A host that ticks first after half a minute: nothing moves while it is read."""

    @classmethod
    def setUpClass(cls):
        cls.host = SimHost(SCENARIO, extra_args=("-t", "60"))

    @classmethod
    def tearDownClass(cls):
        cls.host.close()

    def once(self, *args, uid=None):
        return self.host.run([exporter_in(self.host), "--once", *args], uid=uid)

    def test_once_reads_what_the_lists_and_ryxps_show(self):
        res = self.once()
        self.assertEqual(res.returncode, 0, res.stderr)
        samples, types = parse_exposition(res.stdout)
        lists = read_lists(self.host)
        viewer = self.host.run(["ryxps", "-n"]).stdout.splitlines()[1:]
        shown = {int(r[0]): (int(r[2]), int(r[3])) for r in map(str.split, viewer)}
        self.assertGreaterEqual(len(shown), 3)

        threads = series(samples, "ryx_container_threads")
        processes = series(samples, "ryx_container_processes")
        self.assertEqual(set(threads), set(lists), "one series per listed container")
        for cid, row in lists.items():
            self.assertEqual(threads[cid][0]["reseller"], str(row["parent"]))
            self.assertEqual((processes[cid][1], threads[cid][1]), shown.get(cid, (0, 0)), cid)
            for name, (column, factor) in FROM_LIST.items():
                self.assertAlmostEqual(series(samples, name)[cid][1], row[column] * factor, 6)
        self.assertEqual([threads[i][0]["user"] for i in (1000, 1001, 60001)],
                         ["alice", "bob", ""], "a domain container's id is no uid")
        limits = {d["resource"]: v for (n, l), v in samples.items() for d in [dict(l)]
                  if n == "ryx_container_limit" and d["id"] == "60001"}
        self.assertEqual(limits, {"cpu": 2.0, "memory": 131072 * 4096, "io": 4096 * 1024,
                                  "processes": 64, "io_operations": 800, "entry_processes": 30,
                                  "virtual_memory": 524288 * 4096})
        self.assertEqual(series(samples, "ryx_container_limit", id="1001"), {})
        self.assertEqual((types[ERRORS[0]], samples[ERRORS]), ("counter", 0))

    def test_promtool_finds_nothing_to_say(self):
        if shutil.which("promtool") is None:
            self.skipTest("promtool not installed (Debian package prometheus)")
        res = subprocess.run(["promtool", "check", "metrics"], input=self.once().stdout,
                             capture_output=True, text=True, timeout=60)
        self.assertEqual((res.returncode, res.stdout + res.stderr), (0, ""))

    def test_unreadable_lists_are_counted_served_and_written(self):
        # Unreadable for bob: each pass answers with the exporter's own figures and raises the
        # count, also from one textfile run to the next, which continues the file's count.
        lst = "/proc/ryx/list"
        mode = self.host.run(["stat", "-c", "%a", lst]).stdout.strip()
        self.host.run(["chmod", "000", lst])
        self.addCleanup(self.host.run, ["chmod", mode, lst])
        out = tempfile.mkdtemp(prefix="ryx-textfile-")
        self.addCleanup(shutil.rmtree, out, True)
        os.chmod(out, 0o777)
        prom = os.path.join(out, "ryx.prom")
        with Server(self.host, uid=1001) as server:
            for expected in (1, 2):
                status, _, body = server.get()
                samples, _ = parse_exposition(body.decode())
                self.assertEqual((status, samples[ERRORS]), (200, expected))
                self.assertEqual(series(samples, "ryx_container_threads"), {})
                res = self.once("--output", prom, uid=1001)
                self.assertEqual(res.returncode, 1)
                self.assertIn("cannot read the container lists", res.stderr)
                with open(prom) as f:
                    self.assertEqual(parse_exposition(f.read())[0][ERRORS], expected)
            self.host.run(["chmod", mode, lst])
            samples, _ = parse_exposition(server.get()[2].decode())
            self.assertEqual(samples[ERRORS], 2, "the count never goes down")
            self.assertTrue(series(samples, "ryx_container_threads"))
            self.assertEqual(server.stop(), 0, server.messages())
        self.assertEqual(self.once("--output", prom, uid=1001).returncode, 0)
        with open(prom) as f:
            self.assertEqual(parse_exposition(f.read())[0][ERRORS], 2)
        self.assertEqual(os.listdir(out), ["ryx.prom"], "no temporary file left behind")
        self.assertEqual(os.stat(prom).st_mode & 0o444, 0o444)


    def test_web_configuration_mistakes_are_command_line_errors(self):
        tmp = tempfile.mkdtemp(prefix="ryx-web-")
        self.addCleanup(shutil.rmtree, tmp, True)
        path = web_config(tmp)
        tls = "tls_server_config:\n  cert_file: cert.pem\n  key_file: "
        for text, said in ((tls + "key.pem\n  client_auth: x\n", 'line 4: unsupported key'),
                           (tls + "gone.pem\n", f"cannot read {tmp}/gone.pem"),
                           (tls + "cert.pem\n", f"{tmp}/cert.pem and {tmp}/cert.pem: "),
                           ("basic_auth_users:\n  alice: secret\n", "not a bcrypt hash")):
            with open(path, "w") as f:
                f.write(text)
            res = self.host.run([exporter_in(self.host), f"--web.config.file={path}"])
            self.assertEqual(res.returncode, 2, res.stderr)
            self.assertIn(said, res.stderr)


@require_sandbox
class ServerTest(unittest.TestCase):
    """One server for the class, on a host that ticks five times a second."""

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
        cls.host.close()
        assert status == 0, f"ryx_exporter ended with {status}: {cls.server.messages()}"

    def test_http_answers(self):
        s = self.server
        status, headers, body = s.get()
        self.assertEqual((status, headers["content-type"]),
                         (200, "text/plain; version=0.0.4; charset=utf-8"))
        self.assertTrue(series(parse_exposition(body.decode())[0], "ryx_container_threads"))
        status, headers, body = s.get(method="HEAD")
        self.assertEqual((status, body), (200, b""))
        self.assertGreater(int(headers["content-length"]), 1000)
        status, _, body = s.get("/")
        self.assertEqual(status, 200)
        self.assertIn(b'href="/metrics"', body)
        self.assertEqual([s.get(p)[0] for p in ("/metrics/", "/other")], [404, 404])
        status, headers, _ = s.get(method="POST", body=b"x=1")
        self.assertEqual((status, headers["allow"]), (405, "GET, HEAD"))
        self.assertEqual(s.get("/", method="DELETE")[0], 405)
        # Too large: a header over the request limit; a body, where none is taken.
        self.assertEqual(s.get(headers=["X-Filler: " + "a" * 40000])[0], 431)
        self.assertEqual(s.get(body=b"a" * 100)[0], 413)

        with ThreadPoolExecutor(6) as pool:  # one pass, six suspended scrapes resumed
            answers = list(pool.map(lambda _: s.get(), range(6)))
        self.assertEqual([a[0] for a in answers], [200] * 6)
        self.assertTrue(all(parse_exposition(a[2].decode()) for a in answers))

    def test_counters_only_go_up(self):
        first, _ = parse_exposition(self.server.get()[2].decode())
        time.sleep(0.6)
        second, types = parse_exposition(self.server.get()[2].decode())
        grew = 0
        for name in (n for n, t in types.items() if t == "counter" and n.startswith("ryx_c")):
            before, after = series(first, name), series(second, name)
            self.assertEqual(set(before), set(after))
            for cid, (_, value) in before.items():
                self.assertGreaterEqual(after[cid][1], value, (name, cid))
                grew += after[cid][1] > value
        self.assertGreater(grew, 0, "three ticks went by")

    def test_stalled_clients_hold_nobody_up(self):
        s = self.server
        stalled = s.connect()
        stalled.sendall(b"GET /metrics HTTP/1.1\r\nHost: loc")  # and nothing more
        silent = [s.connect() for _ in range(6)]
        start = time.monotonic()
        self.assertEqual(s.get()[0], 200)
        self.assertLess(time.monotonic() - start, 5, "a scrape beside stalled clients")
        # Eight connections from one address at most: a ninth closes the one of them that has
        # waited longest for its request.
        silent.append(s.connect())
        self.assertEqual(s.get()[0], 200)
        self.assertIn(recv_or_reset(stalled), (b"", None))
        for c in silent:
            c.close()
        # A request trickled a header line every 2 seconds is cut at the deadline of 10 seconds.
        with s.connect() as trickler:
            trickler.sendall(b"GET /metrics HTTP/1.1\r\n")
            trickler.settimeout(2)
            start, line = time.monotonic(), 0
            while time.monotonic() - start < 20:
                try:
                    if recv_or_reset(trickler) in (b"", None):
                        break
                except TimeoutError:
                    trickler.sendall(b"X-Line-%d: a\r\n" % line)
                    line += 1
            self.assertLess(abs(time.monotonic() - start - 10), 2.5)
        self.assertEqual(s.get()[0], 200)


# An ordinary user's trickle: 500 connections from 127.0.0.2-9, one header line each every 2 s,
# those closed opened again; prints "ready" after the first round, then how many it opened.
TRICKLE = r"""
import socket, sys, time
port, count, until = int(sys.argv[1]), int(sys.argv[2]), time.monotonic() + float(sys.argv[3])
conns, opened, line = [None] * count, 0, 0
while time.monotonic() < until:
    start = time.monotonic()
    for k in range(count):
        try:
            if conns[k] is None:
                conns[k] = socket.socket()
                conns[k].settimeout(1)
                conns[k].bind((f"127.0.0.{2 + k % 8}", 0))
                conns[k].connect(("127.0.0.1", port))
                conns[k].sendall(b"GET /metrics HTTP/1.1\r\n")
                opened += 1
            else:
                conns[k].sendall(b"X-Line-%d: a\r\n" % line)
        except OSError:
            conns[k] = conns[k] and conns[k].close()
    if line == 0:
        print("ready", flush=True)
    line += 1
    time.sleep(max(0, 2 - (time.monotonic() - start)))
print(opened, flush=True)
"""


@require_sandbox
class TrickleTest(unittest.TestCase):
    def test_a_scrape_is_answered_while_an_ordinary_user_trickles(self):
        with SimHost(SCENARIO) as host, Server(host) as server:
            attack = subprocess.Popen(
                ["setpriv", "--reuid=1000", "--regid=1000", "--clear-groups", sys.executable,
                 "-c", TRICKLE, str(server.port), "500", "16"],
                stdout=subprocess.PIPE, text=True)
            self.addCleanup(attack.wait, 30)
            self.assertEqual(attack.stdout.readline(), "ready\n")
            answered = []
            for _ in range(5):
                time.sleep(1)
                start = time.monotonic()
                try:
                    status = server.get(timeout=2)[0]
                except OSError:
                    status = None
                answered.append((status, time.monotonic() - start < 2))
            self.assertEqual(answered, [(200, True)] * 5, "scrapes during the attack")
            self.assertGreaterEqual(int(attack.stdout.read().split()[-1]), 500)
        log = server.messages()
        self.assertEqual(server.proc.returncode, 0, log)
        self.assertIn("closed to make room", log)
        self.assertLess(len(log.splitlines()), 20, "one report a minute, not a line each")


def recv_or_reset(sock):
    try:
        return sock.recv(100)
    except ConnectionResetError:
        return None


if __name__ == "__main__":
    unittest.main()
