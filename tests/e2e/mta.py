"""Real mail servers around tav-milter, for the end-to-end tests, the
demonstration and the throughput benchmark.

Postfix: a private instance run from a configuration directory made under
a caller's directory from the templates in postfix/ (main.cf, master.cf)
plus postfix/milter.cf, the snippet the README quotes, with its milter
address replaced. It listens on one loopback port, keeps its own queue and
mail log, never reads /etc/postfix, and relays everything to an smtp-sink
that keeps each message in a file.

Sendmail: the binaries of Debian's packages unpacked next to Postfix (they
conflict as packages), with a private .cf built with m4 from sendmail/ and
the snippet sendmail/milter.mc, run in a private mount namespace whose
/etc/hosts gives the machine a qualified name.

swaks() sends one message and returns every reply the client saw.

Typical use (with a harness.Sandbox `sb` running tav-milter):

    sink = SmtpSink(sb.dir); sink.start()
    mx = Postfix(sb.dir, "unix:" + sock, sink.port); mx.start()
    r = swaks(mx.port, "a@example.org", "b@example.net", body="hello")
    delivered = mx.delivered(r.queue_id, sink)
    mx.stop(); sink.stop()
"""

import glob
import os
import pty
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "integration"))
import harness  # noqa: E402

POSTFIX_TEMPLATES = os.path.join(HERE, "postfix")
SENDMAIL_TEMPLATES = os.path.join(HERE, "sendmail")
# The milter address written in the snippets the README quotes; the tests
# put their own socket in its place.
SNIPPET_MILTER_UNIX = "unix:/tav-milter/tav-milter.sock"
SNIPPET_MILTER_INET = "inet:8890@127.0.0.1"
# Where scripts/install-deps leaves Sendmail's packages.
SENDMAIL_DEBS = "/var/cache/tav-milter/sendmail"


def snippet(path):
    with open(path) as f:
        return f.read()


def postfix_missing():
    """Why Postfix cannot run here, or None."""
    for prog in ("postfix", "smtp-sink", "swaks"):
        if not shutil.which(prog) and not os.path.exists("/usr/sbin/" + prog):
            return "%s is not installed (scripts/install-deps installs it)" % prog
    try:
        pwd.getpwnam("postfix")
    except KeyError:
        return "there is no user postfix"
    return None


def postfix_uid():
    return pwd.getpwnam("postfix").pw_uid


def _run_with_tty(argv, timeout=60):
    """Runs argv with its output on a pseudo-terminal: Postfix's commands
    write their fatal errors to standard error only when it is a terminal."""
    master, slave = pty.openpty()
    try:
        proc = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=slave, stderr=slave, timeout=timeout)
    finally:
        os.close(slave)
    out = b""
    while True:
        try:
            data = os.read(master, 65536)
        except OSError:
            break
        if not data:
            break
        out += data
    os.close(master)
    return proc.returncode, out.decode("utf-8", "replace")


