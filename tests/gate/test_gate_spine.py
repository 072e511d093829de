"""Construction, key extraction, the 401 answer and the deprecated provider."""

from __future__ import annotations

import asyncio
import json
import logging

import pytest

from tervik.mcp.gatehouse import ApiKeyGatehouse, FixedApiKeyAuthProvider

BODY_90 = (
    b'{"error":"Unauthorized","message":"Invalid or missing API Key","reason":"invalid_api_key"}'
)


@pytest.mark.parametrize(
    ("options", "level", "message"),
    [
        ({"api_key": "k"}, logging.INFO, "MCP Server 运行在固定 API Key 模式"),
        ({"api_key": "  "}, logging.INFO, "MCP Server 运行在固定 API Key 模式"),
        (
            {"auth_verify_url": "http://v/x"},
            logging.INFO,
            "MCP Server 运行在远程校验模式，校验地址: http://v/x",
        ),
        (
            {"auth_verify_url": "http://v/x", "api_key": "k"},
            logging.INFO,
            "MCP Server 运行在远程校验模式，校验地址: http://v/x",
        ),
        (
            {"auth_verify_url": "", "api_key": "k"},
            logging.INFO,
            "MCP Server 运行在固定 API Key 模式",
        ),
        ({}, logging.WARNING, "MCP Server 未配置任何 API Key 鉴权！"),
        (
            {"api_key": "", "auth_verify_url": ""},
            logging.WARNING,
            "MCP Server 未配置任何 API Key 鉴权！",
        ),
    ],
)
def test_construction_logs_its_mode_once(caplog, options, level, message):
    app = object()
    with caplog.at_level(logging.DEBUG, logger="tervik.mcp"):
        gate = ApiKeyGatehouse(app, **options)
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("tervik.mcp", level, message)
    ]
    assert gate.app is app
    assert gate._api_key == options.get("api_key")
    assert gate._auth_verify_url == options.get("auth_verify_url")


def test_the_url_is_a_logging_argument_not_part_of_the_format(caplog):
    with caplog.at_level(logging.INFO, logger="tervik.mcp"):
        ApiKeyGatehouse(None, auth_verify_url="http://v/%s")
    (record,) = caplog.records
    assert record.msg == "MCP Server 运行在远程校验模式，校验地址: %s"
    assert record.args == ("http://v/%s",)


def scope(query=b"", *headers):
    return {"type": "http", "query_string": query, "headers": list(headers)}


@pytest.mark.parametrize(
    ("scope", "token"),
    [
        (scope(b"api_key=abc", (b"authorization", b"Bearer xyz")), "abc"),
        (scope(b"api_key=a&api_key=b"), "a"),
        (scope(b"api_key=a+b"), "a b"),
        (scope(b"api_key=%20abc%20"), " abc "),
        (scope(b"api%5Fkey=k"), "k"),
        (scope(b"api_key=&api_key=k"), "k"),
        (scope(b"api_key="), None),
        (scope(b"other=1"), None),
        (scope(b"api_key=", (b"authorization", b"Bearer h")), "h"),
        (scope(b"", (b"authorization", b"Basic u:p"), (b"authorization", b"Bearer k1")), "k1"),
        (scope(b"", (b"AUTHORIZATION", b"BEARER   K  ")), "K"),
        (scope(b"", (b"Authorization", b"bearer k")), "k"),
        (scope(b"", (b"authorizati0n", b"Bearer k")), None),  # differs in its last bytes only
        (scope(b"", (b"authorization", b"Bearer\0k")), None),  # NUL is no space, folded or not
        (scope(b"", (b"authorization", b"Bearer")), None),
        (scope(b"", (b"authorization", b"Bearer ")), ""),
        (scope(b"", (b"authorization", b"Bearer\tk")), None),
        (scope(b"", (b"authorization", b"Token k")), None),
        (scope(b"", (b"x-mcp-api-key", b"k")), None),
        (scope(b"", ("authorization", "Bearer k")), None),  # str names never match bytes
        (scope(b"", (b"authorization", b"Bearer \xffk")), "\ufffdk"),
        ({}, None),
    ],
)
def test_extract_token(scope, token):
    assert ApiKeyGatehouse(None)._extract_token(scope) == token


@pytest.mark.parametrize(
    ("scope", "error", "message"),
    [
        (scope(b"api_key=\xff"), UnicodeDecodeError, None),
        (scope(b"", (b"a", b"b", b"c")), ValueError, "too many values to unpack (expected 2)"),
        # the extension's own unpacking message; plain Python words it differently
        pytest.param(
            scope(b"", (b"a",)),
            ValueError,
            "need more than 1 value to unpack",
            marks=pytest.mark.native_only,
        ),
        pytest.param(
            scope(b"", iter([b"authorization"])),
            ValueError,
            "need more than 1 value to unpack",
            marks=pytest.mark.native_only,
        ),
        ({"query_string": "api_key=k"}, AttributeError, None),
    ],
)
def test_extract_token_errors(scope, error, message):
    with pytest.raises(error) as raised:
        ApiKeyGatehouse(None)._extract_token(scope)
    if message:
        assert str(raised.value) == message


