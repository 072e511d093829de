"""Remote key verification against a real verification backend on 127.0.0.1."""

from __future__ import annotations

import asyncio
import logging
import sys
import time

import pytest

from tervik.mcp.context import mcp_request_ctx
from tervik.mcp.gatehouse import ApiKeyGatehouse
from tests.gate.conftest import Reply

WARNING_PREFIX = "远程校验 API Key 失败: "


def warnings_of(caplog):
    """The verification warnings (not the construction's own line)."""
    return [
        r.getMessage()
        for r in caplog.records
        if r.name == "tervik.mcp"
        and r.levelno == logging.WARNING
        and r.msg.startswith(WARNING_PREFIX)
    ]


@pytest.fixture
def backend(verify_backend):
    return verify_backend()


async def verify(url, key):
    return await ApiKeyGatehouse(None, auth_verify_url=url)._verify_remote(key)


async def test_a_confirmed_key_returns_the_whole_answer(backend, caplog):
    backend.answer(Reply.json({"valid": True, "user_id": 7, "email": "a@b", "extra": [1]}))
    assert await verify(backend.url, "key-1") == {
        "valid": True,
        "user_id": 7,
        "email": "a@b",
        "extra": [1],
    }
    (seen,) = backend.requests
    assert (seen.method, seen.path) == ("GET", "/verify")
    assert seen.query == {"api_key": ["key-1"]}
    assert seen.headers["X-MCP-API-Key"] == "key-1"
    assert warnings_of(caplog) == []


async def test_the_urls_own_query_is_kept(backend):
    backend.valid()
    assert await verify(backend.url + "?tenant=acme&x=1", "k")
    assert backend.requests[0].query == {"tenant": ["acme"], "x": ["1"], "api_key": ["k"]}


@pytest.mark.parametrize(
    ("answer", "confirmed"),
    [
        ({"valid": "false"}, True),
        ({"valid": 1}, True),
        ({"valid": [0]}, True),
        ({"valid": False}, False),
        ({"valid": 0}, False),
        ({"valid": None}, False),
        ({"valid": ""}, False),
        ({"valid": []}, False),
        ({"valid": {}}, False),
        ({}, False),
    ],
)
async def test_valid_is_judged_by_truth_value(backend, caplog, answer, confirmed):
    backend.answer(Reply.json(answer))
    assert (await verify(backend.url, "k") == answer) is confirmed
    assert warnings_of(caplog) == []


@pytest.mark.parametrize("status", [201, 204, 301, 401, 500])
async def test_any_status_but_200_refuses_silently(backend, caplog, status):
    backend.status(status)
    assert await verify(backend.url, "k") is None
    assert warnings_of(caplog) == []


@pytest.mark.parametrize("setup", ["json_array", "json_string", "not_json", "reset"])
async def test_malformed_answers_refuse_with_one_warning(backend, caplog, setup):
    if setup == "json_string":
        backend.answer(Reply.json("valid"))
    else:
        getattr(backend, setup)()
    assert await verify(backend.url, "k") is None
    (message,) = warnings_of(caplog)
    assert message.startswith(WARNING_PREFIX)


async def test_nothing_listening_refuses_with_a_warning(caplog):
    assert await verify("http://127.0.0.1:9/verify", "k") is None
    assert len(warnings_of(caplog)) == 1


async def test_a_backend_slower_than_ten_seconds_refuses(backend, caplog):
    backend.slow(12)
    started = time.monotonic()
    assert await verify(backend.url, "k") is None
    assert 9 < time.monotonic() - started < 12
    assert len(warnings_of(caplog)) == 1


@pytest.mark.parametrize(("url", "key"), [(None, "k"), ("", "k"), ("URL", None), ("URL", "")])
async def test_no_key_or_no_url_makes_no_request(backend, caplog, url, key):
    assert await verify(backend.url if url == "URL" else url, key) is None
    assert backend.requests == [] and warnings_of(caplog) == []


async def test_missing_httpx_refuses_with_a_warning(backend, caplog, monkeypatch):
    monkeypatch.setitem(sys.modules, "httpx", None)
    assert await verify(backend.url, "k") is None
    (message,) = warnings_of(caplog)
    assert "httpx" in message


KEYS = [" spaced ", "ctl\x01key", "new\nline", "tab\tend\t", "ключ", "\x7fdel", "quote'\"", "a%20b"]


@pytest.mark.parametrize("key", KEYS)
@pytest.mark.parametrize("setup", ["valid", "reset", "not_json", "json_array", "none"])
async def test_the_key_never_reaches_a_log_line(backend, caplog, key, setup):
    caplog.set_level(logging.DEBUG, logger="tervik.mcp")
    if setup != "none":
        getattr(backend, setup)()
    url = backend.url if setup != "none" else "http://127.0.0.1:9/verify"
    await verify(url, key)
    forms = {key, key.strip(), repr(key)[1:-1], repr(key.encode())[2:-1]}
    for message in warnings_of(caplog):
        assert not any(form and form in message for form in forms), message


