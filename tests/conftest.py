"""Shared fixtures for the system tests.

Every test gets a fresh sandbox root (platform/install-root into a temporary
folder) and starts the system's real programs against it. The whole pytest
run lives in private IPC, PID and mount namespaces (tests/run_in_ns), so the
SysV objects the programs create and any killall they run stay inside the
test; at the end of each test every process but pytest itself is stopped and
every SysV object of the namespace removed.
"""
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import sysv  # noqa: E402

SOURCE = Path(os.environ.get("DEEPVAULT_SOURCE", Path(__file__).resolve().parent.parent))
BUILD = Path(os.environ.get("DEEPVAULT_BUILD", SOURCE / "build"))
# Sanitised builds run several times slower; stretch every wait.
SLOW = 4.0 if os.environ.get("DEEPVAULT_SANITIZED") == "1" else 1.0


def pytest_configure(config):
    if os.environ.get("DEEPVAULT_PRIVATE_NS") != "1":
        pytest.exit(
            "system tests must run in private namespaces: "
            "tests/run_in_ns /usr/bin/python3 -m pytest ...", returncode=2)


class Sandbox:
    def __init__(self, tmp_path):
        self.root = tmp_path / "root"
        self.logdir = tmp_path / "log"
        self.root.mkdir()
        self.logdir.mkdir()
        self.procs = []
        installer = SOURCE / "platform" / "install-root"
        if installer.exists():
            subprocess.run([str(installer), str(self.root), "--build", str(BUILD / "bin")],
                           check=True, stdout=subprocess.DEVNULL)
        else:
            for d in ("etc", "tmp", "var/run", "var/tmp", "dev", "mnt/disc/videodata"):
                (self.root / d).mkdir(parents=True, exist_ok=True)
        env = dict(os.environ)
        env["DEEPVAULT_ROOT"] = str(self.root)
        env["DEEPVAULT_LOG"] = f"dir:{self.logdir}"
        env["DEEPVAULT_FOREGROUND"] = "1"
        path = [str(self.root / d) for d in ("bin", "sbin", "usr/bin")]
        path.append(str(BUILD / "bin"))
        env["PATH"] = ":".join(path + [env.get("PATH", "/usr/bin:/bin")])
        env.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0")
        self.env = env

    def path(self, logical):
        """The file inside the root for a logical system path."""
        return self.root / str(logical).lstrip("/")

    def bin(self, name):
        return str(BUILD / "bin" / name)

    def _argv(self, args):
        args = [str(a) for a in args]
        if "/" not in args[0] and (BUILD / "bin" / args[0]).exists():
            args[0] = self.bin(args[0])
        return args

    def run(self, args, input=None, timeout=30, env=None):
        """Runs a program to its end; returns the CompletedProcess (bytes)."""
        return subprocess.run(self._argv(args), input=input, capture_output=True,
                              timeout=timeout * SLOW, env=env or self.env)

    def start(self, prog, args=(), env=None, **kw):
        """Starts a program in the background (daemons stay in the foreground)."""
        p = subprocess.Popen(self._argv([prog, *args]), env=env or self.env, **kw)
        self.procs.append(p)
        return p

    def log_path(self, prog):
        return self.logdir / f"{prog}.log"

    def log_lines(self, prog):
        try:
            return self.log_path(prog).read_text(errors="replace").splitlines()
        except FileNotFoundError:
            return []

    def wait_log(self, prog, line, timeout=10, count=1):
        """Waits until the program's log holds the exact line (count times)."""
        deadline = time.monotonic() + timeout * SLOW
        while True:
            lines = self.log_lines(prog)
            if lines.count(line) >= count:
                return lines
            if time.monotonic() > deadline:
                raise AssertionError(
                    f"{prog} did not log {line!r} within {timeout}s; its log:\n"
                    + "\n".join(lines[-40:]))
            time.sleep(0.02)

    def wait_for(self, predicate, timeout=10, what="condition"):
        deadline = time.monotonic() + timeout * SLOW
        while not predicate():
            if time.monotonic() > deadline:
                raise AssertionError(f"timed out waiting for {what}")
            time.sleep(0.02)

    def stop(self, proc, sig=signal.SIGTERM, timeout=10):
        """Signals a started program and waits for it; returns its exit code."""
        if proc.poll() is None:
            proc.send_signal(sig)
            try:
                return proc.wait(timeout * SLOW)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                raise AssertionError(f"{proc.args[0]} did not stop on signal {sig}")
        return proc.returncode

    def cleanup(self):
        for p in self.procs:
            if p.poll() is None:
                p.terminate()
        deadline = time.monotonic() + 5 * SLOW
        for p in self.procs:
            try:
                p.wait(max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        _kill_strays()
        sysv.remove_all()


def _other_pids():
    me = os.getpid()
    pids = []
    for d in os.listdir("/proc"):
        if d.isdigit() and int(d) != me:
            pids.append(int(d))
    return pids


def _reap():
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return


def _kill_strays():
    """Stops daemons that left our sight (forked children, detached daemons).

    Only in our own PID namespace, where pytest is the first process."""
    if os.getpid() != 1:
        return
    for sig in (signal.SIGTERM, signal.SIGKILL):
        for pid in _other_pids():
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline:
            _reap()
            if not _other_pids():
                return
            time.sleep(0.02)


@pytest.fixture
def sandbox(tmp_path):
    sb = Sandbox(tmp_path)
    try:
        yield sb
    finally:
        sb.cleanup()