def test_extract_token_handles_thousands_of_fields_and_headers():
    query = b"&".join(b"f%d=%d" % (i, i) for i in range(20000)) + b"&api_key=last"
    headers = [(b"x-h%d" % i, b"v" * 100) for i in range(20000)] + [
        (b"authorization", b"Bearer " + b"k" * 100000)
    ]
    gate = ApiKeyGatehouse(None)
    assert gate._extract_token({"query_string": query}) == "last"
    assert gate._extract_token({"headers": headers}) == "k" * 100000


def send_401(*args, **kwargs):
    sent = []

    async def send(message):
        sent.append(message)

    asyncio.run(ApiKeyGatehouse(None)._send_401({}, send, *args, **kwargs))
    return sent


def test_401_messages():
    start, body = send_401()
    assert start == {
        "type": "http.response.start",
        "status": 401,
        "headers": [
            (b"content-type", b"application/json"),
            (b"www-authenticate", b'Bearer realm="tervik-mcp"'),
        ],
    }
    assert list(start) == ["type", "status", "headers"]
    assert type(start["status"]) is int
    assert body == {"type": "http.response.body", "body": BODY_90}
    assert len(BODY_90) == 90
    again, _ = send_401()
    assert again["headers"] is not start["headers"]  # a new list for every response


@pytest.mark.parametrize(
    "reason", ["", 'quote"back\\slash', "新\n\ttab\x01", "ünïcödé", "invalid_api_key"]
)
def test_401_body_is_json_with_the_reason(reason):
    _, body = send_401(reason=reason)
    assert json.loads(body["body"]) == {
        "error": "Unauthorized",
        "message": "Invalid or missing API Key",
        "reason": reason,
    }
    assert (
        body["body"]
        == json.dumps(json.loads(body["body"]), ensure_ascii=False, separators=(",", ":")).encode()
    )


def test_401_reason_that_cannot_be_encoded_sends_nothing():
    sent = []

    async def send(message):
        sent.append(message)

    with pytest.raises(UnicodeEncodeError):
        asyncio.run(ApiKeyGatehouse(None)._send_401({}, send, "\ud800"))
    assert sent == []


def test_401_send_failure_stops_after_one_call():
    calls = []

    async def send(message):
        calls.append(message)
        raise OSError("gone")

    with pytest.raises(OSError):
        asyncio.run(ApiKeyGatehouse(None)._send_401({}, send))
    assert len(calls) == 1


def verify(key, token):
    return asyncio.run(FixedApiKeyAuthProvider(key).verify_token(token))


def test_provider_accepts_its_key_with_a_fresh_access_token_class():
    first, second = verify("k", "k"), verify("k", "k")
    assert (first.token, first.client_id, first.scopes) == ("k", "default", ["tervik:mcp"])
    assert type(first).__name__ == "AccessToken"
    assert type(first) is not type(second)
    assert type(first).__bases__ == (object,)


@pytest.mark.parametrize(
    ("key", "token", "ok"),
    [
        ("k", "K", False),
        ("k", " k", False),
        ("k", "Bearer k", False),
        ("k", "", False),
        ("", "", True),
        ("ключ", "ключ", True),
        ("\ud800", "\ud800", True),
        ("\ud800", "\ud801", False),
    ],
)
def test_provider_compares_exactly(key, token, ok):
    assert (verify(key, token) is not None) is ok


def test_provider_docstring():
    assert FixedApiKeyAuthProvider.__doc__ == (
        "固定 API Key 鉴权提供者（已弃用，保留仅用于兼容旧导入）。\n\n"
        "    所有连接 MCP 服务器的用户共享同一个 API Key，仅用于 SSE 连接层的基础\n"
        "    访问控制，不涉及用户身份隔离。实际业务鉴权由调用方传入的 session_id/jwt\n"
        "    在后端完成。\n    "
    )
    assert (
        FixedApiKeyAuthProvider.verify_token.__doc__
        == "校验 Bearer Token 是否与固定 API Key 匹配。"
    )


@pytest.mark.native_only  # patches the extension's own urllib; checks its return-type rule
def test_a_replaced_query_parser_is_used(monkeypatch):
    import types

    import tervik.mcp.gatehouse as gatehouse

    parser = types.SimpleNamespace(
        parse=types.SimpleNamespace(parse_qs=lambda q: {"api_key": ["from-" + q]})
    )
    monkeypatch.setattr(gatehouse, "urllib", parser)
    assert ApiKeyGatehouse(None)._extract_token({"query_string": b"anything"}) == "from-anything"
    parser.parse.parse_qs = lambda q: {"api_key": [7]}
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        ApiKeyGatehouse(None)._extract_token({"query_string": b"anything"})
