"""Session capture and the IP-reputation check on the built filter.

The real tav-milter with real libmilter, driven by miltertest (and, where the
client must see the text of a refusal, by a few lines of milter protocol
below), with tav-standin as tavipd. No test may leave a spool file behind.
"""

import os
import resource
import signal
import socket
import struct
import time

import harness
from harness import SandboxTest, free_port, wait_for


class MilterClient:
    """The MTA's side of the milter protocol, as far as these tests need it:
    each step returns (command character, data) of the filter's answer, so a
    refusal's SMTP reply text can be read (miltertest does not show it). A
    step negotiated without reply returns None; quit_nc() ends the connection
    as a mail server that reuses it does (SMFIC_QUIT_NC), after which
    connect() opens the next one on the same socket."""

    FINAL = "acdrty"  # accept, continue, discard, reject, tempfail, reply code

    def __init__(self, path, timeout=20):
        self.s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.s.settimeout(timeout)
        self.s.connect(path)
        # Protocol 6, every action, every protocol step offered.
        reply = self._ask(b"O", struct.pack("!III", 6, 0x1FF, 0x1FFFFF))
        assert reply[0] == "O", reply
        self.steps = struct.unpack("!III", reply[1][:12])[2]  # the protocol flags taken

    def _send(self, cmd, data=b""):
        self.s.sendall(struct.pack("!I", len(data) + 1) + cmd + data)

    def _recv_exact(self, n):
        buf = b""
        while len(buf) < n:
            chunk = self.s.recv(n - len(buf))
            if not chunk:
                raise EOFError("filter closed the connection")
            buf += chunk
        return buf

    def _ask(self, cmd, data=b""):
        self._send(cmd, data)
        while True:
            (n,) = struct.unpack("!I", self._recv_exact(4))
            packet = self._recv_exact(n)
            if packet[:1] != b"p":  # progress
                return packet[:1].decode(), packet[1:]

    def macro(self, for_cmd, **values):
        data = for_cmd
        for k, v in values.items():
            data += k.encode() + b"\0" + v.encode() + b"\0"
        self._send(b"D", data)

    def connect(self, ip, host="client.example"):
        family = b"6" if ":" in ip else b"4"
        return self._ask(b"C", host.encode() + b"\0" + family + struct.pack("!H", 25) + ip.encode() + b"\0")

    def helo(self, name):
        return self._ask(b"H", name.encode() + b"\0")

    def mail(self, sender):
        return self._ask(b"M", sender.encode() + b"\0")

    def step(self, cmd, data, noreply_bit):
        if self.steps & noreply_bit:
            self._send(cmd, data)
            return None
        return self._ask(cmd, data)

    def message(self, rcpt, headers, body):
        """Recipient, DATA, header lines, end of headers and the body in 64
        KiB chunks; then end of message, whose final answer it returns
        (after the header changes that come before it)."""
        self.step(b"R", rcpt.encode() + b"\0", 0x8000)
        self.step(b"T", b"", 0x10000)
        for name, value in headers:
            self.step(b"L", name.encode() + b"\0" + value.encode() + b"\0", 0x80)
        self.step(b"N", b"", 0x40000)
        for i in range(0, len(body), 65535):
            self.step(b"B", body[i:i + 65535], 0x80000)
        answer = self._ask(b"E")
        while answer[0] not in self.FINAL:
            (n,) = struct.unpack("!I", self._recv_exact(4))
            packet = self._recv_exact(n)
            answer = (packet[:1].decode(), packet[1:])
        return answer

    def quit_nc(self):
        self._send(b"K")

    def close(self):
        try:
            self._send(b"Q")
        finally:
            self.s.close()


def reply_text(answer):
    """The SMTP reply of a 'y' answer, without its final NUL."""
    cmd, data = answer
    assert cmd == "y", answer
    return data.rstrip(b"\0").decode()


