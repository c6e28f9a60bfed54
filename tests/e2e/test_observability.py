"""Observability: the counters of known traffic through a private Postfix, in
the metrics file and the SIGUSR1 line; and tav-milter-check against the real
filter and the stand-in daemons (its exit status and line for each state),
with every wait bounded."""

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
                      r"(?:tavasd(?:@[^ =]+)?=(?:[\d.]+ms|U);\d+;\d+;0 ?)+$")


def metric_values(text):
    """{'name{labels}': value} of a Prometheus text file."""
    values = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            key, value = line.rsplit(" ", 1)
            values[key] = float(value)
    return values


class CountersThroughPostfix(unittest.TestCase):
    def test_known_traffic_is_counted_in_the_file_and_the_sigusr1_line(self):
        missing = mta.postfix_missing()
        if missing:
            raise unittest.SkipTest(missing)
        sb = harness.Sandbox()
        self.addCleanup(sb.close)
        run_dir, samples = mta.postfix_milter_dirs(sb.dir)
        _, ports = mta.start_standin(sb)
        # tavasd of its own, so that it can go down while tavipd stays.
        asd = sb.start_standin({"asd": 0})
        metrics = os.path.join(run_dir, "tav-milter.prom")
        conn = "unix:" + os.path.join(run_dir, "tav-milter.sock")
        milter = sb.start_milter(["-u", "postfix", "-D", samples + "/", "-r", "--metrics-file", metrics,
                                  "-Z", str(ports["ipd"]), "-z", str(asd.ports["asd"])], conn=conn)
        sink = mta.SmtpSink(sb.dir).start()
        self.addCleanup(sink.stop)
        postfix = mta.Postfix(sb.dir, conn, sink.port).start()
        self.addCleanup(postfix.stop)
        check = [CHECK, "-p", conn, "-Z", str(ports["ipd"]), "-z", str(asd.ports["asd"])]

        def send(body):
            return mta.swaks(postfix.port, "alice@sender.example", "bob@rcpt.example", body=body)

        self.assertTrue(send("A clean message.\n").accepted)
        self.assertEqual(send("TAVTEST-CONFIRMED offer\n").refusal[:3], "551")
        self.assertEqual(subprocess.run(check, capture_output=True, timeout=30).returncode, 0)
        asd.stop()
        self.assertEqual(send("Nobody classifies this.\n").refusal[:3], "451")
        self.assertEqual(subprocess.run(check, capture_output=True, timeout=30).returncode, 2)

        milter.send(signal.SIGUSR1)
        line = sb.wait_for_log("counters: ")
        # Four sessions: the three messages' and the one that found Postfix
        # listening at its start.
        for item in ("sessions_total=4", "messages=3", "inbound_tag=1", "inbound_551=1", "inbound_451=1",
                     "refused_spam_confirmed=1", "deferred=1", "deferred_daemon_unreachable=1", "tavipd_ok=3",
                     "tavasd_ok=2", "tavasd_unreachable=1"):
            self.assertIn(" " + item, line + " ")

        # The file as the stop leaves it (it is also rewritten every 10 s).
        self.assertEqual(milter.stop(), 0)
        with open(metrics) as f:
            values = metric_values(f.read())
        self.assertEqual(oct(os.stat(metrics).st_mode & 0o777), "0o644")
        ipd, asd_at = "127.0.0.1:%d" % ports["ipd"], "127.0.0.1:%d" % asd.ports["asd"]
        expected = {
            'tav_milter_sessions_open': 0,
            'tav_milter_sessions_total': 4,
            'tav_milter_messages_total{direction="inbound",action="tag"}': 1,
            'tav_milter_messages_total{direction="inbound",action="551"}': 1,
            'tav_milter_messages_total{direction="inbound",action="451"}': 1,
            'tav_milter_messages_total{direction="outbound",action="pass"}': 0,
            'tav_milter_refusals_total{reason="spam_confirmed"}': 1,
            'tav_milter_deferrals_total{cause="daemon_unreachable"}': 1,
            'tav_milter_deferrals_total{cause="daemon_timeout"}': 0,
            # Each series names the daemon's address; the gauge shows tavasd down.
            'tav_milter_daemon_requests_total{daemon="tavipd",address="%s",outcome="ok"}' % ipd: 3,
            'tav_milter_daemon_requests_total{daemon="tavasd",address="%s",outcome="ok"}' % asd_at: 2,
            'tav_milter_daemon_requests_total{daemon="tavasd",address="%s",outcome="unreachable"}' % asd_at: 1,
            'tav_milter_daemon_request_duration_seconds_count{daemon="tavasd",address="%s"}' % asd_at: 3,
            'tav_milter_daemon_up{daemon="tavipd",address="%s"}' % ipd: 1,
            'tav_milter_daemon_up{daemon="tavasd",address="%s"}' % asd_at: 0,
            'tav_milter_samples_total': 0,
        }
        for key, value in expected.items():
            self.assertEqual(values.get(key), value, key)
        self.assertGreater(values["tav_milter_spooled_bytes_total"], 0)


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
            # Each entry of a list is probed: one down of two is a WARNING.
            ("one tavasd entry of two down", sock + ("-h", "127.0.0.1,[::1]:%d" % harness.free_port()), {}, 1,
             "tavasd@[::1]:"),
            ("both tavasd entries down", sock + ("-h", "127.0.0.2:%d,[::1]" % harness.free_port()),
             {"asd": harness.free_port()}, 2, "tavasd@127.0.0.2:"),
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
