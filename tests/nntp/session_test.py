"""The reader session of the running mergator, driven by Python's nntplib and
by raw sockets: the reader's walk (LIST, GROUP, LISTGROUP, NEXT, LAST), the
authentication rules, telnet escapes, long and mixed-case lines, bad input,
and readers that vanish mid-command.

Each test class starts mergator on free loopback ports in a work directory
prepared by mgprepstore (groups and articles written through the store), and
stops it with SIGTERM.
"""
import base64
import os
import random
import socket
import struct
import sys
import tempfile
import threading
import time
import unittest
import warnings

warnings.filterwarnings("ignore", category=DeprecationWarning)
import nntplib  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from mergatorproc import MergatorProcess, free_port  # noqa: E402

WAIT = 60  # bound of every wait for the server, seconds


def overview(number, msgid, subject="Subject"):
    return "%d\t%s %d\tPoster <p@example.org>\tMon, 7 Dec 2026 10:00:00 +0000\t%s\t\t1500\t20" % (
        number, subject, number, msgid)


STORE = "\n".join([
    "active alt.test",
    "active comp.lang.c",
    "inactive misc.old",
] + ["article alt.test 1 " + overview(n, "<a%d@example.org>" % n) for n in range(1, 6)]) + "\n"


class Mergator(MergatorProcess):
    """One mergator run in a fresh work directory."""

    def __init__(self, sections=None, servers=""):
        self.tmp = tempfile.TemporaryDirectory()
        self.port = free_port()
        sections = dict(sections or {})
        # No background exploration: its connects and task threads would come
        # and go while the tests count the session's threads and sockets.
        sections.setdefault("explore", "explore=0\n")
        access = "nntpPort=%d\nwebPort=%d\n" % (self.port, free_port()) + sections.pop("access", "")
        ini = "[access]\n" + access
        for name, body in sections.items():
            ini += "[%s]\n%s" % (name, body)
        # By default a server that refuses every connection: nothing upstream
        # is reached.
        super().__init__(self.tmp.name, ini, "[server]\n%s\n" % (servers or "url=127.0.0.1:1\n"), STORE, wait=WAIT)

    def resources(self):
        """(threads, sockets, open group indexes) of the process."""
        pid = self.process.pid
        targets = []
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                targets.append(os.readlink("/proc/%d/fd/%s" % (pid, fd)))
            except OSError:
                pass
        return (len(os.listdir("/proc/%d/task" % pid)), sum(t.startswith("socket:") for t in targets),
                sum("/index2/" in t for t in targets))

    def stop(self):
        """Stops mergator (SIGTERM), removes its work directory and returns
        its exit code."""
        code = super().stop()
        self.tmp.cleanup()
        return code


