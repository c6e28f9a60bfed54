"""The package, deployed the way a Debian admin deploys it.

One test walks the whole path: build the package from the tree
(dpkg-buildpackage, then lintian), install it, check its units with
systemd-analyze, configure Debian's own Postfix from its packaged master.cf
(smtpd and cleanup chrooted) by following README.Debian word for word, start
tav-milter as tav-milter.service would (its user, umask, directories,
environment and command line, with a NOTIFY_SOCKET the test owns), send mail
over SMTP and by local submission and find the verdict headers and the
packaged defaults' verdict line in syslog, serve the packaged metrics file
through Debian's node_exporter (as user prometheus, linked as README.Debian
says), run the manual page's "By hand" example as written, start the service
again the way tav-milter.socket would (systemd-socket-activate) with a quoted
OPTIONS value holding a blank, then purge the package and check that nothing
of it is left (files, directories, the node_exporter link, user and group).

The stand-in scanning daemons run as user nobody in group tav-milter: the
spool files must be readable by a daemon in the filter's group, by path.

It changes the machine (a package, a user and group, /etc/postfix, Debian's
Postfix on port 25) and puts it back as it was, also when it fails. CTest
runs it alone (RUN_SERIAL).
"""

import glob
import grp
import os
import pwd
import re
import shlex
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(HERE, "..", "integration"))
import harness  # noqa: E402
import mta  # noqa: E402

UNITS = "/lib/systemd/system"
SOCKET_PATH = "/var/spool/postfix/tav-milter/tav-milter.sock"
METRICS_FILE = "/var/lib/tav-milter/metrics/tav-milter.prom"
TEXTFILE_DIR = "/var/lib/prometheus/node-exporter"  # node_exporter's default
CHECK_PLUGIN = "/usr/lib/nagios/plugins/tav-milter-check"
# Where a name containing "tav-milter" may appear once the package is in.
PACKAGE_ROOTS = ("/etc", "/lib/systemd", "/usr/lib/tmpfiles.d", "/usr/sbin", "/usr/share/man/man8",
                 "/usr/share/doc", "/var/lib", "/var/spool/postfix", "/run")
# Trees that Postfix and user administration write to; restored at the end.
RESTORED_TREES = ("/etc/postfix", "/var/spool/postfix", "/var/lib/postfix")
ACCOUNT_FILES = [p + s for p in ("/etc/passwd", "/etc/group", "/etc/shadow", "/etc/gshadow") for s in ("", "-")]


def contents(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


def run(argv, timeout=300, **kw):
    proc = subprocess.run(argv, capture_output=True, text=True, timeout=timeout, **kw)
    if proc.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (" ".join(argv), proc.returncode, proc.stdout, proc.stderr))
    return proc.stdout


def why_not_here():
    """Why the test cannot run on this machine, or None."""
    if os.geteuid() != 0:
        return "needs root"
    for prog in ("git", "dpkg-buildpackage", "lintian", "systemd-analyze", "systemd-socket-activate",
                 "setpriv", "postfix", "smtp-sink", "swaks", "man", "prometheus-node-exporter"):
        if not shutil.which(prog):
            return "%s is not installed (scripts/install-deps installs it)" % prog
    if os.path.isdir("/run/systemd/system"):
        return "systemd runs here: it would start the packaged service itself"
    if subprocess.run(["dpkg-query", "-W", "tav-milter"], capture_output=True).returncode == 0:
        return "a tav-milter package is installed (or its configuration is left)"
    if mta._port_open(25):
        return "port 25 is in use"
    return None


def snapshot(root):
    """Every path under root with its type, mode, owner and (files) contents."""
    found = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            st = os.lstat(path)
            data = contents(path, "rb") if stat.S_ISREG(st.st_mode) else None
            found[path] = (st.st_mode, st.st_uid, st.st_gid, data)
    return found


def restore(root, before):
    """Puts root back as snapshot() found it: removes what is new, rewrites
    changed files (directories and sockets of Postfix come back at its next
    start)."""
    for path in sorted(snapshot(root), reverse=True):
        if path not in before:
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path, ignore_errors=True)
            elif os.path.lexists(path):
                os.unlink(path)
    for path, (mode, uid, gid, data) in before.items():
        if data is not None:
            with open(path, "wb") as f:
                f.write(data)
            os.chown(path, uid, gid)
            os.chmod(path, stat.S_IMODE(mode))


