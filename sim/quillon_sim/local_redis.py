"""A throw-away redis-server on a free loopback port, for tests and dry runs.

Persistence is off and its working directory is a temporary one, so nothing
outlives the server.  ``restart()`` brings it back on the same port, which is
what reconnection tests need.
"""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Optional

import redis

SERVER_ENV = "QUILLON_REDIS_SERVER"  # overrides the redis-server found on PATH


class RedisServerNotFound(RuntimeError):
    pass


def find_redis_server() -> str:
    path = os.environ.get(SERVER_ENV) or shutil.which("redis-server")
    if not path or not os.path.exists(path):
        raise RedisServerNotFound(
            "redis-server was not found (looked at $%s and PATH); install Debian's "
            "redis-server package: apt-get install redis-server" % SERVER_ENV)
    return path


def free_port(host: str = "127.0.0.1") -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


class RedisServer:
    host = "127.0.0.1"

    def __init__(self, password: Optional[str] = None, port: Optional[int] = None,
                 executable: Optional[str] = None, startup_timeout: float = 10.0):
        self.executable = executable or find_redis_server()
        if not os.path.exists(self.executable):
            raise RedisServerNotFound(
                f"redis-server not found at {self.executable}; install Debian's "
                "redis-server package: apt-get install redis-server")
        self.password = password
        self.port = port or free_port(self.host)
        self.startup_timeout = startup_timeout
        self.dir = Path(tempfile.mkdtemp(prefix="quillon-redis-"))
        self.proc: Optional[subprocess.Popen] = None

    @property
    def pid(self) -> Optional[int]:
        return self.proc.pid if self.proc else None

    @property
    def log_path(self) -> Path:
        return self.dir / "redis.log"

    def _argv(self):
        argv = [self.executable, "--port", str(self.port), "--bind", self.host,
                "--save", "", "--appendonly", "no", "--daemonize", "no",
                "--dir", str(self.dir), "--logfile", str(self.log_path)]
        if self.password:
            argv += ["--requirepass", self.password]
        return argv

    def client(self, **kwargs) -> redis.Redis:
        kwargs.setdefault("decode_responses", True)
        kwargs.setdefault("socket_timeout", 5.0)
        return redis.Redis(host=self.host, port=self.port, password=self.password or None, **kwargs)

    def start(self) -> "RedisServer":
        if self.proc is not None and self.proc.poll() is None:
            return self
        self.proc = subprocess.Popen(self._argv(), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        probe = self.client(socket_timeout=0.5, socket_connect_timeout=0.5)
        deadline = time.monotonic() + self.startup_timeout
        try:
            while True:
                if self.proc.poll() is not None:
                    raise RuntimeError(f"redis-server exited with {self.proc.returncode} on "
                                       f"port {self.port}:\n{self._log_tail()}")
                try:
                    if probe.ping():
                        return self
                except redis.RedisError:
                    pass
                if time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError(f"redis-server on port {self.port} did not answer PING "
                                       f"within {self.startup_timeout}s:\n{self._log_tail()}")
                time.sleep(0.05)
        finally:
            probe.close()

    def _log_tail(self) -> str:
        try:
            return "\n".join(self.log_path.read_text(errors="replace").splitlines()[-20:])
        except OSError:
            return "(no log)"

    def stop(self, timeout: float = 5.0) -> Optional[int]:
        """Stop the server process (by its own pid); returns its exit status."""
        proc, self.proc = self.proc, None
        if proc is None:
            return None
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout)
        return proc.returncode

    def restart(self) -> "RedisServer":
        self.stop()
        return self.start()

    def close(self) -> None:
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self) -> "RedisServer":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.close()
