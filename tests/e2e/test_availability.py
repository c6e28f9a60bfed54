"""Mail keeps flowing through a private Postfix while things around the
filter change: restarts, a session that outlasts the drain, a daemon entry
killed and revived under load, a daemon that cuts its answer.

For the restarts one Postfix (milter_default_action = tempfail), one smtp-sink and one set
of stand-in daemons serve every scenario; each scenario starts the filters
it needs and sends its own load, one message per SMTP session from a few
client threads, with a tag of its own in each subject. A message is
deferred when any reply of its session is 4xx, lost when it was accepted
but never reached the sink. Pauses are measured and printed, not asserted.
"""

import concurrent.futures
import os
import re
import signal
import smtplib
import socket
import threading
import time
import unittest

import mta
from mta import harness

MESSAGE_BYTES = 1024
CONCURRENCY = 8
# A message accepted by Postfix reaches the sink within this, retries
# included (the private instance retries every 5 s).
DELIVERY_LIMIT_S = 120
# How long a stopping filter may take before the test gives up on it: the
# drain bound (15 s) and some.
STOP_LIMIT_S = 40


class HeldSocket:
    """A listening unix socket the test holds across filter restarts, as
    systemd's tav-milter.socket does, and hands to each filter as fd 3
    (LISTEN_FDS=1, LISTEN_PID) with -p fd:3."""

    def __init__(self, path):
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.bind(path)
        os.chmod(path, 0o666)  # smtpd runs as user postfix
        self.sock.listen(128)
        self.sock.set_inheritable(False)

    def close(self):
        self.sock.close()


