"""Shared test set-up.

``make sanitize`` preloads GCC's ASan and UBSan runtimes into the pytest process so that
the sanitized extensions can load. The programs the tests start (Chromium, Playwright's
driver, helper scripts) must run without them, so the preload is dropped from the
environment they inherit as soon as this file is imported. A child Python that imports an
extension needs it back: start it with ``env=python_env()``.
"""

from __future__ import annotations

import os
import socket

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
