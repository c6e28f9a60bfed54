"""The demonstration (scripts/demo runs tests/e2e/demo.py on a Release
build) works with the binaries under test and leaves nothing behind."""

import os
import subprocess
import sys
import unittest

import mta
from mta import harness

HERE = os.path.dirname(os.path.abspath(__file__))


class Demo(unittest.TestCase):
    def test_runs_and_cleans_up(self):
        missing = mta.postfix_missing()
        if missing:
            self.skipTest(missing)
        proc = subprocess.run([sys.executable, os.path.join(HERE, "demo.py"), harness.MILTER, harness.STANDIN],
                              capture_output=True, text=True, timeout=300)
        out = proc.stdout + proc.stderr
        self.assertEqual(proc.returncode, 0, out)
        self.assertEqual(out.count("ACCEPTED:"), 4, out)
        self.assertEqual(out.count("REFUSED"), 4, out)
        self.assertIn("REFUSED after the message (end of DATA): 551 5.7.1 This message looks like SPAM", out)
        self.assertIn("Subject now:  [Spam] Our weekly offers", out)
        self.assertIn("REFUSED at MAIL FROM:<someone@blocked.example>: 550 5.7.1", out)
        self.assertRegex(out, r"sample saved: \S+/tavmilt\.\w{6} \(\d+ bytes\)")
        self.assertIn("Spool files left in tav-milter's temporary directory: none", out)
        self.assertIn("Processes left running: none", out)
        self.assertIn("Temporary directory removed: yes", out)


if __name__ == "__main__":
    harness.main()
