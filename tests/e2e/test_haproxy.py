"""Scale-out with a balancer: Postfix -> tav-milter -> HAProxy -> two stand-in
daemons, one of which is stopped and revived while mail flows.

HAProxy (Debian's 2.6) runs as a private instance in the foreground from the
configuration README.md quotes (tests/e2e/haproxy/haproxy.cfg), with loopback
ports and short health-check intervals put in. tav-milter knows only HAProxy's
two ports (tavasd and tavipd) and sends messages inline. Every message must be
accepted, delivered and classified by one of the two stand-ins: a daemon that
goes away costs no deferral.
"""

import os
import re
import shutil
import signal
import smtplib
import subprocess
import threading
import unittest

import mta
from mta import harness

HAPROXY = shutil.which("haproxy") or "/usr/sbin/haproxy"
# The configuration README.md quotes; the test puts its own addresses and
# shorter check intervals in place of the example's.
CONFIG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "haproxy", "haproxy.cfg")
EXAMPLE_CHECKS = "default-server inter 2s fastinter 1s downinter 5s fall 3 rise 2"
# A stopped daemon is out of rotation after two failed checks 100 ms apart,
# a revived one back after two good ones.
TEST_CHECKS = "default-server inter 100ms fastinter 100ms downinter 100ms fall 2 rise 2"
CLIENTS = 8


def loopback_config(root, ports):
    """The README's configuration for loopback: `ports` maps each example
    address to the test's port; syslog becomes standard error."""
    with open(CONFIG) as f:
        text = f.read()
    own_log = "log stderr format raw daemon info\n    pidfile %s/haproxy.pid" % root
    replacements = [("log /dev/log local0", own_log), (EXAMPLE_CHECKS, TEST_CHECKS)]
    replacements += [(addr, "127.0.0.1:%d" % port) for addr, port in ports.items()]
    for old, new in replacements:
        if old not in text:
            raise AssertionError("tests/e2e/haproxy/haproxy.cfg no longer has %r" % old)
        text = text.replace(old, new)
    return text


class Load:
    """CLIENTS threads sending numbered messages to Postfix until stopped;
    keeps every reply that was not a success."""

    def __init__(self, port):
        self.port = port
        self.sent = []
        self.failures = []
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.threads = [threading.Thread(target=self.client, args=(n,)) for n in range(CLIENTS)]

    def client(self, n):
        seq = 0
        while not self.stopping.is_set():
            subject = "load %d-%d" % (n, seq)
            seq += 1
            message = "From: alice@sender.example\r\nTo: bob@rcpt.example\r\nSubject: %s\r\n\r\n" \
                      "Message %s.\r\n" % (subject, subject)
            try:
                with smtplib.SMTP("127.0.0.1", self.port, timeout=60) as smtp:
                    smtp.sendmail("alice@sender.example", ["bob@rcpt.example"], message)
                with self.lock:
                    self.sent.append(subject)
            except (smtplib.SMTPException, OSError) as e:
                with self.lock:
                    self.failures.append("%s: %r" % (subject, e))

    def count(self):
        with self.lock:
            return len(self.sent)

    def start(self):
        for t in self.threads:
            t.start()

    def stop(self):
        self.stopping.set()
        for t in self.threads:
            t.join(90)


