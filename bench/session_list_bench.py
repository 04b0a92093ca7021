"""Listing speed of the reader session: LIST of a large full group list and
LISTGROUP of a large group, over a raw socket against the running mergator.

Usage: MG_BINARY_DIR=build python3 bench/session_list_bench.py [GROUPS] [ARTICLES]
Prints lines per second for each listing.
"""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "nntp"))
import session_test as t  # noqa: E402


def main():
    groups = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    articles = int(sys.argv[2]) if len(sys.argv) > 2 else 20000
    lines = ["active bench.active.%d" % i for i in range(100)]
    lines += ["inactive bench.inactive.%d" % i for i in range(groups)]
    lines += ["article bench.big 1 " + t.overview(n, "<b%d@example.org>" % n) for n in range(1, articles + 1)]
    t.STORE = "\n".join(lines) + "\n"
    server = t.Mergator()
    try:
        raw = t.Raw(server.port)
        for command in ("LIST", "LIST", "LISTGROUP bench.big", "LISTGROUP bench.big"):
            started = time.monotonic()
            raw.send(command + "\r\n")
            raw.line()
            count = len(raw.block()) - 1
            seconds = time.monotonic() - started
            print("%-20s %7d lines in %.3f s: %.0f lines/s" % (command, count, seconds, count / seconds))
        raw.close()
    finally:
        server.stop()


if __name__ == "__main__":
    main()
