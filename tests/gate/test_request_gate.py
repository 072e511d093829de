"""The gate's __call__ driven directly, with the server's send and receive as test doubles."""

from __future__ import annotations

import asyncio
import inspect
import sys

import pytest

import tervik.mcp.context as context
from tervik.mcp.context import mcp_request_ctx
from tervik.mcp.gatehouse import ApiKeyGatehouse

START = {"type": "http.response.start", "status": 200, "headers": []}
CLOSING = {"type": "http.response.body", "body": b"", "more_body": False}


class Server:
    """Records what reaches the server's send; optionally fails on a message type."""

    def __init__(self, fail_on=None, error=None):
        self.sent = []
        self.fail_on = fail_on
        self.error = error if error is not None else OSError("client gone")

    async def send(self, message):
        self.sent.append(message)
        if message.get("type") == self.fail_on or (
            self.fail_on == "closing" and message == CLOSING
        ):
            raise self.error

    async def receive(self):
        return {"type": "http.request", "body": b"", "more_body": False}


def http(query=b"", *headers):
    return {"type": "http", "query_string": query, "headers": list(headers)}


class App:
    """An ASGI app that runs `script(send)` and records what it saw."""

    def __init__(self, script=None):
        self.script = script
        self.calls = []

    async def __call__(self, scope, receive, send):
        self.calls.append({"scope": dict(scope), "identity": mcp_request_ctx.get(), "send": send})
        if self.script:
            await self.script(send)


async def run(gate, scope, server):
    await gate(scope, server.receive, server.send)


@pytest.mark.parametrize("kind", ["lifespan", "websocket", "other"])
@pytest.mark.parametrize(
    "options", [{}, {"api_key": "k"}, {"auth_verify_url": "http://127.0.0.1:9/"}]
)
async def test_non_http_scopes_pass_unchecked_with_the_servers_send(gate_class, kind, options):
    app, server = App(), Server()
    await run(gate_class(app, **options), {"type": kind}, server)
    (call,) = app.calls
    assert call["send"] == server.send and call["identity"] is None


async def test_scope_without_type_raises_key_error(gate_class):
    with pytest.raises(KeyError):
        await run(gate_class(App(), api_key="k"), {}, Server())


@pytest.mark.parametrize(
    ("options", "scope"),
    [
        ({"api_key": "k"}, http()),
        ({"api_key": "k"}, http(b"api_key=wrong")),
        ({"api_key": "k"}, http(b"", (b"authorization", b"Bearer "))),
        ({"api_key": "k"}, http(b"api_key=\xff")),  # not UTF-8: refused, not a server error
        ({}, http(b"api_key=k")),
        ({"api_key": ""}, http(b"api_key=k")),
        ({"api_key": "  "}, http(b"", (b"authorization", b"Bearer   "))),
    ],
)
async def test_refusals_answer_401_and_leave_everything_alone(options, scope, monkeypatch):
    # ApiKeyGatehouse only: its 401 body; the secure gate answers JSON-RPC (tests/secure)
    touched = []
    monkeypatch.setattr(context, "mcp_request_ctx", touched)  # any use would fail loudly
    app, server = App(), Server()
    before = dict(scope)
    await run(ApiKeyGatehouse(app, **options), scope, server)
    assert app.calls == []
    assert scope == before
    assert [m["type"] for m in server.sent] == ["http.response.start", "http.response.body"]
    assert server.sent[0]["status"] == 401
    assert b'"reason":"invalid_api_key"' in server.sent[1]["body"]


@pytest.mark.parametrize(
    "scope",
    [
        http(b"api_key=k"),
        http(b"", (b"authorization", b"Bearer k")),
        http(b"x=1&api_key=k", (b"authorization", b"Bearer no")),
    ],
)
async def test_fixed_key_admits_and_publishes_identity(gate_class, scope):
    previous = mcp_request_ctx.set("previous")
    try:
        app, server = App(), Server()
        await run(gate_class(app, api_key="k"), scope, server)
        (call,) = app.calls
        assert call["scope"]["mcp_api_key"] == "k"
        assert "mcp_user_id" not in call["scope"]
        assert call["identity"] == {"api_key": "k", "user_id": None, "email": None}
        assert list(call["identity"]) == ["api_key", "user_id", "email"]
        assert mcp_request_ctx.get() == "previous"
        assert server.sent == []
    finally:
        mcp_request_ctx.reset(previous)