LUA_MESSAGE = """
local function check(cond, what) if not cond then error(what) end end
function message(conn, from, body)
  check(mt.mailfrom(conn, from) == nil, "mailfrom")
  check(mt.getreply(conn) == SMFIR_CONTINUE, "mail not continued")
  check(mt.rcptto(conn, "<rcpt@example.net>") == nil, "rcptto")
  check(mt.header(conn, "From", from) == nil, "header")
  check(mt.header(conn, "Subject", "Test") == nil, "header")
  check(mt.eoh(conn) == nil, "eoh")
  check(mt.bodystring(conn, body) == nil, "body")
  check(mt.getreply(conn) == SMFIR_CONTINUE, "body not continued")
end
function spool_files_in(dir)
  local names = {}
  local p = io.popen('ls -A "' .. dir .. '"')
  for name in p:lines() do names[#names + 1] = name end
  p:close()
  return names
end
function open(ip)
  local conn = mt.connect(sock, 40, 0.25)
  check(conn, "no connection to the filter")
  check(mt.conninfo(conn, "client.example", ip) == nil, "conninfo")
  return conn
end

-- Headers and 64 KiB of body, chunk by chunk, without reply; the spool
-- write that fails must defer the message at its end.
function send_big_body(conn)
  check(mt.header(conn, "From", "big") == nil, "header")
  check(mt.eoh(conn) == nil, "eoh")
  for i = 1, 4 do
    check(mt.bodystring(conn, string.rep("0123456789abcdef", 1024)) == nil, "body")
  end
  check(mt.eom(conn) == nil, "eom")
  local r = mt.getreply(conn)
  check(r == SMFIR_REPLYCODE or r == SMFIR_TEMPFAIL, "failed spool write not deferred")
end
"""


