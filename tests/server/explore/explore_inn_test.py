"""Exploration end to end: the real mergator program explores two real INN
servers on loopback (B reached through a dante SOCKS5 proxy) that carry the
same articles under different numbers, articles only one of them has, a
cross-post and a group only A carries; then cancels, a server that is down,
and restarts that resume from the newsrc."""

import os
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE_DIR = os.environ.get("MG_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", "..", ".."))
BINARY_DIR = os.environ.get("MG_BINARY_DIR", os.path.join(SOURCE_DIR, "build"))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "support"))

from innserver import InnServer, free_port, make_article  # noqa: E402

NEWS_BIN = "/usr/lib/news/bin"


def mergator():
    return os.path.join(BINARY_DIR, "mergator")


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


class Dante:
    """danted on a free loopback port, SOCKS5 without login, to 127.0.0.0/8."""

    def __init__(self, root):
        self.root = root
        self.proc = None
        self.port = 0

    def start(self):
        program = shutil.which("danted") or "/usr/sbin/danted"
        if not os.access(program, os.X_OK):
            raise unittest.SkipTest("danted is not installed")
        for _ in range(3):
            self.port = free_port()
            conf = os.path.join(self.root, "danted.conf")
            with open(conf, "w") as f:
                f.write("logoutput: %s/danted.log\ninternal: 127.0.0.1 port = %d\nexternal: 127.0.0.1\n"
                        "socksmethod: none\nclientmethod: none\nuser.privileged: root\n"
                        "user.unprivileged: nobody\nclient pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                        "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 command: connect }\n"
                        % (self.root, self.port))
            out = open(os.path.join(self.root, "danted.out"), "w")
            self.proc = subprocess.Popen([program, "-f", conf, "-p", os.path.join(self.root, "danted.pid"),
                                          "-N", "1"], stdout=out, stderr=out, start_new_session=True)
            out.close()
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline and self.proc.poll() is None:
                try:
                    socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                    return self
                except OSError:
                    time.sleep(0.05)
            self.stop()
        raise unittest.SkipTest("danted does not start here")

    def stop(self):
        if self.proc is None:
            return
        try:
            os.killpg(self.proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        self.proc = None


def article(msgid, groups, n=0):
    return make_article(msgid, groups, subject="Subject %s" % msgid, body="Body %d.\n" % n)


class TwoServers(unittest.TestCase):
    """One scenario in steps: each step builds on the state the previous left."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        root = cls.tmp.name
        os.chmod(root, 0o755)
        cls.a = InnServer(os.path.join(root, "innA"), groups={"misc.test": 1, "alt.only.a": 1}, name="a")
        cls.b = InnServer(os.path.join(root, "innB"), groups={"misc.test": 501}, name="b")
        try:
            cls.a.start()
            cls.b.start()
        except Exception as e:  # no INN on this machine
            cls.tearDownClass()
            raise unittest.SkipTest("INN does not start here: %s" % e)
        cls.dante = Dante(root)
        try:
            cls.dante.start()
        except unittest.SkipTest:
            cls.tearDownClass()
            raise
        # Both: s1..s10. Only A: a1..a3. Only B: b1, b2. Cross-post on A to
        # both of its groups, on B to misc.test only.
        both = [article("<s%d@test>" % i, "misc.test", i) for i in range(1, 11)]
        cls.a.feed(both + [article("<a%d@test>" % i, "misc.test", i) for i in range(1, 4)]
                   + [article("<x1@test>", "misc.test,alt.only.a")])
        cls.b.feed([article("<b%d@test>" % i, "misc.test", i) for i in range(1, 3)] + both
                   + [article("<x1@test>", "misc.test,alt.only.a")])
        cls.work = os.path.join(root, "work")
        os.makedirs(os.path.join(cls.work, "etc"))
        os.makedirs(os.path.join(cls.work, "index2"))
        # The groups readers use: an index file makes a group active.
        for g in ("misc.test", "alt.only.a"):
            open(os.path.join(cls.work, "index2", g), "w").close()
        cls.nntp_port, cls.web_port = free_port(), free_port()
        with open(os.path.join(cls.work, "etc", "mergator.ini"), "w") as f:
            f.write("[access]\nnntpPort=%d\nwebPort=%d\n\n[general]\nassumeInternetPresent=1\n"
                    % (cls.nntp_port, cls.web_port))
        cls.write_servers(cls.b.port)

    @classmethod
    def write_servers(cls, b_port):
        with open(os.path.join(cls.work, "etc", "servers.ini"), "w") as f:
            f.write("[proxies]\nurl=none\n\n[server]\nid=1\nurl=127.0.0.1:%d\nenforceForbiddenIPs=0\n\n"
                    "[server]\nid=2\nurl=127.0.0.1:%d\nprivateProxy=socks5://127.0.0.1:%d\n"
                    % (cls.a.port, b_port, cls.dante.port))

    @classmethod
    def tearDownClass(cls):
        for name in ("dante", "a", "b"):
            srv = getattr(cls, name, None)
            if srv is not None:
                try:
                    srv.stop()
                except Exception:
                    pass
        if not os.environ.get("MG_KEEP"):
            cls.tmp.cleanup()

    # -- helpers ------------------------------------------------------------
    def results(self):
        path = os.path.join(self.work, "logs", "results")
        if not os.path.exists(path):
            return []
        with open(path, errors="replace") as f:
            return [l for l in f.read().splitlines() if l and not l.startswith(("proxy ", "proxychain "))]

    def run_cycle(self):
        """One run of mergator until both servers were explored once; returns
        the new results lines."""
        before = len(self.results())
        out = open(os.path.join(self.work, "..", "mergator.out"), "a")
        proc = subprocess.Popen([mergator(), "-d", self.work], stdin=subprocess.DEVNULL, stdout=out,
                                stderr=out)
        out.close()
        try:
            wait_for(lambda: len(self.results()) >= before + 2 or proc.poll() is not None, 300, "two explorations")
        finally:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
            code = proc.wait(timeout=120)
        self.assertEqual(code, 43, self.journal())
        return self.results()[before:]

    def diag(self):
        text = "work directory %s\n" % self.work
        for sub in ("connect", "explore"):
            d = os.path.join(self.work, sub)
            for name in sorted(os.listdir(d)) if os.path.isdir(d) else []:
                with open(os.path.join(d, name), errors="replace") as f:
                    text += "---- %s/%s\n%s" % (sub, name, f.read()[-3000:])
        return text

    def journal(self):
        with open(os.path.join(self.work, "journal"), errors="replace") as f:
            return f.read()

    def explore_log(self, port):
        for name in os.listdir(os.path.join(self.work, "explore")):
            if name.endswith(str(port)):
                with open(os.path.join(self.work, "explore", name), errors="replace") as f:
                    return f.read()
        return ""

    def last_run(self, text):
        return text[text.rfind("========================"):]

    def index(self, group):
        db = sqlite3.connect(os.path.join(self.work, "index2", group))
        try:
            rows = db.execute("SELECT msgId, servRefs FROM articles").fetchall()
        finally:
            db.close()
        out = {}
        for msgid, refs in rows:
            self.assertNotIn(msgid, out, "Message-ID %s stored twice" % msgid)
            out[msgid] = sorted(int(r.split(":")[0]) for r in (refs or "").split())
        return out

    # -- the scenario -------------------------------------------------------
    def test_1_first_cycle_merges_both_servers(self):
        lines = self.run_cycle()
        self.assertEqual(len(lines), 2, lines)
        for line in lines:
            self.assertIn("Ok", line, self.diag())
        idx = self.index("misc.test")
        want = {"<s%d@test>" % i: [1, 2] for i in range(1, 11)}
        want.update({"<a%d@test>" % i: [1] for i in range(1, 4)})
        want.update({"<b%d@test>" % i: [2] for i in range(1, 3)})
        want["<x1@test>"] = [1, 2]
        self.assertEqual({k: v for k, v in idx.items() if not k.startswith("<0")}, want)
        # The group only A carries holds the cross-post with A's reference.
        only = self.index("alt.only.a")
        self.assertEqual(only.get("<x1@test>"), [1])
        log_b = self.explore_log(self.b.port)
        self.assertIn("Result: Ok, next exploration in 2 hours.", log_b)
        stats = open(os.path.join(self.work, "etc", "servdyna.ini")).read()
        self.assertEqual(len(re.findall(r"^okExplores=1$", stats, re.M)), 2, stats)

    def test_2_restart_resumes_and_cancels_lose_their_reference(self):
        number = 3  # A numbers the articles in the order they were fed
        subprocess.run([NEWS_BIN + "/ctlinnd", "-t", "10", "cancel", "<s3@test>"], env=self.a.env,
                       check=True, stdout=subprocess.DEVNULL)
        lines = self.run_cycle()
        self.assertEqual(len(lines), 2, lines)
        log_a = self.last_run(self.explore_log(self.a.port))
        self.assertIn("Last full groups.yes sweep is recent, asking about new groups only.", log_a)
        self.assertIn("1 (%d-%d) of 14 (1-14) articles vanished." % (number, number), log_a)
        log_b = self.last_run(self.explore_log(self.b.port))
        self.assertIn("Already have all remaining articles", log_b)
        self.assertNotIn("full article descriptions", log_b)
        idx = self.index("misc.test")
        self.assertEqual(idx["<s3@test>"], [2])
        self.assertEqual(idx["<s4@test>"], [1, 2])

    def test_3_a_server_that_is_down_is_skipped_then_explored_again(self):
        # B's port now has nobody behind the proxy; A gets a new article.
        dead = free_port()
        self.write_servers(dead)
        self.a.feed([article("<a4@test>", "misc.test", 4)])
        lines = self.run_cycle()
        self.assertEqual(len(lines), 2, lines)
        ok = [l for l in lines if "Ok" in l and str(self.a.port) in l]
        self.assertEqual(len(ok), 1, lines)
        log_b = self.last_run(self.explore_log(dead))
        self.assertRegex(log_b, r"Result: [^\n]+, next exploration in ")
        self.assertNotIn("Result: Ok", log_b)
        self.assertEqual(self.index("misc.test")["<a4@test>"], [1])
        # B back: explored again, nothing refetched.
        self.write_servers(self.b.port)
        lines = self.run_cycle()
        self.assertTrue(all("Ok" in l for l in lines), lines)
        log_b = self.last_run(self.explore_log(self.b.port))
        self.assertIn("Already have all remaining articles", log_b)


if __name__ == "__main__":
    unittest.main()