class HaproxyInFront(unittest.TestCase):
    def test_a_daemon_stopped_and_revived_under_load_defers_nothing(self):
        missing = mta.postfix_missing()
        if missing:
            raise unittest.SkipTest(missing)
        if not os.path.exists(HAPROXY):
            raise unittest.SkipTest("haproxy is not installed (scripts/install-deps installs it)")
        sb = harness.Sandbox()
        self.addCleanup(sb.close)
        run_dir, samples = mta.postfix_milter_dirs(sb.dir)
        daemons = [sb.start_standin({"asd": 0, "ipd": 0}) for _ in range(2)]
        ports = [dict(d.ports) for d in daemons]
        outbound = sb.start_standin({"asd-out": 0}, record=False)
        asd_port, ipd_port = harness.free_port(), harness.free_port()
        config = os.path.join(sb.dir, "haproxy.cfg")
        with open(config, "w") as f:
            f.write(loopback_config(sb.dir, {
                "10.0.0.5:8088": asd_port, "10.0.0.5:8080": ipd_port,
                "10.0.0.6:8088": ports[0]["asd"], "10.0.0.7:8088": ports[1]["asd"],
                "10.0.0.6:8080": ports[0]["ipd"], "10.0.0.7:8080": ports[1]["ipd"]}))
        check = subprocess.run([HAPROXY, "-c", "-f", config], capture_output=True, text=True, timeout=30)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        haproxy_log = open(os.path.join(sb.dir, "haproxy.log"), "w+")
        self.addCleanup(haproxy_log.close)
        haproxy = subprocess.Popen([HAPROXY, "-db", "-f", config], stdin=subprocess.DEVNULL,
                                   stdout=haproxy_log, stderr=subprocess.STDOUT)

        def stop_haproxy():
            haproxy.terminate()
            try:
                haproxy.wait(10)
            except subprocess.TimeoutExpired:
                haproxy.kill()
                haproxy.wait()
        self.addCleanup(stop_haproxy)
        for port in (asd_port, ipd_port):
            harness.wait_for_port(port)

        conn = "unix:" + os.path.join(run_dir, "tav-milter.sock")
        sb.start_milter(["-u", "postfix", "-D", samples + "/", "-d", "MISC", "-s", "-Z", str(ipd_port),
                         "-z", str(asd_port), "--tavasd-outbound-port", str(outbound.ports["asd-out"])], conn=conn)
        sink = mta.SmtpSink(sb.dir).start()
        self.addCleanup(sink.stop)
        postfix = mta.Postfix(sb.dir, conn, sink.port).start()
        self.addCleanup(postfix.stop)

        def served(daemon):
            return len(sb.recorded(daemon))

        def haproxy_says():
            with open(haproxy_log.name) as f:
                return f.read()

        load = Load(postfix.port)
        load.start()
        try:
            # Both daemons take their share before the stop.
            harness.wait_for(lambda: all(served(d) >= 5 for d in daemons), 20, what="both daemons serving")
            # Stopped as its service manager stops it: new connections are
            # refused (HAProxy tries them on the other daemon until its checks
            # take this one out), those it has accepted are answered.
            self.assertEqual(daemons[0].stop(signal.SIGTERM), 0)
            harness.wait_for(lambda: "Server tavasd/asd1 is DOWN" in haproxy_says(), 10, what="asd1 marked down")
            at_stop = load.count()
            # Mail goes on through the other daemon while the first is down.
            harness.wait_for(lambda: load.count() >= at_stop + 50, 20, what="mail flowing with one daemon")
            revived = sb.start_standin({"asd": ports[0]["asd"], "ipd": ports[0]["ipd"]})
            harness.wait_for(lambda: "Server tavasd/asd1 is UP" in haproxy_says(), 10, what="asd1 marked up")
            harness.wait_for(lambda: served(revived) >= 5, 20, what="the revived daemon serving")
            at_revival = served(daemons[1])
            harness.wait_for(lambda: served(daemons[1]) >= at_revival + 5, 20,
                             what="the other daemon serving")
        finally:
            load.stop()

        # On failure: what Postfix, tav-milter and HAProxy (its sessions that
        # did not end normally, "--") said.
        self.assertEqual(load.failures, [], "\n".join(
            [l for l in postfix.maillog().splitlines() if re.search(r"warning|fatal|reject|[Mm]ilter", l)]
            + [l.message for l in sb.log_lines() if "[ASVOD]" not in l.message]
            + [l for l in haproxy_says().splitlines() if not re.search(r" -- \d", l)]))
        self.assertGreater(len(load.sent), 30)
        # Each accepted message reached the sink classified by a stand-in.
        expected = set(load.sent)

        def delivered():
            found = {}
            for text in sink.messages():
                fields = dict(mta.header_block(text))
                if fields.get("Subject") in expected:
                    found[fields["Subject"]] = fields
            return found if len(found) == len(expected) else None
        found = harness.wait_for(delivered, 30, what="every message in the sink")
        for subject, fields in found.items():
            self.assertEqual(fields.get("X-Velkara-Spam"), "NonSpam", subject)
            self.assertRegex(fields.get("X-TVRN-RefID", ""), r"\S", subject)
        self.assertNotRegex(postfix.maillog(), r"fatal:|milter-reject|warning: .*[Mm]ilter")
        self.assertEqual(sb.spool_files(), [])
        self.assertIsNone(haproxy.poll())


if __name__ == "__main__":
    harness.main()
