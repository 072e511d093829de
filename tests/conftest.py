"""Shared test set-up.

``make sanitize`` preloads GCC's ASan and UBSan runtimes into the pytest process so that
the sanitized extensions can load. The programs the tests start (Chromium, Playwright's
driver, helper scripts) must run without them, so the preload is dropped from the
environment they inherit as soon as this file is imported. A child Python that imports an
extension needs it back: start it with ``env=python_env()``.

``--gate=python`` runs the tests against the plain-Python twin of the gate
(``bench/python_gate.py``): its classes replace ``ApiKeyGatehouse`` and
``FixedApiKeyAuthProvider`` in ``tervik.mcp.gatehouse`` before any test module imports them,
and tests marked ``native_only`` (argument-binder messages, function-object attributes,
coroutine-object internals, load rules) are skipped.
"""

from __future__ import annotations

import functools
import importlib.util
import os
import socket
from pathlib import Path
from types import ModuleType

import pytest

_SANITIZER_PRELOAD = os.environ.pop("LD_PRELOAD", None)

SANITIZER_RUN = os.environ.get("TERVIK_SANITIZER_RUN") == "1"
"""True under ``make sanitize``: tests that count memory or time may relax or skip."""


def python_env(**overrides: str) -> dict[str, str]:
    """Environment for a child interpreter that imports the extensions (``overrides`` added)."""
    env = dict(os.environ, **overrides)
    if _SANITIZER_PRELOAD:
        env["LD_PRELOAD"] = _SANITIZER_PRELOAD
    return env


def free_port() -> int:
    """A TCP port on 127.0.0.1 that nothing listens on right now."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.addoption(
        "--gate",
        choices=("native", "python"),
        default="native",
        help="which ApiKeyGatehouse the tests run against: the extension (default) or the "
        "plain-Python twin in bench/python_gate.py",
    )


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "native_only: checks what only the native gate can show; skipped under --gate=python",
    )
    if config.getoption("gate") == "python":
        _use_python_gate()


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    if config.getoption("gate") != "python":
        return
    skip = pytest.mark.skip(reason="native gate only (--gate=python)")
    for item in items:
        if item.get_closest_marker("native_only"):
            item.add_marker(skip)


@functools.cache
def python_gate() -> ModuleType:
    """The plain-Python twin of the gate module (bench/python_gate.py), loaded once."""
    path = Path(__file__).resolve().parents[1] / "bench" / "python_gate.py"
    spec = importlib.util.spec_from_file_location("python_gate", path)
    assert spec is not None and spec.loader is not None
    twin = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(twin)
    return twin


def _use_python_gate() -> None:
    """Put the twin's classes where ``from tervik.mcp.gatehouse import ...`` finds them."""
    twin = python_gate()

    import tervik.mcp.gatehouse as gatehouse

    gatehouse.ApiKeyGatehouse = twin.ApiKeyGatehouse
    gatehouse.FixedApiKeyAuthProvider = twin.FixedApiKeyAuthProvider
