"""What the SecureGatehouse tests share: the real servers of tests/gate (uvicorn, the
verification backend, the MCP SDK's server and client), a clock the tests move, and one
request driven through a gate in process with what it answered."""

from __future__ import annotations

import json
import logging
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import quote, quote_plus

import pytest

from tervik.mcp.context import mcp_request_ctx
from tests.gate.conftest import mcp_server, serve, verify_backend  # noqa: F401  (fixtures)


class FakeClock:
    """A monotonic clock that moves only when told: ``clock.advance(31)``."""

    def __init__(self, start: float = 1000.0) -> None:
        self.now = start

    def __call__(self) -> float:
        return self.now

    def advance(self, seconds: float) -> None:
        self.now += seconds


@pytest.fixture
def clock() -> FakeClock:
    return FakeClock()


@dataclass
class Answer:
    """What one request got: the messages the gate or the application sent."""

    messages: list[dict[str, Any]]
    scope: dict[str, Any]
    seen_identity: Any = None  # mcp_request_ctx as the application saw it

    @property
    def status(self) -> int:
        return self.messages[0]["status"]

    @property
    def headers(self) -> dict[bytes, bytes]:
        return dict(self.messages[0]["headers"])

    @property
    def json(self) -> Any:
        return json.loads(b"".join(m.get("body", b"") for m in self.messages[1:]))


@dataclass
class App:
    """An application that answers 200 with the identity it sees, and a session id when told
    (``app.session_id = "s1"``) in the mcp-session-id header."""

    session_id: str | None = None
    calls: list[dict[str, Any]] = field(default_factory=list)
    status: int = 200

    async def __call__(self, scope: dict[str, Any], receive: Any, send: Any) -> None:
        self.calls.append(scope)
        headers = [(b"content-type", b"application/json")]
        if self.session_id is not None:
            headers.append((b"mcp-session-id", self.session_id.encode()))
        await send({"type": "http.response.start", "status": self.status, "headers": headers})
        body = json.dumps({"identity": mcp_request_ctx.get()}).encode()
        await send({"type": "http.response.body", "body": body})


def http_scope(
    key: str | None = None,
    *,
    via: str = "header",
    method: str = "POST",
    path: str = "/mcp",
    session: str | None = None,
    client: str = "203.0.113.7",
    headers: list[tuple[bytes, bytes]] | None = None,
    query: bytes = b"",
) -> dict[str, Any]:
    """An HTTP scope as uvicorn makes it, presenting ``key`` in the header or the query."""
    all_headers = list(headers or [])
    if key is not None and via == "header":
        all_headers.append((b"authorization", b"Bearer " + key.encode()))
    if key is not None and via == "query":
        query = (query + b"&" if query else b"") + b"api_key=" + quote(key).encode()
    if session is not None:
        all_headers.append((b"mcp-session-id", session.encode()))
    return {
        "type": "http",
        "method": method,
        "path": path,
        "query_string": query,
        "headers": all_headers,
        "client": (client, 40000),
    }


async def request(gate: Any, scope: dict[str, Any]) -> Answer:
    """One request through ``gate``; what was sent comes back."""
    sent: list[dict[str, Any]] = []

    async def send(message: dict[str, Any]) -> None:
        sent.append(message)

    async def receive() -> dict[str, Any]:
        return {"type": "http.request", "body": b"", "more_body": False}

    await gate(scope, receive, send)
    answer = Answer(sent, scope)
    if sent and (b"content-type", b"application/json") in sent[0]["headers"] and sent[1:]:
        answer.seen_identity = json.loads(sent[1]["body"]).get("identity")
    return answer


def key_forms(key: str) -> list[str]:
    """Every form of a key that must never reach a log record."""
    return [key, quote(key, safe=""), quote_plus(key), repr(key)[1:-1]]


def assert_no_key_logged(records: list[logging.LogRecord], keys: list[str]) -> None:
    """No record's message or arguments shows any of ``keys`` in any form."""
    for record in records:
        texts = [str(record.msg), record.getMessage()]
        args = record.args if isinstance(record.args, tuple) else (record.args,)
        texts += [str(arg) for arg in args] + [repr(arg) for arg in args]
        for key in keys:
            for form in key_forms(key):
                assert not any(form in text for text in texts), (key, record.getMessage())


@pytest.fixture
def gate_log(caplog: pytest.LogCaptureFixture) -> pytest.LogCaptureFixture:
    """Every record of the tervik.mcp logger, DEBUG up."""
    caplog.set_level(logging.DEBUG, logger="tervik.mcp")
    return caplog


def lines(caplog: pytest.LogCaptureFixture, level: int) -> list[str]:
    return [r.getMessage() for r in caplog.records if r.name == "tervik.mcp" and r.levelno == level]


# --- both stores ----------------------------------------------------------------------
# A module that sets BOTH_STORES = True runs each test twice: with the in-memory store, and
# with every SecureGatehouse it makes keeping its state in a real Redis (a prefix of the
# test's own). Redis keeps time of its own, so a test that moves the fake clock runs only
# with the in-memory store, as does one marked memory_store_only("why").


def pytest_generate_tests(metafunc: pytest.Metafunc) -> None:
    if getattr(metafunc.module, "BOTH_STORES", False):
        metafunc.parametrize("secure_store", ["memory", "redis"], indirect=True)


@pytest.fixture(scope="session")
def session_redis() -> Any:
    from .redis_server import RedisServer  # skips the test where Redis is missing

    server = RedisServer()
    yield server
    server.stop()


@pytest.fixture(autouse=True)
def secure_store(request: pytest.FixtureRequest, monkeypatch: pytest.MonkeyPatch) -> str:
    kind = getattr(request, "param", "memory")
    if kind == "redis" and (marker := request.node.get_closest_marker("memory_store_only")):
        pytest.skip(marker.args[0])
    if kind == "redis":
        url = request.getfixturevalue("session_redis").url
        prefix = f"test:{request.node.nodeid}"
        made = request.module.SecureGatehouse

        class OnRedis(made):  # type: ignore[misc, valid-type]
            def __init__(self, app: Any, **options: Any) -> None:
                options.setdefault("store", url)
                options.setdefault("store_prefix", prefix)
                super().__init__(app, **options)

        def redis_keeps_its_own_time(self: FakeClock, seconds: float) -> None:
            pytest.skip("the test moves the clock, and Redis keeps time of its own")

        monkeypatch.setattr(request.module, "SecureGatehouse", OnRedis)
        monkeypatch.setattr(FakeClock, "advance", redis_keeps_its_own_time)
    return kind
