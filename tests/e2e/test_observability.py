"""Observability: tav-milter-check against the real filter and the stand-in
daemons (its exit status and line for each state), with every wait bounded."""

import os
import re
import signal
import subprocess
import time
import unittest

import mta
from mta import harness

CHECK = os.environ.get("TAV_MILTER_CHECK", "tav-milter-check")
PERFDATA = re.compile(r"^TAV-MILTER (OK|WARNING|CRITICAL) - [^|\n]+ \| "
                      r"milter=(?:[\d.]+ms|U);\d+;\d+;0 tavipd=(?:[\d.]+ms|U);\d+;\d+;0 "
                      r"tavasd=(?:[\d.]+ms|U);\d+;\d+;0$")


class MonitoringPlugin(unittest.TestCase):
    def setUp(self):
        self.sb = harness.Sandbox()
        self.addCleanup(self.sb.close)
        self.standin, self.ports = mta.start_standin(self.sb, record=True)
        self.milter = self.sb.start_milter(mta.milter_daemon_args(self.ports))

    def check(self, *args, ipd=None, asd=None):
        argv = [CHECK, "-Z", str(ipd or self.ports["ipd"]), "-z", str(asd or self.ports["asd"])] + list(args)
        start = time.monotonic()
        r = subprocess.run(argv, capture_output=True, text=True, timeout=30)
        return r.returncode, r.stdout, time.monotonic() - start

    def test_exit_status_and_line_for_each_state(self):
        sock = "-p", "unix:" + self.milter.socket
        silent = self.sb.start_standin({"asd": 0}, scripts={"asd": "@silent\n"}, record=False)
        cases = [
            # what, arguments, daemon ports, status, text in the line
            ("all up", sock, {}, 0, "TAV-MILTER OK - milter "),
            ("slower than -w", sock + ("-w", "0"), {}, 1, "tavasd "),
            ("tavasd down", sock, {"asd": harness.free_port()}, 2, "tavasd 127.0.0.1:"),
            ("tavasd silent, -t 2", sock + ("-t", "2"), {"asd": silent.ports["asd"]}, 2, "no answer in time"),
        ]
        for what, args, ports, status, text in cases:
            with self.subTest(what):
                code, out, took = self.check(*args, **ports)
                self.assertEqual(code, status, out)
                self.assertRegex(out, PERFDATA)
                self.assertIn(text, out)
                self.assertLess(took, 3)
        # The daemons were sent what the filter sends: the IP query for
        # 127.0.0.1 and an inline classification request.
        requests = [r for _, r in self.sb.recorded(self.standin)]
        self.assertTrue(any(r.startswith(b"POST /tavIPd/iprep ") and b"x-tvrn-ip: 127.0.0.1\r\n\r\n" in r
                            for r in requests))
        self.assertTrue(any(r.startswith(b"POST /tavasd/ClassifyMessage_Inline ") for r in requests))

        code, out, _ = self.check("-w", "5", "-c", "1")
        self.assertEqual((code, out.splitlines()[0]), (3, "TAV-MILTER UNKNOWN - -w is above -c"))
        self.assertTrue(out.splitlines()[1].startswith("Usage: tav-milter-check "))

        # The filter stopped: its socket no longer answers.
        self.assertEqual(self.milter.stop(signal.SIGTERM), 0)
        code, out, _ = self.check(*sock)
        self.assertEqual(code, 2, out)
        self.assertIn("milter unix:%s: no connection" % self.milter.socket, out)


if __name__ == "__main__":
    harness.main()
