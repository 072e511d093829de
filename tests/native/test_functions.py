"""Methods implemented in C++ look and bind like Python functions."""

from __future__ import annotations

import asyncio
import inspect
import pickle
import pydoc
import subprocess
import sys
import textwrap

import pytest

from tervik.mcp.gatehouse import ApiKeyGatehouse, FixedApiKeyAuthProvider
from tests.conftest import python_env

pytestmark = pytest.mark.native_only  # the extension's own machinery

ASYNC = [
    ApiKeyGatehouse.__call__,
    ApiKeyGatehouse._verify_remote,
    ApiKeyGatehouse._send_401,
    FixedApiKeyAuthProvider.verify_token,
]
PLAIN = [ApiKeyGatehouse.__init__, ApiKeyGatehouse._extract_token, FixedApiKeyAuthProvider.__init__]


@pytest.mark.parametrize("fn", ASYNC, ids=lambda f: f.__qualname__)
def test_async_methods_are_coroutine_functions(fn):
    assert asyncio.iscoroutinefunction(fn)
    assert fn._is_coroutine is asyncio.coroutines._is_coroutine
    bound = fn.__get__(
        object.__new__(
            fn.__qualname__.startswith("Api") and ApiKeyGatehouse or FixedApiKeyAuthProvider
        )
    )
    assert asyncio.iscoroutinefunction(bound)
    if hasattr(inspect, "markcoroutinefunction"):
        assert inspect.iscoroutinefunction(fn)
        assert inspect.iscoroutinefunction(bound)


@pytest.mark.parametrize("fn", PLAIN, ids=lambda f: f.__qualname__)
def test_plain_methods_are_not(fn):
    assert fn._is_coroutine is False
    assert not asyncio.iscoroutinefunction(fn)
    assert not inspect.iscoroutinefunction(fn)


@pytest.mark.parametrize(
    ("fn", "signature"),
    [
        (
            ApiKeyGatehouse.__init__,
            "(self, app: 'ASGIApp', *, api_key: 'str | None' = None, auth_verify_url: 'str | None' = None)",
        ),
        (ApiKeyGatehouse._extract_token, "(self, scope: 'Scope') -> 'str | None'"),
        (
            ApiKeyGatehouse.__call__,
            "(self, scope: 'Scope', receive: 'Receive', send: 'Send') -> 'None'",
        ),
        (ApiKeyGatehouse._verify_remote, "(self, api_key: 'str | None') -> 'dict | None'"),
        (
            ApiKeyGatehouse._send_401,
            "(self, _scope: 'Scope', send: 'Send', reason: 'str' = 'invalid_api_key') -> 'None'",
        ),
        (FixedApiKeyAuthProvider.__init__, "(self, api_key: 'str')"),
        (FixedApiKeyAuthProvider.verify_token, "(self, token: 'str') -> 'Any'"),
    ],
)
def test_signature_and_annotations_are_the_declared_texts(fn, signature):
    assert str(inspect.signature(fn)) == signature
    assert all(isinstance(v, str) for v in fn.__annotations__.values())
    assert fn.__module__ == "tervik.mcp.gatehouse"
    assert fn.__qualname__.endswith("." + fn.__name__)


def test_defaults_and_kwdefaults():
    assert ApiKeyGatehouse._send_401.__defaults__ == ("invalid_api_key",)
    assert ApiKeyGatehouse._send_401.__kwdefaults__ is None
    assert ApiKeyGatehouse.__init__.__defaults__ is None
    assert ApiKeyGatehouse.__init__.__kwdefaults__ == {"api_key": None, "auth_verify_url": None}


def test_bound_signature_drops_self_and_help_reads_well():
    gate = ApiKeyGatehouse(None, api_key="k")
    assert str(inspect.signature(gate._send_401)) == (
        "(_scope: 'Scope', send: 'Send', reason: 'str' = 'invalid_api_key') -> 'None'"
    )
    text = pydoc.render_doc(ApiKeyGatehouse, renderer=pydoc.plaintext)
    assert "__call__(self, scope: 'Scope', receive: 'Receive', send: 'Send') -> 'None'" in text
    assert "api_key: 固定 API Key（单用户模式，向后兼容）。" in text


