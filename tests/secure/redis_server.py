"""Redis for the shared-store tests: a real redis-server of the test's own, on a free port or
a unix socket, that a test can stop and start again where it was (an outage, and a restart
that forgets everything), and a server that accepts connections and never answers (a Redis
that hangs). Importing this skips the importing module when redis-server or the redis
package is missing; import the fixtures by their function names (``*_fixture``)."""

from __future__ import annotations

import shutil
import socket
import subprocess
import tempfile
import threading
import time
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest

from tests.conftest import free_port

REDIS_SERVER = shutil.which("redis-server") or shutil.which("/usr/bin/redis-server")
if REDIS_SERVER is None:
    pytest.skip("redis-server is not installed", allow_module_level=True)
redis = pytest.importorskip("redis")
pytest.importorskip("redis.asyncio")


class RedisServer:
    """A redis-server that keeps nothing on disk; ``stop()`` kills it, ``start()`` brings it
    back, empty, at the same address."""

    def __init__(self, *, unix: bool = False) -> None:
        # /tmp, not tmp_path: a unix socket path must stay under 108 bytes
        self.directory = Path(tempfile.mkdtemp(prefix="redis-"))
        self.port = free_port()
        self.socket = self.directory / "redis.sock" if unix else None
        self.url = f"unix://{self.socket}" if unix else f"redis://127.0.0.1:{self.port}"
        self.process: subprocess.Popen[bytes] | None = None
        self.start()

    def start(self) -> None:
        args = [REDIS_SERVER, "--port", "0" if self.socket else str(self.port)]
        args += ["--bind", "127.0.0.1", "--save", "", "--appendonly", "no"]
        args += ["--dir", str(self.directory)]
        if self.socket:
            args += ["--unixsocket", str(self.socket), "--unixsocketperm", "700"]
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                with self.client() as client:
                    if client.ping():
                        return
            except redis.ConnectionError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError(f"redis-server did not start at {self.url}") from None
                time.sleep(0.02)

    def stop(self) -> None:
        if self.process is not None:
            self.process.kill()
            self.process.wait(10)
            self.process = None

    def client(self) -> redis.Redis:
        """A synchronous client of its own, for ``with``."""
        return redis.Redis.from_url(self.url, socket_timeout=2)


@pytest.fixture(name="start_redis")
def start_redis_fixture() -> Iterator[Callable[..., RedisServer]]:
    """``start_redis(unix=False) -> RedisServer``, a new one per call; killed at teardown."""
    started: list[RedisServer] = []

    def start(*, unix: bool = False) -> RedisServer:
        started.append(RedisServer(unix=unix))
        return started[-1]

    yield start
    for server in started:
        server.stop()
        shutil.rmtree(server.directory, ignore_errors=True)


@pytest.fixture(name="redis_server")
def redis_server_fixture(start_redis: Callable[..., RedisServer]) -> RedisServer:
    return start_redis()


@pytest.fixture(name="silent_redis")
def silent_redis_fixture() -> Iterator[str]:
    """The redis:// URL of a server that accepts every connection and never says a word."""
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(0.05)
    held: list[socket.socket] = []
    done = threading.Event()

    def hold() -> None:
        while not done.is_set():
            try:
                held.append(listener.accept()[0])
            except TimeoutError:
                pass

    thread = threading.Thread(target=hold, name="silent-redis", daemon=True)
    thread.start()
    yield f"redis://127.0.0.1:{listener.getsockname()[1]}"
    done.set()
    thread.join(5)
    for connection in [*held, listener]:
        connection.close()
