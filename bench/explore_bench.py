#!/usr/bin/env python3
"""Exploration speed against two real INN servers on loopback.

Both servers carry the group bench.big with ARTICLES articles each, half of
them the same articles (same Message-IDs, other numbers), and SMALL small
groups of 10 articles (99 by default, so 100 groups in all). Measured in the same run:
  - plain downloads: "XOVER 1-" of bench.big from A and from B over raw
    sockets, both at once (and the sum of their times);
  - a first full exploration by mergator of both servers (from its start to
    both results lines), all 100 groups active;
  - a second exploration with nothing new (a restart of mergator), with the
    commands per group it took.
Usage: bench/explore_bench.py [build directory] [articles, default 100000] [small groups, default 99]
"""

import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
from innserver import InnServer, free_port  # noqa: E402

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
ARTICLES = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
SMALL = int(sys.argv[3]) if len(sys.argv) > 3 else 99


def art(msgid, group, n):
    return ("Path: bench!not-for-mail\nFrom: Bench <b@example.com>\nNewsgroups: %s\nSubject: Article %d of "
            "the benchmark\nDate: Thu, 10 Dec 2026 12:00:00 +0000\nMessage-ID: %s\n\nBody %d.\n"
            % (group, n, msgid, n)).encode()


def xover_seconds(port, group):
    s = socket.create_connection(("127.0.0.1", port), timeout=600)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    f = s.makefile("rb", buffering=1 << 20)
    f.readline()
    start = time.perf_counter()
    s.sendall(("GROUP %s\r\nXOVER 1-\r\n" % group).encode())
    f.readline()
    f.readline()
    lines = 0
    for line in f:
        if line == b".\r\n":
            break
        lines += 1
    took = time.perf_counter() - start
    s.sendall(b"QUIT\r\n")
    s.close()
    return took, lines


def results(work):
    path = os.path.join(work, "logs", "results")
    if not os.path.exists(path):
        return 0
    with open(path, errors="replace") as f:
        return sum(1 for l in f if l.strip() and not l.startswith("proxy"))


def explore_once(work, wrap=()):
    before = results(work)
    out = open(os.path.join(work, "..", "mergator.out"), "a")
    start = time.perf_counter()
    proc = subprocess.Popen([os.path.join(BUILD, "mergator"), "-d", work], stdin=subprocess.DEVNULL, stdout=out,
                            stderr=out)
    attach = None
    if wrap:
        attach = subprocess.Popen([w.replace("PID", str(proc.pid)) for w in wrap])
    while results(work) < before + 2 and proc.poll() is None and time.perf_counter() - start < 3600:
        time.sleep(0.02)
    took = time.perf_counter() - start
    if attach:
        attach.send_signal(signal.SIGINT)
        attach.wait(timeout=60)
    proc.send_signal(signal.SIGTERM)
    proc.wait(timeout=300)
    out.close()
    return took


def commands_of_last_run(work, port):
    """Commands sent to the server in the last exploration of its log."""
    for name in os.listdir(os.path.join(work, "explore")):
        if name.endswith(str(port)):
            text = open(os.path.join(work, "explore", name), errors="replace").read()
            return text[text.rfind("========================"):]
    return ""


def main():
    tmp = tempfile.TemporaryDirectory()
    root = tmp.name
    os.chmod(root, 0o755)
    groups = {"bench.big": 1}
    groups.update({"bench.small%02d" % i: 1 for i in range(SMALL)})
    a = InnServer(os.path.join(root, "a"), groups=groups, name="a")
    b = InnServer(os.path.join(root, "b"), groups=dict(groups), name="b")
    a.start()
    b.start()
    try:
        half = ARTICLES // 2
        t = time.perf_counter()
        shared = [art("<s%d@bench>" % i, "bench.big", i) for i in range(half)]
        a.feed(shared + [art("<a%d@bench>" % i, "bench.big", i) for i in range(ARTICLES - half)])
        b.feed([art("<b%d@bench>" % i, "bench.big", i) for i in range(ARTICLES - half)] + shared)
        small = [art("<m%d.%d@bench>" % (g, i), "bench.small%02d" % g, i) for g in range(SMALL) for i in range(10)]
        a.feed(small)
        b.feed(small)
        print("fed %d + %d articles in %.1f s" % (ARTICLES + 10 * SMALL, ARTICLES + 10 * SMALL,
                                                 time.perf_counter() - t))

        # Plain downloads, both at once, then each alone.
        res = {}
        threads = [threading.Thread(target=lambda k=k, p=p: res.__setitem__(k, xover_seconds(p, "bench.big")))
                   for k, p in (("a", a.port), ("b", b.port))]
        t = time.perf_counter()
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        both = time.perf_counter() - t
        alone = xover_seconds(a.port, "bench.big")[0] + xover_seconds(b.port, "bench.big")[0]
        print("plain XOVER 1- of bench.big: A %.2f s, B %.2f s (%d + %d lines); both at once %.2f s; "
              "one after the other %.2f s" % (res["a"][0], res["b"][0], res["a"][1], res["b"][1], both, alone))

        work = os.path.join(root, "work")
        os.makedirs(os.path.join(work, "etc"))
        os.makedirs(os.path.join(work, "index2"))
        for g in groups:
            open(os.path.join(work, "index2", g), "w").close()
        with open(os.path.join(work, "etc", "mergator.ini"), "w") as f:
            f.write("[access]\nnntpPort=%d\nwebPort=%d\n\n[general]\nassumeInternetPresent=1\n"
                    % (free_port(), free_port()))
        with open(os.path.join(work, "etc", "servers.ini"), "w") as f:
            f.write("[proxies]\nurl=none\n\n[server]\nid=1\nurl=127.0.0.1:%d\nenforceForbiddenIPs=0\n\n"
                    "[server]\nid=2\nurl=127.0.0.1:%d\nenforceForbiddenIPs=0\n" % (a.port, b.port))
        first = explore_once(work, os.environ.get("MG_WRAP_FIRST", "").split())
        print("first exploration of both servers (%d groups): %.2f s = %.2f x the plain downloads at once, "
              "%.2f x one after the other" % (len(groups), first, first / both, first / alone))
        wrap = os.environ.get("MG_WRAP", "").split()
        second = explore_once(work, wrap)
        log = commands_of_last_run(work, a.port)
        print("second exploration, nothing new: %.2f s for %d groups" % (second, len(groups)))
        sys.stdout.write("".join(l + "\n" for l in log.splitlines()[:12]))
    finally:
        a.stop()
        b.stop()
        if os.environ.get("MG_KEEP"):
            print("kept", root)
            os.rename(root, root + ".kept")
        else:
            tmp.cleanup()


if __name__ == "__main__":
    main()
