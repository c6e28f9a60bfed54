"""Start-up, exit statuses and the run of the real binary."""

import os
import signal
import socket
import stat

from harness import MILTER, VERSION, SandboxTest, main, wait_for

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")

# LOG_MAIL | LOG_ERR: every line the filter writes.
PRIORITY = 2 * 8 + 3

SESSION = """
conn = mt.connect(sock, 40, 0.25)
if conn == nil then error("cannot connect to the filter") end
if mt.conninfo(conn, "client.example", "192.0.2.10") ~= nil then error("conninfo failed") end
if mt.getreply(conn) ~= SMFIR_CONTINUE then error("connect not continued") end
if mt.helo(conn, "client.example") ~= nil then error("helo failed") end
if mt.getreply(conn) ~= SMFIR_CONTINUE then error("helo not continued") end
if mt.mailfrom(conn, "<sender@example.org>") ~= nil then error("mailfrom failed") end
mt.echo("mail reply " .. mt.getreply(conn))
mt.disconnect(conn)
"""


def readme_help():
    """The help text as the README shows it, in the code block under "Command line"."""
    with open(README) as f:
        text = f.read()
    section = text.split("\n## Command line\n", 1)[1]
    block = section.split("```\n", 2)[1]
    return block


def make_stale_socket(path):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.bind(path)
    s.close()


def accepts(path):
    """True when something listens on the unix socket at `path` (a stale file refuses)."""
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        s.connect(path)
        return True
    except OSError:
        return False
    finally:
        s.close()


def process_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A zombie still answers signal 0; its state tells it apart.
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except FileNotFoundError:
        return False


class CommandLine(SandboxTest):
    def test_no_arguments_prints_help_and_exits_64(self):
        r = self.sb.run([MILTER])
        self.assertEqual(r.returncode, 64)
        self.assertEqual(r.stdout.count("\n"), 84)
        self.assertEqual(r.stdout, readme_help())
        self.assertEqual(r.stderr, "")

    def test_unknown_option_complains_then_prints_help(self):
        r = self.sb.run([MILTER, "-x", "-p", "/s"])
        self.assertEqual(r.returncode, 64)
        self.assertIn("invalid option -- 'x'", r.stderr)
        self.assertEqual(r.stdout, readme_help())

    def test_errors_found_while_parsing_exit_1_without_help(self):
        cases = [
            (["-d", "BOGUS"], 'Invalid debug token "BOGUS"\n'),
            (["-i", "10.0.0.0/8,", "-p", "/s"], 'Could not parse "" as a network\n'),
            (["-p", "/s", "-h", "no-such-host.invalid"],
             'Could not resolve host "no-such-host.invalid" to an IPv4 address\n'),
            (["-p", "/s", "-h", "127.0.0.1,[::1]:99999"], 'Bad port "99999" in daemon entry "[::1]:99999"\n'),
        ]
        for args, err in cases:
            with self.subTest(args=args):
                r = self.sb.run([MILTER] + args)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stderr, err)
                self.assertEqual(r.stdout, "")


