"""tav-milter behind a real Sendmail, with stand-in scanning daemons.

Sendmail runs from Debian's unpacked packages with a private configuration
built with m4 around sendmail/milter.mc (the snippet the README quotes) and
relays what it accepts to an smtp-sink. tav-milter listens on an inet
socket: Sendmail refuses unix sockets under world-writable directories.
"""

import os
import re
import unittest

import mta
from mta import harness
from test_postfix import CONTACT, added_headers


class SendmailEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        missing = mta.sendmail_missing()
        if missing:
            raise unittest.SkipTest(missing)
        cls.sb = harness.Sandbox()
        cls.parts = []
        try:
            standin, ports = mta.start_standin(cls.sb)
            port = harness.free_port()
            cls.milter = cls.sb.start_milter(
                ["-S", "-r", "-d", "MISC", "--contact", CONTACT] + mta.milter_daemon_args(ports),
                conn="inet:%d@127.0.0.1" % port)
            cls.sink = mta.SmtpSink(cls.sb.dir).start()
            cls.parts.append(cls.sink)
            cls.mx = mta.Sendmail(cls.sb, "inet:%d@127.0.0.1" % port, cls.sink.port)
            cls.parts.append(cls.mx)
            cls.mx.start()
        except mta.Unavailable as e:
            cls.tearDownClass()
            raise unittest.SkipTest(str(e))
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for part in reversed(cls.parts):
            part.stop()
        cls.sb.close()

    def tearDown(self):
        # Sendmail never lost the filter (time-outs, protocol errors).
        for line in self.sb.messages():
            self.assertNotRegex(line, r"Milter.*(error|timeout|unavailable)")

    def send(self, body, subject="A test message"):
        return mta.swaks(self.mx.port, "alice@sender.example", "bob@rcpt.example", subject=subject, body=body)

    def test_inbound_message_tagged(self):
        r = self.send("TAVTEST-BULK offer\n", subject="Offer")
        self.assertTrue(r.accepted, r.output)
        msg = self.mx.delivered(r.queue_id, self.sink)
        added = added_headers(msg)
        self.assertEqual([n for n, _ in added], ["X-Velkara-Spam", "X-Spam-Flag", "X-TVRN-VOD", "X-TVRN-RefID"], msg)
        self.assertIn(("Subject", "[Spam] Offer"), mta.header_block(msg))
        # Sendmail's queue id reaches the verdict line through the "i" macro.
        self.sb.wait_for_log(re.compile(r"^\[ASVOD\] IN IP: 127\.0\.0\.1, .*Action: tag, QueueId: %s$" % r.queue_id))
        self.assertEqual(self.sb.spool_files(), [])

    def test_confirmed_spam_refused_with_551(self):
        r = self.send("TAVTEST-CONFIRMED buy now\n")
        self.assertFalse(r.accepted, r.output)
        line = self.sb.wait_for_log(re.compile(r"^\[ASVOD\] IN .*Action: permfail"))
        refid = re.search(r"RefID: (.*?), Action", line).group(1)
        self.assertEqual(r.refusal, "551 5.7.1 This message looks like SPAM and we don't want it. "
                         "If you believe this is wrong, contact %s and mention id=%s" % (CONTACT, refid))
        self.assertEqual(self.sb.spool_files(), [])


if __name__ == "__main__":
    harness.main()