async def test_query_key_with_spaces_matches_a_key_of_spaces(gate_class):
    app = App()
    await run(gate_class(app, api_key="  "), http(b"api_key=%20%20"), Server())
    assert app.calls[0]["scope"]["mcp_api_key"] == "  "


async def test_identity_uses_user_entries_already_in_the_scope(gate_class):
    app = App()
    scope = http(b"api_key=k") | {"mcp_user_id": 5, "mcp_user_email": "pre@x"}
    await run(gate_class(app, api_key="k"), scope, Server())
    assert app.calls[0]["identity"] == {"api_key": "k", "user_id": 5, "email": "pre@x"}


async def test_tracking_send_looks_like_a_nested_async_function(gate_class):
    app = App()
    await run(gate_class(app, api_key="k"), http(b"api_key=k"), Server())
    tracking_send = app.calls[0]["send"]
    assert tracking_send.__qualname__ == f"{gate_class.__name__}.__call__.<locals>.tracking_send"
    assert tracking_send.__annotations__ == {"message": "Any", "return": "None"}
    assert str(inspect.signature(tracking_send)) == "(message: 'Any') -> 'None'"
    assert asyncio.iscoroutinefunction(tracking_send)


async def test_tracking_send_forwards_the_same_message_and_returns_none(gate_class):
    results = []

    async def script(send):
        message = dict(START)
        results.append(await send(message))
        results.append(message)

    server = Server()
    await run(gate_class(App(script), api_key="k"), http(b"api_key=k"), server)
    assert results[0] is None and server.sent[0] is results[1]


async def test_message_without_type_raises_into_the_app(gate_class):
    async def script(send):
        with pytest.raises(KeyError):
            await send({"status": 200})

    await run(gate_class(App(script), api_key="k"), http(b"api_key=k"), Server())


@pytest.mark.parametrize("final", [{}, {"more_body": False}, {"more_body": 0}, {"more_body": None}])
async def test_a_finished_response_is_not_closed_again(gate_class, final):
    async def script(send):
        await send(START)
        await send({"type": "http.response.body", "body": b"x", **final})

    server = Server()
    await run(gate_class(App(script), api_key="k"), http(b"api_key=k"), server)
    assert len(server.sent) == 2


async def test_app_that_sends_nothing_gets_nothing_sent(gate_class):
    server = Server()
    await run(gate_class(App(), api_key="k"), http(b"api_key=k"), server)
    assert server.sent == []


async def open_response(send):
    await send(START)
    await send({"type": "http.response.body", "body": b"partial", "more_body": True})


@pytest.mark.parametrize("app_error", [None, ValueError("app failed")])
async def test_open_response_is_closed_through_the_servers_send_then_the_error_propagates(
    gate_class, app_error
):
    async def script(send):
        await open_response(send)
        if app_error:
            raise app_error

    server = Server()
    call = run(gate_class(App(script), api_key="k"), http(b"api_key=k"), server)
    if app_error:
        with pytest.raises(ValueError, match="app failed"):
            await call
    else:
        await call
    assert server.sent[-1] == CLOSING and list(server.sent[-1]) == ["type", "body", "more_body"]


async def test_context_is_reset_before_the_closing_message(gate_class):
    seen = []

    class Recording(Server):
        async def send(self, message):
            seen.append(mcp_request_ctx.get())

    await run(gate_class(App(open_response), api_key="k"), http(b"api_key=k"), Recording())
    assert seen[-1] is None and seen[0] is not None


