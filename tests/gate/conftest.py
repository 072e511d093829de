"""Real servers for the gate tests: uvicorn, a verification backend and an MCP server.

``serve(app)`` runs any ASGI app under uvicorn on 127.0.0.1 and returns its base URL.
``verify_backend()`` starts a verification service whose answers a test chooses, globally
or per key, and that records every request it receives. ``mcp_server(transport, middleware,
**options)`` serves the official MCP SDK's streamable-HTTP or SSE app, wrapped in a
middleware, with a ``whoami`` tool that reports ``mcp_request_ctx``; ``await
endpoint.whoami(bearer=...)`` or ``whoami(api_key=...)`` connects with the SDK's own client.
``gate_class`` is each gate class in turn, for what both must do alike.
Every fixture stops what it started.
"""

from __future__ import annotations

import json
import os
import socket
import struct
import sys
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import AsyncExitStack
from dataclasses import dataclass
from email.message import Message
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Literal
from urllib.parse import parse_qs, urlsplit

import anyio
import httpx2  # the MCP SDK's HTTP client library
import pytest
import uvicorn
from mcp.client.session import ClientSession
from mcp.client.sse import sse_client
from mcp.client.streamable_http import streamable_http_client
from mcp.server.mcpserver import MCPServer
from starlette.types import ASGIApp

from tervik.mcp.context import mcp_request_ctx

STARTUP_SECONDS = 15.0

# --- the gate classes ------------------------------------------------------------------


@pytest.fixture(params=["plain", "secure"])
def gate_class(request: pytest.FixtureRequest) -> type:
    """ApiKeyGatehouse (the plain-Python twin's under --gate=python) and SecureGatehouse, for
    what both must do alike; the twin has no SecureGatehouse, so "secure" skips there."""
    import tervik.mcp.gatehouse as gatehouse

    if request.param == "plain":
        return gatehouse.ApiKeyGatehouse
    if request.config.getoption("gate") == "python":
        pytest.skip("the plain-Python twin has no SecureGatehouse")
    from tervik.mcp.secure import SecureGatehouse

    return SecureGatehouse


# --- uvicorn ---------------------------------------------------------------------------


@pytest.fixture
def serve() -> Iterator[Callable[..., str]]:
    """``serve(app, lifespan="auto") -> "http://127.0.0.1:PORT"``; stopped at teardown."""
    running: list[tuple[uvicorn.Server, threading.Thread]] = []

    def start(app: ASGIApp, *, lifespan: Literal["auto", "on", "off"] = "auto") -> str:
        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
        config = uvicorn.Config(
            app,
            lifespan=lifespan,
            log_config=None,
            access_log=False,
            timeout_graceful_shutdown=2,
        )
        server = uvicorn.Server(config)

        def run() -> None:
            try:
                server.run(sockets=[sock])
            except SystemExit:  # uvicorn's way to report a failed start-up; start() raises
                pass
            finally:
                sock.close()

        thread = threading.Thread(target=run, name=f"uvicorn:{port}", daemon=True)
        thread.start()
        running.append((server, thread))
        deadline = time.monotonic() + STARTUP_SECONDS
        while not server.started:
            if not thread.is_alive() or time.monotonic() > deadline:
                raise RuntimeError(f"uvicorn did not start on port {port}; see the captured log")
            time.sleep(0.01)
        return f"http://127.0.0.1:{port}"

    yield start
    for server, _ in running:
        server.should_exit = True
    for _, thread in running:
        thread.join(10)


# --- verification backend --------------------------------------------------------------


@dataclass(frozen=True)
class Reply:
    """One answer of the verification backend."""

    status: int = 200
    body: bytes = b'{"valid": false}'
    content_type: str = "application/json"
    delay: float = 0.0  # seconds to wait before answering
    reset: bool = False  # drop the connection with a TCP reset instead of answering

    @classmethod
    def json(cls, value: Any, status: int = 200) -> Reply:
        return cls(status=status, body=json.dumps(value).encode())


