"""A real Prometheus server, started on a loopback port, scrapes ryx_exporter serving the
simulated host; a query over its HTTP API returns one series per container with the expected
labels."""

import json
import os
import shutil
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


@require_sandbox
@unittest.skipIf(PROMETHEUS is None, NO_PROMETHEUS)
class PrometheusTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="ryx-prometheus-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        host = SimHost(SCENARIO, extra_args=("-t", "0.5"))
        self.addCleanup(host.close)
        self.exporter = Server(host)
        self.addCleanup(self.exporter.stop)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.base = f"http://127.0.0.1:{s.getsockname()[1]}"
        config = os.path.join(self.tmp, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global: {scrape_interval: 1s, scrape_timeout: 1s}\nscrape_configs:\n"
                    "  - job_name: ryx\n    static_configs:\n"
                    f"      - targets: ['127.0.0.1:{self.exporter.port}']\n")
        self.log = open(os.path.join(self.tmp, "log"), "w+")
        self.addCleanup(self.log.close)
        server = subprocess.Popen(
            [PROMETHEUS, f"--config.file={config}", f"--web.listen-address={self.base[7:]}",
             f"--storage.tsdb.path={self.tmp}/data"],
            cwd=self.tmp, stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        self.addCleanup(server.wait, 30)
        self.addCleanup(server.terminate)

    def query(self, promql, count):
        """The result of an instant query once it holds count series (a minute at most)."""
        url = f"{self.base}/api/v1/query?" + urllib.parse.urlencode({"query": promql})
        deadline = time.monotonic() + 60
        while True:
            try:
                with urllib.request.urlopen(url, timeout=10) as r:
                    result = json.load(r)["data"]["result"]
                if len(result) == count:
                    return result
            except OSError:
                result = "not listening yet"
            if time.monotonic() > deadline:
                self.log.seek(0)
                self.fail(f"{promql}: {result}\n{self.log.read()[-3000:]}")
            time.sleep(0.5)

    def test_prometheus_scrapes_one_series_per_container(self):
        samples, _ = parse_exposition(self.exporter.get()[2].decode())
        expected = series(samples, "ryx_container_threads")
        self.query('up{job="ryx"} == 1', 1)
        found = {}
        for r in self.query("ryx_container_threads", len(expected)):
            labels, want = r["metric"], expected[int(r["metric"]["id"])][0]
            found[labels["id"]] = labels
            # Prometheus keeps no label whose value is empty.
            self.assertEqual(labels, {"__name__": "ryx_container_threads", "job": "ryx",
                                      "instance": f"127.0.0.1:{self.exporter.port}",
                                      **{k: v for k, v in want.items() if v}})
        self.assertEqual(sorted(found), sorted(str(i) for i in expected), "one series each")
        self.assertEqual(found["1000"]["user"], "alice")
        cpu = self.query('ryx_container_limit{resource="cpu"}', 1)
        self.assertEqual((cpu[0]["metric"]["id"], cpu[0]["value"][1]), ("60001", "2"))


if __name__ == "__main__":
    unittest.main()
