"""The stand-in scanning daemons: rules, scripted misbehaviour, recording."""

import os
import signal
import socket
import subprocess
import time

from harness import STANDIN, SandboxTest, main

HEAD = ("POST %s HTTP/1.0\r\nAccept-Language: en-us\r\nAccept: */*\r\nContent-Length: %d\r\n"
        "Host: 127.0.0.1\r\nUser-Agent: Tavoren HTTP Client\r\n\r\n")


def request(path, body):
    body = body.encode() if isinstance(body, str) else body
    return (HEAD % (path, len(body))).encode() + body


def ipd_body(ip):
    return "x-tvrn-request-type: classifyip\r\nx-tvrn-pver: 1.0\r\n\r\nx-tvrn-ip: %s\r\n\r\n" % ip


def envelope(sender_id=None, rcpts="", filename=None):
    b = "X-TVRN-PVer: 0000001\r\nX-TVRN-MailFrom: <a@example.org>\r\nX-TVRN-SenderIP: 192.0.2.7\r\n"
    if sender_id is not None:
        b += "X-TVRN-SenderID: %s\r\n" % sender_id
    b += "X-TVRN-RcptCount: %s\r\n" % rcpts
    return b + ("X-TVRN-FileName: %s\r\n" % filename if filename else "\r\n")


