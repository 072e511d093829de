"""tervik: native MCP API-key gate and Chrome-over-CDP browser service."""
