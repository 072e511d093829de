"""The gate in plain Python: ``ApiKeyGatehouse`` and ``FixedApiKeyAuthProvider``.

This is the yardstick for the native module: the same contract, step by step, written the
way a careful Python developer would write it, with the same deliberate deviations as the
native gate (the 401 reason escaped as JSON, keys compared in constant time, a query that
is not UTF-8 refused with the 401, no key in a log line, cancellation never swallowed).
Nothing is cached across requests: every request makes its own comparison, verification,
identity and import.

The benchmarks in ``bench/`` measure the native gate against it, and
``make test-twin`` (``pytest --gate=python tests/gate``) runs the gate's own tests against
it, so a twin that drifts from the contract fails there.
"""

from __future__ import annotations

import hmac
import logging
import urllib.parse
from json.encoder import encode_basestring  # json.dumps(s, ensure_ascii=False) for a str
from typing import Any

from starlette.types import ASGIApp, Receive, Scope, Send

_logger = logging.getLogger("tervik.mcp")

_UNAUTHORIZED_HEADERS = (
    (b"content-type", b"application/json"),
    (b"www-authenticate", b'Bearer realm="tervik-mcp"'),
)
_UNAUTHORIZED_PREFIX = '{"error":"Unauthorized","message":"Invalid or missing API Key","reason":'


def _sendable_as_header(key: str) -> bool:
    """Whether h11 takes the key as a header value (it refuses one with a NUL, CR, LF, VT or
    FF, or with whitespace at either end, and its error quotes the value)."""
    return not any(c in key for c in "\0\r\n\v\f") and key.strip(" \t") == key


def _same_key(token: object, key: object) -> bool:
    """``token == key``, in constant time for two strs (lone surrogates included)."""
    if type(token) is str and type(key) is str:
        return hmac.compare_digest(
            token.encode("utf-8", "surrogatepass"), key.encode("utf-8", "surrogatepass")
        )
    return token == key


def _loggable(exc: Exception, api_key: str) -> str:
    """The warning's argument, always a text: the error's own text where no form of the key
    can appear in it, else only its type name.  An encoding error's text quotes a character
    of the key and where it stands; the error object itself would hand a log handler the
    whole key (UnicodeError.object, an httpx error's request URL)."""
    if isinstance(exc, UnicodeError):
        return type(exc).__name__
    try:
        message = str(exc)
    except Exception:
        return type(exc).__name__
    raw = api_key.encode("utf-8", "surrogatepass")
    forms = (
        api_key,
        repr(api_key)[1:-1],
        repr(raw)[2:-1],
        urllib.parse.quote(raw, safe=""),
        urllib.parse.quote_plus(raw),
    )
    if any(form and form in message for form in forms):
        return type(exc).__name__
    return message


