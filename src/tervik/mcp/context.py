"""Request-scoped state shared between the MCP transport and the tools."""

from __future__ import annotations

from contextvars import ContextVar
from typing import Any

mcp_request_ctx: ContextVar[dict[str, Any] | None] = ContextVar("mcp_request_ctx", default=None)
"""Identity of the HTTP request being served: ``{"api_key", "user_id", "email"}``.

Set by the API-key gate for the duration of an admitted request; ``None`` outside one.
"""