class Raw:
    """A raw NNTP client: sends bytes, reads lines with a bound."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
        self.buffer = b""
        self.greeting = self.line()

    def send(self, data):
        self.sock.sendall(data if isinstance(data, bytes) else data.encode("latin-1"))

    def line(self):
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("connection closed; pending %r" % self.buffer)
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return (line + b"\n").decode("latin-1")

    def block(self):
        """Lines up to and including the final dot."""
        lines = []
        while True:
            line = self.line()
            lines.append(line)
            if line == ".\r\n":
                return lines

    def ask(self, command):
        self.send(command + "\r\n")
        return self.line()

    def close(self):
        self.sock.close()


class ReaderWalk(unittest.TestCase):
    """A reader without logins: everything is allowed."""

    @classmethod
    def setUpClass(cls):
        cls.server = Mergator()
        cls.idle = cls.server.resources()  # with no client and no index open

    @classmethod
    def tearDownClass(cls):
        code = cls.server.stop()
        assert code == 43, "mergator ended with %s" % code

    def test_greeting(self):
        self.assertEqual(Raw(self.server.port).greeting, "200 Mergator 4.5 (posting allowed)\r\n")

    def connect(self):
        reader = nntplib.NNTP("127.0.0.1", self.server.port, readermode=True, timeout=WAIT)
        self.addCleanup(reader.quit)
        return reader

    def test_list_group_next_last(self):
        reader = self.connect()
        _, groups = reader.list()
        self.assertEqual([(g.group, g.last, g.first, g.flag) for g in groups], [
            ("alt.test", "5", "1", "y"),
            ("comp.lang.c", "1000", "1", "y"),   # active, never downloaded
            ("misc.old", "1000", "1", "y"),      # inactive: nothing opened
            ("async", "0", "1", "y"),            # the pseudo-group, empty
        ])
        _, groups = reader.list("alt.*")
        self.assertEqual([g.group for g in groups], ["alt.test"])
        _, groups = reader.list("as*")
        self.assertEqual([g.group for g in groups], ["async"])

        response, count, first, last, name = reader.group("alt.test")
        self.assertEqual((response, count, first, last, name),
                         ("211 5 1 5 alt.test selected", 5, 1, 5, "alt.test"))
        self.assertEqual(reader.next()[1:], (2, "<a2@example.org>"))
        self.assertEqual(reader.next()[1:], (3, "<a3@example.org>"))
        self.assertEqual(reader.last()[1:], (2, "<a2@example.org>"))
        self.assertEqual(reader.last()[1:], (1, "<a1@example.org>"))
        with self.assertRaisesRegex(nntplib.NNTPTemporaryError, "^422 No previous to retrieve."):
            reader.last()
        with self.assertRaisesRegex(nntplib.NNTPTemporaryError, "^411 No such group"):
            reader.group("no.such.group")
        self.assertEqual(reader.group("async")[0], "211 0 1 0 async selected")
        self.assertEqual(reader.group("misc.old")[0], "211 1000 1 1000 misc.old selected")
        # A date in the form YYYYMMDDhhmmss.
        self.assertRegex(reader._shortcmd("DATE"), r"^111 20\d{12}$")

    def test_listgroup(self):
        raw = Raw(self.server.port)
        self.addCleanup(raw.close)
        self.assertEqual(raw.ask("LISTGROUP"), "412 No news group has been selected\r\n")
        self.assertEqual(raw.ask("LISTGROUP alt.test"), "211 5 1 5 alt.test selected\r\n")
        self.assertEqual(raw.block(), ["1\r\n", "2\r\n", "3\r\n", "4\r\n", "5\r\n", ".\r\n"])
        self.assertEqual(raw.ask("NEXT"), "223 2 <a2@example.org> Article retrieved; request text separately\r\n")
        # Without a name: the selected group, again from its first article.
        self.assertEqual(raw.ask("LISTGROUP"), "211 5 1 5 alt.test selected\r\n")
        self.assertEqual(len(raw.block()), 6)
        self.assertEqual(raw.ask("LISTGROUP async"), "211 0 1 0 async selected\r\n")
        self.assertEqual(raw.block(), [".\r\n"])
        self.assertEqual(raw.ask("NEXT"), "500 not applicable/implemented\r\n")
        self.assertEqual(raw.ask("LISTGROUP no.such.group"), "411 No such group\r\n")
        # A group never downloaded shows the download placeholders at once
        # and has no readable article below them.
        self.assertEqual(raw.ask("LISTGROUP comp.lang.c"), "211 2 1 1000 comp.lang.c selected\r\n")
        self.assertEqual(raw.block(), ["1000\r\n", ".\r\n"])
        self.assertEqual(raw.ask("GROUP comp.lang.c"), "211 2 1 1000 comp.lang.c selected\r\n")
        self.assertEqual(raw.ask("QUIT"), "205 bye\r\n")

    def test_listings(self):
        raw = Raw(self.server.port)
        self.addCleanup(raw.close)
        cases = [
            ("LIST NEWSGROUPS", ["215 Descriptions in form \"group description\".\r\n", ".\r\n"]),
            ("LIST OVERVIEW.FMT", ["215 Order of fields in overview database.\r\n", "Subject:\r\n", "From:\r\n",
                                   "Date:\r\n", "Message-ID:\r\n", "References:\r\n", "Bytes:\r\n",
                                   "Lines:\r\n", ".\r\n"]),
            ("LIST FOO", ["501 Bad command use\r\n"]),
            ("XGTITLE", ["412 No news group has been selected\r\n"]),
            ("XGTITLE *.*", ["282 list follows\r\n", "alt.test\t?\r\n", "comp.lang.c\t?\r\n", "misc.old\t?\r\n",
                             ".\r\n"]),
            ("XGTITLE a*", ["282 list follows\r\n", "alt.test\t?\r\n", "async\tMergator async group\r\n",
                            ".\r\n"]),
            ("NEWGROUPS 090601 000000 GMT", ["231 list of new newsgroups follows\r\n", "alt.test 5 1 y\r\n",
                                             "comp.lang.c 1000 1 y\r\n", "misc.old 1000 1 y\r\n",
                                             "async 0 1 y\r\n", ".\r\n"]),
            ("NEWGROUPS 491231 235959", ["231 list of new newsgroups follows\r\n", "async 0 1 y\r\n", ".\r\n"]),
            ("NEWGROUPS 0906 000000", ["501 yymmdd hhmmss [\"GMT\"] [<distributions>]\r\n"]),
            ("NEWGROUPS 09060a 000000", ["501 yymmdd hhmmss [\"GMT\"] [<distributions>]\r\n"]),
            ("MODE", ["501 reader\r\n"]),
            ("MODE STREAM", ["500 What?\r\n"]),
            ("SLAVE", ["202 Unsupported\r\n"]),
            ("GROUP", ["501 newsgroup\r\n"]),
            ("GROUP alt.test", ["211 5 1 5 alt.test selected\r\n"]),
            ("XGTITLE", ["282 list follows\r\n", "alt.test\t?\r\n", ".\r\n"]),
            ("MGFOO", ["500 command not recognized\r\n"]),
        ]
        for command, expected in cases:
            with self.subTest(command=command):
                raw.send(command + "\r\n")
                lines = [raw.line()]
                while len(lines) < len(expected) and lines[-1] != ".\r\n":
                    lines.append(raw.line())
                self.assertEqual(lines, expected)

    def test_help_lists_the_administrative_commands_for_administrators(self):
        raw = Raw(self.server.port)
        self.addCleanup(raw.close)
        self.assertEqual(raw.ask("HELP"), "100 Legal commands\r\n")
        lines = raw.block()
        self.assertEqual(lines[0], "  article [MessageID|Number]\r\n")
        self.assertEqual(lines[20], "  xpat header range|MessageID pat [morepat...]\r\n")
        self.assertEqual(lines[21], "     The following commands are specific to Mergator:\r\n")
        self.assertEqual(lines[22], "  mgaccessed - list currently accessed groups\r\n")
        self.assertEqual(len(lines), 21 + 1 + 30 + 1)

    def test_telnet_escapes_and_mixed_case(self):
        raw = Raw(self.server.port)
        raw.send(b"\xff\xfb\x01\xff\xfd\x03HELP\r\n")
        self.assertEqual(raw.line(), "100 Legal commands\r\n")
        raw.block()
        for command, answer in [("mOdE rEaDeR", "200 posting ok\r\n"),
                                ("gRoUp alt.test", "211 5 1 5 alt.test selected\r\n"),
                                ("nExT", "223 2 <a2@example.org> Article retrieved; request text separately\r\n"),
                                ("lIsT oVeRvIeW.fMt", "215 Order of fields in overview database.\r\n")]:
            self.assertEqual(raw.ask(command), answer)
        raw.block()
        self.assertEqual(raw.ask("quit"), "205 bye\r\n")
        raw.close()
        self.server.wait_for(lambda: "Skipped 2 telnet escape(s)." in self.server.client_logs(), "log")

    def test_long_lines(self):
        raw = Raw(self.server.port)
        self.addCleanup(raw.close)
        # The longest line that fits the 10,240-byte buffer with its NUL:
        # 10,239 bytes with CR LF.
        pattern = "x" * (10239 - len("XGTITLE \r\n"))
        raw.send("XGTITLE " + pattern + "\r\n")
        self.assertEqual(raw.line(), "282 list follows\r\n")
        self.assertEqual(raw.line(), ".\r\n")
        # One byte more, and far more: one answer each, then the session goes on.
        for length in (10240, 10241, 100000):
            with self.subTest(length=length):
                raw.send("XGTITLE " + "y" * (length - len("XGTITLE \r\n")) + "\r\n")
                self.assertEqual(raw.line(), "500 Line too long\r\n")
                self.assertEqual(raw.ask("MODE READER"), "200 posting ok\r\n")
        # A long word where a group name belongs.
        self.assertEqual(raw.ask("GROUP " + "g" * 600), "411 No such group\r\n")
        self.assertEqual(raw.ask("LISTGROUP " + "g" * 600), "411 No such group\r\n")

    def test_bad_input_neither_crashes_nor_leaks(self):
        rng = random.Random(7)
        blobs = [bytes(rng.randrange(256) for _ in range(50000)),
                 b"\x00" * 5000 + b"\r\n" + b"GROUP \x00alt.test\r\n",
                 b"\r\n".join(b"W" * rng.randrange(1, 3000) for _ in range(40)),
                 b"GROUP alt.test\r\n" + b"NEXT\r\nLAST\r\nLIST\r\nHELP\r\nXGTITLE\r\n" * 2000]
        for blob in blobs:
            raw = Raw(self.server.port)
            raw.send(blob)
            raw.sock.shutdown(socket.SHUT_WR)
            # Read everything the session answers until it closes.
            while raw.sock.recv(1 << 20):
                pass
            raw.close()
        # The server still answers, and gives back every thread and socket.
        raw = Raw(self.server.port)
        self.assertEqual(raw.ask("MODE READER"), "200 posting ok\r\n")
        raw.close()
        self.server.wait_for(lambda: self.server.resources() == self.idle,
                             "threads, sockets and indexes back to %r" % (self.idle,))

    def test_readers_vanishing_mid_command_leave_nothing_behind(self):
        for command in [b"LISTGROUP comp.lang.c\r\n", b"LIST\r\n", b"GROUP alt.te", b"AUTHINFO USER x\r\n"]:
            raw = Raw(self.server.port)
            raw.send(command)
            raw.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            raw.close()  # reset at once
        self.server.wait_for(lambda: self.server.resources() == self.idle,
                             "threads, sockets and indexes back to %r" % (self.idle,))


NTLM_CHALLENGE = "381 TlRMTVNTUAACAAAABAAEACgAAAAFAgEAASNFZ4mrze8AAAAAAAAAAE0ARwA=\r\n"

# Login settings of each case and the conversation: (command, answer).
AUTH_CASES = {
    "user login only": ("userLogin=reader\nuserPass=secret\n", [
        ("GROUP alt.test", "480 Authentication required\r\n"),
        ("HELP", "480 Authentication required\r\n"),
        ("AUTHINFO USER reader", "381 More authentication information required\r\n"),
        ("AUTHINFO PASS secret", "281 Authentication accepted\r\n"),
        # Without an administrator login the user has every right.
        ("MGFOO", "500 command not recognized\r\n"),
        ("GROUP alt.test", "211 5 1 5 alt.test selected\r\n"),
    ]),
    "administrator login only": ("adminLogin=boss\nadminPass=root\n", [
        ("GROUP alt.test", "211 5 1 5 alt.test selected\r\n"),
        ("MGSHUT", "500 error\r\n"),
        ("AUTHINFO USER boss", "381 More authentication information required\r\n"),
        ("AUTHINFO PASS root", "281 Authentication accepted\r\n"),
        ("MGFOO", "500 command not recognized\r\n"),
        # Administrators are accepted again whatever they send.
        ("AUTHINFO USER anybody", "381 More authentication information required\r\n"),
        ("AUTHINFO PASS anything", "281 Authentication accepted\r\n"),
    ]),
    "both logins": ("userLogin=reader\nuserPass=secret\nadminLogin=boss\nadminPass=root\n", [
        ("LIST", "480 Authentication required\r\n"),
        ("AUTHINFO GENERIC", "281 Packages Follow\r\nMSN\r\n.\r\n"),
        ("AUTHINFO TRANSACT MSN", "381 Protocol supported, proceeed\r\n"),
        ("AUTHINFO TRANSACT NTLM", NTLM_CHALLENGE),
        ("authinfo transact TlRMTVNTUAABAAAAB4IIAAAAAAAAAAAAAAAAAAAAAAA=", NTLM_CHALLENGE),
        ("GROUP alt.test", "480 Authentication required\r\n"),   # TRANSACT gives no rights
        ("AUTHINFO PASS secret", "482 Authentication rejected\r\n"),  # no user named
        ("AUTHINFO USER reader", "381 More authentication information required\r\n"),
        ("AUTHINFO PASS secret", "281 Authentication accepted\r\n"),
        ("MGSHUT", "500 error\r\n"),
        ("GROUP alt.test", "211 5 1 5 alt.test selected\r\n"),
        # The user's password is not the administrator's.
        ("AUTHINFO USER boss", "381 More authentication information required\r\n"),
        ("AUTHINFO PASS secret", "482 Authentication rejected\r\n"),
        ("AUTHINFO USER boss", "381 More authentication information required\r\n"),
        ("AUTHINFO PASS root", "281 Authentication accepted\r\n"),
        ("MGFOO", "500 command not recognized\r\n"),
    ]),
    "rejections": ("userLogin=reader\nuserPass=secret\n", [
        ("AUTHINFO", "482 Authentication rejected\r\n"),
        ("AUTHINFO USER", "482 Authentication rejected\r\n"),
        ("AUTHINFO USER READER", "482 Authentication rejected\r\n"),   # names compare with case
        ("AUTHINFO USER reader", "381 More authentication information required\r\n"),
        ("AUTHINFO PASS Secret", "482 Authentication rejected\r\n"),
        ("AUTHINFO GENERIC MSN", "482 Authentication rejected\r\n"),
        ("AUTHINFO TRANSACT", "482 Authentication rejected\r\n"),
        ("AUTHINFO SIMPLE", "482 Authentication rejected\r\n"),
        ("QUIT", "205 bye\r\n"),
    ]),
}


class Authentication(unittest.TestCase):
    def test_cases(self):
        for name, (logins, conversation) in AUTH_CASES.items():
            with self.subTest(case=name):
                server = Mergator({"access": logins})
                try:
                    raw = Raw(server.port)
                    for command, answer in conversation:
                        raw.send(command + "\r\n")
                        started = time.monotonic()
                        got = raw.line()
                        while got.startswith("281 Packages") and not got.endswith(".\r\n"):
                            got += raw.line()
                        self.assertEqual(got, answer, command)
                        if answer.startswith("482"):
                            # The rejection costs a second (measured loosely).
                            self.assertGreaterEqual(time.monotonic() - started, 0.9, command)
                    raw.close()
                finally:
                    self.assertEqual(server.stop(), 43)

    def test_ntlm_challenge_is_a_type_2_message(self):
        text = NTLM_CHALLENGE[4:-2]
        self.assertEqual((len(NTLM_CHALLENGE), len(text), text.count("=")), (66, 60, 1))
        message = base64.b64decode(text)
        self.assertEqual(len(message), 44)
        self.assertEqual(message[:8], b"NTLMSSP\x00")
        self.assertEqual(struct.unpack("<I", message[8:12])[0], 2)
        length, _, offset = struct.unpack("<HHI", message[12:20])
        self.assertEqual(message[offset:offset + length].decode("utf-16-le"), "MG")

    def test_nntplib_logs_in(self):
        server = Mergator({"access": "userLogin=reader\nuserPass=secret\n"})
        try:
            reader = nntplib.NNTP("127.0.0.1", server.port, user="reader", password="secret", readermode=True,
                                  timeout=WAIT)
            self.assertEqual(reader.group("alt.test")[1:4], (5, 1, 5))
            reader.quit()
            with self.assertRaises(nntplib.NNTPError):
                nntplib.NNTP("127.0.0.1", server.port, user="reader", password="wrong", readermode=True,
                             timeout=WAIT)
        finally:
            self.assertEqual(server.stop(), 43)


class FakeUpstream:
    """An upstream news server that knows one group."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.listener.settimeout(WAIT)
        self.port = self.listener.getsockname()[1]
        self.commands = []
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        try:
            while True:
                connection, _ = self.listener.accept()
                threading.Thread(target=self.converse, args=(connection,), daemon=True).start()
        except OSError:
            pass

    def converse(self, connection):
        with connection, connection.makefile("rb") as lines:
            connection.sendall(b"200 fake upstream ready\r\n")
            for line in lines:
                command = line.decode("latin-1").strip()
                self.commands.append(command)
                word = command.split(" ")
                if command.upper() == "QUIT":
                    connection.sendall(b"205 bye\r\n")
                    return
                elif word[0].upper() == "MODE":
                    connection.sendall(b"200 reader\r\n")
                elif word[0].upper() == "GROUP" and word[1:] == ["far.away"]:
                    connection.sendall(b"211 10 5 14 far.away\r\n")
                elif word[0].upper() == "GROUP":
                    connection.sendall(b"411 no such group\r\n")
                else:
                    connection.sendall(b"500 what?\r\n")

    def close(self):
        self.listener.close()


