"""The demonstration run by scripts/demo.

Starts, all on loopback and under one temporary directory: the stand-in
scanning daemons (tav-standin), tav-milter, an smtp-sink that keeps what is
delivered, and a private Postfix whose smtpd_milters is tav-milter. Sends a
handful of messages with swaks, prints what happened to each, then stops
everything it started and removes the directory.

    python3 tests/e2e/demo.py MILTER STANDIN
"""

import os
import re
import signal
import sys
import textwrap
import time

if len(sys.argv) != 3:
    sys.exit("usage: demo.py TAV-MILTER TAV-STANDIN")
os.environ["TAV_MILTER"] = os.path.abspath(sys.argv[1])
os.environ["TAV_STANDIN"] = os.path.abspath(sys.argv[2])

import mta  # noqa: E402
from mta import harness  # noqa: E402

CONTACT = "postmaster@demo.example"
IPREP_URL = "https://iprep.demo.example/lookup"
REFUSED_ADDRESS = "192.0.2.66"
INTERNET_CLIENT = "198.51.100.20"
LOCAL_NET = "10.0.0.0/8"
OUTBOUND_CLIENT = "10.1.2.3"
# The stand-in flags a sender from its third message on; tav-milter defers
# (action 1: 451) a sender whose message total reaches 3.
FLAG_AT = 3

MILTER_OPTIONS = [
    "-r",                               # refuse confirmed spam (551)
    "-R",                               # refuse virus mail (551)
    "-S",                               # stamp the Subject of tagged mail
    "-O", "--local-networks", LOCAL_NET,  # mail from there is outbound
    "-a",                               # outbound SenderID: the authenticated user
    "--total-msgs-threshold", str(FLAG_AT), "--total-msgs-threshold-action", "1",
    "--contact", CONTACT, "--iprep-url", IPREP_URL,
    "-d", "MISC",
]

MESSAGES = [
    # title, client (XCLIENT), sender, subject, body
    ("A clean message", "ADDR=%s" % INTERNET_CLIENT, "friend@partner.example",
     "Lunch on Friday?", "Shall we meet at noon?\n"),
    ("Spam", "ADDR=%s" % INTERNET_CLIENT, "offers@spammer.example",
     "You have won", "TAVTEST-CONFIRMED Claim your prize now!\n"),
    ("Bulk mail", "ADDR=%s" % INTERNET_CLIENT, "news@shop.example",
     "Our weekly offers", "TAVTEST-BULK This week only.\n"),
    ("A virus", "ADDR=%s" % INTERNET_CLIENT, "invoice@dropper.example",
     "Invoice attached", "TAVTEST-VIRUS Open the attachment.\n"),
    ("From a refused address", "ADDR=%s" % REFUSED_ADDRESS, "someone@blocked.example",
     "Hello", "A message from a client with a bad reputation.\n"),
] + [
    ("Outbound, message %d of %d from user alice" % (n, FLAG_AT),
     "ADDR=%s LOGIN=alice" % OUTBOUND_CLIENT, "alice@our-company.example",
     "Newsletter part %d" % n, "TAVTEST-BULK Outbound newsletter.\n")
    for n in range(1, FLAG_AT + 1)
]

RCPT = "reader@recipient.example"


def say(text=""):
    print(text, flush=True)


def indent(text, prefix="      "):
    return textwrap.indent(text, prefix)


