"""The gate on its ways out: clean-up that cannot be skipped, errors that keep their context,
keys that stay out of log records, and cancellations that are never lost."""

from __future__ import annotations

import asyncio
import collections.abc
import gc
import logging
import random
import sys
import warnings

import pytest

from tervik.mcp.context import mcp_request_ctx
from tervik.mcp.gatehouse import ApiKeyGatehouse
from tests.conftest import free_port

from .conftest import Reply, VerifyBackend


@pytest.fixture
def backend(verify_backend) -> VerifyBackend:
    return verify_backend()


@pytest.fixture
def closed_port() -> int:
    return free_port()


HTTP = {"type": "http", "query_string": b"api_key=k", "headers": []}


class Server:
    """The server's side of one request: records what the gate sends, fails where told."""

    def __init__(self, fail_on_closing: BaseException | None = None):
        self.sent: list[dict] = []
        self.fail_on_closing = fail_on_closing

    async def send(self, message: dict) -> None:
        self.sent.append(message)
        if message.get("more_body") is False and self.fail_on_closing is not None:
            raise self.fail_on_closing


def started_then(error: BaseException):
    async def app(scope, receive, send):
        await send({"type": "http.response.start", "status": 200, "headers": []})
        raise error

    return app


class Unprintable(RuntimeError):
    def __str__(self) -> str:
        raise LookupError("no text for you")


CLOSING = {"type": "http.response.body", "body": b"", "more_body": False}


async def test_a_failing_lookup_of_the_app_still_resets_the_context(gate_class):
    gate = gate_class(None, api_key="k")
    del gate.app
    token = mcp_request_ctx.set("before")
    try:
        with pytest.raises(AttributeError):
            await gate(dict(HTTP), None, Server().send)
        assert mcp_request_ctx.get() == "before"
    finally:
        mcp_request_ctx.reset(token)


async def test_an_error_text_that_cannot_be_read_still_resets_and_closes(gate_class):
    server = Server()
    gate = gate_class(started_then(Unprintable()), api_key="k")
    token = mcp_request_ctx.set("before")
    try:
        with pytest.raises(LookupError) as raised:
            await gate(dict(HTTP), None, server.send)
        assert mcp_request_ctx.get() == "before"
    finally:
        mcp_request_ctx.reset(token)
    assert type(raised.value.__context__) is Unprintable
    assert server.sent[-1] == CLOSING


async def test_an_error_of_the_closing_send_chains_to_the_applications(gate_class):
    failure = ValueError("app failed")
    server = Server(fail_on_closing=asyncio.CancelledError())
    gate = gate_class(started_then(failure), api_key="k")
    with pytest.raises(asyncio.CancelledError) as raised:
        await gate(dict(HTTP), None, server.send)
    assert raised.value.__context__ is failure


async def test_closing_the_client_after_a_failed_request_sees_and_chains_that_failure(
    closed_port, monkeypatch, caplog
):
    import httpx

    seen, closing_error = [], RuntimeError("closing failed")

    async def failing_exit(self, *exc):
        seen.append((exc[0], sys.exc_info()[0]))
        raise closing_error

    monkeypatch.setattr(httpx.AsyncClient, "__aexit__", failing_exit)
    gate = ApiKeyGatehouse(None, auth_verify_url=f"http://127.0.0.1:{closed_port}/verify")
    with caplog.at_level(logging.WARNING, logger="tervik.mcp"):
        assert await gate._verify_remote("k") is None
    [(given, handled)] = seen
    assert issubclass(given, httpx.ConnectError) and handled is given
    assert type(closing_error.__context__) is given
    assert [r.getMessage() for r in caplog.records] == ["远程校验 API Key 失败: closing failed"]


# ---- the key stays out of log records ----------------------------------------------------------


@pytest.mark.parametrize("setup", ["non_ascii", "lone_surrogate", "unreachable"])
async def test_a_failed_verification_logs_text_never_the_error_or_the_key(
    backend, closed_port, caplog, setup
):
    key = {"non_ascii": "secret-k\u00fcy", "lone_surrogate": "secret-k\ud800y"}.get(
        setup, "secret-key"
    )
    url = backend.url if setup != "unreachable" else f"http://127.0.0.1:{closed_port}/verify"
    with caplog.at_level(logging.WARNING, logger="tervik.mcp"):
        assert await ApiKeyGatehouse(None, auth_verify_url=url)._verify_remote(key) is None
    [record] = caplog.records
    assert record.msg == "远程校验 API Key 失败: %s"
    assert all(type(arg) is str for arg in record.args), record.args
    forms = (key, "\u00fc", "\\xfc", "\\ud800", "position")
    assert not any(part in record.getMessage() for part in forms)
    if setup != "unreachable":
        assert record.args == ("UnicodeEncodeError",)


# ---- cancellation is never lost ------------------------------------------------------------------


