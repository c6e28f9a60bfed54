"""tav-milter behind a real Postfix, with stand-in scanning daemons.

A private Postfix on loopback passes every SMTP session to tav-milter and
relays what it accepts to an smtp-sink that keeps each message. swaks is the
SMTP client; XCLIENT lets a session pose as another client address or an
authenticated user. The same cases run with tav-milter on a unix socket and
on an inet socket.
"""

import os
import re
import unittest

import mta
from mta import harness

CONTACT = "abuse@tav-test.example"
IPREP_URL = "https://iprep.tav-test.example/lookup"
TEMPFAIL_NET = "192.0.2.0/25"
PERMFAIL_NET = "192.0.2.128/25"
IGNORED_NET = "198.51.100.0/24"
LOCAL_NET = "203.0.113.0/24"
# The stand-in flags a sender once it has sent this many messages.
MESSAGES_FLAG_AT = 2

# The headers tav-milter adds to inbound mail, in the order it adds them.
INBOUND_HEADERS = ("X-Velkara-Spam", "X-Spam-Flag", "X-TVRN-VOD", "X-TVRN-RefID")
OUTBOUND_HEADERS = ("X-TVRN-SenderID", "X-TVRN-SenderID-TotalMessages", "X-TVRN-SenderID-TotalSpam",
                    "X-TVRN-SenderID-TotalSuspected", "X-TVRN-SenderID-TotalBulk",
                    "X-TVRN-SenderID-TotalConfirmed", "X-TVRN-SenderID-TotalRecipients",
                    "X-TVRN-SenderID-TotalVirus")


def added_headers(message):
    """The filter's headers of a delivered message, as (name, value) in order."""
    return [(n, v) for n, v in mta.header_block(message)
            if n in INBOUND_HEADERS or n.startswith("X-TVRN-")]


class Setup:
    """Stand-in daemons, tav-milter, smtp-sink and Postfix for one test class."""

    def __init__(self, socket_kind, milter_args, standin_args=(), ipd_down=False):
        missing = mta.postfix_missing()
        if missing:
            raise unittest.SkipTest(missing)
        self.sb = harness.Sandbox()
        try:
            self.run_dir, self.samples = mta.postfix_milter_dirs(self.sb.dir)
            self.standin, self.ports = mta.start_standin(self.sb, extra=standin_args)
            daemon_args = mta.milter_daemon_args(self.ports)
            if ipd_down:
                self.dead_port = harness.free_port()
                daemon_args[1] = str(self.dead_port)
            if socket_kind == "unix":
                self.conn = "unix:" + os.path.join(self.run_dir, "tav-milter.sock")
            else:
                self.conn = "inet:%d@127.0.0.1" % harness.free_port()
            # As an admin runs it: effective user postfix, so that smtpd may
            # connect to the unix socket it creates.
            self.milter = self.sb.start_milter(
                ["-u", "postfix", "-D", self.samples + "/", "-d", "MISC", "--contact", CONTACT,
                 "--iprep-url", IPREP_URL] + daemon_args + list(milter_args), conn=self.conn)
            postfix_conn = self.conn if socket_kind == "unix" else "inet:127.0.0.1:" + self.conn.split(":")[1].split("@")[0]
            self.sink = mta.SmtpSink(self.sb.dir).start()
            self.postfix = mta.Postfix(self.sb.dir, postfix_conn, self.sink.port).start()
        except BaseException:
            self.close()
            raise

    def close(self):
        for stop in ("postfix", "sink"):
            part = getattr(self, stop, None)
            if part:
                part.stop()
        self.sb.close()

    def send(self, body="Hello.\n", subject="A test message", sender="alice@sender.example",
             rcpt="bob@rcpt.example", xclient=None, headers=()):
        return mta.swaks(self.postfix.port, sender, rcpt, subject=subject, body=body, xclient=xclient,
                         headers=headers)

    def delivered(self, result):
        if not result.accepted:
            raise AssertionError("message not accepted: %s" % result.output)
        return self.postfix.delivered(result.queue_id, self.sink)


