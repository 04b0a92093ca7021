"""Shared helpers for the companion tool tests: locating the built programs,
running them, and reading their console output."""

import os
import resource
import signal
import subprocess
import tempfile

BINARY_DIR = os.environ.get("MG_BINARY_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))


def program(name):
    for sub in ("", "tools"):
        path = os.path.join(BINARY_DIR, sub, name)
        if os.access(path, os.X_OK):
            return path
    raise FileNotFoundError(name)


def console(text):
    """What a console shows: each "\\b \\b" erases the character before it."""
    out = []
    i = 0
    while i < len(text):
        if text.startswith("\b \b", i):
            if out and out[-1] != "\n":
                out.pop()
            i += 3
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def run(name, args, cwd, file_size_limit=None, timeout=120):
    """Runs a tool; returns (exit code, raw standard output + error)."""
    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))

    proc = subprocess.run([program(name)] + list(args), cwd=cwd, capture_output=True, timeout=timeout,
                          preexec_fn=limit if file_size_limit is not None else None)
    return proc.returncode, (proc.stdout + proc.stderr).decode("latin-1")


def write(path, data):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("latin-1"))


def read(path):
    with open(path, "rb") as f:
        return f.read()


def tempdir():
    return tempfile.TemporaryDirectory(prefix="mgtools.")
