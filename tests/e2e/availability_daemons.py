"""Daemon lists through Postfix: failover between two tavasd entries, one of
them on [::1], under load; and a cut answer deferred.

daemon_failover_scenario(test) is one grouped scenario, written to be moved
into the availability test class as a method body; run alone it is a test of
its own (python3 tests/e2e/availability_daemons.py).

What it needs: the private Postfix of mta.py, stand-ins on 127.0.0.1 (ipd
and the first asd) and on [::1] (the second asd, a process of its own so it
can be killed and started again on the same port), and a third stand-in
whose script cuts its answer with a reset.
"""

import concurrent.futures
import os
import signal
import time
import unittest

import mta
from mta import harness

CLIENTS = 4  # SMTP clients at a time during the load phase


def _send_many(postfix, count, what):
    """Sends `count` messages from CLIENTS clients at once; returns the results."""
    def one(i):
        return mta.swaks(postfix.port, "alice@sender.example", "bob@rcpt.example",
                         subject="%s %d" % (what, i), body="A clean message %d.\n" % i)
    with concurrent.futures.ThreadPoolExecutor(CLIENTS) as pool:
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
    test.assertLessEqual(len(deferred), CLIENTS, deferred)
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


class DaemonFailover(unittest.TestCase):
    def test_two_entries_one_killed_and_revived_and_a_cut_answer(self):
        daemon_failover_scenario(self)


if __name__ == "__main__":
    harness.main()
