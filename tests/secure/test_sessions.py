"""MCP sessions belong to the caller that opened them: another caller gets 404, a DELETE
ends the binding, idle and surplus sessions are forgotten, an SSE stream's session lives as
long as the stream."""

from __future__ import annotations

import asyncio
import hashlib
import hmac
import logging

import pytest

import tervik.mcp.context
from tervik.mcp.secure import SecureGatehouse

from .conftest import App, assert_no_key_logged, http_scope, lines, request

USERS = {
    "key-ada": {"valid": True, "user_id": "ada", "email": "ada@example.test"},
    "key-ada-2": {"valid": True, "user_id": "ada", "email": "ada@example.test"},
    "key-bob": {"valid": True, "user_id": "bob", "email": "bob@example.test"},
    "key-anon-1": {"valid": True},
    "key-anon-2": {"valid": True},
}
NOT_FOUND = {
    "jsonrpc": "2.0",
    "id": None,
    "error": {"code": -32600, "message": "Session not found"},
}


class Users(SecureGatehouse):
    """A gate whose verification is a table (a replaced _verify_remote is used as it is)."""

    async def _verify_remote(self, api_key):
        return USERS.get(api_key)


def users_gate(app, **options):
    return Users(app, auth_verify_url="http://verify.invalid/", **options)


async def open_session(gate, app, key, session="s-1", **scope):
    app.session_id = session
    answer = await request(gate, http_scope(key, **scope))
    assert answer.status == 200
    app.session_id = None
    return session


async def test_another_caller_with_the_session_gets_404_and_the_opener_goes_on(gate_log):
    app = App()
    gate = users_gate(app)
    session = await open_session(gate, app, "key-ada")
    hijack = await request(gate, http_scope("key-bob", session=session))
    assert (hijack.status, hijack.json) == (404, NOT_FOUND)
    assert len(app.calls) == 1  # the application never saw it
    own = await request(gate, http_scope("key-ada", session=session))
    assert own.status == 200 and own.seen_identity["user_id"] == "ada"
    [warning] = lines(gate_log, logging.WARNING)
    assert (
        warning.startswith("MCP session ")
        and "(client 203.0.113.7) presented it and got 404" in warning
    )
    assert "refused (session mismatch): client 203.0.113.7, path /mcp" in lines(
        gate_log, logging.DEBUG
    )
    assert_no_key_logged(gate_log.records, list(USERS) + [session])


@pytest.mark.parametrize(
    ("opener", "other", "admitted"),
    [
        ("key-ada", "key-ada-2", True),  # the same user with another key
        ("key-anon-1", "key-anon-1", True),  # no user id: the same key
        ("key-anon-1", "key-anon-2", False),  # no user id: another key is another caller
    ],
)
async def test_the_caller_is_the_user_or_else_the_key(opener, other, admitted):
    app = App()
    gate = users_gate(app)
    session = await open_session(gate, app, opener)
    answer = await request(gate, http_scope(other, session=session))
    assert answer.status == (200 if admitted else 404)


async def test_an_unknown_session_gets_404_without_reaching_the_application(gate_log):
    app = App()
    answer = await request(users_gate(app), http_scope("key-ada", session="never-opened"))
    assert (answer.status, answer.json) == (404, NOT_FOUND)
    assert app.calls == []
    assert lines(gate_log, logging.DEBUG) == [
        "refused (unknown session): client 203.0.113.7, path /mcp"
    ]


@pytest.mark.parametrize(("status", "forgotten"), [(200, True), (204, True), (405, False)])
async def test_a_successful_delete_forgets_the_session(status, forgotten):
    app = App()
    gate = users_gate(app)
    session = await open_session(gate, app, "key-ada")
    app.status = status
    await request(gate, http_scope("key-ada", method="DELETE", session=session))
    app.status = 200
    after = await request(gate, http_scope("key-ada", session=session))
    assert after.status == (404 if forgotten else 200)


