"""The MCP SDK's own sessions behind the gate: on the SSE transport another caller cannot post
into a session however the post names it, and the SDK sees the caller in its own terms
(``scope["user"]``, its access-token context), so it refuses another caller's session itself
and a tool can ask who is calling."""

from __future__ import annotations

import json
import logging
import subprocess
import sys
from urllib.parse import parse_qs, urlsplit

import anyio
import httpx
import httpx2
import pytest
from mcp import Client
from mcp.client.streamable_http import streamable_http_client
from mcp.server.auth.middleware.auth_context import auth_context_var, get_access_token
from mcp.server.auth.middleware.bearer_auth import AuthenticatedUser
from mcp.server.auth.provider import AccessToken, principal_components
from mcp.server.mcpserver import MCPServer
from starlette.authentication import AuthCredentials

from tervik.mcp.context import mcp_request_ctx
from tervik.mcp.secure import SecureGatehouse
from tests.conftest import python_env
from tests.gate.conftest import whoami_server

from .conftest import http_scope, request
from .test_sessions import users_gate
from .test_wire import NOT_FOUND, Caller, backend, whoami  # noqa: F401  (backend: a fixture)

BOTH_STORES = True  # each test runs with the in-memory store and with Redis


def sdk_server(ran: list[str | None]) -> MCPServer:
    """``whoami`` and ``token``: the SDK's access token of the request (``ran`` records whose
    request ran it)."""
    server = whoami_server()

    @server.tool()
    async def token() -> str:
        """The SDK's access token for this request."""
        ran.append(mcp_request_ctx.get()["user_id"])
        access = get_access_token()
        return json.dumps(access and access.model_dump(include={"client_id", "subject", "scopes", "token"}))  # fmt: skip

    return server


@pytest.fixture
def sdk(serve, backend):  # noqa: F811
    """``sdk(transport, **gate_options) -> (url, ran)``: the SDK's app for ``transport``
    behind a SecureGatehouse that asks ``backend`` (key-ada: ada, key-bob: bob)."""

    def start(transport: str, **options):
        ran: list[str | None] = []
        server = sdk_server(ran)
        app = server.sse_app() if transport == "sse" else server.streamable_http_app()
        base = serve(SecureGatehouse(app, auth_verify_url=backend.url, **options), lifespan="on")
        return base + ("/sse" if transport == "sse" else "/mcp"), ran

    return start


def session_of(caller: Caller) -> str:
    """The SSE session id the SDK announced to ``caller`` (the query of its posts)."""
    return parse_qs(urlsplit(caller.posted[0]).query)["session_id"][0]


BOB = {"Authorization": "Bearer key-bob", "Accept": "application/json, text/event-stream"}
CALL = {"jsonrpc": "2.0", "id": 99, "method": "tools/call", "params": {"name": "token", "arguments": {}}}  # fmt: skip

# ---- SSE message posts ------------------------------------------------------------------------

ATTACKS = {
    "two session_id fields": ("/messages/", "session_id={bob}&session_id={ada}", {}),
    "a percent-encoded name": ("/messages/", "session%5Fid={ada}", {}),
    "a path below the message path": ("/messages/x", "session_id={ada}", {}),
    "the header for the query": ("/messages/", "session_id={ada}", {"mcp-session-id": "{bob}"}),
}


@pytest.mark.parametrize(("path", "query", "headers"), ATTACKS.values(), ids=ATTACKS.keys())
async def test_another_caller_cannot_post_into_an_sse_session(sdk, path, query, headers):
    url, ran = sdk("sse")
    ada, bob = Caller("sse", url, "key-ada"), Caller("sse", url, "key-bob")
    with anyio.fail_after(20):
        async with ada as ada_session, bob:
            ids = {"ada": session_of(ada), "bob": session_of(bob)}
            target = url.removesuffix("/sse") + path + "?" + query.format(**ids)
            extra = {name: value.format(**ids) for name, value in headers.items()}
            async with httpx.AsyncClient() as client:
                answer = await client.post(target, json=CALL, headers=BOB | extra)
            assert answer.status_code == 404 and answer.json() == NOT_FOUND, answer.text
            assert (await whoami(ada_session))["user_id"] == "ada"  # her session goes on
    assert "bob" not in ran


# ---- the caller in the SDK's terms ------------------------------------------------------------


@pytest.mark.parametrize("transport", ["streamable-http", "sse"])
async def test_another_callers_key_on_a_session_gets_the_sdks_own_refusal(sdk, caplog, transport):
    caplog.set_level(logging.WARNING, logger="mcp")
    url, _ = sdk(transport, bind_sessions=False)  # the gate itself does not look
    ada = Caller(transport, url, "key-ada")
    with anyio.fail_after(20):
        async with ada as session:
            async with httpx.AsyncClient() as client:
                if transport == "sse":
                    answer = await client.post(ada.posted[0], json=CALL, headers=BOB)
                    refusal = (404, "Could not find session")
                else:
                    own = {"mcp-session-id": ada.session_id, "mcp-protocol-version": session.protocol_version}  # fmt: skip
                    answer = await client.post(url, json=CALL, headers=BOB | own)
                    refusal = (404, json.dumps(NOT_FOUND, separators=(",", ":")))
            assert (answer.status_code, answer.text) == refusal
            assert "credential does not match" in caplog.text  # the SDK's refusal, not the gate's
            assert (await whoami(session))["user_id"] == "ada"


