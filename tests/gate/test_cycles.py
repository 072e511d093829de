"""A cycle through a gate call suspended at any of its awaits is collected, as it is for the
same steps written with `async def`.

Each case suspends a call at one await on a `Trap` that refers back to the call (an abandoned
request whose server `send` reaches its own task, say), drops every outside reference, and
checks that the collector frees the call.  The browser service has no awaits.
"""

from __future__ import annotations

import gc
import weakref
from collections.abc import Callable
from typing import Any

import pytest

from tervik.mcp import gatehouse
from tervik.mcp.context import mcp_request_ctx
from tests.conftest import python_gate


class Trap:
    """Suspends whoever awaits it until closed; `owner` closes the cycle."""

    def __init__(self) -> None:
        self.owner: Any = None

    def __await__(self):
        yield self


class Ready:
    """An awaitable that is done at once."""

    def __await__(self):
        return None
        yield  # a generator


def server_send(trap: Trap, trap_on: int) -> Callable[[dict], Any]:
    """The server's send: `trap` for its `trap_on`-th call (from 0), done at once otherwise."""
    calls = []

    def send(message: dict) -> Any:
        calls.append(message)
        return trap if len(calls) - 1 == trap_on else Ready()

    return send


def http(query: bytes = b"api_key=k") -> dict:
    return {"type": "http", "query_string": query, "headers": []}


def client_class(trap: Trap, trap_at: str) -> type:
    """Stands in for httpx.AsyncClient, suspending at the await `trap_at` names.  It holds
    the trap weakly: only the suspended call may keep it alive."""
    trap_ref = weakref.ref(trap)

    def at(place: str) -> Any:
        return trap_ref() if place == trap_at else Ready()

    class Client:
        async def __aenter__(self):
            await at("enter")
            return self

        async def get(self, url, **options):
            await at("get")
            return Response()

        async def __aexit__(self, *exc):
            await at("exit")
            return False

    return Client


class Response:
    status_code = 200

    def json(self):
        return {"valid": True, "user_id": 7}


def call(site: str, module, trap: Trap, monkeypatch):
    """The suspended-to-be gate call (or method call) for one await site."""
    Gate = module.ApiKeyGatehouse

    async def app_returning_trap(scope, receive, send):
        await trap

    async def app_starting(scope, receive, send):
        await send({"type": "http.response.start", "status": 200, "headers": []})

    if site == "pass-through":
        return Gate(app_returning_trap)({"type": "lifespan"}, None, None)
    if site.startswith("refusal-"):
        send = server_send(trap, trap_on=0 if site.endswith("start") else 1)
        return Gate(None, api_key="k")(http(b"api_key=wrong"), None, send)
    if site == "verification":
        gate = Gate(None, auth_verify_url="http://verify")
        gate._verify_remote = lambda token: trap
        return gate(http(), None, None)
    if site == "application":
        return Gate(app_returning_trap, api_key="k")(http(), None, server_send(trap, 99))
    if site == "tracking-send":
        return Gate(app_starting, api_key="k")(http(), None, server_send(trap, trap_on=0))
    if site == "closing-send":
        return Gate(app_starting, api_key="k")(http(), None, server_send(trap, trap_on=1))
    if site.startswith("verify-remote-"):
        import httpx

        monkeypatch.setattr(httpx, "AsyncClient", client_class(trap, site.rsplit("-", 1)[1]))
        return Gate(None, auth_verify_url="http://verify")._verify_remote("k")
    raise AssertionError(site)


SITES = [
    "pass-through", "refusal-start", "refusal-body", "verification", "application",
    "tracking-send", "closing-send", "verify-remote-enter", "verify-remote-get",
    "verify-remote-exit",
]  # fmt: skip


def warm_up(module) -> None:
    """A few whole requests first: what they leave behind for reuse must not change how a
    later call ends."""

    async def app(scope, receive, send):
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b""})

    gate = module.ApiKeyGatehouse(app, api_key="k")
    for query in (b"api_key=k", b"api_key=wrong") * 3:
        call = gate(http(query), None, server_send(Trap(), trap_on=99))
        with pytest.raises(StopIteration):
            call.send(None)


@pytest.mark.parametrize("implementation", ["native", "async-def"])
@pytest.mark.parametrize("site", SITES)
def test_a_cycle_through_a_suspended_call_is_collected(site, implementation, monkeypatch):
    module = gatehouse if implementation == "native" else python_gate()
    warm_up(module)
    trap = Trap()
    coro = call(site, module, trap, monkeypatch)
    yielded = coro.send(None)
    while yielded is not trap:  # other awaits on the way are done at once
        yielded = coro.send(None)
    trap.owner = coro
    collected = weakref.ref(coro)
    del coro, trap, yielded
    gc.collect()
    assert collected() is None
    assert mcp_request_ctx.get() is None  # the collected call's clean-up ran
