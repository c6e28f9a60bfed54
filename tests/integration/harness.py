"""Shared fixtures for the integration tests.

Sandbox: a temporary directory plus a private /dev whose /dev/log is a
datagram socket read by the test, so every syslog line of the processes it
starts can be asserted without a system syslog daemon. Processes run through
`unshare --mount` with that /dev bound over the real one.

Typical use:

    with Sandbox() as sb:
        milter = sb.start_milter(["-d", "ALL"])
        sb.miltertest(script)
        milter.stop()
        assert "tav-milter %s exiting" % VERSION in sb.messages()

Needs root (mount namespaces), python3, unshare and miltertest.
"""

import os
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

MILTER = os.environ.get("TAV_MILTER", "tav-milter")
STANDIN = os.environ.get("TAV_STANDIN", "tav-standin")
MILTERTEST = shutil.which("miltertest") or "/usr/bin/miltertest"


def _changelog_version():
    """The version of the top entry of debian/changelog, the one source of it."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "debian", "changelog")
    with open(path) as f:
        return re.match(r"tav-milter \(([^)]+)\) ", f.readline()).group(1)


VERSION = _changelog_version()

_SYSLOG_RE = re.compile(r"^<(\d+)>(\w{3} [ \d]\d \d\d:\d\d:\d\d) ([^:\[]+)(?:\[(\d+)\])?: ?(.*)$", re.S)


class LogLine:
    """One syslog datagram, split into its parts."""

    def __init__(self, raw):
        self.raw = raw
        m = _SYSLOG_RE.match(raw)
        if m:
            self.priority = int(m.group(1))
            self.ident = m.group(3)
            self.pid = int(m.group(4)) if m.group(4) else None
            self.message = m.group(5)
        else:
            self.priority, self.ident, self.pid, self.message = None, None, None, raw

    def __repr__(self):
        return "LogLine(%r)" % self.raw


def free_port():
    """A TCP port on 127.0.0.1 that is free right now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout=10.0, interval=0.02, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    raise AssertionError("timed out after %.1fs waiting for %s" % (timeout, what))


def wait_for_port(port, host="127.0.0.1", timeout=10.0):
    def ready():
        try:
            with socket.create_connection((host, port), timeout=0.5):
                return True
        except OSError:
            return False
    wait_for(ready, timeout, what="port %d" % port)


def milter_listening(conn):
    """True when the socket named by a -p text ("unix:/path", "local:/path",
    a plain path, "inet:PORT@HOST") is there to connect to. For inet this
    opens and closes one connection."""
    if conn.startswith("inet:"):
        port, _, host = conn[len("inet:"):].partition("@")
        try:
            with socket.create_connection((host or "127.0.0.1", int(port)), timeout=0.5):
                return True
        except (OSError, ValueError):
            return False
    path = conn.split(":", 1)[1] if conn.startswith(("unix:", "local:")) else conn
    return os.path.exists(path)


class Process:
    """A started process that is stopped (and reaped) when the sandbox closes."""

    def __init__(self, popen, name):
        self.popen = popen
        self.name = name

    @property
    def pid(self):
        return self.popen.pid

    def send(self, sig):
        if self.popen.poll() is None:
            self.popen.send_signal(sig)

    def stop(self, sig=signal.SIGTERM, timeout=15.0):
        """Sends `sig` and waits; returns the exit status (negative: killed by a signal)."""
        if self.popen.poll() is None:
            self.popen.send_signal(sig)
            try:
                self.popen.wait(timeout)
            except subprocess.TimeoutExpired:
                self.popen.kill()
                self.popen.wait()
        return self.popen.returncode

    def output(self):
        """Standard output and error, after the process has ended."""
        out, err = self.popen.communicate()
        return out, err