def test_function_attributes_are_writable_like_a_python_functions():
    fn = ApiKeyGatehouse._extract_token
    fn.custom = 1  # Playwright and decorators store attributes on handlers
    assert fn.__dict__["custom"] == 1
    del fn.custom
    with pytest.raises(TypeError):
        fn.__defaults__ = "not a tuple"


def test_methods_can_be_replaced_by_subclass_and_instance():
    class Custom(ApiKeyGatehouse):
        def _extract_token(self, scope):
            return "from-subclass"

    sent = []

    async def send(message):
        sent.append(message)

    async def app(scope, receive, send):
        sent.append(scope["mcp_api_key"])

    gate = Custom(app, api_key="from-subclass")
    asyncio.run(gate({"type": "http"}, None, send))
    assert sent == ["from-subclass"]

    gate = ApiKeyGatehouse(app, api_key="k")
    gate._extract_token = lambda scope: "k"
    asyncio.run(gate({"type": "http"}, None, send))
    assert sent == ["from-subclass", "k"]


def call_shape_cases():
    G, P = ApiKeyGatehouse, FixedApiKeyAuthProvider
    g = G(None)
    return [
        (lambda: G(None, "key"), "__init__() takes exactly 2 positional arguments (3 given)"),
        (lambda: G(), "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda: G(api_key="k"), "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda: G(None, bogus=1), "__init__() got an unexpected keyword argument 'bogus'"),
        (lambda: G(None, app=None), "__init__() got multiple values for keyword argument 'app'"),
        (
            lambda: g._extract_token(),
            "_extract_token() takes exactly 2 positional arguments (1 given)",
        ),
        (lambda: g._send_401({}), "_send_401() takes at least 3 positional arguments (2 given)"),
        (
            lambda: g._send_401({}, None, "r", "x"),
            "_send_401() takes at most 4 positional arguments (5 given)",
        ),
        (
            lambda: g._send_401(_scope={}),
            "_send_401() takes at least 3 positional arguments (2 given)",
        ),
        (
            lambda: g._verify_remote(),
            "_verify_remote() takes exactly 2 positional arguments (1 given)",
        ),
        (lambda: P(), "__init__() takes exactly 2 positional arguments (1 given)"),
        (
            lambda: P("k").verify_token("a", "b"),
            "verify_token() takes exactly 2 positional arguments (3 given)",
        ),
    ]