class BackgroundServer(unittest.TestCase):
    def test_unreachable_background_server(self):
        server = Mergator(servers="url=127.0.0.1:1\nbackground=1\n")
        try:
            raw = Raw(server.port)
            self.assertEqual(raw.ask("GROUP not.listed"), "411 No such group (could not reach background server)\r\n")
            # Listed groups and the pseudo-group never ask it.
            self.assertEqual(raw.ask("GROUP alt.test"), "211 5 1 5 alt.test selected\r\n")
            self.assertEqual(raw.ask("GROUP async"), "211 0 1 0 async selected\r\n")
            # Only names that fit a group name are asked for.
            self.assertEqual(raw.ask("GROUP " + "n" * 512), "411 No such group\r\n")
            raw.close()
        finally:
            self.assertEqual(server.stop(), 43)

    def test_groups_known_only_to_the_background_server(self):
        upstream = FakeUpstream()
        self.addCleanup(upstream.close)
        server = Mergator(servers="url=127.0.0.1:%d\nbackground=1\n" % upstream.port,
                          sections={"connect": "enforceForbiddenIPs=0\n"})
        try:
            raw = Raw(server.port)
            self.assertEqual(raw.ask("GROUP far.away"), "211 10 5 14 far.away\r\n")
            self.assertEqual(raw.ask("GROUP no.where"), "411 No such group\r\n")
            # The background group is the selected one, without an index.
            self.assertEqual(raw.ask("GROUP far.away"), "211 10 5 14 far.away\r\n")
            self.assertEqual(raw.ask("XGTITLE"), "282 list follows\r\n")
            self.assertEqual(raw.block(), [".\r\n"])
            self.assertRegex(raw.ask("NEXT"), "^412 Cannot confirm group far.away: ")
            raw.close()
            self.assertIn("GROUP far.away", upstream.commands)
        finally:
            self.assertEqual(server.stop(), 43)


class Shutdown(unittest.TestCase):
    def test_reader_that_never_reads_does_not_hold_up_a_shutdown(self):
        server = Mergator()
        try:
            raw = Raw(server.port)
            raw.sock.setblocking(False)
            # Commands until the answers fill every buffer between the two.
            try:
                for _ in range(1000000):
                    raw.sock.send(b"HELP\r\n")
            except BlockingIOError:
                pass
            idle = Raw(server.port)
        finally:
            self.assertEqual(server.stop(), 43)
        raw.close()
        idle.close()


class Banner(unittest.TestCase):
    def test_banner_only_when_allowed(self):
        for settings, greeting in [
            ("banner=200 Local news\n", "200 Mergator 4.5 (posting allowed)\r\n"),
            ("banner=200 Local news\nbannerOkForVersion=4.5\n", "200 Local news\r\n"),
            ("banner=201 Reading only\nbannerOkAlways=1\n", "201 Reading only\r\n"),
        ]:
            with self.subTest(settings=settings):
                server = Mergator({"access": settings})
                try:
                    self.assertEqual(Raw(server.port).greeting, greeting)
                finally:
                    self.assertEqual(server.stop(), 43)


if __name__ == "__main__":
    unittest.main(verbosity=2)
