"""SecureGatehouse is an ApiKeyGatehouse: built the same way, logging the same mode line,
with options that are checked before anything happens."""

from __future__ import annotations

import inspect
import logging
import math

import pytest

import tervik.mcp.secure as secure_module
from tervik.mcp.gatehouse import ApiKeyGatehouse
from tervik.mcp.secure import SecureGatehouse


def test_it_is_an_api_key_gatehouse():
    gate = SecureGatehouse(None, api_key="k")
    assert isinstance(gate, ApiKeyGatehouse)
    assert SecureGatehouse.__mro__[1] is ApiKeyGatehouse
    assert (SecureGatehouse.__module__, SecureGatehouse.__qualname__) == (
        "tervik.mcp.secure", "SecureGatehouse")  # fmt: skip
    assert secure_module.ApiKeyGatehouse is ApiKeyGatehouse
    assert secure_module._logger is logging.getLogger("tervik.mcp")
    # what it inherits unchanged
    assert SecureGatehouse._extract_token is ApiKeyGatehouse._extract_token


@pytest.mark.parametrize(
    ("options", "level", "message"),
    [
        ({"api_key": "k"}, logging.INFO, "MCP Server 运行在固定 API Key 模式"),
        ({"auth_verify_url": "http://v/x", "api_key": "k"}, logging.INFO,
         "MCP Server 运行在远程校验模式，校验地址: http://v/x"),
        ({}, logging.WARNING, "MCP Server 未配置任何 API Key 鉴权！"),
    ],
)  # fmt: skip
def test_construction_logs_the_mode_line_once(caplog, options, level, message):
    app = object()
    with caplog.at_level(logging.DEBUG, logger="tervik.mcp"):
        gate = SecureGatehouse(app, **options)
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [(level, message)]
    assert gate.app is app
    assert gate._api_key == options.get("api_key")
    assert gate._auth_verify_url == options.get("auth_verify_url")


def test_options_are_keyword_only_with_safe_defaults():
    parameters = inspect.signature(SecureGatehouse.__init__).parameters
    assert [p.name for p in parameters.values() if p.kind is p.POSITIONAL_OR_KEYWORD] == [
        "self", "app"]  # fmt: skip
    defaults = {name: p.default for name, p in parameters.items() if name not in ("self", "app")}
    assert defaults["bind_sessions"] is True and defaults["allow_cors_preflight"] is True
    assert defaults["public_paths"] == () and defaults["clock"] is None
    assert 0 < defaults["cache_seconds"] <= 60 and 0 < defaults["negative_cache_seconds"] <= 10
    assert defaults["failure_limit"] > 0


@pytest.mark.parametrize(
    ("options", "error", "text"),
    [
        ({"cache_seconds": -1}, ValueError, "cache_seconds must be a finite number >= 0"),
        ({"negative_cache_seconds": math.nan}, ValueError, "negative_cache_seconds"),
        ({"session_idle_seconds": 0}, ValueError, "session_idle_seconds must be a finite number > 0"),
        ({"failure_window_seconds": math.inf}, ValueError, "failure_window_seconds"),
        ({"max_sessions": 0}, ValueError, "max_sessions must be >= 1"),
        ({"failure_limit": -1}, ValueError, "failure_limit must be >= 0"),
        ({"max_tracked_clients": 0}, ValueError, "max_tracked_clients must be >= 1"),
        ({"max_verifications_per_second": -5}, ValueError, "max_verifications_per_second must be a finite number >= 0"),
        ({"cache_seconds": "30"}, TypeError, "Argument 'cache_seconds' has incorrect type (expected float, got str)"),
        ({"max_sessions": "many"}, TypeError, "Argument 'max_sessions' has incorrect type (expected int, got str)"),
        ({"public_paths": "/healthz"}, TypeError, "not a single path"),
        ({"public_paths": ["/ok", b"/bytes"]}, TypeError, "public_paths must hold str paths, got bytes"),
        ({"public_paths": 3}, TypeError, "not iterable"),
        ({"clock": 12}, TypeError, "clock must be callable or None, got int"),
        ({"api_key": 5}, TypeError, "Argument 'api_key' has incorrect type"),
    ],
)  # fmt: skip
def test_a_wrong_option_is_refused_before_anything_is_set_or_logged(caplog, options, error, text):
    with caplog.at_level(logging.DEBUG, logger="tervik.mcp"), pytest.raises(error) as raised:
        SecureGatehouse(None, **options)
    assert text in str(raised.value)
    assert caplog.records == []


def test_numbers_are_converted_like_python_would():
    gate = SecureGatehouse(None, api_key="k", cache_seconds=10, max_sessions=5.9)  # type: ignore[arg-type]
    assert gate._stats()["sessions"] == 0
    assert SecureGatehouse.stats is SecureGatehouse._stats  # the public name, and the older one


def test_each_gate_has_its_own_state():
    first, second = SecureGatehouse(None, api_key="k"), SecureGatehouse(None, api_key="k")
    assert first._gate_state is not second._gate_state
    with pytest.raises(TypeError):
        SecureGatehouse(None, api_key="k", bind_sessions=False, unknown=1)  # type: ignore[call-arg]


def test_a_subclass_that_skips_init_fails_loudly():
    class Careless(SecureGatehouse):
        def __init__(self, app):  # type: ignore[no-untyped-def]
            ApiKeyGatehouse.__init__(self, app, api_key="k")

    import asyncio

    with pytest.raises(AttributeError, match="_gate_state"):
        asyncio.run(Careless(None)({"type": "http", "headers": []}, None, None))