def named_tav_milter():
    found = set()
    for root in PACKAGE_ROOTS:
        for dirpath, dirnames, filenames in os.walk(root):
            found.update(os.path.join(dirpath, n) for n in dirnames + filenames if "tav-milter" in n)
    return found


def unit(path):
    """A unit file as {section: [(key, value), ...]}, in order."""
    sections, current = {}, None
    for line in contents(path).splitlines():
        line = line.strip()
        if line.startswith("["):
            current = sections.setdefault(line.strip("[]"), [])
        elif line and not line.startswith("#"):
            key, _, value = line.partition("=")
            current.append((key, value))
    return sections


def first(entries, key, default=None):
    return next((v for k, v in entries if k == key), default)


def environment_file(path):
    """KEY=VALUE lines as systemd reads them (quotes removed)."""
    env = {}
    for line in contents(path).splitlines():
        line = line.strip()
        if line and not line.startswith("#"):
            key, _, value = line.partition("=")
            env[key] = " ".join(shlex.split(value))
    return env


def service_start(service):
    """What systemd would run for [Service]: (argv, env, umask, user, group).

    The unit's command line may use "$$" (a literal "$" for the shell) and
    "$VAR" as a word of its own, which systemd replaces by the variable's
    value split at blanks, quotes respected and removed (shlex's POSIX
    rules); other forms of systemd's expansion are not emulated."""
    env = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"}
    for key, value in service:
        if key == "Environment":
            for item in shlex.split(value):
                k, _, v = item.partition("=")
                env[k] = v
        elif key == "EnvironmentFile":
            path = value.lstrip("-")
            if os.path.exists(path) or not value.startswith("-"):
                env.update(environment_file(path))
    command = first(service, "ExecStart")
    argv = []
    for word in shlex.split(command):
        if re.fullmatch(r"\$[A-Za-z_]\w*", word):
            argv += shlex.split(env.get(word[1:], ""))
        elif re.search(r"\$(?!\$)", word.replace("$$", "")):
            raise AssertionError("ExecStart uses systemd's variable expansion in a form this test does not emulate")
        else:
            argv.append(word.replace("$$", "$"))
    return argv, env, int(first(service, "UMask", "0022"), 8), first(service, "User"), first(service, "Group")


def make_service_directories(service, user, group):
    """RuntimeDirectory= and StateDirectory=, as systemd creates them."""
    uid, gid = pwd.getpwnam(user).pw_uid, grp.getgrnam(group).gr_gid
    for key, base in (("RuntimeDirectory", "/run"), ("StateDirectory", "/var/lib")):
        mode = int(first(service, key + "Mode", "0755"), 8)
        for name in (first(service, key, "")).split():
            path = os.path.join(base, name)
            os.makedirs(path, exist_ok=True)
            os.chown(path, uid, gid)
            os.chmod(path, mode)


def as_user(user, group, argv):
    return ["setpriv", "--reuid", user, "--regid", group, "--init-groups", "--"] + argv


def with_env(env, argv):
    """argv with exactly env as its environment."""
    return ["env", "-i"] + ["%s=%s" % kv for kv in env.items()] + argv


def readme_debian_block(containing):
    """The indented block of README.Debian that holds `containing`, as lines."""
    text = contents(os.path.join(TOP, "debian", "README.Debian"))
    for block in re.finditer(r"(?m)(?:^    .*\n)+", text):
        if containing in block.group(0):
            return [line[4:] for line in block.group(0).splitlines()]
    raise AssertionError("README.Debian has no block with %r" % containing)


def man_page_example(title):
    """The literal block of the installed manual page's subsection `title`,
    as a shell would read it."""
    text = run(["sh", "-c", "zcat -f /usr/share/man/man8/tav-milter.8*"])
    section = text.split("\n.Ss %s\n" % title, 1)[1]
    block = section.split("\n.Bd -literal -offset indent\n", 1)[1].split("\n.Ed\n", 1)[0]
    return block.replace("\\e", "\\") + "\n"


