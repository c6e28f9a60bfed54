"""End-of-message verdicts through the real binary, real libmilter and the
stand-in classification daemons, driven by miltertest.

miltertest shows neither the order of added headers nor reply texts, so the
filter is reached through a small recording proxy (MilterProxy) that passes
the milter protocol through unchanged and keeps every packet the filter
sends after each end of message.
"""

import os
import re
import socket
import struct
import threading
import time

from harness import SandboxTest, main, wait_for

CLIENT_IP = "192.0.2.7"


class MilterProxy:
    """A unix socket in front of the filter's socket that records packets.

    eoms() gives, per end of message in arrival order, the list of
    (command, data) packets the filter answered with.
    """

    def __init__(self, sb, target, name="proxy.sock"):
        self.path = os.path.join(sb.dir, name)
        self.target = target
        self._events = []
        self._lock = threading.Lock()
        self._server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._server.bind(self.path)
        self._server.listen(8)
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self._server.accept()
            except OSError:
                return
            upstream = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            upstream.connect(self.target)
            pair = {"sockets": (client, upstream), "running": 2}
            threading.Thread(target=self._pump, args=(client, upstream, "mta", pair), daemon=True).start()
            threading.Thread(target=self._pump, args=(upstream, client, "milter", pair), daemon=True).start()

    def _pump(self, src, dst, side, pair):
        try:
            self._copy(src, dst, side)
        finally:
            for s in (src, dst):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            with self._lock:
                pair["running"] -= 1
                last = pair["running"] == 0
            if last:
                for s in pair["sockets"]:
                    s.close()

    def _copy(self, src, dst, side):
        buf = b""
        while True:
            try:
                data = src.recv(65536)
            except OSError:
                data = b""
            if not data:
                return
            buf += data
            # Record whole packets before passing them on, so an end of
            # message is always recorded before the answers to it.
            while len(buf) >= 4:
                (length,) = struct.unpack(">I", buf[:4])
                if len(buf) < 4 + length:
                    break
                cmd, body = buf[4:5].decode("latin-1"), buf[5:4 + length]
                buf = buf[4 + length:]
                with self._lock:
                    self._events.append((side, cmd, body))
            try:
                dst.sendall(data)
            except OSError:
                return

    def eoms(self):
        with self._lock:
            events = list(self._events)
        out, current = [], None
        for side, cmd, body in events:
            if side == "mta":
                if cmd == "E":
                    current = []
                    out.append(current)
                elif cmd != "A":
                    current = None
            elif current is not None:
                current.append((cmd, body))
        return out

    def close(self):
        self._server.close()


def added_headers(packets):
    """[(name, value)] of the 'h' packets, in order."""
    out = []
    for cmd, body in packets:
        if cmd == "h":
            name, value = body[:-1].split(b"\0", 1)  # name NUL value NUL
            out.append((name.decode(), value.decode()))
    return out


def changed_headers(packets):
    out = []
    for cmd, body in packets:
        if cmd == "m":
            (index,) = struct.unpack(">I", body[:4])
            name, value = body[4:-1].split(b"\0", 1)
            out.append((index, name.decode(), value.decode()))
    return out


def final(packets):
    """The packet that ends the end-of-message answer: ('c', b''), ('y', text)..."""
    cmd, body = packets[-1]
    return cmd, body.rstrip(b"\0").decode()


