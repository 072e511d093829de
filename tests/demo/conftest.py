"""The demo as a user starts it: a child process whose output the test reads.

``demo(*options, env=...)`` starts ``python -m tervik.mcp.demo --port 0 *options``, waits for
its ``MCP endpoint:`` line and returns a ``Demo``; ``demo.stop()`` sends Ctrl-C (SIGINT) and
returns the exit status. Every process a test starts is gone at teardown.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field

import pytest

from tests.conftest import python_env

STARTUP_SECONDS = 60.0
STOP_SECONDS = 20.0


@dataclass
class Demo:
    process: subprocess.Popen[str]
    stdout: list[str] = field(default_factory=list)
    stderr: list[str] = field(default_factory=list)

    def __post_init__(self) -> None:
        self._readers = [
            threading.Thread(target=self._read, args=(stream, lines), daemon=True)
            for stream, lines in (
                (self.process.stdout, self.stdout),
                (self.process.stderr, self.stderr),
            )
        ]
        for reader in self._readers:
            reader.start()

    @staticmethod
    def _read(stream: object, lines: list[str]) -> None:
        for line in stream:  # type: ignore[attr-defined]
            lines.append(line.rstrip("\n"))

    def line(self, prefix: str) -> str | None:
        """The value of the first stdout line that starts with ``prefix``."""
        return next((line[len(prefix) :] for line in self.stdout if line.startswith(prefix)), None)

    @property
    def endpoint(self) -> str:
        value = self.line("MCP endpoint: ")
        assert value is not None, self.output
        return value

    @property
    def key(self) -> str | None:
        return self.line("API key: ")

    @property
    def output(self) -> str:
        """Everything written so far, standard output then standard error."""
        return "\n".join(self.stdout + self.stderr)

    def wait_started(self, timeout: float = STARTUP_SECONDS) -> bool:
        deadline = time.monotonic() + timeout
        while self.line("MCP endpoint: ") is None:
            if self.process.poll() is not None or time.monotonic() > deadline:
                return False
            time.sleep(0.05)
        time.sleep(0.1)  # the rest of the banner follows in the same write
        return True

    def wait_exit(self, timeout: float = STOP_SECONDS) -> int:
        status = self.process.wait(timeout)
        for reader in self._readers:
            reader.join(5)
        return status

    def stop(self) -> int:
        """Ctrl-C, as a terminal sends it to the foreground process group."""
        os.killpg(self.process.pid, signal.SIGINT)
        return self.wait_exit()


def start(command: list[str], env: dict[str, str], cwd: str | None = None) -> Demo:
    process = subprocess.Popen(
        command,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
        cwd=cwd,
        start_new_session=True,
    )
    return Demo(process)


@pytest.fixture
def start_process() -> Iterator[Callable[..., Demo]]:
    """``start_process(command, env, cwd=None) -> Demo``, not yet waited for."""
    started: list[Demo] = []

    def run(command: list[str], env: dict[str, str], cwd: str | None = None) -> Demo:
        started.append(start(command, env, cwd))
        return started[-1]

    yield run
    for demo in started:
        if demo.process.poll() is None:
            os.killpg(demo.process.pid, signal.SIGKILL)
            demo.process.wait(STOP_SECONDS)


@pytest.fixture
def demo(start_process: Callable[..., Demo]) -> Callable[..., Demo]:
    """``demo(*options, env={...}) -> Demo``, started and serving."""

    def run(*options: str, env: dict[str, str] | None = None) -> Demo:
        environment = python_env(**(env or {}))
        if not env or "TERVIK_MCP_API_KEY" not in env:
            environment.pop("TERVIK_MCP_API_KEY", None)
        command = [sys.executable, "-m", "tervik.mcp.demo", "--port", "0", *options]
        process = start_process(command, environment)
        assert process.wait_started(), process.output
        return process

    return run
