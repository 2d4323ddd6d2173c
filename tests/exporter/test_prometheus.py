"""A real Prometheus server, started on a loopback port, scrapes ryx_exporter serving the
simulated host; a query over its HTTP API returns one series per container with the
expected labels."""

import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

from exporter.exporter_support import Server, parse_exposition, series
from exporter.test_exporter import SCENARIO
from harness.sandbox import require_sandbox
from sim.simhost import SimHost

PROMETHEUS = shutil.which("prometheus")
NO_PROMETHEUS = "prometheus not installed (Debian package prometheus)"
if PROMETHEUS is None:
    print(f"SKIPPED: {NO_PROMETHEUS}", flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@require_sandbox
@unittest.skipIf(PROMETHEUS is None, NO_PROMETHEUS)
class PrometheusTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="ryx-prometheus-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.host = SimHost(SCENARIO, extra_args=("-t", "0.5"))
        self.addCleanup(self.host.close)
        self.exporter = Server(self.host)
        self.addCleanup(self.exporter.__exit__)

    def start_prometheus(self):
        port = free_port()
        config = os.path.join(self.tmp, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                    "scrape_configs:\n  - job_name: ryx\n    static_configs:\n"
                    f"      - targets: ['127.0.0.1:{self.exporter.port}']\n")
        log = open(os.path.join(self.tmp, "prometheus.log"), "wb")
        self.addCleanup(log.close)
        proc = subprocess.Popen(
            [PROMETHEUS, f"--config.file={config}", f"--web.listen-address=127.0.0.1:{port}",
             f"--storage.tsdb.path={os.path.join(self.tmp, 'data')}"],
            cwd=self.tmp, stdin=subprocess.DEVNULL, stdout=log, stderr=log)

        def stop():
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        self.addCleanup(stop)
        return f"http://127.0.0.1:{port}"

    def query(self, base, promql):
        url = f"{base}/api/v1/query?" + urllib.parse.urlencode({"query": promql})
        with urllib.request.urlopen(url, timeout=10) as r:
            answer = json.load(r)
        self.assertEqual(answer["status"], "success", answer)
        return answer["data"]["result"]

    def wait_for(self, what, fetch, timeout=60):
        deadline = time.monotonic() + timeout
        while True:
            try:
                value = fetch()
                if value:
                    return value
            except OSError:
                pass  # not listening yet
            if time.monotonic() > deadline:
                with open(os.path.join(self.tmp, "prometheus.log"), errors="replace") as f:
                    self.fail(f"timed out waiting for {what}: {f.read()[-3000:]}")
            time.sleep(0.5)

    def test_prometheus_scrapes_one_series_per_container(self):
        samples, _ = parse_exposition(self.exporter.get()[2].decode())
        expected = series(samples, "ryx_container_threads")
        base = self.start_prometheus()
        self.wait_for("the first scrape", lambda: self.query(base, 'up{job="ryx"} == 1'))

        def every_container():
            found = self.query(base, "ryx_container_threads")
            return found if len(found) == len(expected) else None
        result = self.wait_for("every container", every_container)

        seen = {}
        for r in result:
            labels = r["metric"]
            cid = int(labels["id"])
            self.assertNotIn(cid, seen, "one series per container")
            seen[cid] = labels
            want = {"__name__": "ryx_container_threads", "job": "ryx",
                    "instance": f"127.0.0.1:{self.exporter.port}", "id": str(cid),
                    "reseller": expected[cid][0]["reseller"]}
            # Prometheus keeps no label whose value is empty.
            if expected[cid][0]["user"]:
                want["user"] = expected[cid][0]["user"]
            self.assertEqual(labels, want)
        self.assertEqual(set(seen), set(expected))
        self.assertEqual(seen[1000].get("user"), "alice")

        cpu = self.query(base, 'ryx_container_limit{resource="cpu"}')
        self.assertEqual([(r["metric"]["id"], r["value"][1]) for r in cpu], [("60000", "2")])


if __name__ == "__main__":
    unittest.main()