async def cancel_at_random_points(gate: ApiKeyGatehouse, rounds: int) -> tuple[int, int]:
    """Cancels `rounds` gate calls 0-40 ms after they start; counts calls that still ended
    normally although the cancellation was delivered, and calls that admitted anyway."""
    rng = random.Random(20261209)
    lost = admitted = 0
    for _ in range(rounds):
        server = Server()
        task = asyncio.ensure_future(gate(dict(HTTP), None, server.send))
        await asyncio.sleep(rng.uniform(0, 0.04))
        asked = task.cancel()
        try:
            await task
        except asyncio.CancelledError:
            pass
        else:
            lost += asked
        admitted += asked and bool(server.sent)
    return lost, admitted


@pytest.mark.native_only  # the plain-Python twin loses some, as any literal Python gate does
@pytest.mark.parametrize("backend_delay", [0.005, 11.0], ids=["answers-in-5ms", "hangs"])
async def test_cancellation_during_remote_verification_is_never_lost(
    gate_class, backend, backend_delay
):
    backend.answer(Reply(body=b'{"valid": true, "user_id": 7}', delay=backend_delay))
    calls = []

    async def app(scope, receive, send):
        calls.append(scope["mcp_user_id"])
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"ok"})

    gate = gate_class(app, auth_verify_url=backend.url)
    loop = asyncio.get_running_loop()
    started = loop.time()
    lost, admitted = await cancel_at_random_points(gate, 200 if backend_delay < 1 else 60)
    assert (lost, admitted) == (0, 0)
    assert loop.time() - started < 60  # no cancelled call waited out the 10 s timeout
    assert mcp_request_ctx.get() is None


@pytest.mark.native_only  # a literal Python gate admits the request the verification swallowed
async def test_a_cancellation_swallowed_below_the_gate_still_cancels_the_request(gate_class):
    """A verification that swallows the cancellation thrown into it and returns an identity."""

    class Swallowing(gate_class):
        async def _verify_remote(self, api_key):
            try:
                await asyncio.sleep(10)
            except asyncio.CancelledError:
                pass
            return {"valid": True, "user_id": 7}

    server = Server()
    task = asyncio.ensure_future(
        Swallowing(None, auth_verify_url="http://v")(dict(HTTP), None, server.send)
    )
    await asyncio.sleep(0.01)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert server.sent == []


SCOPE_OWN = "Cancelled via cancel scope 7f3a"  # what anyio's scopes say of their own cancellations


@pytest.mark.native_only  # a literal Python gate admits the request the verification swallowed
@pytest.mark.parametrize(
    ("messages", "cancelled"),
    [((None, SCOPE_OWN), True), ((SCOPE_OWN, None), True), ((SCOPE_OWN, SCOPE_OWN), False)],
    ids=["the-tasks-then-a-scopes", "a-scopes-then-the-tasks", "only-a-scopes"],
)
async def test_the_tasks_cancellation_among_several_swallowed_below_still_cancels_it(
    gate_class, messages, cancelled
):
    """Cancellations thrown in one after another during one verification, each swallowed."""
    swallowed = []

    class Swallowing(gate_class):
        async def _verify_remote(self, api_key):
            while len(swallowed) < len(messages):
                try:
                    await asyncio.sleep(10)
                except asyncio.CancelledError as exc:
                    swallowed.append(exc.args)
            return {"valid": True, "user_id": 7}

    async def app(scope, receive, send):
        await send({"type": "http.response.start", "status": 200, "headers": []})

    server = Server()
    gate = Swallowing(app, auth_verify_url="http://v")
    task = asyncio.ensure_future(gate(dict(HTTP), None, server.send))
    for message in messages:
        await asyncio.sleep(0.01)
        task.cancel(message)
    await asyncio.sleep(0.01)
    assert len(swallowed) == len(messages)
    if cancelled:
        with pytest.raises(asyncio.CancelledError):
            await task
        assert server.sent == []
    else:
        await task
        assert server.sent[0]["status"] == 200


# ---- a coroutine its own warning keeps alive -------------------------------------------------------


def test_coroutines_after_one_resurrected_by_its_warning_still_warn():
    """The 'never awaited' warning hands the coroutine to whoever records it; made again
    later, coroutines must still warn (a recycled object whose finalizer ran would not)."""
    gate = ApiKeyGatehouse(None)
    message = "coroutine 'ApiKeyGatehouse._send_401' was never awaited"
    with warnings.catch_warnings(record=True) as first:
        warnings.simplefilter("always")
        gate._send_401({}, None)
        gc.collect()
    assert [str(w.message) for w in first] == [message]
    assert isinstance(first[0].source, collections.abc.Coroutine)
    del first
    gc.collect()
    with warnings.catch_warnings(record=True) as later:
        warnings.simplefilter("always")
        for _ in range(5):
            gate._send_401({}, None)
        gc.collect()
    assert [str(w.message) for w in later] == [message] * 5