class Demo:
    def __init__(self):
        self.sb = None
        self.sink = None
        self.postfix = None
        self.milter = None

    def start(self):
        self.sb = harness.Sandbox()
        run_dir, self.samples = mta.postfix_milter_dirs(self.sb.dir)
        say("Working directory: %s (removed at the end)" % self.sb.dir)

        standin, ports = mta.start_standin(
            self.sb, ["--ipd-permfail", REFUSED_ADDRESS + "/32", "--flag-threshold", "total=%d" % FLAG_AT])
        say("Stand-in daemons:  tavipd on 127.0.0.1:%d, tavasd on 127.0.0.1:%d, outbound tavasd on 127.0.0.1:%d"
            % (ports["ipd"], ports["asd"], ports["asd-out"]))

        sock = os.path.join(run_dir, "tav-milter.sock")
        args = ["-u", "postfix", "-D", self.samples + "/"] + mta.milter_daemon_args(ports) + MILTER_OPTIONS
        self.milter = self.sb.start_milter(args, conn="unix:" + sock)
        say("tav-milter:        %s -p unix:%s %s" % (os.path.basename(harness.MILTER), sock, " ".join(args)))

        self.sink = mta.SmtpSink(self.sb.dir).start()
        self.postfix = mta.Postfix(self.sb.dir, "unix:" + sock, self.sink.port).start()
        say("Postfix:           listening on 127.0.0.1:%d, smtpd_milters = unix:%s, delivering to an "
            "smtp-sink on 127.0.0.1:%d" % (self.postfix.port, sock, self.sink.port))

    def send(self, number, title, xclient, sender, subject, body):
        say()
        say("%d. %s" % (number, title))
        say("   client %s, MAIL FROM:<%s>, Subject: %s" % (xclient.replace("ADDR=", "").replace(" LOGIN=", ", logged in as "),
                                                          sender, subject))
        samples_before = set(os.listdir(self.samples))
        log_before = len(self.sb.messages())
        r = mta.swaks(self.postfix.port, sender, RCPT, subject=subject, body=body,
                      xclient=xclient + " NAME=[UNAVAILABLE]")
        if r.accepted:
            delivered = self.postfix.delivered(r.queue_id, self.sink)
            reply = next(" ".join(rep) for rep in r.replies if "queued as" in rep[1])
            say("   ACCEPTED: %s" % reply)
            added = [(n, v) for n, v in mta.header_block(delivered) if n.startswith(("X-TVRN", "X-Velkara", "X-Spam"))]
            if added:
                say("   headers added:")
                for n, v in added:
                    say("      %s: %s" % (n, v))
            else:
                say("   headers added: none")
            new_subject = [v for n, v in mta.header_block(delivered) if n.lower() == "subject"]
            if new_subject and new_subject[0] != subject:
                say("   Subject now:  %s" % new_subject[0])
        else:
            when = {"DATA": "after the message (end of DATA)"}.get(r.refused_command,
                                                                    "at %s" % (r.refused_command or "?"))
            say("   REFUSED %s: %s" % (when, r.refusal or r.output.strip().splitlines()[-1]))
            if r.refused_command and r.refused_command.startswith("MAIL"):
                say("   (tav-milter refused the greeting; Postfix gives that reply to MAIL FROM)")
        # The filter's log lines for this message (syslog, category MISC).
        time.sleep(0.2)
        lines = [m for m in self.sb.messages()[log_before:] if re.match(r"^(\[ASVOD\]|\[IPRep\]|Saving)", m)]
        for line in lines:
            say("   log: %s" % line)
        new_samples = sorted(set(os.listdir(self.samples)) - samples_before)
        for name in new_samples:
            path = os.path.join(self.samples, name)
            with open(path, "rb") as f:
                data = f.read().decode("utf-8", "replace")
            say("   sample saved: %s (%d bytes), beginning:" % (path, len(data)))
            say(indent("\n".join(data.replace("\r\n", "\n").split("\n")[:6]), "      | "))

    def stop(self):
        say()
        say("Stopping everything that was started ...")
        leftover_spool = self.sb.spool_files() if self.sb else []
        for part in (self.postfix, self.sink):
            if part:
                try:
                    part.stop()
                except Exception as e:  # keep stopping the rest
                    say("   could not stop %s: %s" % (type(part).__name__, e))
        if self.sb:
            self.sb.close()
        say("Spool files left in tav-milter's temporary directory: %s" % (leftover_spool or "none"))
        return leftover_spool


def main():
    def interrupted(signum, frame):
        raise KeyboardInterrupt()
    signal.signal(signal.SIGTERM, interrupted)
    missing = mta.postfix_missing()
    if missing:
        sys.exit("demo: " + missing)
    demo = Demo()
    status = 0
    try:
        demo.start()
        for n, message in enumerate(MESSAGES, 1):
            demo.send(n, *message)
    except KeyboardInterrupt:
        say("\nInterrupted.")
        status = 130
    except Exception as e:
        say("\ndemo failed: %s" % e)
        status = 1
    finally:
        if demo.stop():
            status = status or 1
    if demo.sb:
        left = mta.processes_using(demo.sb.dir)
        say("Processes left running: %s" % (" ".join(map(str, left)) or "none"))
        removed = not os.path.exists(demo.sb.dir)
        say("Temporary directory removed: %s" % ("yes" if removed else "no, " + demo.sb.dir))
        if left or not removed:
            status = status or 1
    return status


if __name__ == "__main__":
    sys.exit(main())