class SessionTest(SandboxTest):
    def start(self, args=(), ipd_script=None, ipd_args=()):
        """tav-standin as tavipd and the filter pointed at it; returns the stand-in."""
        scripts = {"ipd": ipd_script} if ipd_script else None
        self.standin = self.sb.start_standin({"ipd": 0, "asd": 0}, args=list(ipd_args), scripts=scripts)
        self.milter = self.sb.start_milter(["-d", "ALL", "-Z", str(self.standin.ports["ipd"]),
                                            "-z", str(self.standin.ports["asd"])] + list(args))
        return self.standin

    def lua(self, body, **variables):
        r = self.sb.miltertest(LUA_MESSAGE + body, variables=variables)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        return r

    def ipd_requests(self):
        return [data for name, data in self.sb.recorded(self.standin) if name.endswith("-ipd.request")]

    def assert_no_spool_files(self):
        self.assertEqual(self.sb.spool_files(), [])

    def count(self, text):
        return sum(1 for m in self.sb.messages() if m == text)

    def test_ignored_client_is_accepted_at_connect_without_a_query(self):
        # "unspec": a client of an unknown family, which is 127.0.0.1.
        self.start(["-i", "192.0.2.0/24,2001:db8:1::/48,127.0.0.1"])
        self.lua("""
for _, ip in ipairs({"192.0.2.9", "2001:db8:1::9", "unspec"}) do
  local conn = open(ip)
  check(mt.getreply(conn) == SMFIR_ACCEPT, "not accepted at connect: " .. ip)
  mt.disconnect(conn)
end
""")
        self.sb.wait_for_log("2001:db8:1::9 is in our ignore list - accepting message")
        self.sb.wait_for_log("127.0.0.1 is in our ignore list - accepting message")
        self.assertIn("192.0.2.9 is in our ignore list - accepting message", self.sb.messages())
        self.assertEqual(self.ipd_requests(), [])
        self.assertNotIn("tavIPd: enter", self.sb.messages())
        self.assert_no_spool_files()

    def test_refusals_carry_their_texts_and_reference_codes(self):
        self.start(ipd_script="HTTP/1.0 200 OK\nx-tvrn-dm-action: tempfail\nx-tvrn-ipclass: suspicious\n"
                              "x-tvrn-refid:tid=A1B2;src=x\n\n%%\n"
                              "HTTP/1.0 200 OK\nx-tvrn-refid:tid=50%OFF\\r\\nX;\nx-tvrn-dm-action: permfail\n\n")
        url = "https://www.tavoren.com/iprep/lookup"
        c = MilterClient(self.milter.socket)
        self.assertEqual(c.connect("192.0.2.44")[0], "c")
        self.assertEqual(reply_text(c.helo("mx.example")),
                         "451 4.7.1 Delivery from 192.0.2.44 is deferred, repeatedly. Send again or check at "
                         + url + ". Reference code: tid=A1B2")
        # Not checked again on this connection.
        self.assertEqual(c.mail("<a@example.org>")[0], "c")
        c.close()
        # Refused at MAIL when there was no HELO; the code ends at its line
        # end, "%" doubled.
        c = MilterClient(self.milter.socket)
        c.connect("198.51.100.7")
        self.assertEqual(reply_text(c.mail("<a@example.org>")),
                         "550 5.7.1 Delivery from 198.51.100.7 was blocked. Please check at "
                         + url + ". Reference code: tid=50%%OFF")
        c.close()
        self.assertEqual(self.sb.wait_for_log("[IPRep] IP: 198.51.100.7"),
                         "[IPRep] IP: 198.51.100.7, class: , action: permfail, RefID: 50%OFF")
        self.assertIn("[IPRep] IP: 192.0.2.44, class: suspicious, action: tempfail, RefID: A1B2",
                      self.sb.messages())
        self.assertEqual(len(self.ipd_requests()), 2)
        self.assert_no_spool_files()

    def test_lookup_page_can_be_set(self):
        self.start(["--iprep-url", "https://rbl.example.net/lookup"],
                   ipd_script="HTTP/1.0 200 OK\nx-tvrn-dm-action: permfail\nx-tvrn-refid:tid=Q;\n\n")
        c = MilterClient(self.milter.socket)
        c.connect("192.0.2.45")
        self.assertEqual(reply_text(c.helo("mx.example")),
                         "550 5.7.1 Delivery from 192.0.2.45 was blocked. Please check at "
                         "https://rbl.example.net/lookup. Reference code: tid=Q")
        c.close()

    def test_daemon_down_lets_the_session_go_on(self):
        port = free_port()
        self.sb.start_milter(["-d", "ALL", "-Z", str(port), "-z", str(free_port())])
        self.lua("""
local conn = open("192.0.2.46")
check(mt.helo(conn, "mx.example") == nil, "helo")
check(mt.getreply(conn) == SMFIR_CONTINUE, "helo not continued")
message(conn, "<a@example.org>", "one\\r\\n")
check(mt.eom(conn) == nil, "eom")
message(conn, "<b@example.org>", "two\\r\\n")
check(mt.eom(conn) == nil, "eom")
mt.disconnect(conn)
""")
        self.sb.wait_for_log("mlfi_close")
        self.assertEqual(self.count("tavIPd: couldn't establish connection with 127.0.0.1:%d" % port), 1)
        self.assertEqual(self.count("tavIPd: enter"), 1)
        self.assert_no_spool_files()

    def test_tavipd_faults(self):
        """One row per fault of tavipd: the answer to HELO, the log line, and
        the time the check may take. No fault holds the session back; an
        answer in two segments is judged whole. (A daemon that is down, and a
        reference code with CR LF, are the two tests above.)"""
        line = "tavIPd: %s with 127.0.0.1:{port}"
        rows = [
            # fault, script block, answer to HELO, log line, seconds: at least, at most
            ("silent", "@silent", "c", line % "connection timeout", 9.5, 12),
            ("closed without an answer", "@close", "c", line % "connection timeout", 0, 2),
            ("closed mid-answer", "@raw HTTP/1.0 2", "c", line % "unknown HTTP error", 0, 2),
            # Cut by a reset before its headers ended: no verdict, the session goes on.
            ("status line, then a reset", "HTTP/1.0 200 OK\nx-tvrn-dm-action: permfail\n@reset", "c",
             line % "connection timeout", 0, 2),
            ("answer in two segments",
             "HTTP/1.0 200 OK\n@pause 700\nx-tvrn-dm-action: permfail\nx-tvrn-refid:tid=SPLIT;\n",
             "550 5.7.1 Delivery from 192.0.2.70 was blocked. Please check at "
             "https://www.tavoren.com/iprep/lookup. Reference code: tid=SPLIT",
             "[IPRep] IP: 192.0.2.70, class: , action: permfail, RefID: SPLIT", 0.7, 2.5),
            ("bad status line", "HTTP/1.0 503 Busy\nx-tvrn-dm-action: permfail\n", "c",
             line % "unknown HTTP error", 0, 2),
            ("HTTP/1.1", "HTTP/1.1 200 OK\nx-tvrn-dm-action: tempfail\n", "c", line % "unknown HTTP error", 0, 2),
            ("request status error", "HTTP/1.0 200 OK\nx-tvrn-request-status: 3\nx-tvrn-dm-action: permfail\n",
             "c", "tavIPd: recieved error 3, from datacenter for 127.0.0.1:{port}", 0, 2),
            ("request status of 2^31", "HTTP/1.0 200 OK\nx-tvrn-request-status: 2147483648\n"
             "x-tvrn-dm-action: permfail\n", "c",
             "tavIPd: recieved error 2147483647, from datacenter for 127.0.0.1:{port}", 0, 2),
        ]
        standin = self.start(ipd_script="\n%%\n".join(block for _, block, *_ in rows) + "\n")
        for fault, _, answer, log, least, most in rows:
            with self.subTest(fault):
                log = log.format(port=standin.ports["ipd"])
                logged = self.count(log)
                c = MilterClient(self.milter.socket)
                self.assertEqual(c.connect("192.0.2.70")[0], "c")
                t0 = time.monotonic()
                got = c.helo("mx.example")
                took = time.monotonic() - t0
                c.close()
                self.assertEqual(got[0] if answer == "c" else reply_text(got), answer)
                self.assertTrue(least <= took <= most, "%.1f s" % took)
                wait_for(lambda: self.count(log) == logged + 1, what=log)
        self.assert_no_spool_files()

    def test_ipv6_client(self):
        self.start(ipd_args=["--ipd-tempfail", "2001:db8:6::/48"])
        c = MilterClient(self.milter.socket)
        c.connect("2001:db8:6:0:0:0:0:25")
        text = reply_text(c.helo("mx.example"))
        self.assertTrue(text.startswith("451 4.7.1 Delivery from 2001:db8:6::25 is deferred"), text)
        c.close()
        # An IPv4-mapped client is its IPv4 address.
        self.lua("""
local conn = open("::ffff:192.0.2.47")
check(mt.helo(conn, "mx.example") == nil, "helo")
check(mt.getreply(conn) == SMFIR_CONTINUE, "helo not continued")
mt.disconnect(conn)
""")
        self.sb.wait_for_log("mlfi_close")
        bodies = [r.split(b"\r\n\r\n", 1)[1] for r in self.ipd_requests()]
        self.assertEqual(bodies, [
            b"x-tvrn-request-type: classifyip\r\nx-tvrn-pver: 1.0\r\n\r\nx-tvrn-ip: 2001:db8:6::25\r\n\r\n",
            b"x-tvrn-request-type: classifyip\r\nx-tvrn-pver: 1.0\r\n\r\nx-tvrn-ip: 192.0.2.47\r\n\r\n",
        ])

    def test_several_messages_on_one_connection(self):
        self.start(["-C", "5"])
        self.lua("""
local conn = open("192.0.2.48")
check(mt.helo(conn, "mx.example") == nil, "helo")
for i = 1, 3 do
  message(conn, "<s" .. i .. "@example.org>", "body " .. i .. "\\r\\n")
  check(mt.eom(conn) == nil, "eom")
end
mt.disconnect(conn)
""")
        self.sb.wait_for_log("mlfi_close")
        msgs = self.sb.messages()
        self.assertEqual(msgs.count("mlfi_envfrom: exit"), 3)
        self.assertEqual(msgs.count("rcpt inc"), 3)
        self.assertEqual(msgs.count("tavIPd: enter"), 1)
        self.assertEqual(len(self.ipd_requests()), 1)
        self.assert_no_spool_files()

    def test_abort_and_dropped_connection_leave_no_spool_file(self):
        self.start()
        self.lua("""
local conn = open("192.0.2.49")
check(mt.helo(conn, "mx.example") == nil, "helo")
message(conn, "<a@example.org>", "aborted\\r\\n")
local before = spool_files_in(tmpdir)
check(#before == 1, "no spool file while the message is open")
check(mt.abort(conn) == nil, "abort")
-- Commands are handled in order: once MAIL is answered, abort is done.
message(conn, "<b@example.org>", "dropped\\r\\n")
local after = spool_files_in(tmpdir)
check(#after == 1 and after[1] ~= before[1], "spool file left after abort")
mt.disconnect(conn, false)
""", tmpdir=self.sb.tmp)
        self.sb.wait_for_log("mlfi_close")
        self.assertEqual(self.sb.messages().count("mlfi_abort"), 2)
        self.assert_no_spool_files()

    def test_spool_write_failure_defers_and_leaves_no_file(self):
        # The filter's TMPDIR becomes a 8 KiB file system in its own mount
        # namespace, so a larger body fills it.
        standin = self.sb.start_standin({"ipd": 0, "asd": 0})
        sock = self.sb.milter_socket()
        proc = self.sb.start(["sh", "-c", 'mount -t tmpfs -o size=8k,mode=1777 tmpfs "$TMPDIR" && exec "$@"', "sh",
                              harness.MILTER, "-p", "unix:" + sock, "-d", "ALL",
                              "-Z", str(standin.ports["ipd"]), "-z", str(standin.ports["asd"])],
                             name="tav-milter")
        wait_for(lambda: os.path.exists(sock) or proc.popen.poll() is not None, 10, what="milter socket")
        self.assertIsNone(proc.popen.poll(), proc.popen.poll() is not None and proc.output())
        private_tmp = "/proc/%d/root%s" % (proc.pid, self.sb.tmp)
        self.lua("""
local conn = open("192.0.2.50")
check(mt.helo(conn, "mx.example") == nil, "helo")
check(mt.mailfrom(conn, "<big@example.org>") == nil, "mailfrom")
send_big_body(conn)
-- The connection goes on with the next message.
message(conn, "<small@example.org>", "small\\r\\n")
check(mt.eom(conn) == nil, "eom")
mt.disconnect(conn)
""")
        line = self.sb.wait_for_log(": write(): No space left on device")
        self.assertTrue(line.startswith("unknown: %s/tavmilt." % self.sb.tmp), line)
        self.sb.wait_for_log("mlfi_close")
        self.assertEqual(os.listdir(private_tmp), [])
        proc.stop()

    def test_file_size_limit_defers_instead_of_killing_the_filter(self):
        # Under a file-size limit a spool write past it must fail with EFBIG
        # and defer the message; SIGXFSZ would otherwise end the whole filter.
        standin = self.sb.start_standin({"ipd": 0, "asd": 0})
        sock = self.sb.milter_socket()
        proc = self.sb.start(["prlimit", "--fsize=8192", harness.MILTER, "-p", "unix:" + sock, "-d", "ALL",
                              "-D", os.path.join(self.sb.dir, "samples/"),
                              "-Z", str(standin.ports["ipd"]), "-z", str(standin.ports["asd"])],
                             name="tav-milter")
        wait_for(lambda: os.path.exists(sock) or proc.popen.poll() is not None, 10, what="milter socket")
        # A header section past the limit fails at a header line, which
        # miltertest (like Postfix) takes without reply: the deferral comes
        # at end of message, with its own reply.
        self.lua("""
local conn = open("192.0.2.51")
check(mt.mailfrom(conn, "<big@example.org>") == nil, "mailfrom")
send_big_body(conn)
mt.disconnect(conn)
conn = open("192.0.2.52")
check(mt.mailfrom(conn, "<headers@example.org>") == nil, "mailfrom")
local value = string.rep("h", 1000)
for i = 1, 80 do check(mt.header(conn, "X-Filler", value) == nil, "header") end
check(mt.eoh(conn) == nil, "eoh")
check(mt.eom(conn) == nil, "eom")
check(mt.getreply(conn) == SMFIR_REPLYCODE, "no deferral at end of message")
mt.disconnect(conn)
""")
        self.sb.wait_for_log(": write(): File too large")
        wait_for(lambda: sum(1 for m in self.sb.messages()
                             if m.endswith(" could not be written (File too large): message deferred")) == 2,
                 10, what="both messages deferred")
        wait_for(lambda: sum(1 for m in self.sb.messages() if m == "mlfi_close") == 2, 10, what="both closes")
        self.assertIsNone(proc.popen.poll(), "the filter died")
        self.assert_no_spool_files()
        self.assertEqual(proc.stop(), 0)

    def test_held_failures_on_fresh_and_reused_connections(self):
        # A step without reply holds its failure for end of message, on a
        # fresh connection and on one a mail server reuses after QUIT_NC
        # (libmilter then calls close and connect without negotiating): 451
        # at end of message either way, no hang, and never a reply libmilter
        # has to swallow.
        standin = self.sb.start_standin({"ipd": 0, "asd": 0})
        sock = self.sb.milter_socket()
        proc = self.sb.start(["prlimit", "--fsize=8192", harness.MILTER, "-p", "unix:" + sock, "-d", "ALL",
                              "-Z", str(standin.ports["ipd"]), "-z", str(standin.ports["asd"])],
                             name="tav-milter")
        wait_for(lambda: os.path.exists(sock) or proc.popen.poll() is not None, 10, what="milter socket")
        small = [("From", "<a@example.org>"), ("Subject", "small")]
        rows = [
            ("header section past the file-size limit", [("X-Filler", "h" * 1000)] * 80, b"body\r\n"),
            ("body past the file-size limit", small, b"0123456789abcdef" * 4096),
        ]
        deferred = "451 4.3.0 Temporary failure while storing the message, please try again later"
        for name, headers, body in rows:
            for reused in (False, True):
                with self.subTest(name, reused=reused):
                    client = MilterClient(sock)
                    self.addCleanup(client.s.close)
                    self.assertEqual(client.steps & 0xC8080, 0xC8080)  # recipients, headers, eoh, body
                    self.assertEqual(client.connect("192.0.2.53")[0], "c")
                    self.assertEqual(client.helo("mx.example")[0], "c")
                    if reused:
                        self.assertEqual(client.mail("<first@example.org>")[0], "c")
                        self.assertEqual(client.message("<rcpt@example.net>", small, b"first\r\n")[0], "c")
                        client.quit_nc()
                        self.assertEqual(client.connect("192.0.2.54")[0], "c")
                        self.assertEqual(client.helo("mx.example")[0], "c")
                    self.assertEqual(client.mail("<big@example.org>")[0], "c")
                    self.assertEqual(reply_text(client.message("<rcpt@example.net>", headers, body)), deferred)
                    # The connection goes on.
                    self.assertEqual(client.mail("<next@example.org>")[0], "c")
                    self.assertEqual(client.message("<rcpt@example.net>", small, b"next\r\n")[0], "c")
                    client.close()
        wait_for(lambda: self.count("mlfi_close") == 6, 10, what="every close")
        self.assertEqual(sum(1 for m in self.sb.messages()
                             if m.endswith(" could not be written (File too large): message deferred")), 4)
        self.assertEqual([m for m in self.sb.messages() if "claimed not to reply" in m], [])
        self.assertIsNone(proc.popen.poll(), "the filter died")
        self.assert_no_spool_files()
        self.assertEqual(proc.stop(), 0)

    def test_memory_is_bounded_and_pressure_defers(self):
        self.start(["-I", "-T"])

        def status(key):
            with open("/proc/%d/status" % self.milter.pid) as f:
                return next(int(l.split()[1]) for l in f if l.startswith(key + ":")) * 1024

        # 20 MiB of header lines go to the spool file as they come: the
        # filter's peak memory grows by far less.
        before = status("VmRSS")
        self.lua("""
local conn = open("192.0.2.69")
check(mt.mailfrom(conn, "<headers@example.org>") == nil, "mailfrom")
local value = string.rep("h", 1000)
for i = 1, 20 * 1024 do check(mt.header(conn, "X-Filler", value) == nil, "header") end
check(mt.eoh(conn) == nil, "eoh")
check(mt.bodystring(conn, "body\\r\\n") == nil, "body")
check(mt.eom(conn) == nil, "eom")
mt.disconnect(conn)
""")
        self.assertLess(status("VmHWM") - before, 8 << 20)

        # The address space capped (RLIMIT_AS, as `ulimit -v` sets it) a few
        # MiB above what the filter uses: a message whose recipients outgrow
        # that is deferred by the callback's guard instead of ending the
        # process (an exception into libmilter used to abort it). Recipients
        # get no reply: the deferral comes at end of message.
        size = status("VmSize")
        resource.prlimit(self.milter.pid, resource.RLIMIT_AS, (size + (8 << 20), resource.RLIM_INFINITY))
        r = self.lua("""
local conn = open("192.0.2.70")
check(mt.mailfrom(conn, "<many@example.org>") == nil, "mailfrom")
local rcpt = "<" .. string.rep("r", 1000) .. "@example.net>"
-- No answer tells when memory ran out: all go (glibc's thread arenas grow
-- inside address space already reserved, so far more than 8 MiB may fit).
for n = 1, 200000 do check(mt.rcptto(conn, rcpt) == nil, "rcptto") end
check(mt.header(conn, "From", "many") == nil, "header")
check(mt.eom(conn) == nil, "eom")
local r = mt.getreply(conn)
check(r == SMFIR_REPLYCODE, "recipient not deferred: " .. r)
mt.disconnect(conn)
""")
        self.sb.wait_for_log("mlfi_envrcpt: internal error (std::bad_alloc), deferred")
        self.sb.wait_for_log("mlfi_close")
        self.assertIsNone(self.milter.popen.poll(), "the filter died")
        resource.prlimit(self.milter.pid, resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        self.lua("""
local conn = open("192.0.2.71")
message(conn, "<after@example.org>", "fine\\r\\n")
check(mt.eom(conn) == nil, "eom")
mt.disconnect(conn)
""")
        self.assert_no_spool_files()
        self.assertEqual(self.milter.stop(), 0)

    def test_stop_while_a_message_waits_leaves_no_spool_file(self):
        # libmilter returns from its loop about 5 s after SIGTERM whatever its
        # sessions are doing; a message still waiting for its daemon must end
        # (or lose its spool file) before the process does.
        self.standin = self.sb.start_standin({"ipd": 0, "asd": 0}, scripts={"asd": "@silent\n"})
        self.milter = self.sb.start_milter(["-d", "ALL", "-Z", str(self.standin.ports["ipd"]),
                                            "-z", str(self.standin.ports["asd"])])
        client = MilterClient(self.sb.milter_socket())
        self.addCleanup(client.s.close)
        client.connect("192.0.2.60")
        client.helo("mx.example")
        client.mail("<late@example.org>")
        client._send(b"R", b"<rcpt@example.net>\0")
        # Whether libmilter answers these steps depends on the negotiation;
        # nothing here needs the answers.
        client._send(b"L", b"From\0late\0")
        client._send(b"N")
        client._send(b"B", b"body\r\n")
        client._send(b"E")  # end of message: the filter now waits for tavasd
        wait_for(lambda: any(name.endswith("-asd.request") for name, _ in self.sb.recorded(self.standin)),
                 10, what="the classification request")
        self.assertEqual(len(self.sb.spool_files()), 1)
        # Stray signals while the filter waits for that message (libmilter's
        # loop has returned about 5 s after SIGTERM) are still taken by its
        # own thread: SIGUSR1 logs the counters, a second SIGTERM is harmless.
        self.milter.send(signal.SIGTERM)
        time.sleep(7)
        self.milter.send(signal.SIGUSR1)
        self.sb.wait_for_log("counters: ")
        self.assertEqual(self.milter.stop(timeout=40), 0)
        self.assertEqual(self.sb.spool_files(), [])
        self.assertIn("tav-milter %s exiting" % harness.VERSION, self.sb.messages())


if __name__ == "__main__":
    harness.main()