def exchange(port, data, timeout=5.0):
    """Sends `data`, returns (answer bytes, arrival times of each chunk)."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        chunks, times = [], []
        while True:
            try:
                c = s.recv(65536)
            except ConnectionResetError:
                break
            if not c:
                break
            chunks.append(c)
            times.append(time.monotonic())
        return b"".join(chunks), times


def header(answer, name):
    text = answer.decode("latin-1")
    at = text.find(name + ": ")
    if at < 0:
        return None
    return text[at + len(name) + 2:].split("\r\n", 1)[0]


class StandinTest(SandboxTest):
    def test_ipd_rules_answer_tempfail_permfail_and_pass(self):
        d = self.sb.start_standin({"ipd": 0}, ["--ipd-tempfail", "192.0.2.0/24", "--ipd-permfail", "198.51.100.9",
                                               "--ipd-tempfail", "2001:db8::/32"])
        port = d.ports["ipd"]
        refids = set()
        for ip, action, ipclass in [("192.0.2.200", "tempfail", "suspicious"), ("198.51.100.9", "permfail", "blocked"),
                                    ("198.51.100.10", "pass", "clean"), ("2001:db8::5", "tempfail", "suspicious"),
                                    ("10.1.1.1", "pass", "clean")]:
            answer, _ = exchange(port, request("/tavIPd/iprep", ipd_body(ip)))
            self.assertTrue(answer.startswith(b"HTTP/1.0 200 OK\r\n"), answer)
            self.assertEqual(header(answer, "x-tvrn-dm-action"), action, ip)
            self.assertEqual(header(answer, "x-tvrn-ipclass"), ipclass, ip)
            text = answer.decode()
            tid = text[text.index("x-tvrn-refid:tid=") + 17:].split(";", 1)[0]
            self.assertRegex(tid, r"^IP[0-9A-F]{14}$")
            refids.add(tid)
        self.assertEqual(len(refids), 5)
        answer, _ = exchange(port, request("/tavasd/ClassifyMessage_File", envelope()))
        self.assertTrue(answer.startswith(b"HTTP/1.0 404"))

    def test_asd_markers_in_file_and_inline_mode_and_recorded_spool(self):
        d = self.sb.start_standin({"asd": 0})
        port = d.ports["asd"]
        spool = os.path.join(self.sb.tmp, "spool1")
        with open(spool, "wb") as f:
            f.write(b"Subject: hi\r\n\r\nbuy now TAVTEST-BULK and TAVTEST-HIGH\r\n")
        os.chmod(spool, 0o640)
        file_req = request("/tavasd/ClassifyMessage_File", envelope(filename=spool))
        answer, _ = exchange(port, file_req)
        self.assertEqual((header(answer, "X-TVRN-Spam"), header(answer, "X-TVRN-VOD")), ("Bulk", "High"))
        self.assertEqual(header(answer, "X-TVRN-Rules"), "TAVTEST-BULK,TAVTEST-HIGH")
        self.assertEqual(header(answer, "x-tvrn-request-status"), "0")

        cases = [(b"TAVTEST-CONFIRMED TAVTEST-VIRUS", "Confirmed", "Virus"),
                 (b"TAVTEST-SUSPECTED", "Suspected", "NonVirus"),
                 (b"plain text", "NonSpam", "NonVirus")]
        refids = set()
        for message, spam, vod in cases:
            answer, _ = exchange(port, request("/tavasd/ClassifyMessage_Inline", envelope().encode() + message))
            self.assertEqual((header(answer, "X-TVRN-Spam"), header(answer, "X-TVRN-VOD")), (spam, vod), message)
            self.assertIsNotNone(header(answer, "X-TVRN-Score"))
            refids.add(header(answer, "X-TVRN-RefID"))
        self.assertEqual(len(refids), 3)

        missing = os.path.join(self.sb.tmp, "gone")
        answer, _ = exchange(port, request("/tavasd/ClassifyMessage_File", envelope(filename=missing)))
        self.assertEqual(header(answer, "x-tvrn-request-status"), "2")

        files = sorted(os.listdir(d.record))
        self.assertEqual(files, ["000001-asd.request", "000001-asd.spool", "000001-asd.spool-mode",
                                 "000002-asd.request", "000003-asd.request", "000004-asd.request",
                                 "000005-asd.request", "000005-asd.spool-error"])
        def read(name):
            with open(os.path.join(d.record, name), "rb") as f:
                return f.read()
        self.assertEqual(read("000001-asd.request"), file_req)
        self.assertEqual(read("000001-asd.spool"), b"Subject: hi\r\n\r\nbuy now TAVTEST-BULK and TAVTEST-HIGH\r\n")
        self.assertEqual(read("000001-asd.spool-mode"), b"640\n")
        self.assertEqual(read("000005-asd.spool-error"), b"No such file or directory\n")

    def test_asd_out_counts_per_sender_with_flags_and_lists(self):
        d = self.sb.start_standin({"asd-out": 0}, ["--flag-threshold", "total=2", "--flag-threshold", "virus=1",
                                                   "--whitelist", "boss", "--bluelist", "10.0.0.9"])
        port = d.ports["asd-out"]
        def classify(sender, message, rcpts=""):
            answer, _ = exchange(port, request("/tavasd/ClassifyMessage_Inline",
                                               envelope(sender, rcpts).encode() + message))
            text = answer.decode()
            self.assertLess(text.index("X-TVRN-SenderID: "), text.index("X-TVRN-SenderID-Flags: "))
            names = ["Flags", "TotalMessages", "TotalSpam", "TotalSuspected", "TotalBulk", "TotalConfirmed",
                     "TotalRecipients", "TotalVirus"]
            return answer, [header(answer, "X-TVRN-SenderID"), header(answer, "X-TVRN-SenderID-BlueWhiteFlag")] + \
                [int(header(answer, "X-TVRN-SenderID-" + n)) for n in names]

        _, v = classify("alice", b"TAVTEST-CONFIRMED", "3")
        self.assertEqual(v, ["alice", None, 0, 1, 1, 0, 0, 1, 3, 0])
        _, v = classify("alice", b"TAVTEST-BULK TAVTEST-VIRUS", "2")
        self.assertEqual(v, ["alice", None, (1 << 7) | (1 << 19), 2, 2, 0, 1, 1, 5, 1])
        _, v = classify("boss", b"TAVTEST-SUSPECTED")
        self.assertEqual(v, ["boss", "2", 0, 1, 0, 1, 0, 0, 0, 0])
        _, v = classify("10.0.0.9", b"x")
        self.assertEqual(v[:3], ["10.0.0.9", "1", 0])
        _, v = classify(None, b"x")
        self.assertEqual(v[:2], ["", None])

    def test_scripts_misbehave_then_rules_answer(self):
        script = "\n".join([
            "@# 1: exact bytes with a NUL, HTTP/1.1",
            "HTTP/1.1 200 OK",
            "@raw X-A: 1\\r\\n\\0tail",
            "%%",
            "@# 2: two segments 400 ms apart, request status 3",
            "HTTP/1.0 200 OK",
            "@pause 400",
            "x-tvrn-request-status: 3",
            "",
            "%%",
            "@refuse",
            "%%",
            "@close",
            "%%",
            "@# 5: the rules' answer, late and padded out",
            "@delay 0.5",
            "%%",
            "HTTP/1.0 200 OK",
            "X-Pad: \\x41",
            "@pad 3000",
            "",
            "%%",
            "@split 10 300",
            "",
        ])
        d = self.sb.start_standin({"ipd": 0}, ["--ipd-permfail", "192.0.2.1"], scripts={"ipd": script})
        port = d.ports["ipd"]
        req = request("/tavIPd/iprep", ipd_body("192.0.2.1"))

        answer, _ = exchange(port, req)
        self.assertEqual(answer, b"HTTP/1.1 200 OK\r\nX-A: 1\r\n\0tail")
        answer, times = exchange(port, req)
        self.assertEqual(answer, b"HTTP/1.0 200 OK\r\nx-tvrn-request-status: 3\r\n\r\n")
        self.assertEqual(len(times), 2)
        self.assertGreater(times[1] - times[0], 0.3)
        answer, _ = exchange(port, req)  # refused: closed before reading
        self.assertEqual(answer, b"")
        answer, _ = exchange(port, req)  # read, then closed
        self.assertEqual(answer, b"")
        t0 = time.monotonic()
        answer, _ = exchange(port, req)
        self.assertGreater(time.monotonic() - t0, 0.45)
        self.assertEqual(header(answer, "x-tvrn-dm-action"), "permfail")
        answer, _ = exchange(port, req)
        self.assertEqual(len(answer), len("HTTP/1.0 200 OK\r\nX-Pad: A\r\n\r\n") + 3000)
        answer, times = exchange(port, req)
        self.assertEqual(len(times), 2)
        self.assertEqual(answer[:10], b"HTTP/1.0 2")
        self.assertEqual(header(answer, "x-tvrn-dm-action"), "permfail")
        answer, _ = exchange(port, req)  # script used up: rules
        self.assertEqual(header(answer, "x-tvrn-dm-action"), "permfail")
        # The refused connection recorded nothing; the others are numbered in order.
        names = [n for n, _ in self.sb.recorded(d)]
        self.assertEqual(names, ["%06d-ipd.request" % i for i in range(1, 8)])
        self.assertTrue(all(raw == req for _, raw in self.sb.recorded(d)))

    def test_silent_answer_holds_until_stop_and_stop_is_clean(self):
        d = self.sb.start_standin({"asd": 0, "ipd": 0}, scripts={"asd": "@silent\n"})
        s = socket.create_connection(("127.0.0.1", d.ports["asd"]), timeout=1.0)
        s.sendall(request("/tavasd/ClassifyMessage_Inline", envelope() + "m"))
        with self.assertRaises(socket.timeout):
            s.recv(100)
        t0 = time.monotonic()
        self.assertEqual(d.stop(signal.SIGTERM), 0)
        self.assertLess(time.monotonic() - t0, 5)
        s.close()

    def test_bad_command_lines_are_refused(self):
        for argv in [[], ["--listen", "smtp=0"], ["--listen", "ipd=0", "--ipd-tempfail", "300.1.1.1"],
                     ["--listen", "ipd=0.0.0.0:0"], ["--listen", "ipd=0", "--flag-threshold", "odd=3"],
                     ["--listen", "ipd=0", "--record", "/nonexistent/dir"]]:
            r = subprocess.run([STANDIN] + argv, capture_output=True, text=True, timeout=10)
            self.assertEqual(r.returncode, 64, argv)
        bad = os.path.join(self.sb.dir, "bad.script")
        with open(bad, "w") as f:
            f.write("HTTP/1.0 200 OK\n@bogus\n")
        r = subprocess.run([STANDIN, "--listen", "ipd=0", "--script", "ipd=" + bad], capture_output=True, text=True,
                           timeout=10)
        self.assertEqual(r.returncode, 64)
        self.assertIn("line 2: unknown directive @bogus", r.stderr)


if __name__ == "__main__":
    main()