class StartUp(SandboxTest):
    def path(self, name):
        return os.path.join(self.sb.dir, name)

    def test_no_engine_left_exits_1_after_pidfile_and_sample_dir(self):
        pidfile, samples = self.path("t.pid"), self.path("samples")
        old = os.umask(0o022)
        try:
            r = self.sb.run([MILTER, "-A", "-I", "-V", "-p", self.path("s.sock"), "-P", pidfile, "-D", samples])
        finally:
            os.umask(old)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, "Atleast one Tavoren engine must be enabled\n")
        self.assertEqual(open(pidfile).read(), "")
        self.assertEqual(stat.S_IMODE(os.stat(samples).st_mode), 0o770)

    def test_detached_process_writes_its_pid_and_stops_on_sigterm(self):
        pidfile, sock = self.path("t.pid"), self.path("d.sock")
        r = self.sb.run([MILTER, "-f", "-P", pidfile, "-p", "unix:" + sock, "-D", self.path("samples")])
        self.assertEqual(r.returncode, 0)
        text = wait_for(lambda: open(pidfile).read() if os.path.exists(pidfile) else "", what="pidfile")
        self.assertRegex(text, r"^\d+\n$")
        pid = int(text)
        self.addCleanup(lambda: process_alive(pid) and os.kill(pid, signal.SIGKILL))
        self.assertTrue(process_alive(pid))
        self.sb.wait_for_log("tav-milter %s starting" % VERSION)
        self.assertEqual(self.sb.log_lines()[-1].pid, pid)
        os.kill(pid, signal.SIGTERM)
        wait_for(lambda: not process_alive(pid), 20, what="the detached filter to stop")
        self.sb.wait_for_log("tav-milter %s exiting" % VERSION)
        self.assertFalse(os.path.exists(pidfile))

    def test_detached_process_keeps_relative_paths_where_they_were_given(self):
        # Detaching moves to "/": a relative pidfile must still be removed at
        # the stop, and relative sample paths must stay in the start directory.
        sock = self.path("r.sock")
        r = self.sb.run([MILTER, "-f", "-P", "rel.pid", "-p", "unix:" + sock, "-D", "relsamples/"],
                        cwd=self.sb.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        pidfile = self.path("rel.pid")
        text = wait_for(lambda: open(pidfile).read() if os.path.exists(pidfile) else "", what="pidfile")
        pid = int(text)
        self.addCleanup(lambda: process_alive(pid) and os.kill(pid, signal.SIGKILL))
        self.assertTrue(os.path.isdir(self.path("relsamples")))
        self.sb.wait_for_log("tav-milter %s starting" % VERSION)
        os.kill(pid, signal.SIGTERM)
        wait_for(lambda: not process_alive(pid), 20, what="the detached filter to stop")
        self.assertFalse(os.path.exists(pidfile))

    def test_planted_link_at_the_pidfile_is_replaced_not_followed(self):
        target = self.path("victim")
        with open(target, "w") as f:
            f.write("keep me\n")
        pidfile = self.path("link.pid")
        os.symlink(target, pidfile)
        r = self.sb.run([MILTER, "-A", "-I", "-V", "-P", pidfile, "-p", "unix:" + self.path("x.sock"),
                         "-D", self.path("samples")])
        self.assertEqual(r.returncode, 1)
        self.assertFalse(os.path.islink(pidfile))
        with open(target) as f:
            self.assertEqual(f.read(), "keep me\n")

    def test_serves_a_milter_client_and_stops_with_0_on_sigterm(self):
        pidfile = self.path("t.pid")
        milter = self.sb.start_milter(["-P", pidfile, "-T", "-d", "MISC"])
        self.assertEqual(open(pidfile).read(), "%d\n" % milter.pid)
        r = self.sb.miltertest(SESSION)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("mail reply", r.stdout)
        self.assertEqual(milter.stop(signal.SIGTERM, 20), 0)
        self.assertFalse(os.path.exists(pidfile))

        messages = self.sb.messages()
        self.assertIn("smfi_register succeeded", messages)
        start = messages.index("tav-milter %s starting" % VERSION)
        self.assertGreater(messages.index("tav-milter %s exiting" % VERSION), start)
        for line in self.sb.log_lines():
            if line.message.startswith("tav-milter %s " % VERSION):
                self.assertEqual((line.priority, line.ident, line.pid), (PRIORITY, "tav-milter", milter.pid))

    def test_socket_that_cannot_be_opened_gives_255(self):
        # libmilter says why only in syslog; standard error says it too.
        for sock, err in [
            ("unix:/nonexistent-dir/x.sock",
             'Could not open the milter socket "unix:/nonexistent-dir/x.sock": No such file or directory\n'),
            ("", 'Could not open the milter socket "" (libmilter\'s syslog lines say why)\n'),
        ]:
            with self.subTest(sock=sock):
                self.sb.clear_log()
                pidfile = self.path("t.pid")
                r = self.sb.run([MILTER, "-p", sock, "-P", pidfile, "-D", self.path("samples")])
                self.assertEqual((r.returncode, r.stderr), (255, err))
                self.sb.wait_for_log("tav-milter %s exiting" % VERSION)
                self.assertIn("tav-milter %s starting" % VERSION, self.sb.messages())
                self.assertFalse(os.path.exists(pidfile))

    def test_stale_socket_file_is_replaced_at_start(self):
        for form in ["", "unix:", "local:"]:
            with self.subTest(form=form):
                sock = self.path("stale%d.sock" % len(form))
                make_stale_socket(sock)
                self.assertFalse(accepts(sock))
                milter = self.sb.start([MILTER, "-p", form + sock, "-D", self.path("samples")])
                wait_for(lambda: accepts(sock) or milter.popen.poll() is not None, what="a listening socket")
                self.assertIsNone(milter.popen.poll(), milter.popen.poll() is None or milter.output())
                r = self.sb.miltertest(SESSION, sock=sock)
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                self.assertEqual(milter.stop(signal.SIGTERM, 20), 0)

    def test_stray_signals_and_a_second_filter_leave_the_first_serving(self):
        pidfile = self.path("t.pid")
        first = self.sb.start_milter(["-P", pidfile, "-T"])
        # Log rotation's SIGUSR1 and other stray signals used to kill it.
        for sig in (signal.SIGUSR1, signal.SIGUSR2, signal.SIGALRM):
            first.send(sig)
        # A second filter with the same pidfile or socket refuses to start
        # and touches nothing of the first.
        cases = [
            (["-P", pidfile, "-p", "unix:" + self.path("other.sock")],
             "Another tav-milter (pid %d) holds pidfile %s\n" % (first.pid, pidfile)),
            (["-P", self.path("other.pid"), "-p", "unix:" + first.socket],
             "Socket unix:%s is in use by another process\n" % first.socket),
            (["-p", first.socket], "Socket %s is in use by another process\n" % first.socket),
        ]
        for args, err in cases:
            with self.subTest(args=args):
                r = self.sb.run([MILTER, "-D", self.path("samples")] + args)
                self.assertEqual((r.returncode, r.stderr), (1, err))
        self.assertIsNone(first.popen.poll())
        self.assertEqual(open(pidfile).read(), "%d\n" % first.pid)
        r = self.sb.miltertest(SESSION)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        # SIGQUIT drains: no session is open, so it exits at once, cleanly,
        # nothing left behind.
        self.assertEqual(first.stop(signal.SIGQUIT, 20), 0)
        self.sb.wait_for_log("Draining on signal SIGQUIT: 0 sessions open")
        self.sb.wait_for_log("Drained: exiting")
        self.sb.wait_for_log("tav-milter %s exiting" % VERSION)
        self.assertFalse(os.path.exists(pidfile))
        self.assertEqual(os.listdir(self.sb.tmp), [])

    def test_other_file_at_the_socket_path_is_kept(self):
        path = self.path("not-a-socket")
        with open(path, "w") as f:
            f.write("data\n")
        r = self.sb.run([MILTER, "-p", path, "-D", self.path("samples")])
        self.assertEqual(r.returncode, 255)
        self.assertEqual(open(path).read(), "data\n")


if __name__ == "__main__":
    main()
