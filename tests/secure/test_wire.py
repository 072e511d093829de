"""On the wire: uvicorn, the verification backend, and the MCP SDK's own server and client."""

from __future__ import annotations

import asyncio
import json
from contextlib import AsyncExitStack
from typing import Any

import anyio
import httpx
import httpx2
import pytest
from mcp.client.session import ClientSession
from mcp.client.sse import sse_client
from mcp.client.streamable_http import streamable_http_client
from starlette.applications import Starlette
from starlette.responses import JSONResponse
from starlette.routing import Route

from tervik.mcp.context import mcp_request_ctx
from tervik.mcp.secure import SecureGatehouse
from tests.gate.conftest import Reply

NOT_FOUND = {
    "jsonrpc": "2.0",
    "id": None,
    "error": {"code": -32600, "message": "Session not found"},
}


@pytest.fixture
def backend(verify_backend):
    backend = verify_backend()
    backend.valid(key="key-ada", user_id="ada", email="ada@example.test")
    backend.valid(key="key-bob", user_id="bob", email="bob@example.test")
    return backend


class Caller:
    """One MCP client session, kept open; records where it posted and its session id."""

    def __init__(self, transport: str, url: str, key: str) -> None:
        self.transport, self.url, self.key = transport, url, key
        self.posted: list[str] = []
        self.stack = AsyncExitStack()
        self.session_id: Any = None

    def client(self, headers=None, timeout=None, auth=None) -> httpx2.AsyncClient:
        async def record(request: httpx2.Request) -> None:
            if request.method == "POST":
                self.posted.append(str(request.url))

        async def session_of(response: httpx2.Response) -> None:
            self.session_id = response.headers.get("mcp-session-id", self.session_id)

        headers = {**(headers or {}), "Authorization": f"Bearer {self.key}"}
        hooks = {"request": [record], "response": [session_of]}
        return httpx2.AsyncClient(headers=headers, timeout=timeout, auth=auth, event_hooks=hooks)

    async def __aenter__(self) -> ClientSession:
        if self.transport == "sse":
            streams = sse_client(self.url, httpx_client_factory=self.client)
        else:
            client = await self.stack.enter_async_context(self.client(timeout=httpx2.Timeout(10)))
            streams = streamable_http_client(self.url, http_client=client)
        read, write, *_ = await self.stack.enter_async_context(streams)
        session = await self.stack.enter_async_context(ClientSession(read, write))
        await session.initialize()
        return session

    async def __aexit__(self, *exc: Any) -> None:
        await self.stack.aclose()


async def whoami(session: ClientSession) -> dict[str, Any]:
    result = await session.call_tool("whoami", {})
    return json.loads(result.content[0].text)


@pytest.mark.parametrize("transport", ["streamable-http", "sse"])
async def test_a_whole_session_costs_one_backend_request(mcp_server, backend, transport):
    endpoint = mcp_server(transport, SecureGatehouse, auth_verify_url=backend.url)
    identity = await endpoint.whoami(bearer="key-ada")
    assert identity == {"api_key": "key-ada", "user_id": "ada", "email": "ada@example.test"}
    assert len(backend.requests) == 1


@pytest.mark.parametrize("transport", ["streamable-http", "sse"])
async def test_another_users_key_cannot_drive_the_session(mcp_server, backend, transport):
    endpoint = mcp_server(transport, SecureGatehouse, auth_verify_url=backend.url)
    with anyio.fail_after(20):
        caller = Caller(transport, endpoint.url, "key-ada")
        async with caller as session:
            assert (await whoami(session))["user_id"] == "ada"
            body = {"jsonrpc": "2.0", "id": 99, "method": "tools/list"}
            bob = {
                "Authorization": "Bearer key-bob",
                "Accept": "application/json, text/event-stream",
            }
            async with httpx.AsyncClient() as other:
                if transport == "sse":
                    [message_url] = set(caller.posted)  # .../messages/?session_id=...
                    answer = await other.post(message_url, json=body, headers=bob)
                else:
                    session_header = {"mcp-session-id": caller.session_id}
                    answer = await other.post(endpoint.url, json=body, headers=bob | session_header)
            assert (answer.status_code, answer.json()) == (404, NOT_FOUND)
            assert (await whoami(session))["user_id"] == "ada"  # the first session goes on


async def test_the_sdk_client_shows_why_it_was_refused(mcp_server, backend):
    endpoint = mcp_server("streamable-http", SecureGatehouse, auth_verify_url=backend.url)
    with pytest.raises(Exception) as raised:
        await endpoint.whoami(bearer="key-nobody")
    assert "Unauthorized: invalid API key" in repr(raised.value) + "".join(
        repr(e) for e in getattr(raised.value, "exceptions", ())
    )


async def identity(request):
    await asyncio.sleep(0.01)  # overlap the requests in flight
    return JSONResponse(
        {"identity": mcp_request_ctx.get(), "user": request.scope.get("mcp_user_id")}
    )


IDENTITY_APP = Starlette(routes=[Route("/who", identity)])


async def test_200_concurrent_clients_get_their_own_identity_and_one_request_per_key(
    serve, verify_backend
):
    backend = verify_backend()
    users = {f"key-{n:02d}": f"user-{n:02d}" for n in range(40)}
    backend.answer(
        lambda key: (
            Reply.json({"valid": key in users, "user_id": users.get(key)})
            if key not in users
            else Reply(body=json.dumps({"valid": True, "user_id": users[key]}).encode(), delay=0.05)
        )
    )
    base = serve(SecureGatehouse(IDENTITY_APP, auth_verify_url=backend.url))
    keys = [key for key in users for _ in range(5)]  # 200 requests, five per key
    # Idle connections are dropped well before uvicorn's keep-alive timeout (5 s) ends them:
    # a slow first round would otherwise race the server closing a connection being reused.
    limits = httpx.Limits(max_connections=200, keepalive_expiry=1)
    async with httpx.AsyncClient(limits=limits, timeout=30) as client:

        async def ask(key: str) -> tuple[str, Any]:
            answer = await client.get(base + "/who", headers={"Authorization": f"Bearer {key}"})
            return key, answer.json() if answer.status_code == 200 else answer.status_code

        for _ in range(2):
            answers = await asyncio.gather(*(ask(key) for key in keys))
            expected = {key: {"identity": {"api_key": key, "user_id": users[key], "email": None},
                              "user": users[key]} for key in users}  # fmt: skip
            mixed = [(key, body) for key, body in answers if body != expected[key]]
            assert mixed == []
            assert len(backend.requests) == len(users)  # the second round asks nothing


async def test_the_failure_limit_on_the_wire(serve):
    base = serve(SecureGatehouse(IDENTITY_APP, api_key="right", failure_limit=3))
    async with httpx.AsyncClient() as client:
        statuses = [(await client.get(base + "/who?api_key=wrong")).status_code for _ in range(3)]
        limited = await client.get(base + "/who?api_key=right")
    assert statuses == [401, 401, 401]
    assert limited.status_code == 429 and 59 <= int(limited.headers["retry-after"]) <= 60
    assert limited.headers["content-type"] == "application/json"
