"""keldar --prometheus, read back by the reference parser of the node exporter's textfile format."""
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest

from prometheus_client.parser import text_string_to_metric_families

KELDAR = os.environ["KELDAR"]
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")


def families(path):
    with open(path, encoding="utf-8") as text:
        return {family.name: family for family in text_string_to_metric_families(text.read())}


class Metrics(unittest.TestCase):
    def test_keys_devices_and_timing_read_back_with_escaped_labels(self):
        expected = json.load(open(os.path.join(DATA, "metrics/odd-hub-name.expected.json"), encoding="utf-8"))
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "keldar.prom")
            before = time.time()
            run = subprocess.run([KELDAR, "--topology", os.path.join(DATA, "metrics/odd-hub-name.json"),
                                  "--prometheus", path], capture_output=True)
            after = time.time()
            self.assertEqual(run.returncode, 0, run.stderr)
            # Only the file itself is left in the folder: the temporary one was renamed.
            self.assertEqual(os.listdir(folder), ["keldar.prom"])
            read = families(path)

        self.assertEqual(sorted(read), ["keldar_detection_duration_seconds", "keldar_key_present",
                                        "keldar_key_usable", "keldar_last_detection_timestamp_seconds",
                                        "keldar_usb_devices"])
        for family in read.values():
            self.assertEqual(family.type, "gauge", family.name)
            self.assertTrue(family.documentation, family.name)
        keys = [{"labels": sample.labels, "value": sample.value} for sample in read["keldar_key_present"].samples]
        self.assertEqual(keys, expected["keldar_key_present"])
        usable = [{"labels": sample.labels, "value": sample.value} for sample in read["keldar_key_usable"].samples]
        self.assertEqual(usable, expected["keldar_key_usable"])
        self.assertEqual(read["keldar_usb_devices"].samples[0].value, expected["keldar_usb_devices"])
        duration = read["keldar_detection_duration_seconds"].samples[0].value
        self.assertTrue(0 <= duration <= after - before, duration)
        stamp = read["keldar_last_detection_timestamp_seconds"].samples[0].value
        self.assertTrue(before - 0.001 <= stamp <= after + 0.001, (before, stamp, after))

    def test_no_key_leaves_the_family_without_samples(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "keldar.prom")
            run = subprocess.run([KELDAR, "--topology", os.path.join(DATA, "fixtures/no-known-key.json"),
                                  "--prometheus", path, "--expect-key"], capture_output=True)
            self.assertEqual(run.returncode, 3, run.stderr)
            read = families(path)
        self.assertEqual(read["keldar_key_present"].samples, [])
        self.assertGreater(read["keldar_usb_devices"].samples[0].value, 0)

    def test_unwritable_file_is_an_error_line_and_status_one(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "missing", "keldar.prom")
            run = subprocess.run([KELDAR, "--demo", "--prometheus", path], capture_output=True)
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stdout, b"")
        self.assertTrue(run.stderr.decode().startswith("keldar: " + path + ": cannot write the metrics file: "),
                        run.stderr)


if __name__ == "__main__":
    unittest.main()