Answer = Reply | Callable[[str | None], Any]
"""A fixed reply, or a function of the presented key returning a Reply or a JSON value."""


@dataclass(frozen=True)
class SeenRequest:
    """A request as the backend received it."""

    method: str
    path: str
    query: dict[str, list[str]]  # every parameter, blank values kept
    headers: Message  # case-insensitive: headers["x-mcp-api-key"]

    @property
    def api_key(self) -> str | None:
        """The key the request presents: query parameter first, then X-MCP-API-Key."""
        values = self.query.get("api_key")
        return values[0] if values else self.headers.get("X-MCP-API-Key")


class VerifyBackend(ThreadingHTTPServer):
    """Verification service on 127.0.0.1. Answers ``{"valid": false}`` until told otherwise.

    Choose the answers with the methods below; each takes ``key=`` to apply to that key
    only, else it applies to every key without one of its own.
    """

    daemon_threads = True
    request_queue_size = 512

    def __init__(self) -> None:
        super().__init__(("127.0.0.1", 0), _VerifyHandler)
        self.url = f"http://127.0.0.1:{self.server_address[1]}/verify"
        self.requests: list[SeenRequest] = []
        self._default: Answer = Reply()
        self._by_key: dict[str, Answer] = {}
        self._closing = threading.Event()
        self._thread = threading.Thread(
            target=self.serve_forever, args=(0.05,), name="verify-backend", daemon=True
        )
        self._thread.start()

    def answer(self, answer: Answer, *, key: str | None = None) -> None:
        if key is None:
            self._default = answer
        else:
            self._by_key[key] = answer

    def valid(
        self, *, key: str | None = None, user_id: Any = 7, email: Any = "user@example.test"
    ) -> None:
        self.answer(Reply.json({"valid": True, "user_id": user_id, "email": email}), key=key)

    def invalid(self, *, key: str | None = None) -> None:
        self.answer(Reply.json({"valid": False}), key=key)

    def status(self, status: int, *, key: str | None = None) -> None:
        """Answer with ``status`` and a body that would confirm the key at status 200."""
        self.answer(Reply.json({"valid": True, "user_id": 7}, status=status), key=key)

    def not_json(self, *, key: str | None = None) -> None:
        self.answer(Reply(body=b"<html>valid</html>", content_type="text/html"), key=key)

    def json_array(self, *, key: str | None = None) -> None:
        self.answer(Reply.json([{"valid": True, "user_id": 7}]), key=key)

    def slow(self, delay: float = 11.0, *, key: str | None = None) -> None:
        """Confirm the key, but only after ``delay`` seconds."""
        self.answer(Reply(body=b'{"valid": true, "user_id": 7}', delay=delay), key=key)

    def reset(self, *, key: str | None = None) -> None:
        self.answer(Reply(reset=True), key=key)

    def close(self) -> None:
        self._closing.set()  # slow answers give up at once
        self.shutdown()
        self.server_close()

    def _respond(self, handler: _VerifyHandler) -> None:
        target = urlsplit(handler.path)
        seen = SeenRequest(
            handler.command,
            target.path,
            parse_qs(target.query, keep_blank_values=True),
            handler.headers,
        )
        self.requests.append(seen)
        answer = self._by_key.get(seen.api_key, self._default)  # type: ignore[arg-type]
        reply = answer if isinstance(answer, Reply) else answer(seen.api_key)
        if not isinstance(reply, Reply):
            reply = Reply.json(reply)
        handler.close_connection = True
        if reply.reset:
            handler.connection.setsockopt(
                socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0)
            )
            os.close(handler.connection.detach())
            return
        if reply.delay and self._closing.wait(reply.delay):
            return
        handler.send_response(reply.status)
        handler.send_header("Content-Type", reply.content_type)
        handler.send_header("Content-Length", str(len(reply.body)))
        handler.send_header("Connection", "close")
        handler.end_headers()
        handler.wfile.write(reply.body)

    def handle_error(self, request: Any, client_address: Any) -> None:
        # A client that gave up (timeout, reset) is expected here; anything else is not.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


