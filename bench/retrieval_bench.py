#!/usr/bin/env python3
"""Reading articles and overview data through mergator next to reading them
from INN directly, in the same run, with a raw socket client:

- 1,000 small articles read by number in one session (articles per second);
- one 20 MB article, by Message-ID (bytes per second);
- XOVER of a 100,000-article group: mergator from its index, INN from its
  own overview (lines per second).

A private INN serves the three groups; mergator's indexes are written from
INN's overview lines (mgprepstore --bulk) before it starts. Each figure is the best
of a few rounds, the two sides measured in turn round by round.

Usage: bench/retrieval_bench.py [BUILD_DIR]   (default: build)
"""
import os
import shutil
import socket
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
from innserver import InnServer, make_article  # noqa: E402
from mergatorproc import MergatorProcess, free_port  # noqa: E402

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
ROUNDS = 5


class Raw:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=600)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.buffer = b""
        self.pos = 0
        self.line()

    def quickack(self):
        # INN writes the status line and the article separately with Nagle's
        # algorithm on: without this every answer waits for the client's
        # delayed acknowledgement (40 ms).
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)

    def line(self):
        at = self.buffer.find(b"\n", self.pos)
        while at < 0:
            self.quickack()
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise EOFError("closed")
            self.buffer = self.buffer[self.pos:] + chunk
            self.pos = 0
            at = self.buffer.find(b"\n")
        line = self.buffer[self.pos:at]
        self.pos = at + 1
        return line

    def block(self):
        """Reads up to the final dot line; returns the byte count before it."""
        self.buffer = self.buffer[self.pos:]
        self.pos = 0
        if self.buffer.startswith(b".\r\n"):
            self.buffer = self.buffer[3:]
            return 0
        data = bytearray(self.buffer)
        searched = 0
        while True:
            at = data.find(b"\r\n.\r\n", max(0, searched - 4))
            if at >= 0:
                self.buffer = bytes(data[at + 5:])
                return at + 2
            searched = len(data)
            self.quickack()
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise EOFError("closed in a block")
            data += chunk

    def command(self, text, multi=True):
        self.quickack()
        self.sock.sendall(text.encode() + b"\r\n")
        status = self.line()
        if not status.startswith(b"2"):
            raise RuntimeError("%s: %r" % (text, status))
        return status, (self.block() if multi else 0)

    def close(self):
        try:
            self.sock.sendall(b"QUIT\r\n")
            self.line()
        except (OSError, EOFError):
            pass
        self.sock.close()


def group_numbers(port, group):
    raw = Raw(port)
    raw.command("GROUP " + group, False)
    raw.sock.sendall(b"LISTGROUP " + group.encode() + b"\r\n")
    raw.line()
    numbers = []
    while True:
        line = raw.line()
        if line == b".\r":
            break
        numbers.append(int(line))
    raw.close()
    return numbers


def overview_lines(port, group):
    raw = Raw(port)
    raw.command("GROUP " + group, False)
    raw.sock.sendall(b"XOVER 1-\r\n")
    raw.line()
    lines = []
    while True:
        line = raw.line()
        if line == b".\r":
            break
        lines.append(line.rstrip(b"\r").decode("latin-1"))
    raw.close()
    return lines


def read_articles(port, group, numbers):
    raw = Raw(port)
    raw.command("GROUP " + group, False)
    start = time.perf_counter()
    total = 0
    for n in numbers:
        total += raw.command("ARTICLE %d" % n)[1]
    elapsed = time.perf_counter() - start
    raw.close()
    return elapsed, total


def timed(port, group, command):
    raw = Raw(port)
    raw.command("GROUP " + group, False)
    start = time.perf_counter()
    size = raw.command(command)[1]
    elapsed = time.perf_counter() - start
    raw.close()
    return elapsed, size


