#!/usr/bin/env python3
"""Messages per second through Postfix + tav-milter + stand-in daemons.

For each tav-milter binary given and each socket kind (unix, inet), starts
the stand-in daemons, tav-milter, an smtp-sink and a private Postfix on
loopback (tests/e2e/mta.py), sends a few warm-up messages, then times
smtp-source sending N messages (one per session) at the given concurrency.
Every message is inbound and clean, so tav-milter asks tavipd at HELO and
tavasd at end of message and adds three headers: the reply packets that
meet Nagle's algorithm on an inet socket without TCP_NODELAY.

    bench/mta_throughput.py [--messages N] [--concurrency C[,C...]]
        [--milter LABEL=PATH ...] [--standin PATH] [--report FILE]

Default binaries: build/release (scripts/demo builds them). Run as root.
"""

import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)


def parse():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--messages", type=int, default=300)
    p.add_argument("--concurrency", default="1,8")
    p.add_argument("--milter", action="append", default=[],
                   help="LABEL=PATH of a tav-milter binary (repeatable)")
    p.add_argument("--standin", default=os.path.join(TOP, "build/release/tools/standin/tav-standin"))
    p.add_argument("--postfix", action="append", default=[],
                   help="an extra main.cf line for Postfix, e.g. 'milter_protocol = 2' (repeatable)")
    p.add_argument("--report", help="write the Markdown table here as well")
    p.add_argument("--repeat", type=int, default=3, help="timed runs per case; the median is reported")
    return p.parse_args()


def one_case(mta, harness, milter, kind, concurrency, messages, repeat, postfix_extra):
    """Median messages per second for one binary, socket kind and concurrency."""
    os.environ["TAV_MILTER"] = milter
    harness.MILTER = milter
    sb = harness.Sandbox()
    sink = postfix = None
    try:
        run_dir, samples = mta.postfix_milter_dirs(sb.dir)
        _, ports = mta.start_standin(sb)
        if kind == "unix":
            conn = "unix:" + os.path.join(run_dir, "tav-milter.sock")
            postfix_conn = conn
        else:
            port = harness.free_port()
            conn = "inet:%d@127.0.0.1" % port
            postfix_conn = "inet:127.0.0.1:%d" % port
        sb.start_milter(["-u", "postfix", "-D", samples + "/"] + mta.milter_daemon_args(ports), conn=conn)
        sink = mta.SmtpSink(sb.dir).start()
        # The benchmark's sessions come from 127.0.0.1 at a high rate.
        postfix = mta.Postfix(sb.dir, postfix_conn, sink.port,
                              extra="smtpd_client_connection_count_limit = 0\n"
                                    "smtpd_client_message_rate_limit = 0\n" + "\n".join(postfix_extra)).start()
        target = "127.0.0.1:%d" % postfix.port

        def source(n):
            start = time.monotonic()
            subprocess.run(["smtp-source", "-s", str(concurrency), "-m", str(n), "-l", "2000",
                            "-f", "sender@bench.example", "-t", "rcpt@bench.example", target],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
            return time.monotonic() - start

        source(20)  # warm up: processes started, caches filled
        rates = sorted(messages / source(messages) for _ in range(repeat))
        return rates[len(rates) // 2], rates
    finally:
        for part in (postfix, sink):
            if part:
                part.stop()
        sb.close()


def main():
    args = parse()
    sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
    os.environ.setdefault("TAV_STANDIN", args.standin)
    os.environ["TAV_STANDIN"] = os.path.abspath(args.standin)
    import mta
    from mta import harness
    harness.STANDIN = os.environ["TAV_STANDIN"]
    missing = mta.postfix_missing()
    if missing:
        sys.exit("mta_throughput: " + missing)
    milters = [m.split("=", 1) for m in args.milter] or [["build/release", os.path.join(TOP, "build/release/tav-milter")]]
    rows = []
    for label, path in milters:
        for kind in ("unix", "inet"):
            for c in [int(x) for x in args.concurrency.split(",")]:
                rate, _ = one_case(mta, harness, os.path.abspath(path), kind, c, args.messages, args.repeat,
                                   args.postfix)
                row = "| %s | %s | %d | %d | %.0f | %.2f |" % (label, kind, c, args.messages, rate, 1000.0 / rate * c)
                print(row, flush=True)
                rows.append(row)
    table = ["Postfix main.cf extra: %s" % ("; ".join(args.postfix) or "none"), "",
             "| tav-milter | socket | concurrency | messages per run | messages/s (median of %d) | ms per message per session |" % args.repeat,
             "|---|---|---|---|---|---|"] + rows
    if args.report:
        with open(args.report, "w") as f:
            f.write("\n".join(table) + "\n")
    print("\n".join(table))


if __name__ == "__main__":
    main()