@pytest.mark.parametrize("complete", [True, False])
async def test_expected_asgi_message_runtime_error_is_swallowed(gate_class, complete):
    async def script(send):
        if complete:
            await send(START)
            await send({"type": "http.response.body", "body": b""})
        raise RuntimeError("Unexpected ASGI message 'x' sent. Expected ASGI message 'y'.")

    server = Server()
    assert (
        await gate_class(App(script), api_key="k")(http(b"api_key=k"), server.receive, server.send)
        is None
    )
    assert len(server.sent) == (2 if complete else 0)


async def test_other_runtime_errors_propagate_and_nothing_is_sent(gate_class):
    async def script(send):
        raise RuntimeError("boom")

    server = Server()
    with pytest.raises(RuntimeError, match="boom"):
        await run(gate_class(App(script), api_key="k"), http(b"api_key=k"), server)
    assert server.sent == []


@pytest.mark.parametrize("app_error", [None, ValueError("app failed")])
async def test_a_failing_closing_send_is_swallowed(gate_class, app_error):
    async def script(send):
        await open_response(send)
        if app_error:
            raise app_error

    server = Server(fail_on="closing")
    call = run(gate_class(App(script), api_key="k"), http(b"api_key=k"), server)
    if app_error:
        with pytest.raises(ValueError):
            await call
    else:
        assert await call is None
    assert server.sent[-1] == CLOSING


async def test_cancellation_while_closing_is_not_swallowed(gate_class):
    server = Server(fail_on="closing", error=asyncio.CancelledError())
    with pytest.raises(asyncio.CancelledError):
        await run(gate_class(App(open_response), api_key="k"), http(b"api_key=k"), server)
    assert mcp_request_ctx.get() is None


async def test_a_failed_start_message_still_counts_as_started(gate_class):
    async def script(send):
        with pytest.raises(OSError):
            await send(START)

    server = Server(fail_on="http.response.start")
    await run(gate_class(App(script), api_key="k"), http(b"api_key=k"), server)
    assert server.sent == [START, CLOSING]


async def test_cancelling_the_request_resets_the_context_and_propagates(gate_class):
    entered = asyncio.Event()
    seen = []

    async def script(send):
        await open_response(send)
        entered.set()
        try:
            await asyncio.sleep(30)
        except asyncio.CancelledError:
            seen.append(mcp_request_ctx.get()["api_key"])
            raise

    server = Server()

    async def request():
        await run(gate_class(App(script), api_key="k"), http(b"api_key=k"), server)
        seen.append("finished?")
        return mcp_request_ctx.get()

    task = asyncio.create_task(request())
    await entered.wait()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert seen == ["k"]
    assert server.sent[-1] == CLOSING


async def test_a_failing_reset_replaces_the_error_and_skips_the_closing_message(
    gate_class, monkeypatch
):
    class BrokenContext:
        def set(self, value):
            return "token"

        def reset(self, token):
            raise LookupError("reset failed")

    monkeypatch.setattr(context, "mcp_request_ctx", BrokenContext())

    async def script(send):
        await open_response(send)
        raise ValueError("app failed")

    server = Server()
    with pytest.raises(LookupError) as raised:
        await run(gate_class(App(script), api_key="k"), http(b"api_key=k"), server)
    assert isinstance(raised.value.__context__, ValueError)
    assert CLOSING not in server.sent


async def test_missing_context_module_raises_import_error_before_the_app(gate_class, monkeypatch):
    monkeypatch.setitem(sys.modules, "tervik.mcp.context", None)
    app, server = App(), Server()
    with pytest.raises(ImportError):
        await run(gate_class(app, api_key="k"), http(b"api_key=k"), server)
    assert app.calls == [] and server.sent == []


@pytest.mark.parametrize(
    ("key", "token"),
    [("k", "k\0"), ("ключ", "ключ"), ("\ud800x", "\ud800x"), ("a" * 1000, "a" * 999 + "b")],
)
async def test_fixed_key_comparison_matches_equality(gate_class, key, token):
    app = App()
    gate = gate_class(app, api_key=key)
    gate._extract_token = lambda scope: token
    await run(gate, {"type": "http"}, Server())
    assert bool(app.calls) is (key == token)
