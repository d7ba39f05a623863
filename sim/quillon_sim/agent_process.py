"""Runs the simulated QMT bridge agent as a separate process, for tests."""

from __future__ import annotations

import os
import queue
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import List, Optional, Sequence

# The folder that holds the quillon_sim package (the repo's sim/ folder, or
# site-packages once installed), put on the child's path.
SIM_DIR = Path(__file__).resolve().parents[1]
READY_PREFIX = "quillon_sim QMT agent listening on "
PASSWORD_ENV = "QUILLON_SIM_REDIS_PASSWORD"


class AgentProcess:
    def __init__(self, port: int, host: str = "127.0.0.1", db: int = 5,
                 password: Optional[str] = None, key_prefix: str = "quillon:qmt",
                 allow_orders: bool = True, args: Sequence[str] = (),
                 startup_timeout: float = 15.0):
        self.host, self.port, self.db = host, port, db
        self.password = password
        self.key_prefix = key_prefix
        self.allow_orders = allow_orders
        self.args = list(args)
        self.startup_timeout = startup_timeout
        self.proc: Optional[subprocess.Popen] = None
        self.startup_line: Optional[str] = None
        self.stdout_lines: List[str] = []
        self._lines: "queue.Queue[Optional[str]]" = queue.Queue()
        self._stderr = tempfile.TemporaryFile(mode="w+", encoding="utf-8", errors="replace")

    @property
    def prefix(self) -> str:
        return self.key_prefix.rstrip(":")

    @property
    def pid(self) -> Optional[int]:
        return self.proc.pid if self.proc else None

    def argv(self) -> List[str]:
        argv = [sys.executable, "-m", "quillon_sim.qmt_agent", "--host", self.host,
                "--port", str(self.port), "--db", str(self.db), "--key-prefix", self.key_prefix]
        if self.allow_orders:
            argv.append("--allow-orders")
        return argv + self.args

    def start(self) -> "AgentProcess":
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(
            [str(SIM_DIR)] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
        env["PYTHONUNBUFFERED"] = "1"
        env.pop(PASSWORD_ENV, None)
        if self.password:
            env[PASSWORD_ENV] = self.password  # kept off the command line
        self.proc = subprocess.Popen(self.argv(), env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=self._stderr,
                                     text=True, encoding="utf-8", errors="replace")
        threading.Thread(target=self._read_stdout, args=(self.proc.stdout,),
                         name="agent-stdout", daemon=True).start()
        deadline = time.monotonic() + self.startup_timeout
        while True:
            try:
                line = self._lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                self.stop()
                raise RuntimeError(f"agent printed no startup line within "
                                   f"{self.startup_timeout}s; stderr:\n{self.stderr()}")
            if line is None:
                code = self.stop()
                raise RuntimeError(f"agent exited ({code}) before it was ready; "
                                   f"stderr:\n{self.stderr()}")
            if line.startswith(READY_PREFIX):
                self.startup_line = line
                return self

    def _read_stdout(self, stream) -> None:
        for line in stream:
            line = line.rstrip("\r\n")
            self.stdout_lines.append(line)
            self._lines.put(line)
        self._lines.put(None)

    def stderr(self) -> str:
        self._stderr.flush()
        self._stderr.seek(0)
        text = self._stderr.read()
        self._stderr.seek(0, os.SEEK_END)
        return text

    def stop(self, timeout: float = 5.0) -> Optional[int]:
        """Ask the agent to stop (SIGTERM), kill it after ``timeout``; returns its exit status."""
        proc = self.proc
        if proc is None:
            return None
        if proc.poll() is None:
            if os.name == "nt":
                proc.terminate()
            else:
                proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout)
        if proc.stdout:
            proc.stdout.close()
        return proc.returncode

    def close(self) -> Optional[int]:
        code = self.stop()
        self._stderr.close()
        return code

    def __enter__(self) -> "AgentProcess":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.close()