def best_pair(fn, direct_args, mergator_args):
    """The best round of each side, the sides measured in turn round by
    round, so that a change in the machine's load falls on both."""
    d = m = None
    for _ in range(ROUNDS):
        rd = fn(*direct_args)
        rm = fn(*mergator_args)
        d = rd if d is None or rd[0] < d[0] else d
        m = rm if m is None or rm[0] < m[0] else m
    return d, m


def main():
    root = tempfile.mkdtemp()
    os.chmod(root, 0o755)
    inn = InnServer(os.path.join(root, "inn"), groups={"bench.small": 1, "bench.big": 1, "bench.xover": 1}).start()
    mergator = None
    try:
        body = "".join("Line %d of a small article, about seventy characters long, padded.\n" % i
                       for i in range(25))
        inn.feed(make_article("<s%d@bench>" % i, "bench.small", subject="small %d" % i, body=body)
                 for i in range(1000))
        big = "".join("%07d yEnc-like payload line of a large binary article ......................"
                      "..........................................\n" % i for i in range(160000))
        inn.feed([make_article("<big@bench>", "bench.big", subject="big.part01.rar", body=big)])
        t = time.perf_counter()
        xover = 0 if os.environ.get("MG_BENCH_QUICK") else 100000
        for first in range(0, xover, 10000):
            inn.feed(make_article("<x%d@bench>" % i, "bench.xover", subject="xover article %d" % i,
                                  body="x\n") for i in range(first, first + 10000))
        print("fed 100,000 articles in %.0f s" % (time.perf_counter() - t), file=sys.stderr)

        port = free_port()
        store = []
        # The 20 MB article is above what the index takes (6 MB): it is read
        # by Message-ID, from the servers that have it.
        for group in ("bench.small", "bench.xover"):
            store.append("active " + group)
            if group == "bench.xover" and not xover:
                continue
            store += ["article %s 1 %s" % (group, l) for l in overview_lines(inn.port, group)]
        mergator = MergatorProcess(
            os.path.join(root, "work"),
            "[access]\nnntpPort=%d\nwebPort=%d\nadminLogin=boss\nadminPass=secret\n" % (port, free_port()),
            "[server]\nid=1\nurl=127.0.0.1:%d\nexplore=0\nenforceForbiddenIPs=0\n\n" % inn.port,
            "\n".join(store) + "\n", bulk=True, wait=600, binary_dir=BUILD)

        inn_small = group_numbers(inn.port, "bench.small")
        mg_small = group_numbers(port, "bench.small")
        assert len(inn_small) == len(mg_small) == 1000, (len(inn_small), len(mg_small))

        read_articles(port, "bench.small", mg_small[:10])  # a pooled connection exists
        rows = []
        d, m = best_pair(read_articles, (inn.port, "bench.small", inn_small), (port, "bench.small", mg_small))
        rows.append(("1,000 small articles by number", 1000 / d[0], 1000 / m[0], "articles/s"))
        d, m = best_pair(timed, (inn.port, "bench.big", "ARTICLE <big@bench>"),
                         (port, "bench.small", "ARTICLE <big@bench>"))
        rows.append(("one %.1f MB article" % (d[1] / 1e6), d[1] / d[0] / 1e6, m[1] / m[0] / 1e6, "MB/s"))
        if xover:
            d, m = best_pair(timed, (inn.port, "bench.xover", "XOVER 1-"), (port, "bench.xover", "XOVER 1-"))
            rows.append(("XOVER of 100,000 articles", 100000 / d[0], 100000 / m[0], "lines/s"))
            print("XOVER bytes: INN %d, mergator %d" % (d[1], m[1]), file=sys.stderr)
        print("%-34s %14s %14s %7s" % ("", "INN direct", "mergator", "ratio"))
        for name, direct, through, unit in rows:
            print("%-34s %12.1f %s %12.1f %s %6.2f" % (name, direct, unit[:2], through, unit[:2], through / direct))
    finally:
        if mergator:
            mergator.stop()
        inn.stop()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
