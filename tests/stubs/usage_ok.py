"""What a host writes against the package; ``mypy --strict`` must accept all of it."""

from __future__ import annotations

from typing import Any

from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.types import ASGIApp, Receive, Scope, Send

from tervik.amazon_rufus.domain.exceptions import SeedRequestNotCapturedError
from tervik.amazon_rufus.domain.models import SeedRequestRecord
from tervik.amazon_rufus.services.browser import BrowserAttachService
from tervik.mcp.context import mcp_request_ctx
from tervik.mcp.gatehouse import ApiKeyGatehouse, FixedApiKeyAuthProvider
from tervik.mcp.secure import SecureGatehouse


async def app(scope: Scope, receive: Receive, send: Send) -> None:
    identity: dict[str, Any] | None = mcp_request_ctx.get()
    body = b"anonymous" if identity is None else str(identity["user_id"]).encode()
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": body})


fixed: ASGIApp = ApiKeyGatehouse(app, api_key="shared-key")
remote: ASGIApp = ApiKeyGatehouse(app, auth_verify_url="http://127.0.0.1:9000/verify")
wrapped = Starlette(middleware=[Middleware(ApiKeyGatehouse, api_key="shared-key")])
wrapped.add_middleware(ApiKeyGatehouse, auth_verify_url="http://127.0.0.1:9000/verify")
token: str | None = ApiKeyGatehouse(app)._extract_token({"type": "http", "query_string": b""})
secure: ApiKeyGatehouse = SecureGatehouse(
    app,
    auth_verify_url="http://127.0.0.1:9000/verify",
    cache_seconds=10,
    failure_limit=20,
    public_paths={"/healthz"},
    clock=lambda: 0.0,
)
wrapped.add_middleware(SecureGatehouse, api_key="shared-key", bind_sessions=False)


async def shut(gate: SecureGatehouse) -> int:
    await gate.aclose()
    return gate._stats()["sessions"]


async def verify(gate: ApiKeyGatehouse) -> int | None:
    answer = await gate._verify_remote("key")
    if answer is None:
        return None
    await FixedApiKeyAuthProvider("key").verify_token("key")
    return len(answer)


def capture(service: BrowserAttachService) -> str:
    def on_captured(page: Any, record: SeedRequestRecord) -> None:
        print(page, record.tab_id)

    try:
        record = service.capture_seed_request(
            asin="B0ABC",
            country="us",
            page_url="https://www.amazon.com/dp/B0ABC",
            cdp_url="http://127.0.0.1:9222",
            timeout_seconds=30,
            on_captured=on_captured,
        )
    except SeedRequestNotCapturedError as error:
        return error.message
    service.open_marketplace_for_login(
        marketplace_url="https://www.amazon.com", cdp_url="http://127.0.0.1:9222"
    )
    return record.request_url + BrowserAttachService.DEFAULT_NEW_CHROME_ARGUMENTS