@pytest.mark.parametrize(("call", "message"), call_shape_cases())
def test_call_shape_errors(call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == message


class Text(str):
    pass


SUBCLASS_NOTE = (
    ". Subclasses of built-in types are refused here: pass a plain instance of the expected type"
)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda: ApiKeyGatehouse(None, api_key=5),
            "Argument 'api_key' has incorrect type (expected str, got int)",
        ),
        (
            lambda: ApiKeyGatehouse(None, auth_verify_url=b"u"),
            "Argument 'auth_verify_url' has incorrect type (expected str, got bytes)",
        ),
        (
            lambda: ApiKeyGatehouse(None, api_key=Text("k")),
            "Argument 'api_key' has incorrect type (expected str, got Text)" + SUBCLASS_NOTE,
        ),
        (
            lambda: ApiKeyGatehouse(None)._send_401({}, None, None),
            "Argument 'reason' has incorrect type (expected str, got NoneType)",
        ),
        (
            lambda: ApiKeyGatehouse(None)._verify_remote(1),
            "Argument 'api_key' has incorrect type (expected str, got int)",
        ),
        (
            lambda: FixedApiKeyAuthProvider(None),
            "Argument 'api_key' has incorrect type (expected str, got NoneType)",
        ),
        (
            lambda: FixedApiKeyAuthProvider("k").verify_token(None),
            "Argument 'token' has incorrect type (expected str, got NoneType)",
        ),
    ],
)
def test_argument_type_errors_come_before_any_effect(call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == message


def test_a_failed_construction_sets_nothing():
    gate = object.__new__(ApiKeyGatehouse)
    with pytest.raises(TypeError):
        gate.__init__(None, api_key=1)
    assert vars(gate) == {}


@pytest.mark.skipif(sys.version_info < (3, 12), reason="inspect.markcoroutinefunction is 3.12+")
def test_uvicorn_sees_an_asgi3_application():
    gate = ApiKeyGatehouse(None)
    assert inspect.iscoroutinefunction(gate.__call__)


@pytest.mark.parametrize(
    ("fn", "text"),
    [
        (ApiKeyGatehouse.__init__, "(self, app, *, api_key=None, auth_verify_url=None)"),
        (ApiKeyGatehouse._send_401, "(self, _scope, send, reason='invalid_api_key')"),
        (FixedApiKeyAuthProvider.verify_token, "(self, token)"),
    ],
)
def test_text_signature_parses_to_the_same_parameters(fn, text):
    assert fn.__text_signature__ == text
    parsed = inspect._signature_fromstr(inspect.Signature, fn, text)
    declared = inspect.signature(fn)
    assert [(p.name, p.kind, p.default) for p in parsed.parameters.values()] == [
        (p.name, p.kind, p.default) for p in declared.parameters.values()
    ]


def test_each_extension_has_its_own_honestly_named_types():
    from tervik.amazon_rufus.services.browser import BrowserAttachService

    gate_function = type(ApiKeyGatehouse.__call__)
    browser_function = type(BrowserAttachService.__init__)
    coroutine = ApiKeyGatehouse(None)._send_401({}, None)
    try:
        assert gate_function.__module__ == "tervik.mcp.gatehouse"
        assert gate_function.__name__ == "native_function"
        assert browser_function.__module__ == "tervik.amazon_rufus.services.browser"
        assert gate_function is not browser_function
        assert type(coroutine).__name__ == "native_coroutine"
        assert not isinstance(ApiKeyGatehouse.__call__, type(lambda: None))
    finally:
        coroutine.close()


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("fn", [*ASYNC, *PLAIN], ids=lambda f: f.__qualname__)
def test_a_method_pickles_by_reference(fn, protocol):
    assert pickle.loads(pickle.dumps(fn, protocol)) is fn


@pytest.mark.parametrize("name", ["__name__", "__qualname__"])
def test_deleting_a_name_is_refused_with_one_message(name):
    with pytest.raises(TypeError) as error:
        delattr(ApiKeyGatehouse._send_401, name)
    assert str(error.value) == f"{name} must be set to a string object"


def test_a_keyword_repeating_a_positional_is_reported_before_a_missing_argument():
    from tervik.amazon_rufus.services.browser import BrowserAttachService

    with pytest.raises(TypeError) as error:
        BrowserAttachService()._extract_tab_id("u", request_url="v")
    assert (
        str(error.value)
        == "_extract_tab_id() got multiple values for keyword argument 'request_url'"
    )
    with pytest.raises(TypeError) as error:  # too many positionals still come first
        BrowserAttachService()._extract_tab_id("u", "v", "w", request_url="v")
    assert str(error.value) == "_extract_tab_id() takes exactly 3 positional arguments (4 given)"


@pytest.mark.parametrize(
    ("field", "values"),
    [
        ("__defaults__", [("a",), ("b",), None]),
        ("__kwdefaults__", [{"api_key": "x"}, {}, None]),
        ("__annotations__", [{"scope": "S"}, {}, None]),
    ],
)
def test_signature_survives_another_thread_replacing_the_fields(field, values):
    code = f"""
        import inspect, sys, threading
        from tervik.mcp.gatehouse import ApiKeyGatehouse
        fn = ApiKeyGatehouse._send_401 if {field!r} == "__defaults__" else ApiKeyGatehouse.__init__
        sys.setswitchinterval(1e-6)
        stop = False
        def churn():
            while not stop:
                for value in {values!r}:
                    setattr(fn, {field!r}, value)
        worker = threading.Thread(target=churn)
        worker.start()
        try:
            for _ in range(20000):
                inspect.signature(fn)
                fn.__text_signature__
        finally:
            stop = True
            worker.join()
        print("ok")
    """
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        env=python_env(),
    )
    assert result.stdout.strip() == "ok", result.stderr[-2000:]