class PostfixBase:
    SOCKET = None

    @classmethod
    def setUpClass(cls):
        cls.s = Setup(cls.SOCKET,
                      ["-S", "-r", "-O", "--local-networks", LOCAL_NET, "-a", "-i", IGNORED_NET],
                      ["--ipd-tempfail", TEMPFAIL_NET, "--ipd-permfail", PERMFAIL_NET,
                       "--flag-threshold", "total=%d" % MESSAGES_FLAG_AT])

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def tearDown(self):
        # Every message is finished when its result is known: nothing may
        # stay in the filter's temporary directory.
        self.assertEqual(self.s.sb.spool_files(), [])
        # Postfix never lost the filter (time-outs, malformed replies).
        self.assertNotRegex(self.s.postfix.maillog(), r"fatal:|warning: .*[Mm]ilter")

    def log_line(self, pattern):
        return self.s.sb.wait_for_log(re.compile(pattern))

    def test_inbound_tags_in_order_and_stamps_the_subject(self):
        cases = [
            # marker, subject prefix, headers added in order
            ("TAVTEST-BULK", "[Spam] ", ["X-Velkara-Spam", "X-Spam-Flag", "X-TVRN-VOD", "X-TVRN-RefID"]),
            ("TAVTEST-VIRUS", "[Virus] ", ["X-Velkara-Spam", "X-TVRN-VOD", "X-Spam-Flag", "X-TVRN-RefID"]),
            ("clean", "", ["X-Velkara-Spam", "X-TVRN-VOD", "X-TVRN-RefID"]),
        ]
        for marker, prefix, names in cases:
            with self.subTest(marker=marker):
                r = self.s.send(body="Body of a %s message.\n" % marker, subject="Report %s" % marker)
                msg = self.s.delivered(r)
                added = added_headers(msg)
                self.assertEqual([n for n, _ in added], names, msg)
                subjects = [v for n, v in mta.header_block(msg) if n.lower() == "subject"]
                self.assertEqual(subjects, [prefix + "Report %s" % marker])
                values = dict(added)
                if "X-Spam-Flag" in values:
                    self.assertEqual(values["X-Spam-Flag"], "YES")
                self.assertNotEqual(values["X-TVRN-RefID"], "")
                # The verdict line carries Postfix's queue id and the refid.
                self.log_line(r"^\[ASVOD\] IN IP: 127\.0\.0\.1, .*RefID: %s, Action: tag, QueueId: %s$"
                              % (re.escape(values["X-TVRN-RefID"]), r.queue_id))

    def test_local_submission_goes_through_non_smtpd_milters(self):
        subject = "Local report %s" % self.SOCKET
        self.s.postfix.submit("root@mx.tav-test.example", "bob@rcpt.example",
                              "Subject: %s\nFrom: root@mx.tav-test.example\n\nTAVTEST-BULK cron output\n" % subject)
        msg = self.s.sink.find(r"(?m)^Subject: \[Spam\] %s$" % re.escape(subject))
        self.assertEqual([n for n, _ in added_headers(msg)], list(INBOUND_HEADERS), msg)

    def test_confirmed_spam_refused_with_551_and_reference(self):
        r = self.s.send(body="TAVTEST-CONFIRMED buy now\n")
        self.assertFalse(r.accepted, r.output)
        self.assertIsNone(r.queue_id)
        line = self.log_line(r"^\[ASVOD\] IN IP: 127\.0\.0\.1, .*Action: permfail, QueueId: \S+$")
        refid = re.search(r"RefID: (.*?), Action", line).group(1)
        self.assertTrue(refid)
        self.assertEqual(r.refusal, "551 5.7.1 This message looks like SPAM and we don't want it. "
                         "If you believe this is wrong, contact %s and mention id=%s" % (CONTACT, refid))

    def test_ip_reputation_refuses_at_helo(self):
        cases = [
            ("192.0.2.10", "451 4.7.1 Delivery from 192.0.2.10 is deferred, repeatedly. Send again or "
                           "check at %s. Reference code: tid=" % IPREP_URL),
            ("192.0.2.200", "550 5.7.1 Delivery from 192.0.2.200 was blocked. Please check at %s. "
                            "Reference code: tid=" % IPREP_URL),
        ]
        for addr, reply in cases:
            with self.subTest(addr=addr):
                r = self.s.send(xclient="ADDR=%s NAME=[UNAVAILABLE]" % addr)
                self.assertIsNotNone(r.refusal, r.output)
                self.assertTrue(r.refusal.startswith(reply), r.refusal)
                self.assertIsNone(r.queue_id)
                refid = r.refusal[len(reply):]
                self.assertTrue(refid)
                # The filter refuses the greeting; Postfix gives that reply to
                # the next MAIL command.
                self.assertRegex(r.output, r"-> MAIL FROM:<[^>]*>\s*\n<\*\* +%s" % r.refusal[:3])
                self.log_line(r"^\[IPRep\] IP: %s, class: .*, RefID: %s$" % (re.escape(addr), re.escape(refid)))

    def test_ignored_client_passes_untouched(self):
        r = self.s.send(body="TAVTEST-CONFIRMED from an ignored network\n",
                        xclient="ADDR=198.51.100.7 NAME=[UNAVAILABLE]")
        msg = self.s.delivered(r)
        self.assertEqual(added_headers(msg), [])
        self.assertNotIn("[Spam]", msg)

    def outbound(self, xclient, sender_id):
        r = self.s.send(body="An outbound message.\n", xclient=xclient)
        msg = self.s.delivered(r)
        added = added_headers(msg)
        self.assertEqual([n for n, _ in added][:len(OUTBOUND_HEADERS)], list(OUTBOUND_HEADERS), msg)
        self.assertEqual(dict(added)["X-TVRN-SenderID"], sender_id)
        for name in INBOUND_HEADERS:
            self.assertNotIn(name, dict(added))
        self.assertNotRegex(msg, r"(?m)^Subject: \[")
        self.log_line(r"^\[ASVOD\] OUT .*QueueId: %s" % r.queue_id)
        return r, msg

    def test_outbound_for_a_local_network(self):
        self.outbound("ADDR=203.0.113.5 NAME=[UNAVAILABLE]", "203.0.113.5")

    def test_outbound_for_an_authenticated_session(self):
        # -a: the authenticated user names the sender.
        self.outbound("ADDR=100.64.0.9 NAME=[UNAVAILABLE] LOGIN=carol", "carol")

    def test_sample_saved_for_a_sender_over_its_threshold(self):
        user = "dave-%s" % self.SOCKET
        before = set(os.listdir(self.s.samples))
        for n in range(MESSAGES_FLAG_AT + 1):
            self.outbound("ADDR=100.64.0.10 NAME=[UNAVAILABLE] LOGIN=%s" % user, user)
        new = sorted(set(os.listdir(self.s.samples)) - before)
        self.assertTrue(new, "no sample file")
        self.assertTrue(all(name.startswith("tavmilt.") for name in new), new)
        with open(os.path.join(self.s.samples, new[0]), "rb") as f:
            sample = f.read().decode()
        names = [line.split(":")[0] for line in sample.split("\r\n")[:13]]
        self.assertEqual(names[0], "X-TVRN-RefID")
        self.assertEqual(names[12], "X-TVRN-SenderID-BlueWhiteFlag")
        self.assertIn("X-TVRN-SenderID: %s\r\n" % user, sample)
        # The message follows as it was received.
        self.assertIn("An outbound message.", sample)
        self.log_line(r"^Saving outbound sample message to file: .*tavmilt\.")


class PostfixUnixSocket(PostfixBase, unittest.TestCase):
    SOCKET = "unix"


class PostfixInetSocket(PostfixBase, unittest.TestCase):
    SOCKET = "inet"


class PostfixIpReputationDaemonDown(unittest.TestCase):
    """tavipd not running: sessions go on and mail is still classified."""

    @classmethod
    def setUpClass(cls):
        cls.s = Setup("unix", [], ipd_down=True)

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def test_mail_passes_and_is_tagged(self):
        r = self.s.send(body="TAVTEST-BULK\n", xclient="ADDR=192.0.2.10 NAME=[UNAVAILABLE]")
        msg = self.s.delivered(r)
        self.assertIn(("X-Spam-Flag", "YES"), added_headers(msg))
        self.s.sb.wait_for_log("tavIPd: couldn't establish connection with 127.0.0.1:%d" % self.s.dead_port)
        self.assertEqual(self.s.sb.spool_files(), [])


if __name__ == "__main__":
    harness.main()