@pytest.mark.parametrize("transport", ["streamable-http", "sse", "2026-07-28"])
async def test_a_tools_access_token_names_the_caller(sdk, transport):
    url, _ = sdk("sse" if transport == "sse" else "streamable-http", bind_sessions=False)
    for key, user in [("key-ada", "ada"), ("key-bob", "bob")]:
        with anyio.fail_after(20):
            if transport == "2026-07-28":  # one POST per request: no handshake, no session
                headers = {"Authorization": f"Bearer {key}"}
                async with httpx2.AsyncClient(headers=headers) as http:
                    streams = streamable_http_client(url, http_client=http)
                    async with Client(streams, mode="2026-07-28") as client:
                        result = await client.call_tool("token", {})
            else:
                async with Caller(transport, url, key) as session:
                    result = await session.call_tool("token", {})
        access = json.loads(result.content[0].text)
        assert access is not None, "the tool saw no access token"
        token = access.pop("token")
        assert access == {"client_id": user, "subject": user, "scopes": []} and key not in token


class Seen:
    """An application that records the request's user, credentials and SDK access token."""

    def __init__(self) -> None:
        self.seen: list[tuple] = []
        self.error: Exception | None = None

    async def __call__(self, scope, receive, send):
        self.seen.append((scope.get("user"), scope.get("auth"), get_access_token()))
        if self.error is not None:
            raise self.error
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"{}"})


def local_gate(app):
    return SecureGatehouse(app, api_key="shared-key")


@pytest.mark.parametrize(
    ("make_gate", "key", "user_id"),
    [(users_gate, "key-ada", "ada"), (users_gate, "key-anon-1", None), (local_gate, "shared-key", None)],
    ids=["remote with a user id", "remote without", "local key"],
)  # fmt: skip
async def test_an_admitted_request_carries_the_caller_in_the_sdks_and_starlettes_terms(
    make_gate, key, user_id
):
    app = Seen()
    gate = make_gate(app)
    outer = AuthenticatedUser(AccessToken(token="outer", client_id="outer", scopes=[]))
    reset = auth_context_var.set(outer)
    try:
        assert (await request(gate, http_scope(key))).status == 200
        assert auth_context_var.get() is outer
        app.error = RuntimeError("the application failed")
        with pytest.raises(RuntimeError):
            await request(gate, http_scope(key))
        assert auth_context_var.get() is outer
    finally:
        auth_context_var.reset(reset)
    (user, auth, access), (again, _, _) = app.seen
    assert isinstance(user, AuthenticatedUser) and isinstance(auth, AuthCredentials)
    assert access is user.access_token and isinstance(access, AccessToken)
    assert (access.subject, access.scopes, auth.scopes) == (user_id, [], [])
    assert access.client_id == (user_id or again.access_token.client_id)  # a fingerprint: stable
    assert key not in access.token and key not in access.client_id


@pytest.mark.parametrize(
    ("first", "second", "same"),
    [("key-ada", "key-ada-2", True), ("key-anon-1", "key-anon-1", True), ("key-anon-1", "key-anon-2", False)],
)  # fmt: skip
async def test_the_sdk_sees_one_principal_per_user_or_else_per_key(first, second, same):
    app = Seen()
    gate = users_gate(app)
    for key in (first, second):
        await request(gate, http_scope(key))
    users = [user for user, _, _ in app.seen]
    assert all(isinstance(user, AuthenticatedUser) for user in users)
    principals = [principal_components(user.access_token) for user in users]
    assert (principals[0] == principals[1]) is same


def test_without_the_sdk_the_caller_is_a_starlette_user():
    program = """
import asyncio, sys
sys.modules["mcp"] = None  # the MCP SDK is not installed
from tervik.mcp.secure import SecureGatehouse
seen = {}
async def app(scope, receive, send):
    seen.update(user=scope["user"], auth=scope["auth"])
async def main():
    scope = {"type": "http", "method": "GET", "path": "/", "query_string": b"api_key=k",
             "headers": [], "client": ("127.0.0.1", 1)}
    await SecureGatehouse(app, api_key="k")(scope, None, None)
asyncio.run(main())
print(type(seen["user"]).__name__, seen["user"].is_authenticated, seen["auth"].scopes)
"""
    out = subprocess.run(
        [sys.executable, "-c", program], capture_output=True, text=True, env=python_env()
    )
    assert out.stdout.split() == ["SimpleUser", "True", "[]"], out.stderr