class ApiKeyGatehouse:
    """统一校验 API Key 的 ASGI 中间件（支持 Header 或 Query Param）。

    两种工作模式：
        - 固定 API Key 模式：与本地 api_key 参数比对。
        - 远程校验模式：通过 auth_verify_url 请求校验后端判定。

    优先读取 Query Param，其次读取 Authorization Header；校验失败返回 401，
    不再向下游转发请求。
    """

    def __init__(
        self, app: ASGIApp, *, api_key: str | None = None, auth_verify_url: str | None = None
    ):
        """
        Args:
            app: ASGI 应用。
            api_key: 固定 API Key（单用户模式，向后兼容）。
            auth_verify_url: 远程校验后端地址（多用户模式）。
        """
        self.app = app
        self._api_key = api_key
        self._auth_verify_url = auth_verify_url
        if auth_verify_url:
            _logger.info("MCP Server 运行在远程校验模式，校验地址: %s", auth_verify_url)
        elif api_key:
            _logger.info("MCP Server 运行在固定 API Key 模式")
        else:
            _logger.warning("MCP Server 未配置任何 API Key 鉴权！")

    def _extract_token(self, scope: Scope) -> str | None:
        """从 Query Param 或 Header 中提取 API Key。"""
        query_string = scope.get("query_string", b"").decode("utf-8")
        if query_string:
            api_keys = urllib.parse.parse_qs(query_string).get("api_key")
            if api_keys:
                return api_keys[0]
        for name, value in scope.get("headers", ()):
            if name.lower() == b"authorization":
                auth = value.decode("utf-8", errors="replace")
                if auth.lower().startswith("bearer "):
                    return auth[7:].strip()
        return None

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return

        try:
            token = self._extract_token(scope)
        except UnicodeDecodeError:  # a query that is not UTF-8 presents no usable key
            await self._send_401(scope, send, reason="invalid_api_key")
            return

        if self._auth_verify_url:
            user_info = await self._verify_remote(token)
            if not user_info:
                await self._send_401(scope, send, reason="invalid_api_key")
                return
            scope["mcp_api_key"] = token
            scope["mcp_user_id"] = user_info.get("user_id")
            scope["mcp_user_email"] = user_info.get("email")
        elif self._api_key and _same_key(token, self._api_key):
            scope["mcp_api_key"] = token
        else:
            await self._send_401(scope, send, reason="invalid_api_key")
            return

        from tervik.mcp.context import mcp_request_ctx

        ctx_token = mcp_request_ctx.set(
            {
                "api_key": token,
                "user_id": scope.get("mcp_user_id"),
                "email": scope.get("mcp_user_email"),
            }
        )
        response_started = False
        response_complete = False

        async def tracking_send(message: Any) -> None:
            nonlocal response_started, response_complete
            kind = message["type"]
            if kind == "http.response.start":
                response_started = True
            elif kind == "http.response.body" and not message.get("more_body", False):
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
                except Exception:  # the client is gone; cancellation still propagates
                    pass

    async def _verify_remote(self, api_key: str | None) -> dict | None:
        """通过校验后端远程校验 API Key。

        同时以 Query 参数和 Header 两种方式传递 API Key，以适配校验后端不同的接收方式。

        Args:
            api_key: 待校验的明文 API Key。

        Returns:
            校验通过时返回校验后端应答中的用户信息 dict，校验失败时返回 None。
        """
        if not api_key:
            return None
        url = self._auth_verify_url
        if not url:
            return None
        try:
            if not _sendable_as_header(api_key):
                raise ValueError("the API key cannot be sent as an HTTP header value")
            import httpx

            async with httpx.AsyncClient() as client:
                # The key joins the URL's own query; httpx's params= would replace it.
                target = httpx.URL(url).copy_merge_params({"api_key": api_key})
                resp = await client.get(target, headers={"X-MCP-API-Key": api_key}, timeout=10)
                if resp.status_code == 200:
                    data = resp.json()
                    if data.get("valid"):
                        if type(data) is not dict:
                            raise TypeError(f"Expected dict, got {type(data).__name__:.200}")
                        return data
            return None
        except Exception as exc:
            _logger.warning("远程校验 API Key 失败: %s", _loggable(exc, api_key))
            return None

    async def _send_401(self, _scope: Scope, send: Send, reason: str = "invalid_api_key") -> None:
        # Encoded before anything is sent: a reason UTF-8 cannot carry sends nothing.
        body = (_UNAUTHORIZED_PREFIX + encode_basestring(reason) + "}").encode("utf-8")
        await send(
            {
                "type": "http.response.start",
                "status": 401,
                "headers": list(_UNAUTHORIZED_HEADERS),
            }
        )
        await send({"type": "http.response.body", "body": body})


class FixedApiKeyAuthProvider:
    """固定 API Key 鉴权提供者（已弃用，保留仅用于兼容旧导入）。

    所有连接 MCP 服务器的用户共享同一个 API Key，仅用于 SSE 连接层的基础
    访问控制，不涉及用户身份隔离。实际业务鉴权由调用方传入的 session_id/jwt
    在后端完成。
    """

    def __init__(self, api_key: str):
        self._api_key = api_key

    async def verify_token(self, token: str) -> Any:
        """校验 Bearer Token 是否与固定 API Key 匹配。"""
        if not _same_key(token, self._api_key):
            return None
        members = {"token": token, "client_id": "default", "scopes": ["tervik:mcp"]}
        return type("AccessToken", (), members)()