@pytest.mark.parametrize("key", ["sk-42\n", "sk-42\r\n", "sk\x00-42", " sk-42", "sk-42\t"])
async def test_a_key_that_cannot_be_a_header_value_is_never_sent(backend, caplog, key):
    """h11 would refuse it, and httpcore would log its error, key and all, at DEBUG."""
    caplog.set_level(logging.DEBUG)  # every logger, httpx's and httpcore's too
    backend.valid()
    assert await verify(backend.url, key) is None
    assert backend.requests == []
    assert warnings_of(caplog) == [
        WARNING_PREFIX + "the API key cannot be sent as an HTTP header value"
    ]
    assert not any(key.strip() in r.getMessage() for r in caplog.records)


async def test_cancellation_passes_through_after_the_client_is_closed(backend, monkeypatch):
    import httpx

    closed = []
    original = httpx.AsyncClient.__aexit__

    async def recording_exit(self, *exc):
        closed.append(exc[0])
        return await original(self, *exc)

    monkeypatch.setattr(httpx.AsyncClient, "__aexit__", recording_exit)
    backend.slow(5)
    task = asyncio.create_task(verify(backend.url, "k"))
    while not backend.requests:
        await asyncio.sleep(0.01)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert closed == [asyncio.CancelledError]


# ---- the gate in remote mode --------------------------------------------------------------


class App:
    def __init__(self):
        self.seen = []

    async def __call__(self, scope, receive, send):
        await asyncio.sleep(0)  # let other requests interleave
        self.seen.append(
            (
                scope.get("mcp_api_key"),
                scope.get("mcp_user_id"),
                scope.get("mcp_user_email"),
                mcp_request_ctx.get(),
            )
        )


async def send(message):
    pass


async def call(gate, query):
    await gate({"type": "http", "query_string": query, "headers": []}, None, send)


async def test_remote_mode_publishes_the_backends_identity(backend):
    backend.valid(user_id=7, email="u@x")
    app = App()
    await call(ApiKeyGatehouse(app, auth_verify_url=backend.url), b"api_key=k")
    assert app.seen == [("k", 7, "u@x", {"api_key": "k", "user_id": 7, "email": "u@x"})]


async def test_remote_mode_answer_without_email(backend):
    backend.answer(Reply.json({"valid": True, "user_id": "u1"}))
    app = App()
    await call(ApiKeyGatehouse(app, auth_verify_url=backend.url), b"api_key=k")
    assert app.seen[0][3] == {"api_key": "k", "user_id": "u1", "email": None}


async def test_remote_mode_ignores_the_fixed_key(backend):
    backend.invalid()
    app = App()
    await call(ApiKeyGatehouse(app, api_key="k", auth_verify_url=backend.url), b"api_key=k")
    assert app.seen == [] and len(backend.requests) == 1


async def test_remote_mode_asks_even_without_a_key(backend, monkeypatch):
    asked = []
    gate = ApiKeyGatehouse(App(), auth_verify_url=backend.url)

    async def spy(api_key):
        asked.append(api_key)
        return None

    gate._verify_remote = spy
    await call(gate, b"")
    assert asked == [None] and backend.requests == []


async def test_two_hundred_concurrent_requests_each_see_their_own_identity(backend):
    backend.answer(lambda key: {"valid": True, "user_id": f"id-{key}", "email": f"{key}@x"})
    app = App()
    gate = ApiKeyGatehouse(app, auth_verify_url=backend.url)
    token = mcp_request_ctx.set("before")
    try:
        keys = [f"key{i}" for i in range(200)]
        await asyncio.gather(*(call(gate, f"api_key={k}".encode()) for k in keys))
        assert mcp_request_ctx.get() == "before"
    finally:
        mcp_request_ctx.reset(token)
    assert len(app.seen) == 200
    for key, user_id, email, identity in app.seen:
        assert (user_id, email) == (f"id-{key}", f"{key}@x")
        assert identity == {"api_key": key, "user_id": user_id, "email": email}


async def test_cancelling_during_verification_sends_nothing_and_propagates(backend):
    backend.slow(5)
    sent = []

    async def record(message):
        sent.append(message)

    gate = ApiKeyGatehouse(App(), auth_verify_url=backend.url)
    task = asyncio.create_task(gate({"type": "http", "query_string": b"api_key=k"}, None, record))
    while not backend.requests:
        await asyncio.sleep(0.01)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert sent == [] and mcp_request_ctx.get() is None