def process_with_cmdline(prefix):
    """The id of the process whose command line begins with `prefix`."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if contents("/proc/%s/cmdline" % pid, "rb").startswith(prefix):
                return int(pid)
        except OSError:
            pass  # ended meanwhile
    raise AssertionError("no process runs %r" % prefix)


def prometheus_text(body):
    """{(name, frozenset of label pairs): value} of an exposition."""
    samples = {}
    for line in body.splitlines():
        m = re.match(r"^(\w+)(?:\{(.*)\})? (\S+)$", line)
        if m:
            labels = frozenset(re.findall(r'(\w+)="([^"]*)"', m.group(2) or ""))
            samples[(m.group(1), labels)] = float(m.group(3))
    return samples


def readme_debian_postfix():
    """README.Debian's Postfix section: (main.cf lines, commands), its two
    indented blocks."""
    text = contents(os.path.join(TOP, "debian", "README.Debian"))
    section = re.search(r"^Postfix \(chrooted[^\n]*\n-+\n(.*?)\n\S[^\n]*\n-+\n", text, re.S | re.M).group(1)
    blocks = [m.group(0) for m in re.finditer(r"(?m)(?:^    .*\n)+", section)]
    if len(blocks) != 2:
        raise AssertionError("README.Debian's Postfix section should have two blocks, has %d" % len(blocks))
    main_cf, commands = ([line[4:] for line in b.splitlines()] for b in blocks)
    return main_cf, commands


class NotifySocket:
    """A datagram socket for NOTIFY_SOCKET, owned by the test."""

    def __init__(self, directory):
        self.path = os.path.join(directory, "notify")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        os.chmod(self.path, 0o666)
        self.received = []

    def wait(self, assignment, timeout=20.0):
        deadline = time.monotonic() + timeout
        while assignment not in self.received:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no %s from the service; got %r" % (assignment, self.received))
            self.sock.settimeout(left)
            try:
                self.received += self.sock.recv(4096).decode().split("\n")
            except socket.timeout:
                pass

    def close(self):
        self.sock.close()


class Deployment(unittest.TestCase):
    def setUp(self):
        reason = why_not_here()
        if reason:
            self.skipTest(reason)
        self.sb = harness.Sandbox()
        self.addCleanup(self.sb.close)
        self.notify = NotifySocket(self.sb.dir)
        self.addCleanup(self.notify.close)
        self.before_names = named_tav_milter()
        self.before_accounts = {p: contents(p, "rb") for p in ACCOUNT_FILES if os.path.exists(p)}
        self.before_trees = {root: snapshot(root) for root in RESTORED_TREES}
        self.postfix_running = False
        self.services = []
        # Cleanups run last-in first-out: the filter and Postfix stop, then the
        # package goes (its user must be unused), then the machine is restored.
        self.addCleanup(self.restore_machine)
        self.addCleanup(self.purge)
        self.addCleanup(self.stop_postfix)
        self.addCleanup(self.stop_services)

    # -- putting the machine back ----------------------------------------------
    def stop_services(self):
        for proc in self.services:
            proc.stop(timeout=40)

    def stop_postfix(self):
        if self.postfix_running:
            mta._run_with_tty(["postfix", "stop"])
            self.postfix_running = False
            # master's children go with it; wait for the port to close.
            harness.wait_for(lambda: not mta._port_open(25), 20, what="Postfix to stop")

    def purge(self):
        if subprocess.run(["dpkg-query", "-W", "tav-milter"], capture_output=True).returncode == 0:
            subprocess.run(["dpkg", "--purge", "tav-milter"], capture_output=True)

    def restore_machine(self):
        for path, data in self.before_accounts.items():
            if contents(path, "rb") != data:
                with open(path, "wb") as f:
                    f.write(data)
        for root, before in self.before_trees.items():
            restore(root, before)
        for path in sorted(named_tav_milter() - self.before_names, reverse=True):
            if os.path.isdir(path):
                shutil.rmtree(path, ignore_errors=True)
            else:
                os.unlink(path)

    # -- steps -------------------------------------------------------------------
    def build_package(self):
        """Builds the package from a copy of the tree; returns the .deb."""
        work = tempfile.mkdtemp(prefix="tav-deb.", dir=self.sb.dir)
        src = os.path.join(work, "tav-milter")
        files = run(["git", "-C", TOP, "ls-files", "-co", "--exclude-standard"]).split("\n")
        for rel in filter(None, files):
            if rel.startswith("build") or not os.path.isfile(os.path.join(TOP, rel)):
                continue
            os.makedirs(os.path.dirname(os.path.join(src, rel)), exist_ok=True)
            shutil.copy2(os.path.join(TOP, rel), os.path.join(src, rel))
        run(["dpkg-buildpackage", "-us", "-uc"], cwd=src, timeout=900,
            env=dict(os.environ, DEB_BUILD_OPTIONS="parallel=2"))
        # Clean, or each override explained in debian/tav-milter.lintian-overrides.
        changes = glob.glob(os.path.join(work, "*.changes"))[0]
        tags = subprocess.run(["lintian", "--fail-on", "error,warning,info", "-I", changes],
                              capture_output=True, text=True)
        found = [l for l in tags.stdout.splitlines() if re.match(r"^[EWIPX]: ", l)]
        self.assertEqual((tags.returncode, found), (0, []), tags.stdout + tags.stderr)
        return glob.glob(os.path.join(work, "tav-milter_*.deb"))[0]

    def check_installed(self):
        tav = pwd.getpwnam("tav-milter")
        self.assertIn("postfix", grp.getgrnam("tav-milter").gr_mem)
        st = os.stat(os.path.dirname(SOCKET_PATH))
        self.assertEqual((st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)), (tav.pw_uid, tav.pw_gid, 0o750))
        # One version: the package's is the one the binary reports.
        version = run(["dpkg-query", "-W", "-f", "${Version}", "tav-milter"])
        shown = subprocess.run(["/usr/sbin/tav-milter"], capture_output=True, text=True).stdout.split("\n")[0]
        self.assertEqual((shown, version), ("tav-milter - Version " + harness.VERSION, harness.VERSION))
        conffiles = run(["dpkg-query", "-W", "-f", "${Conffiles}", "tav-milter"])
        self.assertIn("/etc/default/tav-milter", conffiles)
        self.assertTrue(os.path.islink("/etc/systemd/system/multi-user.target.wants/tav-milter.service"))
        # Socket activation is the default: the socket outlives restarts of the
        # service, and an upgrade restarts the service only.
        self.assertTrue(os.path.islink("/etc/systemd/system/sockets.target.wants/tav-milter.socket"))
        postinst = contents("/var/lib/dpkg/info/tav-milter.postinst")
        self.assertRegex(postinst, r"deb-systemd-invoke start 'tav-milter.socket'")
        self.assertNotRegex(postinst, r"deb-systemd-invoke \S*restart\S* 'tav-milter.socket'")
        self.assertRegex(postinst, r"_dh_action=restart[\s\S]*deb-systemd-invoke \$_dh_action 'tav-milter.service'")
        verify = subprocess.run(["systemd-analyze", "verify", UNITS + "/tav-milter.service",
                                 UNITS + "/tav-milter.socket"], capture_output=True, text=True)
        self.assertEqual((verify.returncode, verify.stdout + verify.stderr), (0, ""))

    def start_standin(self):
        """The scanning daemons as user nobody in group tav-milter: File mode
        works only if the spool files are readable to the filter's group."""
        self.record = os.path.join(self.sb.dir, "standin")
        os.mkdir(self.record)
        os.chown(self.record, pwd.getpwnam("nobody").pw_uid, -1)
        ready = os.path.join(self.record, "ready")
        argv = ["setpriv", "--reuid", "nobody", "--regid", "nogroup", "--groups", "tav-milter", "--",
                harness.STANDIN, "--listen", "ipd=0", "--listen", "asd=0", "--ready-file", ready,
                "--record", self.record]
        proc = self.sb.start(argv, name="tav-standin", logged=False)
        harness.wait_for(lambda: os.path.exists(ready) or proc.popen.poll() is not None, 10, what="stand-in")
        if proc.popen.poll() is not None:
            raise AssertionError("tav-standin ended at start: %s %s" % proc.output())
        return {role: int(port) for role, port in (l.split("=") for l in contents(ready).split())}

    def configure_filter(self, ports, more=""):
        """What the admin edits in /etc/default/tav-milter: the daemons' ports
        in the packaged OPTIONS, whose other values (verdict lines, metrics)
        stay as shipped; `more` goes at the end of OPTIONS."""
        text = contents("/etc/default/tav-milter")
        options = re.search(r'(?m)^OPTIONS="(.*)"$', text).group(1)
        self.assertIn("-d MISC", options, "the packaged defaults log the verdicts")
        self.assertIn("--metrics-file " + METRICS_FILE, options)
        for flag, port in (("-z", ports["asd"]), ("-Z", ports["ipd"])):
            options, n = re.subn(r"(?<!\S)%s \d+" % flag, "%s %d" % (flag, port), options)
            self.assertEqual(n, 1, flag)
        text, n = re.subn(r"(?m)^OPTIONS=.*$", lambda m: 'OPTIONS="%s%s"' % (options, more), text)
        self.assertEqual(n, 1)
        with open("/etc/default/tav-milter", "w") as f:
            f.write(text)

    def configure_postfix(self, sink_port):
        """Debian's packaged master.cf and main.cf with this site's own
        settings, then README.Debian's Postfix steps."""
        master_cf = "/usr/share/postfix/master.cf.dist"
        for service in ("smtp      inet", "cleanup   unix"):
            line = next(l for l in contents(master_cf).splitlines() if l.startswith(service))
            self.assertEqual(line.split()[4], "y", "stock master.cf: %s is chrooted" % service.split()[0])
        shutil.copy(master_cf, "/etc/postfix/master.cf")
        shutil.copy("/usr/share/postfix/main.cf.debian", "/etc/postfix/main.cf")
        maillog = os.path.join(self.sb.dir, "maillog")
        site = ["myhostname=mx.tav-deploy.example", "mydestination=", "inet_interfaces=loopback-only",
                "inet_protocols=ipv4", "relayhost=[127.0.0.1]:%d" % sink_port, "alias_maps=",
                "alias_database=", "maillog_file=" + maillog, "maillog_file_prefixes=" + self.sb.dir]
        run(["postconf", "-e"] + site)
        rc, out = mta._run_with_tty(["postfix", "start"])
        self.assertEqual(rc, 0, out)
        self.postfix_running = True
        harness.wait_for_port(25, timeout=20)

        main_cf, commands = readme_debian_postfix()
        with open("/etc/postfix/main.cf", "a") as f:
            f.write("\n".join(main_cf) + "\n")
        for command in commands:
            rc, out = mta._run_with_tty(["sh", "-c", command])
            self.assertEqual(rc, 0, "%s: %s" % (command, out))
        return maillog

    def start_service(self, service, socket_unit=None):
        """tav-milter as tav-milter.service starts it; with socket_unit, as
        tav-milter.socket hands it its listener (systemd-socket-activate
        listens, and the socket gets the unit's owner and mode as systemd
        gives them). Returns the process."""
        argv, env, umask, user, group = service_start(service)
        make_service_directories(service, user, group)
        env["NOTIFY_SOCKET"] = self.notify.path
        self.notify.received = []
        if socket_unit is None:
            proc = self.sb.start(with_env(env, as_user(user, group, argv)), name="tav-milter", umask=umask, cwd="/")
            self.services.append(proc)
            return proc
        listen = first(socket_unit, "ListenStream")
        if os.path.lexists(listen):
            os.unlink(listen)  # systemd replaces a socket file left at the path
        activate = ["systemd-socket-activate", "-l", listen]
        for kv in env.items():
            activate += ["-E", "%s=%s" % kv]
        proc = self.sb.start(activate + as_user(user, group, argv), name="tav-milter", umask=umask, cwd="/")
        self.services.append(proc)
        harness.wait_for(lambda: os.path.exists(listen), 10, what="the socket unit's listener")
        os.chown(listen, pwd.getpwnam(first(socket_unit, "SocketUser")).pw_uid,
                 grp.getgrnam(first(socket_unit, "SocketGroup")).gr_gid)
        os.chmod(listen, int(first(socket_unit, "SocketMode"), 8))
        return proc

    def stop_service(self, proc, service):
        """As systemd stops it: the unit's KillSignal (the drain)."""
        proc.send(signal.Signals[first(service, "KillSignal", "SIGTERM")])
        self.notify.wait("STOPPING=1")
        self.assertEqual(proc.popen.wait(40), 0)

    def send_and_check(self, sink, maillog, marker):
        """One message over SMTP and one submitted locally (pickup, then the
        chrooted cleanup asks the filter): both tagged Bulk."""
        r = mta.swaks(25, "sender@example.org", "smtp-%s@example.net" % marker, body="TAVTEST-BULK\n")
        self.assertTrue(r.accepted, "%s\n%s" % (r.output, contents(maillog)))
        subprocess.run(["sendmail", "-f", "sender@example.org", "local-%s@example.net" % marker],
                       input="To: local-%s@example.net\nSubject: local\n\nTAVTEST-BULK\n" % marker,
                       text=True, check=True, timeout=60)
        for rcpt in ("smtp", "local"):
            message = sink.find(r"(?m)^To: <?%s-%s@" % (rcpt, marker), timeout=30)
            headers = dict(mta.header_block(message))
            self.assertEqual(headers.get("X-Velkara-Spam"), "Bulk", message)
            self.assertEqual(headers.get("X-Spam-Flag"), "YES", message)
            self.assertRegex(headers.get("X-TVRN-RefID", ""), r"\S", message)
        self.sb.wait_for_log(re.compile(r"\[ASVOD\] IN .*Spam: Bulk.*Action: tag, QueueId: %s" % r.queue_id))
        verdicts = [m for m in self.sb.messages() if m.startswith("[ASVOD]") and m.endswith(" " + r.queue_id)]
        self.assertEqual(len(verdicts), 1, "one verdict line per message")
        # File mode, in the unit's TMPDIR, read by a daemon of the filter's group.
        requests = [contents(p) for p in glob.glob(os.path.join(self.record, "*-asd.request"))]
        self.assertTrue(requests)
        for request in requests:
            self.assertIn("X-TVRN-FileName: /var/lib/tav-milter/spool/tavmilt.", request)

    def start_node_exporter(self):
        """Debian's node_exporter as its service runs it (user prometheus), on
        a loopback port, its textfile collector alone reading its default
        directory, after README.Debian's link to the metrics file."""
        for line in readme_debian_block("/var/lib/prometheus/node-exporter"):
            run(["sh", "-c", line])
        port = harness.free_port()
        argv = as_user("prometheus", "prometheus", [
            "prometheus-node-exporter", "--web.listen-address=127.0.0.1:%d" % port,
            "--collector.disable-defaults", "--collector.textfile",
            "--collector.textfile.directory=" + TEXTFILE_DIR])
        proc = self.sb.start(argv, name="node_exporter", logged=False)
        harness.wait_for_port(port, timeout=20)
        self.node_exporter = "http://127.0.0.1:%d/metrics" % port
        return proc

    def scrape(self):
        with urllib.request.urlopen(self.node_exporter, timeout=10) as answer:
            return prometheus_text(answer.read().decode())

    def check_metrics(self, service, messages):
        """The packaged metrics file, readable by node_exporter's user but not
        the spool, served with no scrape error once it counts `messages`."""
        rw = [p.lstrip("-") for p in " ".join(v for k, v in service if k == "ReadWritePaths").split()]
        rw += [os.path.join("/var/lib", d) for d in first(service, "StateDirectory", "").split()]
        self.assertTrue(any(os.path.dirname(METRICS_FILE).startswith(p) for p in rw),
                        "ProtectSystem=strict: the service may not write %s" % METRICS_FILE)
        for path, mode in (("/var/lib/tav-milter", 0o755), (os.path.dirname(METRICS_FILE), 0o755),
                           (METRICS_FILE, 0o644), ("/var/lib/tav-milter/spool", 0o750)):
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), mode, path)
        denied = subprocess.run(as_user("prometheus", "prometheus", ["ls", "/var/lib/tav-milter/spool"]),
                                capture_output=True, text=True)
        self.assertNotEqual(denied.returncode, 0, "node_exporter's user reads no spool")
        tagged = (("action", "tag"), ("direction", "inbound"))

        def counted():
            samples = self.scrape()
            if samples.get(("tav_milter_messages_total", frozenset(tagged))) == messages:
                return samples
            return None
        samples = harness.wait_for(counted, 25, interval=1, what="the tagged messages in node_exporter")
        self.assertEqual(samples[("node_textfile_scrape_error", frozenset())], 0)
        self.assertGreaterEqual(len([k for k in samples if k[0].startswith("tav_milter_")]), 50)

    def run_by_hand(self):
        """The manual page's "By hand" example, as written, beside the
        running service: it serves on its own socket until SIGINT."""
        example = man_page_example("By hand")
        sock = re.search(r"-p unix:(\S+)", example).group(1)
        self.sb.clear_log()
        proc = self.sb.start(["sh", "-c", example], name="by-hand", env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"})
        harness.wait_for(lambda: harness.milter_listening("unix:" + sock) or proc.popen.poll() is not None,
                         20, what="the By-hand filter's socket")
        self.assertIsNone(proc.popen.poll(), proc.popen.poll() is None or proc.output())
        st = os.stat(sock)
        self.assertEqual((stat.S_IMODE(st.st_mode), grp.getgrgid(st.st_gid).gr_name), (0o770, "tav-milter"))
        check = subprocess.run([CHECK_PLUGIN, "-p", "unix:" + sock, "-A", "-I"], capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        pid = process_with_cmdline(b"tav-milter\0-p\0unix:" + sock.encode())
        uids = re.search(r"(?m)^Uid:\s+(.*)$", contents("/proc/%d/status" % pid)).group(1).split()
        self.assertEqual(set(uids), {str(pwd.getpwnam("tav-milter").pw_uid)})
        os.kill(pid, signal.SIGINT)  # Control-C
        self.assertEqual(proc.popen.wait(40), 0)
        out, err = proc.output()
        self.assertEqual((out, err), ("", ""))
        self.sb.wait_for_log("tav-milter %s exiting" % harness.VERSION)

    # -- the test ------------------------------------------------------------------
    def test_package_service_postfix_purge(self):
        started = time.monotonic()
        deb = self.build_package()
        built = time.monotonic()
        run(["dpkg", "-i", deb])
        self.check_installed()
        service = unit(UNITS + "/tav-milter.service")["Service"]
        socket_unit = unit(UNITS + "/tav-milter.socket")["Socket"]

        ports = self.start_standin()
        self.configure_filter(ports)
        sink = mta.SmtpSink(self.sb.dir)
        self.addCleanup(sink.stop)
        sink.start()

        # The service: READY=1 only once the socket accepts.
        proc = self.start_service(service)
        self.notify.wait("READY=1")
        with socket.socket(socket.AF_UNIX) as s:
            s.connect(SOCKET_PATH)
        st = os.stat(SOCKET_PATH)
        self.assertEqual((stat.S_IMODE(st.st_mode), grp.getgrgid(st.st_gid).gr_name), (0o770, "tav-milter"))
        self.assertIn("STATUS=Accepting connections on unix:" + SOCKET_PATH, self.notify.received)
        uids = re.search(r"(?m)^Uid:\s+(.*)$", contents("/proc/%d/status" % proc.pid)).group(1).split()
        self.assertEqual(set(uids), {str(pwd.getpwnam("tav-milter").pw_uid)}, "root is never kept")

        exporter = self.start_node_exporter()
        maillog = self.configure_postfix(sink.port)
        self.send_and_check(sink, maillog, "service")
        self.check_metrics(service, 2)
        self.assertFalse([m for m in self.sb.messages() if m.startswith("Ignoring ")])
        self.run_by_hand()  # beside the service
        self.stop_service(proc, service)
        self.assertEqual(os.listdir("/var/lib/tav-milter/spool"), [])

        # The socket unit: systemd holds the listener, the service gets -p fd:3.
        # A quoted value with a blank in OPTIONS stays one word.
        spaced = os.path.join(os.path.dirname(METRICS_FILE), "tav milter.prom")
        self.configure_filter(ports, more=" --metrics-file '%s'" % spaced)
        proc = self.start_service(service, socket_unit)
        self.send_and_check(sink, maillog, "socket")
        self.notify.wait("READY=1")
        self.assertIn("\0-p\0fd:3\0", contents("/proc/%d/cmdline" % proc.pid))
        self.assertTrue(os.path.exists(spaced))
        self.assertFalse([m for m in self.sb.messages() if m.startswith("Ignoring ")])
        self.stop_service(proc, service)

        self.stop_postfix()
        run(["dpkg", "--purge", "tav-milter"])
        self.assertNotEqual(subprocess.run(["dpkg-query", "-W", "tav-milter"], capture_output=True).returncode, 0)
        self.assertEqual(named_tav_milter() - self.before_names, set())
        for name, db in (("user", pwd.getpwnam), ("group", grp.getgrnam)):
            with self.assertRaises(KeyError, msg="%s tav-milter is left" % name):
                db("tav-milter")
        self.assertFalse(os.path.lexists("/var/lib/tav-milter"))
        # node_exporter serves no stale series and has nothing to complain about.
        samples = self.scrape()
        self.assertEqual([k for k in samples if k[0].startswith("tav_milter_")], [])
        self.assertEqual(samples[("node_textfile_scrape_error", frozenset())], 0)
        exporter.stop()
        print("package built in %.0f s, whole deployment %.0f s" % (built - started, time.monotonic() - started))


if __name__ == "__main__":
    unittest.main(verbosity=2)
