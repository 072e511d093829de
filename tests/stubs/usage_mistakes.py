"""Mistakes ``mypy --strict`` must report, each on the line whose comment names its code."""

from __future__ import annotations

from starlette.types import Receive, Scope, Send

from tervik.amazon_rufus.services.browser import BrowserAttachService
from tervik.mcp.gatehouse import ApiKeyGatehouse, FixedApiKeyAuthProvider
from tervik.mcp.secure import SecureGatehouse


async def app(scope: Scope, receive: Receive, send: Send) -> None:
    pass


ApiKeyGatehouse(app, api_kye="shared-key")  # error: [call-arg]
ApiKeyGatehouse(app, api_key=12345)  # error: [arg-type]
ApiKeyGatehouse(app, "shared-key")  # error: [call-arg]
FixedApiKeyAuthProvider(api_key=None)  # error: [arg-type]
SecureGatehouse(app, api_key="k", cache_seconds="30")  # error: [arg-type]
SecureGatehouse(app, api_key="k", clock=12)  # error: [arg-type]
SecureGatehouse(app, "k", failure_limit=3)  # error: [call-arg]

service = BrowserAttachService()
service.capture_seed_request(  # error: [call-arg]
    asin="B0ABC", country="us", page_url="https://www.amazon.com/dp/B0ABC", cdp_url="x"
)
service.capture_seed_request(
    asin="B0ABC",
    country="us",
    page_url="https://www.amazon.com/dp/B0ABC",
    cdp_url="http://127.0.0.1:9222",
    timeout_seconds="30",  # error: [arg-type]
)
service.open_marketplace_for_login("https://www.amazon.com", "x")  # error: [call-arg]
tab: int = service._extract_tab_id("u", "{}")  # error: [assignment]