async def test_an_idle_session_is_forgotten_but_not_while_a_request_runs(clock):
    release = asyncio.Event()

    async def app(scope, receive, send):
        headers = [(b"mcp-session-id", b"s-1")] if scope["method"] == "POST" else []
        await send({"type": "http.response.start", "status": 200, "headers": headers})
        if scope["method"] == "GET":  # a long-lived stream
            await release.wait()
        await send({"type": "http.response.body", "body": b"{}"})

    gate = users_gate(app, session_idle_seconds=100, clock=clock)
    await request(gate, http_scope("key-ada"))
    stream = asyncio.ensure_future(
        request(gate, http_scope("key-ada", method="GET", session="s-1"))
    )
    await asyncio.sleep(0)
    clock.advance(500)
    assert (await request(gate, http_scope("key-ada", session="s-1"))).status == 200
    release.set()
    await stream
    clock.advance(99)
    assert (await request(gate, http_scope("key-ada", session="s-1"))).status == 200
    clock.advance(101)
    assert (await request(gate, http_scope("key-ada", session="s-1"))).status == 404


async def test_the_sessions_remembered_are_bounded():
    app = App()
    gate = users_gate(app, max_sessions=3)
    for n in range(5):
        await open_session(gate, app, "key-ada", session=f"s-{n}")
    assert gate._stats()["sessions"] == 3
    statuses = [
        (await request(gate, http_scope("key-ada", session=f"s-{n}"))).status for n in range(5)
    ]
    assert statuses == [404, 404, 200, 200, 200]  # the least recently used went first


async def test_sessions_can_be_left_unbound():
    app = App()
    gate = users_gate(app, bind_sessions=False)
    session = await open_session(gate, app, "key-ada")
    assert (await request(gate, http_scope("key-bob", session=session))).status == 200
    assert (await request(gate, http_scope("key-bob", session="unknown"))).status == 200


# ---- the SSE transport: the session announced on the stream -------------------------------------


def sse_app(announced):
    """An SSE app: GET /sse streams an endpoint event, then waits; POSTs answer 202."""

    async def app(scope, receive, send):
        if scope["method"] == "GET":
            await send({"type": "http.response.start", "status": 200,
                        "headers": [(b"content-type", b"text/event-stream; charset=utf-8")]})  # fmt: skip
            await send({"type": "http.response.body", "more_body": True,
                        "body": f"event: endpoint\r\ndata: {announced}\r\n\r\n".encode()})  # fmt: skip
            await scope["stream_ends"].wait()
            await send({"type": "http.response.body", "body": b""})
        else:
            await send({"type": "http.response.start", "status": 202, "headers": []})
            await send({"type": "http.response.body", "body": b"Accepted"})

    return app


@pytest.mark.parametrize(
    "announced", ["/messages/?session_id=abc123", "/m%20x/?session_id=abc123", "http://h:1/messages/?session_id=abc123"]
)  # fmt: skip
async def test_an_sse_session_is_bound_to_its_stream_and_ends_with_it(announced):
    gate = users_gate(sse_app(announced))
    path = "/m x/" if "%20" in announced else "/messages/"
    ends = asyncio.Event()
    stream_scope = http_scope("key-ada", method="GET", path="/sse") | {"stream_ends": ends}
    stream = asyncio.ensure_future(request(gate, stream_scope))
    await asyncio.sleep(0.01)
    assert gate._stats()["stream_sessions"] == 1

    def post(key, session="abc123"):
        return request(gate, http_scope(key, path=path, query=f"session_id={session}".encode()))

    assert (await post("key-ada")).status == 202
    assert (await post("key-bob")).status == 404
    assert (await post("key-bob", session="other")).status == 404  # unknown on a message path
    assert (
        await request(gate, http_scope("key-bob", path="/elsewhere", query=b"session_id=x"))
    ).status == 202
    ends.set()
    await stream
    assert gate._stats()["stream_sessions"] == 0
    assert (await post("key-ada")).status == 404


# ---- fingerprints ---------------------------------------------------------------------------


