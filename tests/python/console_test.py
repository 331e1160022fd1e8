"""keldar's standard output as scripts meet it: a reader that has gone."""
import os
import signal
import subprocess
import unittest

KELDAR = os.environ["KELDAR"]


class ClosedPipe(unittest.TestCase):
    def test_a_reader_that_has_gone_ends_keldar_by_sigpipe_without_a_line(self):
        # As for any filter: `keldar --watch | head -1` ends quietly once head has its line.
        for args in (["--demo", "--json"], ["--demo", "--watch", "--interval", "0.05"]):
            read, write = os.pipe()
            os.close(read)
            keldar = subprocess.Popen([KELDAR, *args], stdout=write, stderr=subprocess.PIPE)
            os.close(write)
            _, err = keldar.communicate(timeout=20)
            self.assertEqual(keldar.returncode, -signal.SIGPIPE, args)
            self.assertEqual(err, b"", args)


if __name__ == "__main__":
    unittest.main()
