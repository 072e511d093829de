"""The gate in front of real applications under uvicorn, reached by real clients."""

from __future__ import annotations

import asyncio
import logging
import threading

import httpx
import pytest
from starlette.applications import Starlette
from starlette.responses import JSONResponse, StreamingResponse
from starlette.routing import Route

from tervik.mcp.context import mcp_request_ctx
from tervik.mcp.gatehouse import ApiKeyGatehouse

BODY_90 = (
    b'{"error":"Unauthorized","message":"Invalid or missing API Key","reason":"invalid_api_key"}'
)


async def whoami(request):
    return JSONResponse(
        {"identity": mcp_request_ctx.get(), "scope_key": request.scope.get("mcp_api_key")}
    )


finished = threading.Event()


async def stream(request):
    async def chunks():
        try:
            for _ in range(1000):
                yield b"x" * 65536
                await asyncio.sleep(0.001)
        finally:
            finished.set()

    return StreamingResponse(chunks())


starlette_app = Starlette(routes=[Route("/whoami", whoami), Route("/stream", stream)])


def test_refusal_on_the_wire(serve):
    base = serve(ApiKeyGatehouse(starlette_app, api_key="secret"))
    for response in (
        httpx.get(base + "/whoami"),
        httpx.get(base + "/whoami?api_key=wrong"),
        httpx.get(base + "/whoami", headers={"Authorization": "Bearer wrong"}),
    ):
        assert response.status_code == 401
        assert response.headers["content-type"] == "application/json"
        assert response.headers["www-authenticate"] == 'Bearer realm="tervik-mcp"'
        assert response.content == BODY_90


@pytest.mark.parametrize("how", ["query", "header"])
def test_admitted_request_sees_its_identity(serve, how):
    base = serve(ApiKeyGatehouse(starlette_app, api_key="secret"))
    if how == "query":
        response = httpx.get(base + "/whoami", params={"api_key": "secret"})
    else:
        response = httpx.get(base + "/whoami", headers={"authorization": "bearer secret"})
    assert response.status_code == 200
    assert response.json() == {
        "identity": {"api_key": "secret", "user_id": None, "email": None},
        "scope_key": "secret",
    }


def test_huge_queries_and_headers_are_handled(serve):
    base = serve(ApiKeyGatehouse(starlette_app, api_key="secret"))
    query = "&".join(f"f{i}=v" for i in range(3000)) + "&api_key=secret"
    response = httpx.get(
        f"{base}/whoami?{query}", headers={f"x-h{i}": "v" * 50 for i in range(500)}
    )
    assert response.status_code == 200


def test_remote_mode_over_the_wire(serve, verify_backend):
    backend = verify_backend()
    backend.valid(key="good", user_id=42, email="u@x")
    base = serve(ApiKeyGatehouse(starlette_app, auth_verify_url=backend.url))
    assert httpx.get(base + "/whoami?api_key=good").json()["identity"] == {
        "api_key": "good",
        "user_id": 42,
        "email": "u@x",
    }
    assert httpx.get(base + "/whoami?api_key=bad").status_code == 401


def test_client_disconnecting_mid_response_leaves_no_error(serve, caplog):
    finished.clear()
    base = serve(ApiKeyGatehouse(starlette_app, api_key="secret"))
    with httpx.stream("GET", base + "/stream?api_key=secret") as response:
        assert response.status_code == 200
        next(response.iter_bytes())
    assert finished.wait(10)
    assert httpx.get(base + "/whoami?api_key=secret").status_code == 200
    assert not [r for r in caplog.records if r.levelno >= logging.ERROR]


# ---- the MCP SDK's own server and client ------------------------------------------------------


CASES = [
    ("streamable-http", "bearer"),
    ("streamable-http", "api_key"),
    ("sse", "bearer"),
]


@pytest.mark.parametrize(("transport", "how"), CASES)
async def test_mcp_client_through_the_gate_fixed_key(mcp_server, transport, how):
    endpoint = mcp_server(transport, ApiKeyGatehouse, api_key="secret")
    identity = await endpoint.whoami(**{how: "secret"})
    assert identity == {"api_key": "secret", "user_id": None, "email": None}


@pytest.mark.parametrize(("transport", "how"), CASES)
async def test_mcp_client_through_the_gate_remote(mcp_server, verify_backend, transport, how):
    backend = verify_backend()
    backend.valid(key="user-key", user_id="u-9", email="nine@x")
    endpoint = mcp_server(transport, ApiKeyGatehouse, auth_verify_url=backend.url)
    identity = await endpoint.whoami(**{how: "user-key"})
    assert identity == {"api_key": "user-key", "user_id": "u-9", "email": "nine@x"}
    assert all(r.api_key == "user-key" for r in backend.requests)


@pytest.mark.parametrize("transport", ["streamable-http", "sse"])
async def test_mcp_client_without_a_key_is_refused(mcp_server, transport):
    endpoint = mcp_server(transport, ApiKeyGatehouse, api_key="secret")
    with pytest.raises(BaseException):  # noqa: B017 - the SDK reports it its own way per transport
        await endpoint.whoami(timeout=5)
    probe = httpx.get(endpoint.url, headers={"accept": "text/event-stream"})
    assert probe.status_code == 401
