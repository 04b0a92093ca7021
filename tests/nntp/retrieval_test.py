"""Articles and overview data read through the running mergator, which merges
one group of two real INN servers (A numbered from 1, B from 501), checked
against what INN serves directly: every body byte for byte, an article only
B has, a reference that A has lost (removed after the fetch), a
multi-megabyte article with dot-stuffed and long lines, XOVER, XHDR and XPAT
against the index, and a third (scripted) server that breaks off in the
middle of an article.

The group's index is written through the store (mgprepstore) from the
overview lines INN gives, with the references of each server, before
mergator starts.
"""
import os
import shutil
import socket
import sys
import tempfile
import threading
import time
import unittest
import warnings

warnings.filterwarnings("ignore", category=DeprecationWarning)
import nntplib  # noqa: E402

SOURCE_DIR = os.environ.get("MG_SOURCE_DIR", ".")
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "support"))
from innserver import InnServer, make_article  # noqa: E402
from mergatorproc import MergatorProcess, free_port  # noqa: E402

WAIT = 120
GROUP = "misc.merged"
nntplib._MAXLINE = 1 << 24


class Raw:
    """A raw NNTP client reading exact bytes."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
        self.buffer = b""
        self.greeting = self.line()

    def send(self, text):
        self.sock.sendall(text.encode("latin-1") + b"\r\n")

    def line(self):
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise EOFError("closed; pending %r" % self.buffer[:200])
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line + b"\n"

    def block(self):
        """The lines up to the final dot, raw (still dot-stuffed)."""
        end = self.buffer.find(b"\r\n.\r\n")
        while end < 0 and not self.buffer.startswith(b".\r\n"):
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise EOFError("closed in a block")
            self.buffer += chunk
            end = self.buffer.find(b"\r\n.\r\n", max(0, len(self.buffer) - len(chunk) - 5))
        if self.buffer.startswith(b".\r\n"):
            self.buffer = self.buffer[3:]
            return b""
        data, self.buffer = self.buffer[:end + 2], self.buffer[end + 5:]
        return data

    def command(self, text, multi):
        self.send(text)
        status = self.line()
        return status, (self.block() if multi and status[:1] == b"2" else None)

    def close(self):
        try:
            self.send("QUIT")
            self.line()
        except (OSError, EOFError):
            pass
        self.sock.close()


def xover_lines(port, group):
    raw = Raw(port)
    raw.command("GROUP " + group, False)
    status, data = raw.command("XOVER 1-", True)
    raw.close()
    return [l for l in data.decode("latin-1").split("\r\n") if l]


class BreakingServer(threading.Thread):
    """A server that begins article 1 of GROUP and closes in the middle."""

    def __init__(self):
        super().__init__(daemon=True)
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.stopping = False
        self.start()

    def run(self):
        while not self.stopping:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                continue
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def serve(self, conn):
        f = conn.makefile("rb")
        try:
            conn.sendall(b"200 breaking\r\n")
            for line in f:
                word = line.split(b" ")[0].strip().upper()
                if word == b"GROUP":
                    conn.sendall(b"211 1 1 1 " + GROUP.encode() + b"\r\n")
                elif word in (b"ARTICLE", b"BODY", b"HEAD"):
                    conn.sendall(b"220 1 <broken@example.org>\r\nPath: x\r\nMessage-ID: <broken@example.org>\r\n"
                                 b"\r\n" + b"half of it\r\n" * 100)
                    break
                elif word == b"QUIT":
                    conn.sendall(b"205 bye\r\n")
                    break
                else:
                    conn.sendall(b"200 ok\r\n")
        except OSError:
            pass
        conn.close()

    def stop(self):
        self.stopping = True
        self.join(5)
        self.listener.close()


def big_body():
    lines = []
    for i in range(52000):
        if i % 7 == 0:
            lines.append("." + "dot stuffed %d" % i)
        elif i % 1000 == 1:
            lines.append("L" * 6000)  # a long line
        elif i % 500 == 3:
            lines.append(".")  # a lone dot
        else:
            lines.append("line %06d of a large article, with some padding text to make it longer" % i)
    return "\n".join(lines) + "\n"


class Retrieval(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = root = tempfile.mkdtemp()
        os.chmod(root, 0o755)
        cls.a = InnServer(os.path.join(root, "innA"), groups={GROUP: 1}, name="a").start()
        cls.b = InnServer(os.path.join(root, "innB"), groups={GROUP: 501}, name="b").start()
        common = [make_article("<c%d@example.org>" % i, GROUP, subject="common %d foo bar" % i,
                               body="Body %d.\n.starts with a dot\n\nlast line %d\n" % (i, i))
                  for i in range(20)]
        cls.big = make_article("<big@example.org>", GROUP, subject="big one", body=big_body())
        b_only = make_article("<bonly@example.org>", GROUP, subject="only on B", body="B has it.\n")
        stale = make_article("<stale@example.org>", GROUP, subject="A lost it", body="B still has it.\n")
        assert cls.a.feed(common + [cls.big]) == 21
        assert cls.b.feed(common + [b_only, stale]) == 22
        cls.breaking = BreakingServer()

        cls.port = free_port()
        # An administrator login: other readers are plain users, who get no
        # Path and Xref lines.
        mergator_ini = "[access]\nnntpPort=%d\nwebPort=%d\nadminLogin=boss\nadminPass=secret\n" % (
            cls.port, free_port())
        # A first (category 0), B only when A has not answered for a few
        # seconds; none explored here: the index is made below.
        servers_ini = "".join(
            "[server]\nid=%d\nurl=127.0.0.1:%d\nexplore=0\nenforceForbiddenIPs=0\ncategory=%d\n\n" % (n + 1, port, n)
            for n, port in enumerate((cls.a.port, cls.b.port, cls.breaking.port)))
        cls.overview = {}
        store = ["active " + GROUP]
        for server_id, inn in ((1, cls.a), (2, cls.b)):
            for line in xover_lines(inn.port, GROUP):
                fields = line.split("\t")
                cls.overview.setdefault(fields[4], (server_id, fields))
                store.append("article %s %d %s" % (GROUP, server_id, line))
        # A stale reference of A to the article only B still has, and the
        # article that only the breaking server claims.
        stale_line = [l for l in store if "<stale@example.org>" in l][0].split(" ", 3)[3].split("\t")
        stale_line[0] = "999"
        store.append("article %s 1 %s" % (GROUP, "\t".join(stale_line)))
        broken = ["1", "broken one", "x@example.org", "Thu, 10 Dec 2026 12:00:00 +0000",
                  "<broken@example.org>", "", "2000", "100", ""]
        store.append("article %s 3 %s" % (GROUP, "\t".join(broken)))
        cls.mergator = MergatorProcess(os.path.join(root, "work"), mergator_ini, servers_ini,
                                       "\n".join(store) + "\n", wait=WAIT)

    @classmethod
    def tearDownClass(cls):
        cls.mergator.stop()
        cls.breaking.stop()
        cls.a.stop()
        cls.b.stop()
        if os.environ.get("MG_KEEP"):
            print("kept", cls.root, file=sys.stderr)
        else:
            shutil.rmtree(cls.root, ignore_errors=True)

    def direct(self, msgid, command="BODY"):
        """The raw answer block of an INN server that has the article."""
        for inn in (self.a, self.b):
            raw = Raw(inn.port)
            status, data = raw.command("%s %s" % (command, msgid), True)
            raw.close()
            if status.startswith(b"22"):
                return data
        raise AssertionError("no INN server has " + msgid)

    def test_every_body_read_with_nntplib_is_the_one_inn_serves(self):
        with nntplib.NNTP("127.0.0.1", self.port, readermode=True, timeout=WAIT) as s:
            _, count, first, last, _ = s.group(GROUP)
            _, overviews = s.over((first, last))
            ids = {ov["message-id"]: number for number, ov in overviews}
            self.assertIn("<bonly@example.org>", ids)
            for msgid, number in sorted(ids.items()):
                if msgid == "<broken@example.org>":
                    continue
                _, info = s.body(str(number))
                self.assertEqual(info.message_id, msgid)
                wanted = [l[1:] if l.startswith(b".") else l
                          for l in self.direct(msgid).split(b"\r\n")[:-1]]
                self.assertEqual(info.lines, wanted, msgid)
                # The header as INN has it, without Path and Xref.
                _, head = s.head(msgid)
                inn_head = [l for l in self.direct(msgid, "HEAD").split(b"\r\n")[:-1]
                            if not l.lower().startswith((b"path:", b"xref:"))]
                self.assertEqual(head.lines, inn_head, msgid)

    def inn_lines(self, msgid, command):
        """What INN has for the command, as nntplib gives it to a plain user."""
        lines = [l[1:] if l.startswith(b".") else l for l in self.direct(msgid, command).split(b"\r\n")[:-1]]
        if command == "BODY":
            return lines
        head = lines.index(b"") if command == "ARTICLE" else len(lines)
        return [l for l in lines[:head] if not l.lower().startswith((b"path:", b"xref:"))] + lines[head:]

    def test_reading_on_by_number_gets_each_article_whatever_was_asked_ahead(self):
        """Going through the group by number has the next article asked for
        ahead on the connection; a different command, another reader taking
        that connection, or a skipped article in between must still give
        each reader exactly what it asked for."""
        with nntplib.NNTP("127.0.0.1", self.port, readermode=True, timeout=WAIT) as s, \
                nntplib.NNTP("127.0.0.1", self.port, readermode=True, timeout=WAIT) as other:
            _, _, first, last, _ = s.group(GROUP)
            other.group(GROUP)
            _, overviews = s.over((first, last))
            ids = {number: ov["message-id"] for number, ov in overviews}
            numbers = [n for n in sorted(ids) if ids[n] not in ("<broken@example.org>", "<big@example.org>")]
            self.assertGreater(len(numbers), 15)
            kinds = ("article", "article", "article", "head", "body", "body", "stat", "article")
            for i, number in enumerate(numbers):
                msgid = ids[number]
                if i % 5 == 3:
                    # Another reader, by Message-ID, while an answer may be on its way.
                    theirs = ids[numbers[(i * 7) % len(numbers)]]
                    _, info = other.body(theirs)
                    self.assertEqual(info.lines, self.inn_lines(theirs, "BODY"), theirs)
                if i == 9:
                    continue  # a gap in the sequence
                kind = kinds[i % len(kinds)]
                if kind == "stat":
                    _, got_number, got_id = s.stat(str(number))
                    self.assertEqual((got_number, got_id), (number, msgid))
                    continue
                _, info = getattr(s, kind)(str(number))
                self.assertEqual((info.number, info.message_id), (number, msgid), kind)
                self.assertEqual(info.lines, self.inn_lines(msgid, kind.upper()), "%s %d" % (kind, number))

    def test_an_article_only_b_has_comes_from_b(self):
        with nntplib.NNTP("127.0.0.1", self.port, readermode=True, timeout=WAIT) as s:
            s.group(GROUP)
            _, info = s.article("<bonly@example.org>")
            self.assertIn(b"B has it.", info.lines)
        self.mergator.logs_with("Trying server 1 of 1: 127.0.0.1_%d (2)" % self.b.port)

    def test_a_reference_a_has_lost_is_removed_and_b_delivers(self):
        with nntplib.NNTP("127.0.0.1", self.port, readermode=True, timeout=WAIT) as s:
            s.group(GROUP)
            _, info = s.body("<stale@example.org>")
            self.assertEqual(info.lines, [b"B still has it."])
        self.mergator.logs_with("Reference 1:999 vanished.")
        # Asked again, only B is a candidate.
        with nntplib.NNTP("127.0.0.1", self.port, readermode=True, timeout=WAIT) as s:
            s.group(GROUP)
            s.stat("<stale@example.org>")
        deadline = time.monotonic() + WAIT
        while True:
            ended = [b for b in self.mergator.client_logs().split("Client: ")
                     if "STAT <stale@example.org>" in b and "Ended at:" in b]
            if ended or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        self.assertTrue(ended, "the second session's log never ended")
        self.assertNotIn("vanished", ended[0])

    def test_a_multi_megabyte_article_is_relayed_intact(self):
        raw = Raw(self.port)
        raw.command("GROUP " + GROUP, False)
        status, data = raw.command("BODY <big@example.org>", True)
        self.assertTrue(status.startswith(b"222 "), status)
        self.assertGreater(len(data), 3 << 20)
        self.assertEqual(data, self.direct("<big@example.org>"))
        status, data = raw.command("ARTICLE <big@example.org>", True)
        inn = self.direct("<big@example.org>", "ARTICLE")
        inn_head, inn_body = inn.split(b"\r\n\r\n", 1)
        head, body = data.split(b"\r\n\r\n", 1)
        self.assertEqual(body, inn_body)
        self.assertEqual(head.split(b"\r\n"),
                         [l for l in inn_head.split(b"\r\n") if not l.lower().startswith((b"path:", b"xref:"))])
        raw.close()

    def test_overview_commands_answer_from_the_index(self):
        raw = Raw(self.port)
        status = raw.command("GROUP " + GROUP, False)[0].split()
        first, last = int(status[2]), int(status[3])
        _, data = raw.command("XOVER %d-%d" % (first, last), True)
        lines = [l.split("\t") for l in data.decode("latin-1").split("\r\n") if l]
        self.assertEqual(len(lines), len(self.overview) + 1)  # the broken one
        for fields in lines:
            self.assertEqual(len(fields), 10)
            self.assertEqual(fields[8:], ["", ""])  # no Xref: three tabs after the lines
            # Articles read by earlier tests carry the retrieved mark.
            if fields[2].startswith("/r "):
                fields[2] = fields[2][3:]
            if fields[4] in self.overview:
                inn = self.overview[fields[4]][1]
                self.assertEqual(fields[1:8], inn[1:8], fields[4])
        numbers = {f[4]: f[0] for f in lines}
        subjects = {f[0]: f[1] for f in lines}
        _, data = raw.command("XHDR SUBJECT %d-" % first, True)
        self.assertEqual(dict(l.split("\t", 1) for l in data.decode("latin-1").split("\r\n") if l), subjects)
        _, data = raw.command("XHDR subject <bonly@example.org>", True)
        self.assertEqual(data.decode(), "%s\tonly on B\r\n" % numbers["<bonly@example.org>"])
        status, data = raw.command("XPAT SUBJECT %d- *foo* bar" % first, True)
        self.assertEqual(status, b"221 SUBJECT matches follow.\r\n")
        got = sorted(l.split("\t")[1] for l in data.decode().split("\r\n") if l)
        self.assertEqual(got, sorted(s for s in subjects.values() if s.startswith("common")))
        self.assertEqual(raw.command("XHDR XREF %d-%d" % (first, last), True), (b"221 Header follows\r\n", b""))
        self.assertEqual(raw.command("XOVER 5-3", True), (b"224 Overview information follows\r\n", b""))
        self.assertEqual(raw.command("XHDR NEWSGROUPS 1-", False)[0][:4], b"501 ")
        self.assertEqual(raw.command("XHDR MGSERVREFS 1-", False)[0][:4], b"501 ")
        _, data = raw.command("XHDR LINES %d-%d" % (first, first + 2), True)
        self.assertEqual(len(data.split(b"\r\n")) - 1, 3)
        raw.close()

    def test_a_server_breaking_off_mid_article_gives_a_clean_error(self):
        raw = Raw(self.port)
        raw.command("GROUP " + GROUP, False)
        status, _ = raw.command("ARTICLE <broken@example.org>", True)
        self.assertEqual(status, b"500 No server having article is reachable\r\n")
        status, data = raw.command("BODY <c3@example.org>", True)
        self.assertTrue(status.startswith(b"222 "), status)
        self.assertIn(b"Body 3.", data)
        status, _ = raw.command("ARTICLE <nowhere@example.org>", True)
        self.assertEqual(status, b"430 no such article\r\n")
        status, _ = raw.command("ARTICLE 99999", True)
        self.assertEqual(status, b"423 no such article number in this group\r\n")
        raw.close()


class Unreachable(unittest.TestCase):
    """mergator whose only server refuses every connection: the download
    placeholder article, renumbering of articles no server delivers, the
    renumbered Message-ID form, Xref lines and reformatted dates."""

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp()
        cls.port = free_port()
        mergator_ini = ("[access]\nnntpPort=%d\nwebPort=%d\n[clients]\nrenumber=2\nprovideXrefs=1\n"
                        "reformatDates=1\n[general]\nassumeInternetPresent=1\n" % (cls.port, free_port()))
        servers_ini = "[server]\nid=1\nurl=127.0.0.1:1\nexplore=0\nenforceForbiddenIPs=0\n\n"
        line = "7\tlost one\tx@example.org\tThu, 10 Dec 2026 12:00:00 +0000\t<lost@example.org>\t\t2000\t40"
        store = "active misc.lost\nactive misc.empty\narticle misc.lost 1 %s\n" % line
        cls.mergator = MergatorProcess(os.path.join(cls.root, "work"), mergator_ini, servers_ini, store, wait=WAIT)

    @classmethod
    def tearDownClass(cls):
        cls.mergator.stop()
        shutil.rmtree(cls.root, ignore_errors=True)

    def test_a_group_being_downloaded_explains_itself(self):
        raw = Raw(self.port)
        # The group gets its placeholders: the second one, numbered 1000,
        # is what a reader finds.
        group = raw.command("GROUP misc.empty", False)[0].split()
        self.assertEqual(group[3], b"1000")
        status, data = raw.command("ARTICLE 1000", True)
        self.assertEqual(status, b"220 1000 <1> head and body follow\r\n")
        self.assertIn(b"Newsgroups: misc.empty\r\n", data)
        self.assertIn(b"\r\n\r\nThe misc.empty news-group was not stored locally,\r\nbut is now being downloaded.\r\n"
                      b"Please check again in a few minutes.\r\n", data)
        self.assertEqual(raw.command("STAT 1000", False)[0], b"223 1000 <1> request text separately\r\n")
        # Nothing follows the STAT line: the next answer is the next command's.
        self.assertEqual(raw.command("DATE", False)[0][:4], b"111 ")
        raw.close()

    def test_an_article_no_server_delivers_is_renumbered(self):
        raw = Raw(self.port)
        status = raw.command("GROUP misc.lost", False)[0].split()
        number = int(status[3])
        self.assertEqual(raw.command("ARTICLE %d" % number, True)[0],
                         b"423 no such article number in this group\r\n")
        status = raw.command("GROUP misc.lost", False)[0].split()
        self.assertEqual(int(status[3]), number + 1)
        _, data = raw.command("XOVER %d-" % (number + 1), True)
        fields = data.decode().rstrip("\r\n").split("\t")
        self.assertEqual(fields[0], str(number + 1))
        self.assertEqual(fields[3], "Thu, 10 Dec 2026  %s" % fields[3].split("  ")[1])  # reformatted
        self.assertEqual(fields[4], "</mg%d/lost@example.org>" % (number + 1))
        self.assertEqual(fields[8], "Xref: mergator misc.lost:%d" % (number + 1))
        _, data = raw.command("XHDR MESSAGE-ID </mg%d/lost@example.org>" % (number + 1), True)
        self.assertEqual(data.decode(), "%d\t</mg%d/lost@example.org>\r\n" % (number + 1, number + 1))
        # The renumbered form is recognised (and renumbered once more).
        self.assertEqual(raw.command("HEAD </mg%d/lost@example.org>" % (number + 1), True)[0],
                         b"423 no such article number in this group\r\n")
        self.assertEqual(int(raw.command("GROUP misc.lost", False)[0].split()[3]), number + 2)
        raw.close()


if __name__ == "__main__":
    unittest.main()
