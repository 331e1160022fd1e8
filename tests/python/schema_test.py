"""The JSON contract: every golden --json output, the watch lines' golden and a live watch session
validate against docs/schema/*.json (JSON Schema 2020-12)."""
import glob
import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from jsonschema import Draft202012Validator, FormatChecker

KELDAR = os.environ["KELDAR"]
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
DATA = os.path.join(ROOT, "tests", "data")


def validator(name):
    schema = json.load(open(os.path.join(ROOT, "docs", "schema", name), encoding="utf-8"))
    Draft202012Validator.check_schema(schema)
    return Draft202012Validator(schema, format_checker=FormatChecker())


REPORT = validator("keldar-report.schema.json")
EVENT = validator("keldar-watch-event.schema.json")


def errors(schema, document):
    return [f"{list(e.absolute_path)}: {e.message}" for e in schema.iter_errors(document)]


class Report(unittest.TestCase):
    def test_every_golden_json_output_is_valid(self):
        # A golden of --json output is any data file holding one: a topology file is not.
        goldens = []
        for path in sorted(glob.glob(os.path.join(DATA, "**", "*.json"), recursive=True)):
            try:
                document = json.load(open(path, encoding="utf-8"))
            except (ValueError, UnicodeDecodeError):
                continue  # an input the reader must refuse, not an output
            if isinstance(document, dict) and "keyFound" in document and "tree" in document:
                goldens.append(path)
                self.assertEqual(errors(REPORT, document), [], path)
        self.assertGreaterEqual(len(goldens), 9)

    def test_the_schema_refuses_what_breaks_the_contract(self):
        document = json.loads(subprocess.run([KELDAR, "--demo", "--json"], capture_output=True, check=True).stdout)
        self.assertEqual(errors(REPORT, document), [])
        for broken in ({**document, "keyFound": "yes"}, {**document, "extra": 1},
                       {k: v for k, v in document.items() if k != "notices"},
                       {**document, "devices": [{**document["devices"][0], "vendorId": "046D"}]}):
            self.assertNotEqual(errors(REPORT, broken), [])

    def test_a_source_path_holding_a_line_break_is_valid(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "desk\nline.json")
            shutil.copy(os.path.join(DATA, "fixtures", "no-known-key.json"), path)
            run = subprocess.run([KELDAR, "--topology", path, "--json"], capture_output=True, check=True)
        document = json.loads(run.stdout)
        self.assertEqual(document["source"], "topology:" + path)
        self.assertEqual(errors(REPORT, document), [])


class WatchLines(unittest.TestCase):
    def test_golden_watch_lines_are_valid(self):
        events = []
        for golden in ("watch/session.jsonl", "watch/unreadable.jsonl", "watch/verdicts.jsonl",
                       "cli/watch-sysfs-export-json.txt"):
            with open(os.path.join(DATA, golden), encoding="utf-8") as lines:
                events += [json.loads(line) for line in lines]
        self.assertTrue(any("warnings" in event for event in events))
        self.assertEqual({event["event"] for event in events}, {"arrived", "left", "usable", "unusable"})
        for event in events:
            self.assertEqual(errors(EVENT, event), [], event)
        self.assertNotEqual(errors(EVENT, {**events[0], "time": "2026-12-07 23:59:59"}), [])
        # A verdict's line carries the verdict; an arrival does not, and "usable" has no reason.
        usable = next(event for event in events if event["event"] == "usable")
        unusable = next(event for event in events if event["event"] == "unusable")
        self.assertNotEqual(errors(EVENT, {key: value for key, value in unusable.items() if key != "reasons"}), [])
        self.assertNotEqual(errors(EVENT, {**events[0], "notes": []}), [])
        self.assertNotEqual(errors(EVENT, {**usable, "reasons": unusable["reasons"]}), [])

    def test_times_in_zones_rfc_3339_cannot_express_are_valid(self):
        for zone in ("XXX+24", "LMT-0:17:30"):
            keldar = subprocess.Popen([KELDAR, "--watch", "--json", "--demo"], stdout=subprocess.PIPE,
                                      env={**os.environ, "TZ": zone})
            try:
                event = json.loads(keldar.stdout.readline())
            finally:
                keldar.send_signal(signal.SIGTERM)
                keldar.wait(timeout=20)
                keldar.stdout.close()
            self.assertEqual(errors(EVENT, event), [], zone)
            self.assertTrue(event["time"].endswith("Z"), event["time"])

    def test_live_session_on_a_rewritten_topology_file(self):
        # The watched file is replaced whole between detections, as an editor or copy would,
        # and is for a moment a FIFO, which is refused rather than waited on.
        with tempfile.TemporaryDirectory() as folder:
            watched = os.path.join(folder, "desk.json")

            def put(fixture):
                shutil.copy(os.path.join(DATA, "fixtures", fixture), watched + ".new")
                os.replace(watched + ".new", watched)

            put("no-known-key.json")
            keldar = subprocess.Popen([KELDAR, "--watch", "--json", "--interval", "0.05", "--topology", watched],
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            pending = b""
            try:
                def lines(count):
                    nonlocal pending
                    deadline = time.monotonic() + 20
                    while pending.count(b"\n") < count and time.monotonic() < deadline:
                        if select.select([keldar.stdout], [], [], 0.5)[0]:
                            pending += os.read(keldar.stdout.fileno(), 4096)
                    got = pending.split(b"\n")[:count]
                    pending = b"\n".join(pending.split(b"\n")[count:])
                    return [json.loads(line) for line in got]

                time.sleep(0.2)
                put("two-keys-behind-hub.json")
                arrived = lines(2)
                os.mkfifo(watched + ".new")
                os.replace(watched + ".new", watched)
                time.sleep(0.2)
                put("no-known-key.json")
                left = lines(2)
            finally:
                keldar.send_signal(signal.SIGTERM)
                status = keldar.wait(timeout=20)
            self.assertEqual(status, 0)
            # The FIFO once, and no line for the signal.
            self.assertEqual(keldar.stderr.read().decode(),
                             f"keldar: {watched}: cannot read the topology file: not a regular file\n")
            self.assertEqual(pending + keldar.stdout.read(), b"")
            keldar.stdout.close()
            keldar.stderr.close()
        for event in arrived + left:
            self.assertEqual(errors(EVENT, event), [], event)
        self.assertEqual([(e["event"], e["vendorId"], e["productId"]) for e in arrived + left],
                         [("arrived", "0x0925", "0x5624"), ("arrived", "0x096E", "0x0201"),
                          ("left", "0x0925", "0x5624"), ("left", "0x096E", "0x0201")])


if __name__ == "__main__":
    unittest.main()
