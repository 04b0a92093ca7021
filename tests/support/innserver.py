#!/usr/bin/env python3
"""A private INN news server for tests.

InnServer lays out its own tree under a directory (configuration, spool,
overview, history), starts ovsqlite-server and innd as user news on free
loopback ports and stops them again. Readers connect to `port` (innd hands
every client to nnrpd); articles are fed fastest with IHAVE to the same port
(`feed`). With `auth=(user, password)` readers must log in with AUTHINFO.

Command line (for tests in other languages):
    innserver.py start DIR [--group NAME[:NEXT]]... [--auth USER:PASS] [--keep]
        starts a server in DIR, prints "PORT <n>" and returns once it answers;
        with --keep a DIR that holds a file "kept" (made by the caller once
        its articles are in) is started again with its spool and history
        instead of being laid out afresh
    innserver.py feed DIR FILE      feeds the articles of FILE (mbox-like,
                                    separated by lines "\\x00ARTICLE\\n")
    innserver.py stop DIR           stops the server of DIR
"""

import crypt
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import time

NEWS_BIN = "/usr/lib/news/bin"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise RuntimeError("timed out waiting for " + what)


class InnServer:
    def __init__(self, root, groups=None, auth=None, port=None, name="test", keep=False):
        self.root = os.path.abspath(root)
        self.groups = groups or {"misc.test": 1}
        self.auth = auth
        self.port = port or free_port()          # readers (nnrpd)
        self.feed_port = free_port()              # feeds (innd)
        self.name = name
        self.keep = keep
        self.conf = os.path.join(self.root, "etc", "inn.conf")
        self.env = dict(os.environ, INNCONF=self.conf)

    # -- layout --------------------------------------------------------
    def _layout(self):
        r = self.root
        if os.path.exists(r):
            shutil.rmtree(r)
        for d in ("etc", "db", "log", "run", "tmp", "http", "spool", "spool/articles",
                  "spool/overview", "spool/incoming", "spool/outgoing", "spool/archive"):
            os.makedirs(os.path.join(r, d), exist_ok=True)
        self._write_conf()
        self._layout_rest()

    def _relayout_kept(self):
        """A kept tree: new ports in inn.conf, no leftovers of the last run."""
        self._write_conf()
        run = os.path.join(self.root, "run")
        for fn in os.listdir(run):
            os.remove(os.path.join(run, fn))
        news = pwd.getpwnam("news")
        os.chown(self.conf, news.pw_uid, news.pw_gid)

    def _write_conf(self):
        r = self.root
        overrides = {
            "port": str(self.feed_port), "bindaddress": "127.0.0.1",
            "pathhost": self.name + ".test", "domain": "localdomain", "server": "127.0.0.1",
            "pathdb": r + "/db", "pathetc": r + "/etc", "pathlog": r + "/log",
            "pathrun": r + "/run", "pathtmp": r + "/tmp", "pathhttp": r + "/http",
            "pathspool": r + "/spool", "patharticles": r + "/spool/articles",
            "pathoverview": r + "/spool/overview", "pathincoming": r + "/spool/incoming",
            "pathoutgoing": r + "/spool/outgoing", "patharchive": r + "/spool/archive",
            "ovmethod": "ovsqlite", "artcutoff": "0", "maxartsize": "0",
            "localmaxartsize": "0", "pgpverify": "false", "mta": '"/bin/true %s"',
            "nnrpdloadlimit": "0", "doinnwatch": "false", "docnfsstat": "false",
            "wipcheck": "0", "wipexpire": "0", "maxconnections": "0",
            "readertrack": "false", "checkincludedtext": "false",
        }
        lines = []
        with open("/etc/news/inn.conf") as f:
            for line in f:
                key = line.split(":", 1)[0].strip()
                if key in overrides or key == "bindaddress6" or line.lstrip().startswith("#"):
                    continue
                lines.append(line)
        for k, v in overrides.items():
            lines.append("%s: %s\n" % (k, v))
        with open(self.conf, "w") as f:
            f.writelines(lines)

    def _layout_rest(self):
        r = self.root
        for fn in ("ovsqlite.conf", "expire.ctl", "moderators", "distributions",
                   "subscriptions", "innwatch.ctl", "inn-radius.conf", "nocem.ctl",
                   "innfeed.conf", "innreport.conf", "send-uucp.cf", "actsync.cfg",
                   "actsync.ign", "control.ctl", "control.ctl.local", "buffindexed.conf",
                   "cycbuff.conf", "ovdb.conf", "nntpsend.ctl", "news2mail.cf",
                   "localgroups", "passwd.nntp", "innshellvars.local"):
            src = os.path.join("/etc/news", fn)
            if os.path.exists(src):
                shutil.copy(src, os.path.join(r, "etc", fn))
        with open(os.path.join(r, "etc", "storage.conf"), "w") as f:
            f.write("method tradspool {\n newsgroups: *\n class: 0\n}\n")
        with open(os.path.join(r, "etc", "newsfeeds"), "w") as f:
            f.write("ME:*::\n")
        with open(os.path.join(r, "etc", "incoming.conf"), "w") as f:
            f.write('peer local {\n hostname: "127.0.0.1, localhost"\n}\n')
        with open(os.path.join(r, "etc", "readers.conf"), "w") as f:
            if self.auth:
                pwfile = os.path.join(r, "etc", "readers.passwd")
                with open(pwfile, "w") as p:
                    p.write("%s:%s\n" % (self.auth[0],
                                         crypt.crypt(self.auth[1], crypt.mksalt(crypt.METHOD_SHA512))))
                f.write('auth "users" {\n hosts: "*"\n auth: "ckpasswd -f %s"\n}\n' % pwfile)
                f.write('access "users" {\n users: "%s"\n newsgroups: "*"\n access: RPA\n}\n'
                        % self.auth[0])
            else:
                f.write('auth "all" {\n hosts: "*"\n default: "<anon>"\n}\n')
                f.write('access "all" {\n users: "<anon>"\n newsgroups: "*"\n access: RPA\n}\n')
        with open(os.path.join(r, "db", "active"), "w") as f:
            for g, nxt in self.groups.items():
                f.write("%s %010d %010d y\n" % (g, nxt - 1, nxt))
            for g in ("control", "control.cancel", "junk"):
                if g not in self.groups:
                    f.write("%s 0000000000 0000000001 n\n" % g)
        now = int(time.time())
        with open(os.path.join(r, "db", "active.times"), "w") as f:
            for g in self.groups:
                f.write("%s %d test@localdomain\n" % (g, now))
        with open(os.path.join(r, "db", "newsgroups"), "w") as f:
            for g in self.groups:
                f.write("%s\tTest group %s.\n" % (g, g))
        open(os.path.join(r, "db", "history"), "w").close()
        news = pwd.getpwnam("news")
        for dirpath, dirnames, filenames in os.walk(r):
            os.chown(dirpath, news.pw_uid, news.pw_gid)
            for fn in filenames:
                os.chown(os.path.join(dirpath, fn), news.pw_uid, news.pw_gid)
        # every directory above the tree must be reachable by user news
        d = os.path.dirname(r)
        while d and d != "/":
            st = os.stat(d)
            os.chmod(d, st.st_mode | 0o005)
            d = os.path.dirname(d)
        p = self._as_news([NEWS_BIN + "/makedbz", "-i", "-o"], cwd=r + "/db",
                          stdout=subprocess.DEVNULL)
        if p.wait() != 0:
            raise RuntimeError("makedbz failed")

    def _as_news(self, argv, **kw):
        news = pwd.getpwnam("news")

        def demote():
            import resource
            resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024))
            os.setgid(news.pw_gid)
            os.setuid(news.pw_uid)
        return subprocess.Popen(argv, env=self.env, preexec_fn=demote, **kw)

    def start(self, timeout=60):
        if self.keep and os.path.exists(os.path.join(self.root, "kept")):
            self._relayout_kept()
        else:
            self._layout()
        self.ovsqlite = self._as_news([NEWS_BIN + "/ovsqlite-server", "-d"],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        sock = os.path.join(self.root, "run", "ovsqlite.sock")
        _wait_for(lambda: os.path.exists(sock), timeout, "ovsqlite-server")
        log = open(os.path.join(self.root, "log", "innd.stderr"), "w")
        self.innd = self._as_news([NEWS_BIN + "/innd", "-f"], stdout=log, stderr=log)
        log.close()

        def answers(port):
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
                    return s.recv(512).startswith(b"20")
            except OSError:
                return False
        _wait_for(lambda: answers(self.feed_port), timeout, "innd on port %d" % self.feed_port)
        log = open(os.path.join(self.root, "log", "nnrpd.stderr"), "w")
        self.nnrpd = self._as_news([NEWS_BIN + "/nnrpd", "-D", "-f", "-n", "-b", "127.0.0.1",
                                    "-p", str(self.port)], stdout=log, stderr=log)
        log.close()
        _wait_for(lambda: answers(self.port), timeout, "nnrpd on port %d" % self.port)
        return self

    def stop(self):
        subprocess.run([NEWS_BIN + "/ctlinnd", "-t", "5", "shutdown", "test"], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        nnrpd = getattr(self, "nnrpd", None)
        if nnrpd is not None:
            nnrpd.terminate()
        for p in (nnrpd, getattr(self, "innd", None), getattr(self, "ovsqlite", None)):
            if p is None:
                continue
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.terminate()
                try:
                    p.wait(timeout=3)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- articles ------------------------------------------------------
    def feed(self, articles):
        """Feeds articles (bytes, CRLF or LF lines, each with a Message-ID
        header) with IHAVE; returns the number accepted."""
        accepted = 0
        with socket.create_connection(("127.0.0.1", self.feed_port), timeout=30) as s:
            f = s.makefile("rb")
            f.readline()
            s.sendall(b"MODE STREAM\r\n")
            streaming = f.readline().startswith(b"203")
            for art in articles:
                art = art.replace(b"\r\n", b"\n")
                msgid = None
                for line in art.split(b"\n"):
                    if line == b"":
                        break
                    if line.lower().startswith(b"message-id:"):
                        msgid = line.split(b":", 1)[1].strip()
                body = b"\r\n".join((b"." + l if l.startswith(b".") else l)
                                    for l in art.rstrip(b"\n").split(b"\n"))
                if streaming:
                    s.sendall(b"TAKETHIS " + msgid + b"\r\n" + body + b"\r\n.\r\n")
                    if f.readline().startswith(b"239"):
                        accepted += 1
                else:
                    s.sendall(b"IHAVE " + msgid + b"\r\n")
                    if not f.readline().startswith(b"335"):
                        continue
                    s.sendall(body + b"\r\n.\r\n")
                    if f.readline().startswith(b"235"):
                        accepted += 1
            s.sendall(b"QUIT\r\n")
        return accepted


def make_article(msgid, groups, subject="test", body="Hello.\n", sender="Tester <t@example.com>",
                 date="Thu, 10 Dec 2026 12:00:00 +0000", extra=""):
    return ("Path: test!not-for-mail\nFrom: %s\nNewsgroups: %s\nSubject: %s\nDate: %s\n"
            "Message-ID: %s\n%s\n%s" % (sender, groups, subject, date, msgid, extra, body)).encode()


def _main(argv):
    import json
    cmd, root = argv[1], argv[2]
    state = os.path.join(root + ".state")
    if cmd == "start":
        groups, auth, keep = {}, None, False
        i = 3
        while i < len(argv):
            if argv[i] == "--keep":
                keep = True
                i += 1
            elif argv[i] == "--group":
                name, _, nxt = argv[i + 1].partition(":")
                groups[name] = int(nxt or 1)
                i += 2
            elif argv[i] == "--auth":
                auth = tuple(argv[i + 1].split(":", 1))
                i += 2
            else:
                raise SystemExit("unknown argument " + argv[i])
        srv = InnServer(root, groups=groups or None, auth=auth, keep=keep).start()
        with open(state, "w") as f:
            json.dump({"port": srv.port, "feed_port": srv.feed_port, "innd": srv.innd.pid,
                       "nnrpd": srv.nnrpd.pid, "ovsqlite": srv.ovsqlite.pid,
                       "groups": srv.groups}, f)
        print("PORT %d" % srv.port, flush=True)
    elif cmd == "feed":
        with open(state) as f:
            st = json.load(f)
        srv = InnServer(root, port=st["port"])
        srv.feed_port = st["feed_port"]
        data = open(argv[3], "rb").read()
        arts = [a for a in data.split(b"\x00ARTICLE\n") if a.strip()]
        print("ACCEPTED %d" % srv.feed(arts), flush=True)
    elif cmd == "stop":
        with open(state) as f:
            st = json.load(f)
        env = dict(os.environ, INNCONF=os.path.join(os.path.abspath(root), "etc", "inn.conf"))
        subprocess.run([NEWS_BIN + "/ctlinnd", "-t", "5", "shutdown", "test"], env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            os.kill(st["nnrpd"], signal.SIGTERM)
        except ProcessLookupError:
            pass
        for pid in (st["nnrpd"], st["innd"], st["ovsqlite"]):
            for sig, wait in ((None, 5), (signal.SIGTERM, 3), (signal.SIGKILL, 1)):
                try:
                    if sig:
                        os.kill(pid, sig)
                    deadline = time.monotonic() + wait
                    while time.monotonic() < deadline:
                        os.kill(pid, 0)
                        time.sleep(0.05)
                except ProcessLookupError:
                    break
        os.remove(state)
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    _main(sys.argv)