@pytest.mark.parametrize("length", [0, 1, 31, 54, 55, 56, 63, 64, 119, 120, 300])
async def test_log_fingerprints_are_hmac_sha256_under_the_gates_own_key(
    monkeypatch, gate_log, length
):
    secret = bytes(range(32))
    monkeypatch.setattr("secrets.token_bytes", lambda n: secret)
    app = App()
    gate = users_gate(app)
    session = "s" * length if length else ""
    app.session_id = session
    await request(gate, http_scope("key-ada"))
    app.session_id = None
    await request(gate, http_scope("key-bob", session=session))
    [warning] = lines(gate_log, logging.WARNING)

    def fingerprint(kind: bytes, text: str) -> str:
        return hmac.new(secret, kind + text.encode(), hashlib.sha256).hexdigest()[:16]

    assert warning == (
        f"MCP session {fingerprint(b's', session)} was opened by caller {fingerprint(b'u', repr('ada'))};"
        f" caller {fingerprint(b'u', repr('bob'))} (client 203.0.113.7) presented it and got 404"
    )


# ---- one caller cannot push out the others' sessions -----------------------------------------


async def test_a_caller_over_its_cap_pushes_out_only_its_own_oldest_sessions():
    app = App()
    gate = users_gate(app, max_sessions_per_caller=3)
    await open_session(gate, app, "key-ada", "ada-1")
    for n in range(10):
        await open_session(gate, app, "key-bob", f"bob-{n}")

    async def status(key, session):
        return (await request(gate, http_scope(key, session=session))).status

    assert await status("key-ada", "ada-1") == 200
    assert [await status("key-bob", f"bob-{n}") for n in range(10)] == [404] * 7 + [200] * 3


async def test_a_session_in_use_is_never_pushed_out():
    gate = users_gate(sse_app("/messages/?session_id=abc123"), max_sessions_per_caller=1)
    ends = asyncio.Event()
    stream_scope = http_scope("key-ada", method="GET", path="/sse") | {"stream_ends": ends}
    stream = asyncio.ensure_future(request(gate, stream_scope))
    await asyncio.sleep(0.01)
    for n in range(5):  # more sessions of the stream's caller than its cap
        gate.app = App(session_id=f"more-{n}")
        assert (await request(gate, http_scope("key-ada"))).status == 200
    gate.app = sse_app("")
    post = http_scope("key-ada", path="/messages/", query=b"session_id=abc123")
    assert (await request(gate, post)).status == 202
    ends.set()
    await stream


@pytest.mark.parametrize("path", ["/api/messages/", "/messages/"])  # mounts new and old
async def test_a_mounted_sse_transport_is_checked_from_the_servers_root(path):
    gate = users_gate(sse_app("/api/messages/?session_id=abc123"))
    ends = asyncio.Event()
    stream_scope = http_scope("key-ada", method="GET", path="/api/sse") | {"stream_ends": ends}
    stream = asyncio.ensure_future(request(gate, stream_scope | {"root_path": "/api"}))
    await asyncio.sleep(0.01)
    post = http_scope("key-bob", path=path, query=b"session_id=abc123") | {"root_path": "/api"}
    assert (await request(gate, post)).status == 404
    ends.set()
    await stream


async def test_a_failing_reset_still_releases_the_session(clock, monkeypatch):
    class BrokenContext:
        def set(self, value):
            return "token"

        def reset(self, token):
            raise LookupError("reset failed")

    app = App()
    gate = users_gate(app, clock=clock, session_idle_seconds=100)
    await open_session(gate, app, "key-ada", "s-1")
    monkeypatch.setattr(tervik.mcp.context, "mcp_request_ctx", BrokenContext())
    with pytest.raises(LookupError):
        await request(gate, http_scope("key-ada", session="s-1"))
    monkeypatch.undo()
    clock.advance(101)  # no longer in use, so idle: forgotten
    assert (await request(gate, http_scope("key-ada", session="s-1"))).status == 404
