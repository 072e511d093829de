# Types of the extension module tervik.mcp.gatehouse, as its functions enforce them: the
# same parameters, kinds and defaults as their __signature__, `str` where only `str` is
# taken. Annotations the module stores as bare names ("dict | None") are spelt out here.

import logging
from typing import Any

from starlette.types import ASGIApp, Receive, Scope, Send

_logger: logging.Logger

class ApiKeyGatehouse:
    app: ASGIApp
    _api_key: str | None
    _auth_verify_url: str | None
    def __init__(
        self, app: ASGIApp, *, api_key: str | None = None, auth_verify_url: str | None = None
    ) -> None: ...
    def _extract_token(self, scope: Scope) -> str | None: ...
    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None: ...
    async def _verify_remote(self, api_key: str | None) -> dict[str, Any] | None: ...
    async def _send_401(
        self, _scope: Scope, send: Send, reason: str = "invalid_api_key"
    ) -> None: ...

class FixedApiKeyAuthProvider:
    _api_key: str
    def __init__(self, api_key: str) -> None: ...
    async def verify_token(self, token: str) -> Any: ...