def _children(pid):
    """Every descendant of pid that is alive now."""
    parents = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        ppid = int(stat.rsplit(")", 1)[1].split()[1])
        parents.setdefault(ppid, []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        for child in parents.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    # A zombie counts as gone.
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def _stop_pids(pids, timeout=10.0):
    """Waits for pids to end; kills what is left after `timeout`."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and any(_alive(p) for p in pids):
        time.sleep(0.05)
    for p in pids:
        if _alive(p):
            try:
                os.kill(p, signal.SIGKILL)
            except OSError:
                pass


class SmtpSink:
    """Postfix's smtp-sink on a loopback port, keeping every message it
    receives in a file of its own under `root`/sink (with keep=False it
    discards them: the benchmark measures the filter, not the sink's disk)."""

    def __init__(self, root, port=None, keep=True):
        self.dir = os.path.join(root, "sink")
        self.port = port or harness.free_port()
        self.keep = keep
        self.popen = None

    def start(self):
        os.makedirs(self.dir, exist_ok=True)
        os.chown(self.dir, postfix_uid(), -1)
        dump = ["-d", os.path.join(self.dir, "%Y%m%d%H%M%S.")] if self.keep else []
        self.popen = subprocess.Popen(
            ["smtp-sink", "-u", "postfix"] + dump + ["127.0.0.1:%d" % self.port, "256"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        harness.wait_for_port(self.port)
        return self

    def messages(self):
        """The text of every kept message, oldest first."""
        texts = []
        for path in sorted(glob.glob(os.path.join(self.dir, "*"))):
            with open(path, "rb") as f:
                texts.append(f.read().decode("utf-8", "replace"))
        return texts

    def find(self, pattern, timeout=20.0):
        """The first kept message matching the regular expression; waits for it."""
        rx = re.compile(pattern)

        def found():
            for text in self.messages():
                if rx.search(text):
                    return text
            return None
        return harness.wait_for(found, timeout, what="message matching %r in the sink" % pattern)

    def stop(self):
        if self.popen and self.popen.poll() is None:
            self.popen.terminate()
            try:
                self.popen.wait(10)
            except subprocess.TimeoutExpired:
                self.popen.kill()
                self.popen.wait()


class Postfix:
    """A private Postfix instance under `root`/postfix.

    milter: the address for smtpd_milters ("unix:/path" or "inet:host:port",
    "" for none), put in place of the snippet's own. extra: more main.cf
    lines. services: more master.cf lines (the benchmark's extra smtpd
    listeners, each with its own smtpd_milters).
    """

    def __init__(self, root, milter, sink_port, port=None, extra="", services=""):
        self.dir = os.path.join(root, "postfix")
        self.etc = os.path.join(self.dir, "etc")
        self.port = port or harness.free_port()
        self.milter = milter
        self.sink_port = sink_port
        self.extra = extra
        self.services = services
        self.master_pid = None

    @property
    def maillog_path(self):
        return os.path.join(self.dir, "maillog")

    def configure(self):
        os.makedirs(self.etc, exist_ok=True)
        for sub in ("queue", "data"):
            os.makedirs(os.path.join(self.dir, sub), exist_ok=True)
        os.chown(os.path.join(self.dir, "data"), postfix_uid(), -1)
        fields = {"@DIR@": self.dir, "@SINK_PORT@": str(self.sink_port), "@SMTP_PORT@": str(self.port)}

        def fill(text):
            for k, v in fields.items():
                text = text.replace(k, v)
            return text

        milter_cf = snippet(os.path.join(POSTFIX_TEMPLATES, "milter.cf"))
        if SNIPPET_MILTER_UNIX not in milter_cf:
            raise AssertionError("postfix/milter.cf no longer names %s" % SNIPPET_MILTER_UNIX)
        milter_cf = milter_cf.replace(SNIPPET_MILTER_UNIX, self.milter)
        with open(os.path.join(self.etc, "main.cf"), "w") as f:
            f.write(fill(snippet(os.path.join(POSTFIX_TEMPLATES, "main.cf"))))
            f.write("\n" + milter_cf)
            if self.extra:
                f.write("\n" + self.extra + "\n")
        with open(os.path.join(self.etc, "master.cf"), "w") as f:
            f.write(fill(snippet(os.path.join(POSTFIX_TEMPLATES, "master.cf"))))
            if self.services:
                f.write(self.services + "\n")

    def postfix(self, *args):
        return _run_with_tty(["postfix", "-c", self.etc] + list(args))

    def start(self):
        self.configure()
        rc, out = self.postfix("start")
        if rc != 0:
            raise AssertionError("postfix start failed (%d): %s\n%s" % (rc, out, self.maillog()))
        pidfile = os.path.join(self.dir, "queue", "pid", "master.pid")
        def master_pid():
            try:
                with open(pidfile) as f:
                    return int(f.read().strip())
            except (OSError, ValueError):
                return None
        self.master_pid = harness.wait_for(master_pid, 10, what="Postfix master pid")
        harness.wait_for_port(self.port)
        return self

    def stop(self):
        """Stops the instance and waits until none of its processes is left."""
        if self.master_pid is None:
            return
        pids = [self.master_pid] + _children(self.master_pid)
        self.postfix("stop")
        _stop_pids(pids)
        self.master_pid = None

    def submit(self, sender, rcpt, message):
        """Submits a message locally with Postfix's sendmail command (the
        non_smtpd_milters path: pickup, then cleanup asks the milters)."""
        proc = subprocess.run(["sendmail", "-C", self.etc, "-f", sender, "--", rcpt],
                              input=message, capture_output=True, text=True, timeout=60)
        if proc.returncode != 0:
            raise AssertionError("sendmail -C failed (%d): %s %s" % (proc.returncode, proc.stdout, proc.stderr))

    def maillog(self):
        try:
            with open(self.maillog_path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def wait_for_maillog(self, pattern, timeout=20.0):
        rx = re.compile(pattern)
        return harness.wait_for(lambda: rx.search(self.maillog()), timeout,
                                what="mail log line %r" % pattern)

    def delivered(self, queue_id, sink, timeout=20.0):
        """The message with this queue id as the sink received it."""
        self.wait_for_maillog(r"%s: to=<[^>]*>.*status=sent" % re.escape(queue_id), timeout)
        # Postfix's own Received line names the queue id ("with ESMTP id",
        # "with ESMTPA id" for an authenticated session).
        return sink.find(r"\(Postfix\) with \w+ id %s\b" % re.escape(queue_id), timeout)


class Unavailable(Exception):
    """A mail server cannot run on this machine; the text says why."""


def sendmail_missing():
    """Why Sendmail cannot run here, or None."""
    for deb in ("sendmail-bin", "sendmail-base", "sendmail-cf"):
        if not glob.glob(os.path.join(SENDMAIL_DEBS, deb + "_*.deb")):
            return ("Debian's %s package is not in %s (scripts/install-deps downloads it; "
                    "Sendmail conflicts with Postfix, so it is unpacked, not installed)" % (deb, SENDMAIL_DEBS))
    for prog in ("m4", "dpkg-deb", "unshare", "smtp-sink", "swaks"):
        if not shutil.which(prog):
            return "%s is not installed" % prog
    if not glob.glob("/usr/lib/x86_64-linux-gnu/libwrap.so.0*") and not glob.glob("/lib/*/libwrap.so.0*"):
        return "libwrap0 is not installed"
    return None


class Sendmail:
    """A private Sendmail run from Debian's unpacked packages under
    `root`/sendmail, in the sandbox's namespace (its syslog lines land in
    the sandbox) with a private /etc/hosts that gives the host a qualified
    name. milter: the S= address for INPUT_MAIL_FILTER, put in place of the
    snippet's own."""

    def __init__(self, sb, milter, sink_port, port=None):
        self.sb = sb
        self.dir = os.path.join(sb.dir, "sendmail")
        self.port = port or harness.free_port()
        self.milter = milter
        self.sink_port = sink_port
        self.proc = None

    def configure(self):
        pkgroot = os.path.join(self.dir, "root")
        os.makedirs(pkgroot, exist_ok=True)
        for deb in sorted(glob.glob(os.path.join(SENDMAIL_DEBS, "sendmail-*.deb"))):
            subprocess.run(["dpkg-deb", "-x", deb, pkgroot], check=True)
        self.binary = os.path.join(pkgroot, "usr", "libexec", "sendmail", "sendmail")
        ldd = subprocess.run(["ldd", self.binary], capture_output=True, text=True)
        lost = [line.split()[0] for line in ldd.stdout.splitlines() if "not found" in line]
        if lost:
            raise Unavailable("Sendmail's libraries are not installed: %s" % ", ".join(lost))
        queue = os.path.join(self.dir, "mqueue")
        os.makedirs(queue, exist_ok=True)
        os.chmod(queue, 0o700)
        for name in ("aliases", "helpfile"):
            open(os.path.join(self.dir, name), "a").close()
        host = socket.gethostname().split(".")[0]
        self.hosts = os.path.join(self.dir, "hosts")
        with open(self.hosts, "w") as f:
            f.write("127.0.0.1\t%s.tav-test.example %s localhost\n::1\tlocalhost\n" % (host, host))
        milter_mc = snippet(os.path.join(SENDMAIL_TEMPLATES, "milter.mc"))
        if SNIPPET_MILTER_INET not in milter_mc:
            raise AssertionError("sendmail/milter.mc no longer names %s" % SNIPPET_MILTER_INET)
        milter_path = os.path.join(self.dir, "milter.mc")
        with open(milter_path, "w") as f:
            f.write(milter_mc.replace(SNIPPET_MILTER_INET, self.milter))
        fields = {"@CF@": os.path.join(pkgroot, "usr", "share", "sendmail", "cf"), "@DIR@": self.dir,
                  "@SINK_PORT@": str(self.sink_port), "@SMTP_PORT@": str(self.port),
                  "@HOSTNAME@": "mx.tav-test.example", "@MILTER_MC@": milter_path}
        mc = snippet(os.path.join(SENDMAIL_TEMPLATES, "sendmail.mc"))
        for k, v in fields.items():
            mc = mc.replace(k, v)
        mc_path = os.path.join(self.dir, "sendmail.mc")
        with open(mc_path, "w") as f:
            f.write(mc)
        self.cf = os.path.join(self.dir, "sendmail.cf")
        with open(self.cf, "w") as f:
            subprocess.run(["m4", mc_path], stdout=f, stderr=subprocess.DEVNULL, check=True)

    def start(self):
        self.configure()
        argv = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                'mount --bind "$0" /dev && mount --bind "$1" /etc/hosts && mount --bind "$2" /etc/resolv.conf'
                ' && shift 2 && exec "$@"',
                self.sb.dev, self.hosts, self.sb.resolv, self.binary, "-C", self.cf, "-bD", "-q1m"]
        self.proc = self.sb.start(argv, name="sendmail", logged=False)
        harness.wait_for(lambda: self.proc.popen.poll() is not None or _port_open(self.port), 30,
                         what="Sendmail's port")
        if self.proc.popen.poll() is not None:
            out, err = self.proc.output()
            raise AssertionError("sendmail ended at start (%s): %s %s" % (self.proc.popen.returncode, out, err))
        return self

    def stop(self):
        if self.proc is None:
            return
        pids = [self.proc.pid] + _children(self.proc.pid)
        self.proc.send(signal.SIGTERM)
        _stop_pids(pids)
        self.proc.stop()
        self.proc = None

    def delivered(self, queue_id, sink, timeout=20.0):
        """The message with this queue id as the sink received it."""
        return sink.find(r"\(8\.[0-9.]+/[0-9.]+\) with \w+ id %s\b" % re.escape(queue_id), timeout)


def processes_using(path):
    """Processes whose command line, working directory or open files name
    something under `path`: what a run may have left behind."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit() or int(pid) == os.getpid():
            continue
        names = []
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                names += f.read().decode("utf-8", "replace").split("\0")
            names.append(os.readlink("/proc/%s/cwd" % pid))
            for fd in os.listdir("/proc/%s/fd" % pid):
                names.append(os.readlink("/proc/%s/fd/%s" % (pid, fd)))
        except OSError:
            pass
        if any(n == path or n.startswith(path + "/") for n in names) and _alive(int(pid)):
            found.append(int(pid))
    return found


def _port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


class SmtpResult:
    """What one SMTP client session saw."""

    def __init__(self, returncode, output):
        self.returncode = returncode
        self.output = output
        # (code, text) of every reply, continuation lines joined by newlines.
        self.replies = []
        self.errors = []  # the replies swaks marked as unexpected
        self.refused_command = None  # the command that got the first of them
        command = None
        for line in output.splitlines():
            if line.startswith(" -> ") and command != "DATA":
                command = line[4:].strip()
                if command.upper().startswith(("DATA", "BDAT")):
                    command = "DATA"
            m = re.match(r"^(<-|<\*\*) +(\d{3})([ -])(.*)$", line)
            if not m:
                continue
            reply = (m.group(2), m.group(4))
            self.replies.append(reply)
            if m.group(1) == "<**":
                if not self.errors:
                    self.refused_command = command
                self.errors.append(reply)
        # Postfix: "250 2.0.0 Ok: queued as ID"; Sendmail: "250 2.0.0 ID Message accepted".
        m = (re.search(r"<-  250 .*queued as ([0-9A-Za-z]+)", output)
             or re.search(r"<-  250 \S+ ([0-9A-Za-z]+) Message accepted", output))
        self.queue_id = m.group(1) if m else None

    @property
    def accepted(self):
        return self.queue_id is not None and not self.errors

    @property
    def refusal(self):
        """The first refused command's reply as "code text", or None."""
        return " ".join(self.errors[0]) if self.errors else None

    def __repr__(self):
        return "SmtpResult(%r)" % self.output


def swaks(port, sender, rcpt, subject="A test message", body="Hello.\n", headers=(),
          helo="client.example", xclient=None, timeout=60, data=None):
    """Sends one message over SMTP to 127.0.0.1:port with swaks.

    xclient: the XCLIENT attributes ("ADDR=192.0.2.5 LOGIN=alice") that make
    Postfix present the session as another client. data: a whole message
    text instead of swaks' own headers plus `body`.
    """
    argv = ["swaks", "--server", "127.0.0.1", "--port", str(port), "--helo", helo,
            "--from", sender, "--to", rcpt, "--timeout", "30"]
    if data is not None:
        argv += ["--data", data]
    else:
        argv += ["--header", "Subject: " + subject, "--body", body]
        for h in headers:
            argv += ["--add-header", h]
    if xclient:
        argv += ["--xclient", xclient]
    proc = subprocess.run(argv, capture_output=True, text=True, timeout=timeout)
    return SmtpResult(proc.returncode, proc.stdout + proc.stderr)


def header_block(message):
    """The header lines of a message as (name, value) pairs, unfolded, in order."""
    head = message.replace("\r\n", "\n").split("\n\n", 1)[0]
    fields = []
    for line in head.split("\n"):
        if line[:1] in (" ", "\t") and fields:
            fields[-1] = (fields[-1][0], fields[-1][1] + " " + line.strip())
        elif ":" in line:
            name, value = line.split(":", 1)
            fields.append((name, value.strip()))
    return fields


def start_standin(sb, extra=(), record=False):
    """Starts tav-standin with its three roles on free loopback ports.

    Returns (process, ports) with ports a dict ipd/asd/asd-out -> port.
    """
    proc = sb.start_standin({"ipd": 0, "asd": 0, "asd-out": 0}, args=list(extra), record=record)
    return proc, proc.ports


def milter_daemon_args(ports):
    """tav-milter options that point it at stand-in daemons on `ports`."""
    return ["-Z", str(ports["ipd"]), "-z", str(ports["asd"]), "--tavasd-outbound-port", str(ports["asd-out"])]


def postfix_milter_dirs(root):
    """A socket directory and a sample directory that tav-milter running as
    user postfix (-u postfix) can write and smtpd can reach."""
    run = os.path.join(root, "run")
    samples = os.path.join(root, "samples")
    for d in (run, samples):
        os.makedirs(d, exist_ok=True)
        os.chown(d, postfix_uid(), -1)
        os.chmod(d, 0o755)
    return run, samples