class Sandbox:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="tavtest.")
        os.chmod(self.dir, 0o755)
        self.dev = os.path.join(self.dir, "dev")
        os.mkdir(self.dev)
        for node in ("null", "zero", "urandom", "random", "full"):
            subprocess.run(["cp", "-a", "/dev/" + node, self.dev], check=True)
        os.symlink("/proc/self/fd", os.path.join(self.dev, "fd"))
        self.resolv = os.path.join(self.dir, "resolv.conf")
        with open(self.resolv, "w") as f:
            f.write("nameserver 127.0.0.1\noptions attempts:1 timeout:1\n")
        self.tmp = os.path.join(self.dir, "tmp")  # TMPDIR of the filter: its spool files
        os.mkdir(self.tmp)
        os.chmod(self.tmp, 0o1777)
        self._log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._log.bind(os.path.join(self.dev, "log"))
        os.chmod(os.path.join(self.dev, "log"), 0o666)
        self._lines = []
        self._lock = threading.Lock()
        self._closing = False
        self._reader = threading.Thread(target=self._read_log, daemon=True)
        self._reader.start()
        self._processes = []

    # -- logging ---------------------------------------------------------
    def _read_log(self):
        while not self._closing:
            try:
                ready, _, _ = select.select([self._log], [], [], 0.2)
            except (OSError, ValueError):
                return
            if ready:
                with self._lock:
                    if not self._take_log():
                        return

    def _take_log(self):
        """Moves every datagram waiting on the log socket into the lines, in
        order; the caller holds the lock. False once the socket is closed."""
        while True:
            try:
                data = self._log.recv(65536, socket.MSG_DONTWAIT)
            except BlockingIOError:
                return True
            except OSError:
                return False
            self._lines.append(LogLine(data.decode("utf-8", "replace").rstrip("\n\0")))

    def log_lines(self):
        # A line the filter wrote before its reply may still wait on the
        # socket when the reply has arrived: take it first.
        with self._lock:
            self._take_log()
            return list(self._lines)

    def messages(self):
        """The message texts of every syslog line so far, in arrival order."""
        return [l.message for l in self.log_lines()]

    def wait_for_log(self, text, timeout=10.0):
        """Waits for a line containing `text` (or matching a compiled regex)."""
        def found():
            for m in self.messages():
                if (text.search(m) if hasattr(text, "search") else text in m):
                    return m
            return None
        return wait_for(found, timeout, what="log line %r" % (text,))

    def clear_log(self):
        with self._lock:
            self._take_log()
            self._lines.clear()

    # -- processes -------------------------------------------------------
    def wrap(self, argv):
        """argv run in a mount namespace whose /dev and /etc/resolv.conf are
        this sandbox's: syslog comes to the test, and no name lookup can
        leave the machine (the only name server is 127.0.0.1, where none
        listens)."""
        return ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                'mount --bind "$0" /dev && mount --bind "$1" /etc/resolv.conf && shift && exec "$@"',
                self.dev, self.resolv] + list(argv)

    def run(self, argv, timeout=60, env=None, **kw):
        """Runs argv to its end inside the sandbox; returns CompletedProcess (text)."""
        return subprocess.run(self.wrap(argv), capture_output=True, text=True,
                              timeout=timeout, env=self._env(env), **kw)

    def start(self, argv, name=None, env=None, logged=True, **kw):
        """Starts argv in the background (inside the sandbox when `logged`)."""
        popen = subprocess.Popen(self.wrap(argv) if logged else list(argv),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 text=True, env=self._env(env), **kw)
        proc = Process(popen, name or os.path.basename(argv[0]))
        self._processes.append(proc)
        return proc

    def _env(self, extra):
        env = dict(os.environ)
        env["TMPDIR"] = self.tmp
        if extra:
            env.update(extra)
        return env

    def milter_socket(self):
        return os.path.join(self.dir, "milter.sock")

    def start_milter(self, args, sock=None, wait=True, conn=None, env=None):
        """Starts tav-milter on a unix socket in the sandbox with extra `args`.

        conn: a whole -p text instead ("inet:PORT@127.0.0.1", "unix:/path");
        the wait is then for that socket to accept connections. env: variables
        set on top of the sandbox's (its TMPDIR, for one).
        """
        sock = sock or self.milter_socket()
        conn = conn or "unix:" + sock
        proc = self.start([MILTER, "-p", conn, "-D", os.path.join(self.dir, "samples/")] + list(args),
                          name="tav-milter", env=env)
        proc.socket = sock
        proc.conn = conn
        if wait:
            wait_for(lambda: milter_listening(conn) or proc.popen.poll() is not None,
                     10, what="milter socket")
            if proc.popen.poll() is not None:
                out, err = proc.output()
                raise AssertionError("tav-milter ended at start (%s): %s %s" % (proc.popen.returncode, out, err))
        return proc

    def miltertest(self, script, sock=None, timeout=60, variables=None):
        """Runs a miltertest Lua script against the filter's socket.

        The script sees the socket as the global `sock` and each of
        `variables` (a dict) as a global of its own. Returns CompletedProcess.
        """
        sock = sock or self.milter_socket()
        prologue = "sock = %s\n" % _lua_str("unix:" + sock)
        for k, v in (variables or {}).items():
            prologue += "%s = %s\n" % (k, _lua_str(v) if isinstance(v, str) else v)
        path = os.path.join(self.dir, "script.lua")
        with open(path, "w") as f:
            f.write(prologue + script)
        return subprocess.run([MILTERTEST, "-s", path], capture_output=True, text=True, timeout=timeout)

    def start_standin(self, listen, args=(), scripts=None, record=True):
        """Starts tav-standin on loopback and waits until every port listens.

        `listen` maps a role ("ipd", "asd", "asd-out") to a port (0: any free
        port), or to "ADDR:PORT" text ("[::1]:0" listens on IPv6 loopback); `scripts` maps a role to script text (README, "The stand-in
        scanning daemons"). Returns the Process with `.ports` (role -> port)
        and `.record` (directory of recorded requests, or None).
        """
        n = len([p for p in self._processes if p.name == "tav-standin"])
        base = os.path.join(self.dir, "standin%d" % n)
        os.mkdir(base)
        argv = [STANDIN, "--ready-file", os.path.join(base, "ready")]
        for role, port in listen.items():
            argv += ["--listen", "%s=%s" % (role, port)]
        for role, text in (scripts or {}).items():
            path = os.path.join(base, "%s.script" % role)
            with open(path, "w") as f:
                f.write(text)
            argv += ["--script", "%s=%s" % (role, path)]
        record_dir = None
        if record:
            record_dir = os.path.join(base, "record")
            os.mkdir(record_dir)
            argv += ["--record", record_dir]
        proc = self.start(argv + list(args), name="tav-standin", logged=False)
        ready = os.path.join(base, "ready")
        wait_for(lambda: os.path.exists(ready) or proc.popen.poll() is not None, 10, what="stand-in ready file")
        if proc.popen.poll() is not None:
            out, err = proc.output()
            raise AssertionError("tav-standin ended at start (%s): %s %s" % (proc.popen.returncode, out, err))
        with open(ready) as f:
            proc.ports = dict(line.strip().split("=", 1) for line in f if line.strip())
        proc.ports = {role: int(port) for role, port in proc.ports.items()}
        proc.record = record_dir
        return proc

    def recorded(self, standin, suffix=".request"):
        """Recorded files of a stand-in with `suffix`, in arrival order: [(name, bytes)]."""
        names = sorted(n for n in os.listdir(standin.record) if n.endswith(suffix))
        out = []
        for n in names:
            with open(os.path.join(standin.record, n), "rb") as f:
                out.append((n, f.read()))
        return out

    def spool_files(self):
        """Files the filter has left in its temporary directory."""
        return sorted(os.listdir(self.tmp))

    # -- lifetime ----------------------------------------------------------
    def close(self):
        for p in reversed(self._processes):
            p.stop(signal.SIGKILL if p.popen.poll() is None and p.name != "tav-milter" else signal.SIGTERM)
            for pipe in (p.popen.stdout, p.popen.stderr):
                if pipe:
                    pipe.close()
        self._closing = True
        self._reader.join(2)
        self._log.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def _lua_str(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


class SandboxTest(unittest.TestCase):
    """A TestCase with a fresh Sandbox per test as self.sb."""

    def setUp(self):
        self.sb = Sandbox()
        self.addCleanup(self.sb.close)


def main():
    unittest.main(verbosity=2)