class _VerifyHandler(BaseHTTPRequestHandler):
    server: VerifyBackend
    protocol_version = "HTTP/1.1"

    def do_GET(self) -> None:
        self.server._respond(self)

    do_POST = do_GET

    def log_message(self, format: str, *args: Any) -> None:
        pass


@pytest.fixture
def verify_backend() -> Iterator[Callable[[], VerifyBackend]]:
    """``verify_backend() -> VerifyBackend``, a new one per call; closed at teardown."""
    started: list[VerifyBackend] = []

    def start() -> VerifyBackend:
        started.append(VerifyBackend())
        return started[-1]

    yield start
    for backend in started:
        backend.close()


# --- MCP server ------------------------------------------------------------------------

Transport = Literal["streamable-http", "sse"]
ENDPOINT_PATHS: dict[str, str] = {"streamable-http": "/mcp", "sse": "/sse"}


def whoami_server() -> MCPServer:
    """An MCP server with one tool, ``whoami``: the request identity as JSON text."""
    server = MCPServer("tervik-test", log_level="WARNING")

    @server.tool()
    async def whoami() -> str:
        """The identity the gate published for this request."""
        return json.dumps(mcp_request_ctx.get())

    return server


@dataclass(frozen=True)
class McpEndpoint:
    transport: Transport
    url: str  # http://127.0.0.1:PORT/mcp or .../sse

    async def whoami(
        self, *, bearer: str | None = None, api_key: str | None = None, timeout: float = 10.0
    ) -> dict[str, Any] | None:
        """Connect with the SDK's client, call ``whoami`` and return the identity it reports.

        ``bearer`` goes into an ``Authorization: Bearer`` header; ``api_key`` into the query
        of every request the client makes (the way a client that cannot set headers does it).
        Raises whatever the SDK raises if the server refuses, or TimeoutError.
        """
        headers = {"Authorization": f"Bearer {bearer}"} if bearer is not None else {}

        async def add_key(request: httpx2.Request) -> None:
            # Appended, not passed as params=, which would replace the URL's own query
            # (the SSE message endpoint's session_id).
            if api_key is not None:
                request.url = request.url.copy_add_param("api_key", api_key)

        def http_client(
            headers: dict[str, str] | None = None, timeout: Any = None, auth: Any = None
        ) -> httpx2.AsyncClient:
            return httpx2.AsyncClient(
                headers=headers, timeout=timeout, auth=auth, event_hooks={"request": [add_key]}
            )

        with anyio.fail_after(timeout):
            async with AsyncExitStack() as stack:
                if self.transport == "sse":
                    streams = sse_client(
                        self.url, headers=headers, httpx_client_factory=http_client
                    )
                else:
                    client = await stack.enter_async_context(
                        http_client(headers, httpx2.Timeout(timeout))
                    )
                    streams = streamable_http_client(self.url, http_client=client)
                read, write, *_ = await stack.enter_async_context(streams)
                session = await stack.enter_async_context(ClientSession(read, write))
                await session.initialize()
                result = await session.call_tool("whoami", {})
        text = result.content[0].text
        if result.is_error:
            raise AssertionError(f"whoami failed: {text}")
        return json.loads(text)


@pytest.fixture
def mcp_server(serve: Callable[..., str]) -> Callable[..., McpEndpoint]:
    """``mcp_server(transport, middleware=None, **options) -> McpEndpoint``.

    The app is ``middleware(app, **options)`` when a middleware is given, e.g.
    ``mcp_server("sse", ApiKeyGatehouse, api_key="k")``. Served with lifespan on, which the
    streamable-HTTP app needs to start its session manager.
    """

    def start(
        transport: Transport, middleware: Callable[..., ASGIApp] | None = None, **options: Any
    ) -> McpEndpoint:
        server = whoami_server()
        app = server.streamable_http_app() if transport == "streamable-http" else server.sse_app()
        if middleware is not None:
            app = middleware(app, **options)
        return McpEndpoint(transport, serve(app, lifespan="on") + ENDPOINT_PATHS[transport])

    return start