def lua_str(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"').replace("\r", "\\r").replace("\n", "\\n") + '"'


def lua_session(messages, ip=CLIENT_IP, auth=None):
    """A miltertest script: one connection, then each message in turn.

    A message is a dict with 'from', 'rcpts', 'headers' [(name, value)],
    'body' and 'filler_kib' (that much more body, a multiple of 32).
    """
    lines = [
        "conn = mt.connect(sock, 40, 0.25)",
        'if conn == nil then error("no connection to the filter") end',
        "mt.set_timeout(30)",
        "mt.conninfo(conn, \"client.example\", %s)" % lua_str(ip),
        'mt.helo(conn, "client.example")',
    ]
    for n, msg in enumerate(messages):
        macros = ['"i"', lua_str("QID%d" % n)]
        if auth:
            macros += ['"{auth_authen}"', lua_str(auth)]
        lines.append("mt.macro(conn, SMFIC_MAIL, %s)" % ", ".join(macros))
        lines.append("mt.mailfrom(conn, %s)" % lua_str(msg.get("from", "<a@example.org>")))
        for rcpt in msg.get("rcpts", ["<b@example.net>"]):
            lines.append("mt.rcptto(conn, %s)" % lua_str(rcpt))
        for name, value in msg.get("headers", [("Subject", "hello")]):
            lines.append("mt.header(conn, %s, %s)" % (lua_str(name), lua_str(value)))
        lines.append("mt.eoh(conn)")
        lines.append("mt.bodystring(conn, %s)" % lua_str(msg.get("body", "body\r\n")))
        if msg.get("filler_kib"):  # more body, in 32 KiB chunks of "x" lines (libmilter takes < 64 KiB)
            lines.append('for i = 1, %d do mt.bodystring(conn, string.rep(string.rep("x", 1022) .. "\\r\\n", 32)) end'
                         % (msg["filler_kib"] // 32))
        lines.append('if mt.eom(conn) ~= nil then error("eom failed") end')
    lines.append("mt.disconnect(conn)")
    return "\n".join(lines) + "\n"


def spooled(msg):
    """The bytes the filter spools for `msg`: header lines, empty line, body."""
    head = "".join("%s: %s\r\n" % h for h in msg.get("headers", [("Subject", "hello")]))
    return (head + ("\r\n" if head else "") + msg.get("body", "body\r\n")).encode()


class VerdictTest(SandboxTest):
    def start(self, milter_args, standin_args=(), roles=("asd",)):
        self.standin = self.sb.start_standin({r: 0 for r in roles}, standin_args)
        args = ["-d", "ALL", "-I"]
        if "asd" in self.standin.ports:
            args += ["-z", str(self.standin.ports["asd"])]
        if "asd-out" in self.standin.ports:
            args += ["--tavasd-outbound-port", str(self.standin.ports["asd-out"])]
        self.milter = self.sb.start_milter(args + list(milter_args))
        self.proxy = MilterProxy(self.sb, self.milter.socket)
        self.addCleanup(self.proxy.close)

    def run_session(self, messages, **kw):
        r = self.sb.miltertest(lua_session(messages, **kw), sock=self.proxy.path)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        eoms = self.proxy.eoms()
        self.assertEqual(len(eoms), len(messages))
        # Whatever the verdict, no spool file is left behind.
        self.assertEqual(self.sb.spool_files(), [])
        return eoms

    def log_with(self, part, count=None):
        """The log lines containing `part`; with `count`, once that many have
        come (log lines travel on their own socket, after the replies)."""
        lines = lambda: [m for m in self.sb.messages() if part in m]
        if count is not None:
            wait_for(lambda: len(lines()) >= count, 10.0, what="%d lines with %r" % (count, part))
        return lines()

    def refids(self, direction="IN"):
        return [re.search(r"RefID: (\S*),", m).group(1) for m in self.log_with("[ASVOD] %s " % direction)]


class InboundVerdicts(VerdictTest):
    def test_tagged_with_headers_in_order(self):
        self.start(["-l"])
        msg = {"headers": [("From", "a@example.org"), ("Subject", "offer")], "body": "TAVTEST-BULK inside\r\n"}
        (eom,) = self.run_session([msg])
        self.assertEqual(final(eom), ("c", ""))
        refid = self.refids()[0]
        self.assertEqual(added_headers(eom), [
            ("X-Velkara-Spam", "Bulk"), ("X-Spam-Flag", "YES"), ("X-TVRN-VOD", "NonVirus"),
            ("X-TVRN-RefID", refid), ("X-TVRN-Score", "80"), ("X-TVRN-Rules", "TAVTEST-BULK")])
        self.assertEqual(self.log_with("[ASVOD] IN")[0],
                         "[ASVOD] IN IP: %s, Sender(Auth): <a@example.org>(), Spam: Bulk, VOD: NonVirus, "
                         "RefID: %s, Action: tag, QueueId: QID0" % (CLIENT_IP, refid))
        # File mode: the daemon read the spool file, which held the message.
        (name, request), = self.sb.recorded(self.standin)
        self.assertIn(b"POST /tavasd/ClassifyMessage_File HTTP/1.0\r\n", request)
        self.assertIn(b"X-TVRN-MailFrom: <a@example.org>\r\nX-TVRN-SenderIP: 192.0.2.7\r\nX-TVRN-RcptCount: \r\n"
                      b"X-TVRN-FileName: " + self.sb.tmp.encode() + b"/", request)
        (_, spool), = self.sb.recorded(self.standin, ".spool")
        self.assertEqual(spool, spooled(msg))
        # What the mail server says is escaped and cut in the line: a name
        # with CR LF cannot forge a second line, nor a long name make a long
        # line (miltertest sends macros of up to 1 KiB; the unit test of the
        # log has 64 KiB).
        self.sb.clear_log()
        auth = "alice\r\n[ASVOD] IN IP: 198.51.100.1, Action: accept\x01\\" + "u" * 900
        r = self.sb.miltertest(lua_session([msg], auth=auth), sock=self.proxy.path)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        logged = ("alice\\r\\n[ASVOD] IN IP: 198.51.100.1, Action: accept\\x01\\\\" + "u" * 256)[:256] + "..."
        self.assertEqual(self.log_with("[ASVOD] IN"), [
            "[ASVOD] IN IP: %s, Sender(Auth): <a@example.org>(%s), Spam: Bulk, VOD: NonVirus, RefID: %s, "
            "Action: tag, QueueId: QID0" % (CLIENT_IP, logged, self.refids()[0])])
        self.assertLessEqual(max(len(line.raw.encode()) for line in self.sb.log_lines()), 4096)

    def test_subject_stamped(self):
        self.start(["-S"])
        (eom,) = self.run_session([{"headers": [("SUBJECT", "quarterly report")], "body": "TAVTEST-VIRUS\r\n"}])
        self.assertEqual(changed_headers(eom), [(1, "SUBJECT", "[Virus] quarterly report")])
        self.assertEqual(final(eom), ("c", ""))

    def test_refusal_carries_the_refid(self):
        self.start(["-w", "-r", "--contact", "abuse@example.org"])
        bulk, confirmed = self.run_session([{"body": "TAVTEST-BULK\r\n"}, {"body": "TAVTEST-CONFIRMED\r\n"}])
        first, second = self.refids()
        self.assertEqual(final(bulk), (
            "y", "551 5.7.1 The message was rejected due to classification as high bulk ratio; Reference ID: "
            + first))
        self.assertEqual(final(confirmed), (
            "y", "551 5.7.1 This message looks like SPAM and we don't want it. If you believe this is wrong, "
            "contact abuse@example.org and mention id=" + second))
        self.assertEqual(added_headers(bulk), [("X-TVRN-VOD", "NonVirus")])
        self.assertEqual(len(self.log_with("Action: permfail")), 2)

    def test_inline_mode_streams_the_message(self):
        self.start(["-s", "-C", "5"])
        msg = {"rcpts": ["<b@example.net>", "<c@example.net>"], "body": "TAVTEST-HIGH\r\n" + "z" * 5000 + "\r\n"}
        (eom,) = self.run_session([msg])
        self.assertIn(("X-TVRN-VOD", "High"), added_headers(eom))
        (_, request), = self.sb.recorded(self.standin)
        head, body = request.split(b"\r\n\r\n", 1)
        self.assertTrue(head.startswith(b"POST /tavasd/ClassifyMessage_Inline HTTP/1.0\r\n"))
        block = (b"X-TVRN-PVer: 0000001\r\nX-TVRN-MailFrom: <a@example.org>\r\nX-TVRN-SenderIP: 192.0.2.7\r\n"
                 b"X-TVRN-RcptCount: 2\r\n\r\n")
        self.assertEqual(body, block + spooled(msg))
        self.assertIn(b"\r\nContent-Length: %d\r\n" % len(body), head + b"\r\n")

    def test_answer_cannot_inject_headers(self):
        script = "HTTP/1.0 200 OK\nX-TVRN-RefID: R1\\rX-Evil: 1\nX-TVRN-Spam: Bulk\\nBcc: victim@example.org\n\n"
        self.standin = self.sb.start_standin({"asd": 0}, scripts={"asd": script})
        self.milter = self.sb.start_milter(["-I", "-z", str(self.standin.ports["asd"])])
        self.proxy = MilterProxy(self.sb, self.milter.socket)
        self.addCleanup(self.proxy.close)
        (eom,) = self.run_session([{}])
        self.assertEqual(added_headers(eom), [
            ("X-Velkara-Spam", "Bulk"), ("X-Spam-Flag", "YES"), ("X-TVRN-VOD", ""), ("X-TVRN-RefID", "R1")])

    def daemon_down(self, args, expected):
        self.start(args, roles=("ipd",))  # no classification daemon listens
        (eom,) = self.run_session([{}])
        self.assertEqual(final(eom)[0], expected)
        self.assertEqual(len(self.log_with("tavASd: couldn't establish connection with 127.0.0.1:8088")), 1)

    def test_daemon_down_tempfails(self):
        self.daemon_down([], "t")

    def test_daemon_down_passes_with_T(self):
        self.daemon_down(["-T"], "c")


class DaemonFaults(VerdictTest):
    def test_tavasd_faults(self):
        """One row per fault of tavasd: the verdict at end of message, the log
        line, and the time it may take. Without -T every fault defers the
        message; an answer in two segments is judged whole (here a refusal
        under -r). (A daemon that is down, and an answer that tries to add
        header lines, are tests above.)"""
        line = "tavASd: %s with 127.0.0.1:{port}"
        timeout, http_error = line % "connection timeout", line % "unknown HTTP error"
        big = {"filler_kib": 6 * 1024}  # more than the kernel's socket buffers take
        rows = [
            # fault, script block, mode, message, final answer, log line, seconds: at least, at most
            ("silent", "@silent", "file", {}, ("t", ""), timeout, 9.5, 12),
            ("closed without an answer", "@close", "file", {}, ("t", ""), timeout, 0, 2),
            ("closed mid-answer", "@raw HTTP/1.0 2", "file", {}, ("t", ""), http_error, 0, 2),
            # Cut by a reset before its headers ended: deferred, never passed as clean.
            ("status line, then a reset", "HTTP/1.0 200 OK\n@reset", "file", {}, ("t", ""), timeout, 0, 2),
            ("answer in two segments",
             "HTTP/1.0 200 OK\n@pause 700\nX-TVRN-RefID: SPLIT\nX-TVRN-Spam: Confirmed\n", "file", {},
             ("y", "551 5.7.1 This message looks like SPAM and we don't want it. If you believe this is wrong, "
                   "contact postmaster and mention id=SPLIT"), "RefID: SPLIT, Action: permfail", 0.7, 2.5),
            ("bad status line", "HTTP/1.0 500 Internal Server Error\n", "file", {}, ("t", ""), http_error, 0, 2),
            ("HTTP/1.1", "HTTP/1.1 200 OK\nX-TVRN-Spam: Confirmed\n", "file", {}, ("t", ""), http_error, 0, 2),
            ("request status error", "HTTP/1.0 200 OK\nx-tvrn-request-status: 3\n", "file", {}, ("t", ""),
             "tavASd: recieved error 3, from datacenter for 127.0.0.1:{port}", 0, 2),
            ("request status of 2^31", "HTTP/1.0 200 OK\nx-tvrn-request-status: 2147483648\n", "file", {}, ("t", ""),
             "tavASd: recieved error 2147483647, from datacenter for 127.0.0.1:{port}", 0, 2),
            # Inline mode: the sends wait, and the exchange ends at its deadline,
            # 2 x 10 s plus 1 s per MiB streamed.
            ("reads the inline message slowly", "@slowread 1024 100", "inline", big, ("t", ""), timeout, 25.5, 29),
        ]
        self.standin = self.sb.start_standin({"asd": 0}, scripts={"asd": "\n%%\n".join(r[1] for r in rows) + "\n"})
        port = self.standin.ports["asd"]
        proxies = {}  # one filter per mode
        for fault, _, mode, msg, answer, log, least, most in rows:
            with self.subTest(fault):
                if mode not in proxies:
                    milter = self.sb.start_milter(["-d", "ALL", "-I", "-r", "-z", str(port)]
                                                  + (["-s"] if mode == "inline" else []),
                                                  sock=os.path.join(self.sb.dir, mode + ".sock"))
                    proxies[mode] = MilterProxy(self.sb, milter.socket, mode + ".proxy")
                    self.addCleanup(proxies[mode].close)
                proxy = proxies[mode]
                log = log.format(port=port)
                logged, answered = len(self.log_with(log)), len(proxy.eoms())
                t0 = time.monotonic()
                r = self.sb.miltertest(lua_session([msg]), sock=proxy.path)
                took = time.monotonic() - t0
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                eoms = proxy.eoms()
                self.assertEqual(len(eoms), answered + 1)
                self.assertEqual(final(eoms[-1]), answer)
                self.assertTrue(least <= took <= most, "%.1f s" % took)
                wait_for(lambda: len(self.log_with(log)) == logged + 1, what=log)
                self.assertEqual(self.sb.spool_files(), [])


class OutboundVerdicts(VerdictTest):
    OUT = ["-O", "--spam-threshold", "2", "--spam-threshold-action", "1"]

    def test_threshold_tempfail(self):
        self.start(self.OUT, roles=("asd-out",))
        first, second = self.run_session([{"body": "TAVTEST-CONFIRMED\r\n"}] * 2)
        self.assertEqual(final(first), ("c", ""))
        self.assertEqual([h[0] for h in added_headers(first)], [
            "X-TVRN-SenderID", "X-TVRN-SenderID-TotalMessages", "X-TVRN-SenderID-TotalSpam",
            "X-TVRN-SenderID-TotalSuspected", "X-TVRN-SenderID-TotalBulk", "X-TVRN-SenderID-TotalConfirmed",
            "X-TVRN-SenderID-TotalRecipients", "X-TVRN-SenderID-TotalVirus"])
        self.assertEqual(added_headers(first)[0], ("X-TVRN-SenderID", CLIENT_IP))
        refid = self.refids("OUT")[1]
        self.assertEqual(final(second), (
            "y", "451 4.7.1 The message was temporary failed because the sender was identified as sending Spam; "
            "Reference ID: " + refid))
        self.assertIn(("X-TVRN-SenderID-TotalSpam", "2"), added_headers(second))  # added before the refusal
        lines = self.log_with("[ASVOD] OUT")
        self.assertIn("Action: tag, QueueId: QID0, SenderID: 192.0.2.7, Flags: 0, TMsg: 1, TSpam: 1", lines[0])
        self.assertIn("Action: tempfail, Reason: total-spam, QueueId: QID1", lines[1])
        self.assertEqual(len(self.log_with("working in outbound mode.")), 2)

    def test_whitelisted_sender_over_its_threshold_passes(self):
        self.start(self.OUT, ["--whitelist", CLIENT_IP], roles=("asd-out",))
        eoms = self.run_session([{"body": "TAVTEST-CONFIRMED\r\n"}] * 3)
        for eom in eoms:
            self.assertEqual(final(eom), ("c", ""))
            self.assertEqual(added_headers(eom)[-1], ("X-TVRN-SenderID-BlueWhiteFlag", "2"))
        self.assertEqual([re.search(r"Action: (\w+)", m).group(1) for m in self.log_with("[ASVOD] OUT", count=3)],
                         ["whitelisted"] * 3)

    def test_authenticated_sender_id_and_sample_written(self):
        self.start(["-O", "-a", "--local-networks", "10.0.0.0/8"], ["--flag-threshold", "spam=1"],
                   roles=("asd-out",))
        msg = {"headers": [("Subject", "sample me")], "body": "TAVTEST-CONFIRMED\r\n"}
        (eom,) = self.run_session([msg], auth="alice")
        self.assertEqual(final(eom), ("c", ""))
        # Log lines come on their own socket: the reply may be here first.
        self.sb.wait_for_log("Saving outbound sample message to file: ")
        self.assertEqual(self.log_with("threshold crossed"), ["milter spam threshold crossed: 16 alice"])
        samples = os.path.join(self.sb.dir, "samples")
        names = os.listdir(samples)
        self.assertEqual(len(names), 1)
        self.assertTrue(names[0].startswith("tavmilt."))
        self.assertEqual(self.log_with("Saving outbound sample message to file: "),
                         ["Saving outbound sample message to file: %s//%s" % (samples, names[0])])
        with open(os.path.join(samples, names[0]), "rb") as f:
            sample = f.read()
        refid = self.refids("OUT")[0]
        block = ("X-TVRN-RefID: %s\r\nX-TVRN-Spam: Confirmed\r\nX-TVRN-VOD: NonVirus\r\nX-TVRN-SenderID: alice\r\n"
                 "X-TVRN-SenderID-Flags: 16\r\nX-TVRN-TotalMessages: 1\r\nX-TVRN-TotalSpam: 1\r\n"
                 "X-TVRN-TotalSuspected: 0\r\nX-TVRN-SenderID-TotalBulk: 0\r\nX-TVRN-SenderID-TotalConfirmed: 1\r\n"
                 "X-TVRN-SenderID-TotalRecipients: 0\r\nX-TVRN-SenderID-TotalVirus: 0\r\n"
                 "X-TVRN-SenderID-BlueWhiteFlag: \r\n" % refid).encode()
        self.assertEqual(sample, block + spooled(msg))
        (_, request), = self.sb.recorded(self.standin)
        self.assertIn(b"X-TVRN-SenderID: alice\r\n", request)


if __name__ == "__main__":
    main()
