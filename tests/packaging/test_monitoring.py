"""What a provider monitors a fleet with, beside ryx_exporter itself: the systemd units, the
Prometheus scrape configuration and alert rules (with their own promtool tests) and the Grafana
dashboard. Each check runs the real tool on the files as shipped and is skipped, with its
reason, where that tool is missing; none needs privileges."""

import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from packaging import sources

SYSTEMD = sources.source("contrib/systemd")
PROMETHEUS = sources.source("contrib/prometheus")
DASHBOARD = sources.source("contrib/grafana/ryx-dashboard.json")
MAN_PAGE = sources.source("docs/man/ryx_exporter.1")
UNITS = ("prometheus-ryx-exporter.service", "prometheus-ryx-exporter-textfile.service",
         "prometheus-ryx-exporter-textfile.timer")
# Grafana's variables, replaced by something of the same kind so that promtool can parse the rest.
GRAFANA_VARS = [(r"\$__rate_interval\b", "5m"), (r"\$(instance|user|id)\b", "x")]


def run(argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, **kw)


def dashboard_exprs():
    """Every PromQL expression of the dashboard: its panels' queries and the selectors of its
    variables' label_values() queries."""
    with open(DASHBOARD, encoding="utf-8") as f:
        dash = json.load(f)
    exprs = [t["expr"] for p in dash["panels"] for t in p.get("targets", [])]
    for var in dash["templating"]["list"]:
        m = re.fullmatch(r"label_values\((.*),\s*\w+\)", var.get("definition", ""))
        if m:
            exprs.append(m.group(1))
    return dash, exprs


def metric_names(text):
    return set(re.findall(r"\bryx_(?:container|exporter)_[a-z_]+", text))


@unittest.skipIf(shutil.which("promtool") is None, "promtool not installed (Debian: prometheus)")
class PrometheusFilesTest(unittest.TestCase):
    def promtool(self, *args, cwd=PROMETHEUS):
        res = run(["promtool", *args], cwd=cwd)
        self.assertEqual(res.returncode, 0, res.stdout + res.stderr)
        return res.stdout

    def test_configuration_rules_and_the_rules_own_tests(self):
        # check config also loads the rule file it names
        self.assertIn("SUCCESS: 5 rules found", self.promtool("check", "config", "scrape.yml"))
        self.promtool("check", "rules", "ryx-alerts.yml")
        self.promtool("test", "rules", "ryx-alerts.test.yml")

    def test_every_dashboard_expression_parses(self):
        _, exprs = dashboard_exprs()
        rules = []
        for i, expr in enumerate(exprs):
            for pattern, value in GRAFANA_VARS:
                expr = re.sub(pattern, value, expr)
            self.assertNotIn("$", expr, "a Grafana variable promtool cannot parse")
            rules.append({"record": f"dashboard:expr_{i}", "expr": expr})
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "dashboard.yml")
            with open(path, "w", encoding="utf-8") as f:
                json.dump({"groups": [{"name": "dashboard", "rules": rules}]}, f)  # JSON is YAML
            self.assertIn(f"SUCCESS: {len(rules)} rules found",
                          self.promtool("check", "rules", path, cwd=tmp))


class DashboardTest(unittest.TestCase):
    def test_model_datasource_variables_and_metric_names(self):
        dash, exprs = dashboard_exprs()
        self.assertGreaterEqual(dash["schemaVersion"], 36)
        variables = {v["name"]: v for v in dash["templating"]["list"]}
        self.assertEqual(variables["DS_PROMETHEUS"]["type"], "datasource")
        self.assertLessEqual({"instance", "user", "id"}, set(variables))
        for panel in dash["panels"]:
            if panel["type"] != "row":
                self.assertEqual(panel["datasource"]["uid"], "${DS_PROMETHEUS}", panel["title"])
        self.assertEqual(len({p["id"] for p in dash["panels"]}), len(dash["panels"]))
        with open(os.path.join(PROMETHEUS, "ryx-alerts.yml"), encoding="utf-8") as f:
            used = metric_names("\n".join(exprs) + f.read())
        if not os.path.exists(MAN_PAGE):
            self.skipTest("docs/man/ryx_exporter.1, which lists the metrics, is not there yet")
        with open(MAN_PAGE, encoding="utf-8") as f:
            documented = metric_names(f.read().replace("\\_", "_"))
        self.assertEqual(used - documented, set(), "metrics the exporter does not document")


@unittest.skipIf(shutil.which("systemd-analyze") is None, "systemd-analyze not installed")
class SystemdUnitsTest(unittest.TestCase):
    """systemd-analyze on a scratch root holding the system's units, our three and a stand-in
    for the program, so that neither the host's units nor a built exporter matter."""

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="ryx-units-")
        system = next((d for d in ("/usr/lib/systemd/system", "/lib/systemd/system")
                       if os.path.isdir(d)), None)
        if system is None:
            raise unittest.SkipTest("no systemd unit directory on this machine")
        shutil.copytree(system, os.path.join(cls.root, "usr/lib/systemd/system"), symlinks=True)
        units = os.path.join(cls.root, "etc/systemd/system")
        os.makedirs(units)
        for unit in UNITS:
            shutil.copy(os.path.join(SYSTEMD, unit), units)
        os.makedirs(os.path.join(cls.root, "usr/bin"))
        shutil.copy("/bin/true", os.path.join(cls.root, "usr/bin/ryx_exporter"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def test_units_verify_cleanly(self):
        for unit in UNITS:
            with self.subTest(unit=unit):
                res = run(["systemd-analyze", "verify", "--man=no", f"--root={self.root}", unit])
                if "--root" in res.stderr and "unrecognized" in res.stderr:
                    self.skipTest("this systemd-analyze verifies no offline root")
                # unknown or malformed settings are only warnings: any output is a failure
                self.assertEqual((res.returncode, res.stdout + res.stderr), (0, ""))

    def test_services_are_hardened(self):
        for unit in UNITS[:2]:
            with self.subTest(unit=unit):
                res = run(["systemd-analyze", "security", "--offline=yes", f"--root={self.root}",
                           "--no-pager", unit])
                if res.returncode != 0 and "offline" in res.stderr:
                    self.skipTest("this systemd-analyze rates no unit offline")
                m = re.search(r"Overall exposure level for \S+: ([0-9.]+)", res.stdout)
                self.assertIsNotNone(m, res.stdout + res.stderr)
                self.assertLessEqual(float(m.group(1)), 3.0, res.stdout)


if __name__ == "__main__":
    unittest.main()
