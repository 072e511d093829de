"""How a host wires the gate into a Starlette app, as README shows it."""

from __future__ import annotations

import httpx
import pytest
from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.middleware.cors import CORSMiddleware
from starlette.requests import Request
from starlette.responses import PlainTextResponse
from starlette.routing import Route

from tervik.mcp.gatehouse import ApiKeyGatehouse

ORIGIN = "https://app.example"
PREFLIGHT = {
    "Origin": ORIGIN,
    "Access-Control-Request-Method": "POST",
    "Access-Control-Request-Headers": "authorization",
}


async def ok(request: Request) -> PlainTextResponse:
    return PlainTextResponse("ok")


@pytest.mark.parametrize(
    ("order", "preflight_status"), [("cors-outside", 200), ("gate-outside", 401)]
)
def test_cors_preflight_passes_only_with_cors_outside_the_gate(serve, order, preflight_status):
    cors = Middleware(CORSMiddleware, allow_origins=[ORIGIN], allow_methods=["POST"],
                      allow_headers=["authorization"])  # fmt: skip
    gate = Middleware(ApiKeyGatehouse, api_key="k")
    middleware = [cors, gate] if order == "cors-outside" else [gate, cors]  # first is outermost
    base = serve(Starlette(routes=[Route("/mcp", ok, methods=["POST"])], middleware=middleware))
    assert httpx.options(base + "/mcp", headers=PREFLIGHT).status_code == preflight_status
    answer = httpx.post(base + "/mcp", headers={"Origin": ORIGIN, "Authorization": "Bearer k"})
    assert answer.status_code == 200
    assert answer.headers["access-control-allow-origin"] == ORIGIN


def test_add_middleware_wraps_the_whole_app_health_check_included(serve):
    app = Starlette(routes=[Route("/mcp", ok), Route("/healthz", ok)])
    app.add_middleware(ApiKeyGatehouse, api_key="k")
    base = serve(app)
    assert httpx.get(base + "/healthz").status_code == 401
    assert httpx.get(base + "/healthz", params={"api_key": "k"}).status_code == 200
    # The query key is read first: a wrong one there loses even with a right header.
    wrong_query = httpx.get(base + "/mcp?api_key=x", headers={"Authorization": "Bearer k"})
    assert wrong_query.status_code == 401
