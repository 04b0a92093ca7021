"""mergator run as a process, for the Python tests and benchmarks.

MergatorProcess prepares a work directory (etc/mergator.ini, etc/servers.ini
and the groups and articles that mgprepstore writes through the store),
starts mergator in it, waits until its journal says it has started, and
stops it with SIGTERM. Every wait is bounded by `wait` seconds.

A session's log reaches the shared client log ("logs/clients") only after
the session has ended, which may be a moment after the client saw the last
reply: a test waits for what it expects there (logs_with, wait_for) and
never reads it once.

free_port() gives a free port on 127.0.0.1 for the settings.
"""
import os
import signal
import socket
import subprocess
import time

STARTED = "Mergator successfully started."


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class MergatorProcess:
    """One mergator run in the work directory work.

    mergator_ini and servers_ini are the texts of the two settings files;
    store holds mgprepstore's commands (with bulk, mgprepstore --bulk, for
    large inputs). The programs are taken from binary_dir, by default
    $MG_BINARY_DIR (or "build").
    """

    def __init__(self, work, mergator_ini, servers_ini, store="", bulk=False, wait=60, binary_dir=None):
        self.work = work
        self.wait = wait
        binary_dir = os.path.abspath(binary_dir or os.environ.get("MG_BINARY_DIR", "build"))
        os.makedirs(os.path.join(work, "etc"), exist_ok=True)
        self.write("etc/mergator.ini", mergator_ini)
        self.write("etc/servers.ini", servers_ini)
        prep = subprocess.run([os.path.join(binary_dir, "tests", "mgprepstore")] + (["--bulk"] if bulk else []),
                              input=store, text=True, cwd=work, capture_output=True, timeout=wait)
        assert prep.returncode == 0, prep.stderr
        self.out = open(os.path.join(work, "out"), "w")
        self.process = subprocess.Popen([os.path.join(binary_dir, "mergator"), "-d", work], cwd=work,
                                        stdout=self.out, stderr=subprocess.STDOUT)
        try:
            self.wait_for(lambda: STARTED in self.read("journal"), "start")
        except BaseException:
            self.stop()
            raise

    def write(self, path, text):
        with open(os.path.join(self.work, path), "w") as f:
            f.write(text)

    def read(self, path):
        """The text of a file of the work directory ("" when there is none)."""
        try:
            with open(os.path.join(self.work, path), "rb") as f:
                return f.read().decode("latin-1")
        except OSError:
            return ""

    def wait_for(self, condition, what):
        """Waits until condition() holds; AssertionError when mergator ends
        or the wait runs out first."""
        deadline = time.monotonic() + self.wait
        while not condition():
            if self.process.poll() is not None:
                raise AssertionError("mergator ended (%s) waiting for %s: %s" % (
                    self.process.returncode, what, self.read("journal")))
            if time.monotonic() > deadline:
                raise AssertionError("timed out waiting for " + what)
            time.sleep(0.05)

    def client_logs(self):
        """The shared client log and the logs of clients still connected."""
        text = self.read("logs/clients")
        logs = os.path.join(self.work, "logs")
        for name in sorted(os.listdir(logs)) if os.path.isdir(logs) else []:
            if name.startswith("cli-"):
                text += self.read("logs/" + name)
        return text

    def logs_with(self, text, count=1):
        """The client logs once text appears count times in them."""
        deadline = time.monotonic() + self.wait
        logs = self.client_logs()
        while logs.count(text) < count:
            if time.monotonic() > deadline:
                raise AssertionError("%r not %d times in the client logs: %s" % (text, count, logs[-3000:]))
            time.sleep(0.05)
            logs = self.client_logs()
        return logs

    def stop(self):
        """Stops mergator (SIGTERM, killed when it does not end in time) and
        returns its exit code."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(self.wait)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.out.close()
        return self.process.returncode