class Notifications:
    """A datagram socket for sd_notify (NOTIFY_SOCKET), read in order."""

    def __init__(self, path):
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        os.chmod(path, 0o666)  # the filter runs with effective user postfix

    def wait_for(self, assignment, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                data = self.sock.recv(4096).decode("utf-8", "replace")
            except socket.timeout:
                break
            if assignment in data.split("\n"):
                return
        raise AssertionError("no %s from the filter in %s s" % (assignment, timeout))

    def close(self):
        self.sock.close()


class Stack:
    """Stand-in daemons, smtp-sink and Postfix; the filters come and go.

    conn: what Postfix connects to ("unix:PATH"). held: a HeldSocket the
    filters are started on (fd 3), or None for filters that open `conn`
    themselves (-p).
    """

    def __init__(self, held_socket=True):
        missing = mta.postfix_missing()
        if missing:
            raise unittest.SkipTest(missing)
        self.sb = harness.Sandbox()
        try:
            self.run_dir, self.samples = mta.postfix_milter_dirs(self.sb.dir)
            self.standin, self.ports = mta.start_standin(self.sb)
            self.path = os.path.join(self.run_dir, "tav-milter.sock")
            self.held = HeldSocket(self.path) if held_socket else None
            self.notifications = Notifications(os.path.join(self.sb.dir, "notify"))
            self.sink = mta.SmtpSink(self.sb.dir).start()
            self.postfix = mta.Postfix(self.sb.dir, "unix:" + self.path, self.sink.port).start()
        except BaseException:
            self.close()
            raise

    def close(self):
        for part in ("postfix", "sink"):
            if getattr(self, part, None):
                getattr(self, part).stop()
        self.sb.close()
        for part in ("held", "notifications"):
            if getattr(self, part, None):
                getattr(self, part).close()

    def start_milter(self, args=()):
        """Starts tav-milter as an admin runs it (effective user postfix)
        and waits for READY=1."""
        argv = [harness.MILTER, "-u", "postfix", "-D", self.samples + "/"] + \
            mta.milter_daemon_args(self.ports) + list(args)
        env = {"NOTIFY_SOCKET": self.notifications.path}
        if self.held is None:
            proc = self.sb.start(argv[:1] + ["-p", "unix:" + self.path] + argv[1:], name="tav-milter", env=env)
        else:
            # Descriptor 3 of the filter is the held socket, as systemd passes it.
            fd = self.held.sock.fileno()
            move = "" if fd == 3 else "exec 3<&%d %d<&-; " % (fd, fd)
            env["LISTEN_FDS"] = "1"
            proc = self.sb.start(["sh", "-c", move + 'LISTEN_PID=$$ exec "$@"', "sh"] + argv[:1] +
                                 ["-p", "fd:3"] + argv[1:], name="tav-milter", env=env, pass_fds=(fd,))
        try:
            self.notifications.wait_for("READY=1")
        except AssertionError:
            proc.stop(signal.SIGKILL)
            raise AssertionError("tav-milter did not start: %s" % (proc.output(),))
        return proc

    def stop_milter(self, proc, sig):
        """Sends `sig` and waits for the filter to end; returns the seconds
        it took."""
        start = time.monotonic()
        proc.send(sig)
        try:
            proc.popen.wait(STOP_LIMIT_S)
        except Exception:
            proc.stop(signal.SIGKILL)
            raise AssertionError("tav-milter still running %d s after %s" % (STOP_LIMIT_S, sig))
        return time.monotonic() - start


class Load:
    """`count` messages tagged `tag`, one per SMTP session, `concurrency`
    at a time, sent on threads of their own. done() counts finished
    sessions; each result is (finished at, queue id or None, 4xx/5xx
    replies or an error text). rate: messages per second at most, all
    threads together (None: as fast as they go)."""

    def __init__(self, port, tag, count, concurrency=CONCURRENCY, rate=None):
        self.port, self.tag, self.count = port, tag, count
        self.interval = concurrency / rate if rate else 0
        self.results = []
        self.lock = threading.Lock()
        self.next = 0
        self.threads = [threading.Thread(target=self.run, daemon=True) for _ in range(concurrency)]
        for t in self.threads:
            t.start()

    def message(self, n):
        head = "From: <alice@sender.example>\r\nTo: <bob@rcpt.example>\r\nSubject: %s-%d\r\n\r\n" % (self.tag, n)
        line = "Some text to make up a message of one KiB.\r\n"
        return head + line * ((MESSAGE_BYTES - len(head)) // len(line) + 1)

    def send(self, n):
        try:
            with smtplib.SMTP("127.0.0.1", self.port, "client.example", timeout=120) as s:
                for step in (lambda: s.ehlo(), lambda: s.mail("alice@sender.example"),
                             lambda: s.rcpt("bob@rcpt.example"), lambda: s.data(self.message(n))):
                    code, text = step()
                    if code >= 400:
                        return None, "%d %s" % (code, text.decode("utf-8", "replace"))
                m = re.search(r"queued as (\w+)", text.decode("utf-8", "replace"))
                return (m.group(1) if m else "?"), None
        except (smtplib.SMTPException, OSError) as e:
            return None, "%s: %s" % (type(e).__name__, e)

    def run(self):
        while True:
            with self.lock:
                n = self.next
                self.next += 1
            if n >= self.count:
                return
            started = time.monotonic()
            queue_id, refusal = self.send(n)
            time.sleep(max(0, started + self.interval - time.monotonic()))
            with self.lock:
                self.results.append((time.monotonic(), queue_id, refusal, n))

    def done(self):
        with self.lock:
            return len(self.results)

    def wait(self, timeout=600):
        for t in self.threads:
            t.join(timeout)

    def refused(self):
        return [(n, r) for _, q, r, n in self.results if q is None]

    def longest_pause(self):
        """The longest time between two accepted messages, in seconds."""
        times = sorted(t for t, q, _, _ in self.results if q is not None)
        return max((b - a for a, b in zip(times, times[1:])), default=0.0)

    def wait_for_deliveries(self, sink):
        """The numbers of the accepted messages that never reached the sink
        within DELIVERY_LIMIT_S, and the longest time between two arrivals."""
        wanted = {n for _, q, _, n in self.results if q is not None}
        rx = re.compile(r"^Subject: %s-(\d+)$" % re.escape(self.tag), re.M)
        arrived, seen = {}, set()
        deadline = time.monotonic() + DELIVERY_LIMIT_S
        while True:
            for name in os.listdir(sink.dir):
                if name in seen:
                    continue
                path = os.path.join(sink.dir, name)
                try:
                    with open(path, errors="replace") as f:
                        m = rx.search(f.read().replace("\r\n", "\n"))
                    mtime = os.stat(path).st_mtime
                except OSError:
                    continue
                seen.add(name)
                if m:
                    arrived[int(m.group(1))] = mtime
            if wanted <= set(arrived) or time.monotonic() > deadline:
                break
            time.sleep(0.5)
        times = sorted(arrived.values())
        return sorted(wanted - set(arrived)), max((b - a for a, b in zip(times, times[1:])), default=0.0)


def restart_under_load(stack, milter, tag, messages, restarts, stop_signal, rate=None):
    """Sends `messages` through Postfix and, each time a further
    messages/(restarts+1) have finished, stops the filter with stop_signal
    and starts the next one. Returns (load, the filter running at the end,
    [seconds each stop took], [seconds from the signal to READY=1])."""
    load = Load(stack.postfix.port, tag, messages, rate=rate)
    stops, downtimes = [], []
    for i in range(1, restarts + 1):
        harness.wait_for(lambda: load.done() >= messages * i // (restarts + 1), 600,
                         what="%d messages sent" % (messages * i // (restarts + 1)))
        start = time.monotonic()
        stops.append(stack.stop_milter(milter, stop_signal))
        milter = stack.start_milter()
        downtimes.append(time.monotonic() - start)
    load.wait()
    return load, milter, stops, downtimes


# Daemon lists: two tavasd entries, one on [::1], failing over under load,
# and a cut answer.
FAILOVER_CLIENTS = 4  # SMTP clients at a time in the daemon-list scenario


def _send_many(postfix, count, what):
    """Sends `count` messages from FAILOVER_CLIENTS clients at once; returns the results."""
    def one(i):
        return mta.swaks(postfix.port, "alice@sender.example", "bob@rcpt.example",
                         subject="%s %d" % (what, i), body="A clean message %d.\n" % i)
    with concurrent.futures.ThreadPoolExecutor(FAILOVER_CLIENTS) as pool:
        return list(pool.map(one, range(count)))


def _served(sb, standin):
    return len(sb.recorded(standin))


def daemon_failover_scenario(test):
    missing = mta.postfix_missing()
    if missing:
        raise unittest.SkipTest(missing)
    sb = harness.Sandbox()
    test.addCleanup(sb.close)
    run_dir, samples = mta.postfix_milter_dirs(sb.dir)
    first, ports = mta.start_standin(sb, record=True)           # ipd, asd on 127.0.0.1
    second = sb.start_standin({"asd": "[::1]:0"})               # asd on [::1]
    v6_port = second.ports["asd"]
    v4, v6 = "127.0.0.1:%d" % ports["asd"], "[::1]:%d" % v6_port
    conn = "unix:" + os.path.join(run_dir, "tav-milter.sock")
    metrics = os.path.join(run_dir, "tav-milter.prom")
    milter = sb.start_milter(["-u", "postfix", "-D", samples + "/", "-Z", str(ports["ipd"]),
                              "-h", "%s,%s" % (v4, v6), "--metrics-file", metrics], conn=conn)
    sink = mta.SmtpSink(sb.dir).start()
    test.addCleanup(sink.stop)
    postfix = mta.Postfix(sb.dir, conn, sink.port).start()
    test.addCleanup(postfix.stop)

    # Both entries serve, the IPv6 one included: round robin.
    results = _send_many(postfix, 20, "before")
    test.assertTrue(all(r.accepted for r in results), [r for r in results if not r.accepted])
    before_v4, before_v6 = _served(sb, first), _served(sb, second)
    test.assertGreater(before_v6, 0)
    test.assertGreater(before_v4, 20)  # the IP queries as well

    # Kill the [::1] entry under load: its connects are refused, each request
    # moves on to the other entry at once, and nothing is deferred but what
    # the killed daemon had in hand (a request already sent is not retried).
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        load = pool.submit(_send_many, postfix, 60, "during")
        time.sleep(1.0)
        second.stop(signal.SIGKILL)
        results = load.result()
    deferred = [r for r in results if not r.accepted]
    print("deferred while one entry was killed: %d of %d" % (len(deferred), len(results)))
    test.assertLessEqual(len(deferred), FAILOVER_CLIENTS, deferred)
    test.assertTrue(all(r.refusal[:3] == "451" for r in deferred), deferred)
    sb.wait_for_log("tavASd: %s is down (Connection refused), 1 of 2 entries up" % v6)

    # Revive it on the same port: after its 30 s rest one request tries it
    # again and brings it back.
    second = sb.start_standin({"asd": "[::1]:%d" % v6_port})
    deadline = time.monotonic() + 45
    while time.monotonic() < deadline:
        test.assertTrue(_send_many(postfix, 1, "probe")[0].accepted)
        if any("tavASd: %s is up again" % v6 in m for m in sb.messages()):
            break
        time.sleep(1.0)
    sb.wait_for_log("tavASd: %s is up again" % v6, timeout=1)

    results = _send_many(postfix, 20, "after")
    test.assertTrue(all(r.accepted for r in results))
    test.assertGreater(_served(sb, second), 0)
    # Every message accepted reached the sink.
    sink.find("after 19")

    # The metrics name each address; both are up at the end.
    test.assertEqual(milter.stop(), 0)
    with open(metrics) as f:
        text = f.read()
    for address in (v4, v6):
        test.assertIn('tav_milter_daemon_up{daemon="tavasd",address="%s"} 1\n' % address, text)
    test.assertRegex(text, r'tav_milter_daemon_requests_total\{daemon="tavasd",address="\[::1\]:%d",'
                           r'outcome="unreachable"\} [1-9]' % v6_port)

    # A daemon that sends its status line and then resets the connection has
    # given no verdict: the message is deferred, not passed as clean.
    cut = sb.start_standin({"asd": 0}, scripts={"asd": "HTTP/1.0 200 OK\nX-TVRN-Spam: NonSpam\n@reset\n"})
    milter = sb.start_milter(["-u", "postfix", "-D", samples + "/", "-d", "MISC", "-Z", str(ports["ipd"]),
                              "-z", str(cut.ports["asd"])], conn=conn)
    r = _send_many(postfix, 1, "cut")[0]
    test.assertEqual(r.refusal[:3], "451", r)
    sb.wait_for_log("tavASd: connection timeout with 127.0.0.1:%d" % cut.ports["asd"])


class AvailabilityTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.s = Stack()

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def tearDown(self):
        # Every message in progress ended: no spool file is left behind.
        self.assertEqual(self.s.sb.spool_files(), [])
        self.assertNotRegex(self.s.postfix.maillog(), r"fatal:")

    def test_restarts_with_the_socket_held_defer_nothing(self):
        # The unit's KillSignal: the filter stops taking sessions, lets those
        # in progress end and exits; the next one takes the connections
        # waiting in the held socket's backlog.
        messages, restarts = 1500, 3
        self.s.sb.clear_log()
        milter = self.s.start_milter()
        load, milter, stops, downtimes = restart_under_load(self.s, milter, "held", messages, restarts,
                                                            signal.SIGQUIT)
        lost, delivery_pause = load.wait_for_deliveries(self.s.sink)
        print("\n%d messages, %d restarts with the socket held: %d deferred, %d lost; stops took %s s, "
              "signal to READY=1 %s s; longest pause between accepted messages %.2f s, between "
              "deliveries %.2f s" % (messages, restarts, len(load.refused()), len(lost),
                                     ", ".join("%.2f" % s for s in stops),
                                     ", ".join("%.2f" % s for s in downtimes),
                                     load.longest_pause(), delivery_pause))
        self.assertEqual(load.refused(), [])
        self.assertEqual(lost, [])
        self.assertEqual(len(load.results), messages)
        self.assertEqual(milter.stop(signal.SIGQUIT, STOP_LIMIT_S), 0)
        log = self.s.sb.messages()
        self.assertEqual(len([m for m in log if m.startswith("Draining on signal SIGQUIT: ")]), restarts + 1)
        self.assertEqual(log.count("Drained: exiting"), restarts + 1)
        self.assertEqual(log.count("tav-milter %s exiting" % harness.VERSION), restarts + 1)

    def test_a_session_that_outlasts_the_drain_bound_is_cut_off(self):
        # An SMTP client stops in the middle of its message: the drain waits
        # for it no longer than its bound, then the filter exits; the message
        # is deferred and the next filter serves the next one.
        self.s.sb.clear_log()
        milter = self.s.start_milter()
        stuck = smtplib.SMTP("127.0.0.1", self.s.postfix.port, "client.example", timeout=120)
        self.addCleanup(stuck.close)
        for code, _ in (stuck.ehlo(), stuck.mail("alice@sender.example"), stuck.rcpt("bob@rcpt.example"),
                        stuck.docmd("DATA")):
            self.assertLess(code, 400)
        stuck.send(b"Subject: stuck\r\n\r\nThe first line, and then nothing for a while.\r\n")
        took = self.s.stop_milter(milter, signal.SIGQUIT)
        print("\nstop with a session open past the drain bound took %.1f s" % took)
        self.assertEqual(milter.popen.returncode, 0)
        log = self.s.sb.messages()
        self.assertIn("Draining on signal SIGQUIT: 1 sessions open", log)
        self.assertIn("Drain bound of 15 s reached with 1 sessions open: stopping", log)
        milter = self.s.start_milter()
        stuck.send(b".\r\n")
        code, text = stuck.getreply()
        self.assertEqual(code, 451, text)
        load = Load(self.s.postfix.port, "after-bound", 1, concurrency=1)
        load.wait()
        self.assertEqual(load.refused(), [])
        self.assertEqual(milter.stop(signal.SIGQUIT, STOP_LIMIT_S), 0)

    def test_daemon_list_failover_and_a_cut_answer(self):
        # A Postfix and filter of its own: the filter takes a list of two
        # tavasd entries, one of them on [::1].
        daemon_failover_scenario(self)


if __name__ == "__main__":
    harness.main()
