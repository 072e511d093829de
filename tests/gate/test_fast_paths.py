"""The gate's shortcuts answer as the roads they shortcut: the query scan as parse_qs, the
class's own methods as the same methods called through a subclass, the import of the
identity's context variable as builtins.__import__, and as the statement would again after
what it read has changed."""

from __future__ import annotations

import builtins
import contextvars
import importlib
import sys
import types
import urllib.parse

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tervik.mcp.context as context
import tervik.mcp.gatehouse as gatehouse
from tervik.mcp.context import mcp_request_ctx
from tervik.mcp.gatehouse import ApiKeyGatehouse

# ---- the query scan ----------------------------------------------------------------------------

PIECES = [b"api_key", b"api%5Fkey", b"api%5fkey", b"api+key", b"=", b"&", b";", b"%", b"%2",
          b"%zz", b"+", b"%20", b"a", b"\xc3\xbc", b"%C3%BC", b"%FF", b"\xff", b"\xc3", b"x=1",
          b"k%26v", b"%3D", b"\xed\xa0\x80"]  # fmt: skip

queries = st.lists(st.sampled_from(PIECES) | st.binary(max_size=3), max_size=40).map(b"".join)


@settings(max_examples=3000, deadline=None)
@given(queries)
def test_the_query_scan_gives_what_parse_qs_gives(raw):
    try:
        expected = urllib.parse.parse_qs(raw.decode("utf-8")).get("api_key", [None])[0]
    except UnicodeDecodeError:
        with pytest.raises(UnicodeDecodeError):
            ApiKeyGatehouse(None)._extract_token({"query_string": raw})
        return
    assert ApiKeyGatehouse(None)._extract_token({"query_string": raw}) == expected


# ---- the same requests through the slow roads ------------------------------------------------


class Overriding(ApiKeyGatehouse):
    """Every method the gate calls on itself replaced by one that calls the class's own."""

    def _extract_token(self, scope):
        return super()._extract_token(scope)

    async def _verify_remote(self, api_key):
        return await super()._verify_remote(api_key)

    async def _send_401(self, scope, send, reason="invalid_api_key"):
        await super()._send_401(scope, send, reason)


REQUESTS = {
    "header": ([(b"authorization", b"Bearer right")], b""),
    "query": ([], b"x=1&api_key=right&y"),
    "wrong key": ([(b"authorization", b"Bearer wrong")], b""),
    "no key": ([], b""),
    "not utf-8": ([], b"api_key=\xff"),
}


async def answers(gate_class):
    """What the server is sent and what the application sees, for each request."""
    seen = []

    async def app(scope, receive, send):
        seen.append((mcp_request_ctx.get(), scope.get("mcp_api_key")))
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"ok"})

    gate = gate_class(app, api_key="right")
    results = {}
    for name, (headers, query) in REQUESTS.items():
        sent = []

        async def send(message, sent=sent):
            sent.append(message)

        await gate({"type": "http", "query_string": query, "headers": headers}, None, send)
        results[name] = (sent, seen[:])
        seen.clear()
    return results


def counting(function, calls):
    def counted(*args, **kwargs):
        calls.append(args[0])
        return function(*args, **kwargs)

    return counted


@pytest.mark.parametrize(
    "road",
    [
        "methods overridden",
        pytest.param("query parser replaced", marks=pytest.mark.native_only),
        "__import__ replaced",
    ],
)
async def test_each_slow_road_gives_the_fast_roads_answers(monkeypatch, road):
    fast = await answers(ApiKeyGatehouse)
    assert fast["header"][1] == [({"api_key": "right", "user_id": None, "email": None}, "right")]
    assert fast["query"][1] == fast["header"][1]
    assert [m["status"] for m in fast["wrong key"][0][:1]] == [401]

    calls = []
    gate_class = ApiKeyGatehouse
    if road == "methods overridden":
        gate_class = Overriding
    elif road == "query parser replaced":
        parse = type(
            "parse", (), {"parse_qs": staticmethod(counting(urllib.parse.parse_qs, calls))}
        )
        monkeypatch.setattr(gatehouse, "urllib", type("urllib", (), {"parse": parse}))
    else:
        monkeypatch.setattr(builtins, "__import__", counting(builtins.__import__, calls))
    slow = await answers(gate_class)
    monkeypatch.undo()

    assert slow == fast
    if road == "query parser replaced":  # asked for every query the scan would have read
        assert calls == ["x=1&api_key=right&y"]
    elif road == "__import__ replaced":  # asked once for each admitted request
        assert calls.count("tervik.mcp.context") == 2


# ---- the identity's context variable, after requests have found it ----------------------------


@pytest.mark.parametrize("change", ["name rebound", "module replaced", "module initialising"])
async def test_the_import_sees_what_changed_since_the_last_request(gate_class, monkeypatch, change):
    replacement = contextvars.ContextVar("replacement", default=None)
    seen = []

    async def app(scope, receive, send):
        seen.append((mcp_request_ctx.get(), replacement.get()))

    async def request():
        await gate({"type": "http", "query_string": b"api_key=k", "headers": []}, None, None)

    gate = gate_class(app, api_key="k")
    await request()
    await request()
    locked = []
    if change == "name rebound":
        monkeypatch.setattr(context, "mcp_request_ctx", replacement)
    elif change == "module replaced":
        module = types.ModuleType(context.__name__)
        module.mcp_request_ctx = replacement
        monkeypatch.setitem(sys.modules, context.__name__, module)
    else:  # the statement waits for the module's lock, as for an import in another thread
        monkeypatch.setattr(context.__spec__, "_initializing", True)
        bootstrap = importlib._bootstrap
        lock = counting(bootstrap._lock_unlock_module, locked)
        monkeypatch.setattr(bootstrap, "_lock_unlock_module", lock)
    await request()
    monkeypatch.undo()

    identity = {"api_key": "k", "user_id": None, "email": None}
    moved = change != "module initialising"
    assert seen == [(identity, None)] * 2 + [(None, identity) if moved else (identity, None)]
    assert locked == ([] if moved else [context.__name__])


# ---- the gate's own attributes, looked up as Python looks them up ------------------------------


class ReadOnly:
    """A data descriptor: attribute lookup finds it before the instance's own dict."""

    def __init__(self, value):
        self.value = value

    def __get__(self, obj, owner=None):
        return self.value

    def __set__(self, obj, value):
        raise AttributeError("read-only")


@pytest.mark.parametrize("where", ["instance", "class", "data descriptor"])
async def test_the_app_is_the_one_attribute_lookup_finds(gate_class, where):
    called = []

    def app_named(name):
        async def app(scope, receive, send):
            called.append(name)

        return app

    subclass = type("Gate", (gate_class,), {"app": staticmethod(app_named("class"))})
    gate = subclass(app_named("init"), api_key="k")
    if where == "instance":
        gate.app = app_named("instance")
    elif where == "class":
        del gate.app
    else:  # the instance keeps its own, which the descriptor shadows
        subclass.app = ReadOnly(app_named("data descriptor"))
    await gate({"type": "http", "query_string": b"api_key=k", "headers": []}, None, None)
    assert called == [where]
