"""A real Prometheus server, started on a loopback port, scrapes ryx_exporter serving the
simulated host; a query over its HTTP API returns one series per container with the expected
labels. Over TLS, with a password and a client certificate, it scrapes as well, and without the
password it is refused."""

import base64
import json
import os
import shutil
import socket
import ssl
import subprocess
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

from exporter.exporter_support import Server, parse_exposition, series, web_config
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
        self.host = SimHost(SCENARIO, extra_args=("-t", "0.5"))
        self.addCleanup(self.host.close)

    def start(self, jobs, args=(), tls=None):
        """The exporter, with args; then Prometheus, scraping it with jobs {name: settings}."""
        self.exporter = Server(self.host, args=args, tls=tls)
        self.addCleanup(self.exporter.stop)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.base = f"http://127.0.0.1:{s.getsockname()[1]}"
        config = os.path.join(self.tmp, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global: {scrape_interval: 1s, scrape_timeout: 1s}\nscrape_configs:\n")
            for name, settings in jobs.items():
                f.write(f"  - job_name: {name}\n{settings}    static_configs:\n"
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
        self.start({"ryx": ""})
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

    def test_over_tls_with_a_password_and_a_client_certificate(self):
        config = web_config(self.tmp, {"prometheus": "s3cret"}, client_ca=True)
        tls = ssl.create_default_context(cafile=f"{self.tmp}/cert.pem")
        tls.load_cert_chain(f"{self.tmp}/cert.pem", f"{self.tmp}/key.pem")
        https = "    scheme: https\n    tls_config: {ca_file: cert.pem, cert_file: cert.pem, " \
                "key_file: key.pem}\n"
        self.start({"ryx": https + "    basic_auth: {username: prometheus, password: s3cret}\n",
                    "nopass": https}, args=[f"--web.config.file={config}"], tls=tls)
        self.query('up{job="ryx"} == 1', 1)
        self.query('count(ryx_container_threads{job="ryx"}) > 2', 1)
        self.query('up{job="nopass"} == 0', 1)
        with urllib.request.urlopen(f"{self.base}/api/v1/targets", timeout=10) as r:
            targets = json.load(r)["data"]["activeTargets"]
        errors = {t["labels"]["job"]: t["lastError"] for t in targets}
        self.assertEqual(errors["ryx"], "")
        self.assertIn("401 Unauthorized", errors["nopass"])
        # By hand: told how to log in; logged in; without a client certificate, refused.
        status, headers, _ = self.exporter.get()
        self.assertEqual((status, headers["www-authenticate"]), (401, 'Basic realm="ryx_exporter"'))
        login = "Authorization: Basic " + base64.b64encode(b"prometheus:s3cret").decode()
        self.assertEqual(self.exporter.get(headers=[login])[0], 200)
        self.exporter.tls = ssl.create_default_context(cafile=f"{self.tmp}/cert.pem")
        self.assertEqual(self.exporter.get(headers=[login])[0], 403)
        self.assertEqual(self.exporter.stop(), 0, self.exporter.messages())


if __name__ == "__main__":
    unittest.main()
