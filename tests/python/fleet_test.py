"""A fleet on the real engines: two machines' keldar metrics served by two node exporters and
scraped by one Prometheus server, all started here on loopback; the shipped alert rules checked
and unit-tested by promtool. Exits 77 (skipped) where Debian's prometheus and
prometheus-node-exporter are not installed (scripts/install-deps all installs them).

    fleet_test.py Rules | Fleet"""
import ctypes
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

KELDAR = os.environ["KELDAR"]
SOURCE = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DATA = os.path.join(SOURCE, "tests", "data", "fleet")
RULES = os.path.join(SOURCE, "packaging", "prometheus", "keldar-rules.yml")
TOOLS = {name: shutil.which(name, path="/usr/bin:/usr/sbin")
         for name in ("prometheus", "promtool", "prometheus-node-exporter")}
# Every wait below ends by this deadline, so a server that never answers fails the test in time.
DEADLINE = time.monotonic() + 60


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def die_with_parent():
    # A server outlives nothing: killed with this test (a ctest timeout), it goes too.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def get(url):
    with urllib.request.urlopen(url, timeout=5) as reply:
        return reply.read().decode("utf-8")


class Server:
    """One server process on a free loopback port, stopped by its process ID."""

    def __init__(self, name, folder, argv_for_address, ready_path):
        self.name = name
        # A port taken between the probe and the server's bind is tried again with another.
        for _ in range(3):
            self.address = "127.0.0.1:%d" % free_port()
            self.log_path = os.path.join(folder, name + ".log")
            with open(self.log_path, "wb") as log:
                self.process = subprocess.Popen(argv_for_address(self.address), stdout=log, stderr=log,
                                                stdin=subprocess.DEVNULL, preexec_fn=die_with_parent)
            while time.monotonic() < DEADLINE and self.process.poll() is None:
                try:
                    get("http://%s%s" % (self.address, ready_path))
                    return
                except OSError:
                    time.sleep(0.1)
            self.stop()
        raise AssertionError("%s did not start:\n%s" % (name, self.log()))

    def log(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as log:
            return log.read()[-2000:]

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def in_order(items):
    return sorted(items, key=lambda item: json.dumps(item, sort_keys=True))


def samples(text, name):
    """The samples of one family, in an order of their own: the exporter sorts them by label."""
    families = {family.name: family for family in text_string_to_metric_families(text)}
    return in_order({"labels": sample.labels, "value": sample.value} for sample in families[name].samples)


class Rules(unittest.TestCase):
    def test_rules_load_and_their_unit_tests_pass(self):
        for argv in ([TOOLS["promtool"], "check", "rules", RULES],
                     [TOOLS["promtool"], "test", "rules", os.path.join(DATA, "keldar-rules.test.yml")]):
            run = subprocess.run(argv, capture_output=True, text=True, timeout=30)
            self.assertEqual(run.returncode, 0, run.stdout + run.stderr)


class Fleet(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(os.path.join(DATA, "fleet.expected.json"), encoding="utf-8") as expected:
            cls.expected = json.load(expected)
        folder = tempfile.TemporaryDirectory()
        cls.addClassCleanup(folder.cleanup)
        cls.folder = folder.name
        cls.exporters = {}
        for machine, facts in cls.expected["machines"].items():
            textfiles = os.path.join(cls.folder, machine)
            os.mkdir(textfiles)
            run = subprocess.run([KELDAR, "--topology", os.path.join(DATA, facts["topology"]),
                                  "--prometheus", os.path.join(textfiles, "keldar.prom")],
                                 capture_output=True, timeout=30)
            assert run.returncode == 0, run.stderr
            exporter = Server("node-exporter-" + machine, cls.folder, lambda address: [
                TOOLS["prometheus-node-exporter"], "--web.listen-address=" + address,
                "--collector.disable-defaults", "--collector.textfile",
                "--collector.textfile.directory=" + textfiles, "--web.disable-exporter-metrics",
                "--log.level=warn"], "/metrics")
            cls.addClassCleanup(exporter.stop)
            cls.exporters[machine] = exporter

        config = os.path.join(cls.folder, "prometheus.yml")
        with open(config, "w", encoding="utf-8") as out:
            json.dump({  # YAML reads JSON
                "global": {"scrape_interval": "1s", "evaluation_interval": "1s"},
                "rule_files": [RULES],
                "scrape_configs": [{"job_name": "keldar-fleet", "static_configs": [
                    {"targets": [exporter.address], "labels": {"machine": machine}}
                    for machine, exporter in cls.exporters.items()]}]}, out)
        cls.prometheus = Server("prometheus", cls.folder, lambda address: [
            TOOLS["prometheus"], "--config.file=" + config, "--web.listen-address=" + address,
            "--storage.tsdb.path=" + os.path.join(cls.folder, "tsdb"), "--log.level=warn"], "/-/ready")
        cls.addClassCleanup(cls.prometheus.stop)

    def query(self, expression):
        reply = json.loads(get("http://%s/api/v1/query?%s" % (
            self.prometheus.address, urllib.parse.urlencode({"query": expression}))))
        self.assertEqual(reply["status"], "success", reply)
        return reply["data"]["result"]

    def test_each_exporter_serves_its_machines_keldar_series_without_a_scrape_error(self):
        for machine, facts in self.expected["machines"].items():
            served = get("http://%s/metrics" % self.exporters[machine].address)
            self.assertEqual([s["value"] for s in samples(served, "node_textfile_scrape_error")], [0],
                             "%s: the exporter cannot read keldar's file\n%s" % (machine, served))
            for name in ("keldar_key_present", "keldar_key_usable"):
                self.assertEqual(samples(served, name), in_order(facts[name]), (machine, name))
            self.assertEqual(samples(served, "keldar_usb_devices")[0]["value"], facts["keldar_usb_devices"])

    def test_prometheus_answers_the_fleets_questions(self):
        # The answers are there once both exporters have been scraped once.
        while True:
            up = {sample["metric"]["machine"]: sample["value"][1] for sample in self.query("up")}
            if up == {machine: "1" for machine in self.exporters}:
                break
            self.assertLess(time.monotonic(), DEADLINE, "no scrape of both exporters: %s\n%s" % (
                up, self.prometheus.log()))
            time.sleep(0.2)
        for asked in self.expected["queries"]:
            answer = self.query(asked["query"])
            for sample in answer:
                # The instance is the exporter's port of this run: it must be the machine's own.
                if "instance" in sample["metric"]:
                    self.assertEqual(sample["metric"].pop("instance"),
                                     self.exporters[sample["metric"]["machine"]].address)
            got = in_order({"metric": s["metric"], "value": s["value"][1]} for s in answer)
            print("%s -> %s" % (asked["query"], json.dumps(got, ensure_ascii=False)))
            self.assertEqual(got, in_order(asked["result"]), asked["query"])


if __name__ == "__main__":
    missing = [name for name, path in TOOLS.items() if path is None]
    if missing:
        print("skipped: %s not installed (Debian packages prometheus and prometheus-node-exporter; "
              "scripts/install-deps all)" % ", ".join(missing))
        sys.exit(77)
    unittest.main(verbosity=2)
