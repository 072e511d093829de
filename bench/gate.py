"""The native gate against the same behaviour written in plain Python, in one run.

Prints, per scenario, the time per call of each and the ratio python/native (above 1 means
the native gate is faster).  Median of several rounds; results are also saved under
bench/results/.
"""

from __future__ import annotations

import asyncio
import json
import platform
import statistics
import sys
import time
import urllib.parse
from pathlib import Path

from tervik.mcp.context import mcp_request_ctx
from tervik.mcp.gatehouse import ApiKeyGatehouse


class PythonGatehouse:
    """The gate's request path in plain Python (fixed-key and unconfigured modes)."""

    def __init__(self, app, *, api_key=None, auth_verify_url=None):
        self.app = app
        self._api_key = api_key
        self._auth_verify_url = auth_verify_url

    def _extract_token(self, scope):
        query_string = scope.get("query_string", b"").decode("utf-8")
        if query_string:
            api_keys = urllib.parse.parse_qs(query_string).get("api_key", [])
            if api_keys:
                return api_keys[0]
        for name, value in scope.get("headers", []):
            if name.lower() == b"authorization":
                auth = value.decode("utf-8", errors="replace")
                if auth.lower().startswith("bearer "):
                    return auth[7:].strip()
        return None

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        token = self._extract_token(scope)
        if self._api_key and token == self._api_key:
            scope["mcp_api_key"] = token
        else:
            await self._send_401(scope, send, reason="invalid_api_key")
            return
        from tervik.mcp.context import mcp_request_ctx

        ctx_token = mcp_request_ctx.set(
            {"api_key": token, "user_id": scope.get("mcp_user_id"), "email": scope.get("mcp_user_email")}
        )
        response_started = False
        response_complete = False

        async def tracking_send(message):
            nonlocal response_started, response_complete
            if message["type"] == "http.response.start":
                response_started = True
            elif message["type"] == "http.response.body" and not message.get("more_body", False):
                response_complete = True
            await send(message)

        try:
            await self.app(scope, receive, tracking_send)
        except RuntimeError as exc:
            if "Expected ASGI message" not in str(exc):
                raise
        finally:
            mcp_request_ctx.reset(ctx_token)
            if response_started and not response_complete:
                try:
                    await send({"type": "http.response.body", "body": b"", "more_body": False})
                except Exception:
                    pass

    async def _send_401(self, _scope, send, reason="invalid_api_key"):
        body = '{"error":"Unauthorized","message":"Invalid or missing API Key","reason":"' + reason + '"}'
        await send({"type": "http.response.start", "status": 401, "headers": [
            (b"content-type", b"application/json"), (b"www-authenticate", b'Bearer realm="tervik-mcp"')]})
        await send({"type": "http.response.body", "body": body.encode("utf-8")})


HEADERS = [
    (b"host", b"127.0.0.1:8000"), (b"user-agent", b"mcp-client/2.3"), (b"accept", b"application/json, text/event-stream"),
    (b"content-type", b"application/json"), (b"mcp-session-id", b"3f1c0b6e9d2a4c7f"), (b"mcp-protocol-version", b"2025-06-18"),
    (b"accept-encoding", b"gzip, deflate"), (b"content-length", b"77"), (b"authorization", b"Bearer sk-live-0123456789abcdef"),
]
KEY = "sk-live-0123456789abcdef"


def scope(headers=HEADERS, query=b""):
    return {"type": "http", "query_string": query, "headers": headers}


async def app(scope, receive, send):
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": b"{}"})


async def send(message):
    pass


def measure(fn, n, rounds=7):
    times = []
    for _ in range(rounds):
        started = time.perf_counter()
        fn(n)
        times.append((time.perf_counter() - started) / n)
    return statistics.median(times)


def scenarios():
    loop = asyncio.new_event_loop()

    def calls(gate, make_scope):
        async def batch(n):
            for _ in range(n):
                await gate(make_scope(), None, send)

        return lambda n: loop.run_until_complete(batch(n))

    def extract(gate, s):
        def run(n):
            for _ in range(n):
                gate._extract_token(s)
        return run

    for name, make in [
        ("extract key from bearer header", lambda G: extract(G(app, api_key=KEY), scope())),
        ("extract key from query", lambda G: extract(G(app, api_key=KEY), scope([], b"session_id=abc&api_key=" + KEY.encode()))),
        ("admitted request, fixed key", lambda G: calls(G(app, api_key=KEY), scope)),
        ("refused request (401)", lambda G: calls(G(app, api_key=KEY), lambda: scope([]))),
        ("lifespan pass-through", lambda G: calls(G(app, api_key=KEY), lambda: {"type": "lifespan"})),
    ]:
        yield name, make


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    rows = []
    for name, make in scenarios():
        native = measure(make(ApiKeyGatehouse), n)
        python = measure(make(PythonGatehouse), n)
        rows.append({"scenario": name, "native_us": native * 1e6, "python_us": python * 1e6, "ratio": python / native})
        print(f"{name:34s} native {native * 1e6:7.2f} us   python {python * 1e6:7.2f} us   python/native {python / native:5.2f}x")
    out = Path(__file__).with_name("results")
    out.mkdir(exist_ok=True)
    (out / f"gate-{platform.python_version()}.json").write_text(json.dumps(
        {"python": sys.version, "machine": platform.machine(), "calls": n, "rows": rows}, indent=2) + "\n")
    assert mcp_request_ctx.get() is None


if __name__ == "__main__":
    main()
