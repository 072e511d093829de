# Types of the extension module tervik.mcp.secure, as its functions enforce them: the same
# parameters, kinds and defaults as their __signature__. Options annotated `float` also take
# an int (converted with float()), `int` ones other numbers (truncated), `bool` ones any
# object (its truth value).

import logging
from collections.abc import Callable, Collection
from os import PathLike
from typing import TYPE_CHECKING, Any

from starlette.types import ASGIApp, Receive, Scope, Send

from tervik.mcp.gatehouse import ApiKeyGatehouse as ApiKeyGatehouse

if TYPE_CHECKING:
    from redis.asyncio import Redis

_logger: logging.Logger

class SecureGatehouse(ApiKeyGatehouse):
    def __init__(
        self,
        app: ASGIApp,
        *,
        api_key: str | None = None,
        auth_verify_url: str | None = None,
        keys_file: str | PathLike[str] | None = None,
        bind_sessions: bool = True,
        session_idle_seconds: float = 1800.0,
        max_sessions: int = 10000,
        max_sessions_per_caller: int = 100,
        cache_seconds: float = 30.0,
        negative_cache_seconds: float = 5.0,
        max_cached_keys: int = 10000,
        failure_limit: int = 100,
        failure_window_seconds: float = 60.0,
        max_tracked_clients: int = 10000,
        allow_cors_preflight: bool = True,
        max_verifications_per_second: float = 50.0,
        public_paths: Collection[str] = (),
        clock: Callable[[], float] | None = None,
        store: str | Redis | None = None,
        store_prefix: str = "tervik:secure-gate",
        store_hash_key: bytes | str | None = None,
        store_timeout_seconds: float = 0.05,
    ) -> None: ...
    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None: ...
    async def _verify_remote(self, api_key: str | None) -> dict[str, Any] | None: ...
    async def _send_401(
        self, _scope: Scope, send: Send, reason: str = "invalid_api_key"
    ) -> None: ...
    async def aclose(self) -> None: ...
    def stats(self) -> dict[str, int]: ...
    def _stats(self) -> dict[str, int]: ...
