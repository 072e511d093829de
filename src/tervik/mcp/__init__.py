"""MCP server support: the API-key gate lives in ``tervik.mcp.gatehouse``."""
