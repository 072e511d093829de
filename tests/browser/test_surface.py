"""What importing the browser module gives: namespace, class, signatures, argument rules."""

from __future__ import annotations

import inspect
import subprocess
import sys
import typing
from types import SimpleNamespace

import pytest

import tervik.amazon_rufus.services.browser as browser
from tervik.amazon_rufus.domain import exceptions, models
from tervik.amazon_rufus.services.browser import BrowserAttachService
from tests.conftest import python_env

SIGNATURES = {
    "__init__": ("(self) -> 'None'", None),
    "open_marketplace_for_login": (
        "(self, *, marketplace_url: 'str', cdp_url: 'str', timeout_seconds: 'int' = 30) -> 'None'",
        "打开国家站点登录窗口并保留浏览器。",
    ),
    "capture_seed_request": (
        "(self, *, asin: 'str', country: 'str', page_url: 'str', cdp_url: 'str', timeout_seconds: 'int',"
        " new_chrome: 'bool' = False, keep_chrome_open: 'bool' = False,"
        " on_captured: 'Callable[[Any, SeedRequestRecord], None] | None' = None) -> 'SeedRequestRecord'",
        "捕获首个 Rufus streaming 请求。",
    ),
    "_close_new_chrome": ("(self, browser: 'Any') -> 'None'", "通过 CDP 关闭本次新开的 Chrome。"),
    "_start_new_chrome": ("(self) -> 'None'", "新开一个固定 profile 的 Chrome 调试窗口。"),
    "_wait_for_cdp": (
        "(self, cdp_url: 'str', *, timeout_seconds: 'int') -> 'None'",
        "等待 Chrome DevTools HTTP 端点可用。",
    ),
    "_extract_tab_id": (
        "(self, request_url: 'str', request_body: 'str') -> 'str'",
        "从 URL 或 body 中提取 tabId。",
    ),
}


def test_module_namespace_and_class() -> None:
    assert browser.__doc__ == "浏览器 attach 服务。"
    assert [name for name in vars(browser) if not name.startswith("__")] == [
        "json", "subprocess", "time", "Any", "Callable", "ChromeCdpUnavailableError",
        "SeedRequestNotCapturedError", "SeedRequestRecord", "BrowserAttachService",
    ]  # fmt: skip
    assert (browser.json, browser.subprocess, browser.time) == tuple(
        sys.modules[name] for name in ("json", "subprocess", "time")
    )
    assert (browser.Any, browser.Callable) == (typing.Any, typing.Callable)
    assert browser.ChromeCdpUnavailableError is exceptions.ChromeCdpUnavailableError
    assert browser.SeedRequestNotCapturedError is exceptions.SeedRequestNotCapturedError
    assert browser.SeedRequestRecord is models.SeedRequestRecord

    cls = BrowserAttachService
    assert (cls.__bases__, type(cls), cls.__module__, cls.__qualname__) == (
        (object,), type, "tervik.amazon_rufus.services.browser", "BrowserAttachService",
    )  # fmt: skip
    assert cls.__doc__ == "通过 Playwright CDP 连接本地 Chrome 并捕获 seed request。"
    assert cls.DEFAULT_NEW_CHROME_ARGUMENTS == (
        r'--remote-debugging-port=9222 --user-data-dir="E:\chrome-profiles\tervik-rufus"'
        " --auto-open-devtools-for-tabs --no-first-run --no-default-browser-check"
    )
    assert len(cls.DEFAULT_NEW_CHROME_ARGUMENTS) == 150
    members = [name for name in vars(cls) if not name.startswith("__") or name == "__init__"]
    assert members == ["DEFAULT_NEW_CHROME_ARGUMENTS", *SIGNATURES]
    assert vars(cls()) == {"current_page": None}


def test_module_loads_without_playwright_and_httpx() -> None:
    code = (
        "import sys\n"
        "sys.modules.update(dict.fromkeys(('playwright', 'playwright.sync_api', 'httpx')))\n"
        "from tervik.amazon_rufus.services.browser import BrowserAttachService\n"
        "print(BrowserAttachService().current_page)\n"
    )
    run = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=python_env()
    )
    assert (run.returncode, run.stdout, run.stderr) == (0, "None\n", "")


@pytest.mark.parametrize("name", SIGNATURES)
def test_method_signature_and_docstring(name: str) -> None:
    method = getattr(BrowserAttachService, name)
    assert (str(inspect.signature(method)), method.__doc__) == SIGNATURES[name]
    assert method.__qualname__ == f"BrowserAttachService.{name}"


class Text(str):
    pass


CAPTURE = {
    "asin": "B0",
    "country": "us",
    "page_url": "http://p/",
    "cdp_url": "http://c",
    "timeout_seconds": 1,
}
SUBCLASS = (
    ". Subclasses of built-in types are refused here: pass a plain instance of the expected type"
)


@pytest.mark.parametrize(
    ("method", "args", "kwargs", "message"),
    [
        ("open_marketplace_for_login", ("http://m", "http://c"), {},
         "open_marketplace_for_login() takes exactly 1 positional argument (3 given)"),
        ("open_marketplace_for_login", (), {"cdp_url": "x"},
         "open_marketplace_for_login() needs keyword-only argument marketplace_url"),
        ("capture_seed_request", (), {**CAPTURE, "timeout_seconds": None},
         "Argument 'timeout_seconds' has incorrect type (expected int, got NoneType)"),
        ("capture_seed_request", (), {k: v for k, v in CAPTURE.items() if k != "timeout_seconds"},
         "capture_seed_request() needs keyword-only argument timeout_seconds"),
        ("capture_seed_request", ("B0",), {},
         "capture_seed_request() takes exactly 1 positional argument (2 given)"),
        ("capture_seed_request", (), {**CAPTURE, "proxy": None},
         "capture_seed_request() got an unexpected keyword argument 'proxy'"),
        ("capture_seed_request", (), {**CAPTURE, "country": None},
         "Argument 'country' has incorrect type (expected str, got NoneType)"),
        ("capture_seed_request", (), {**CAPTURE, "asin": Text("B0")},
         "Argument 'asin' has incorrect type (expected str, got Text)" + SUBCLASS),
        ("capture_seed_request", (), {**CAPTURE, "timeout_seconds": "30"},
         "Argument 'timeout_seconds' has incorrect type (expected int, got str)"),
        ("_wait_for_cdp", ("http://c",), {}, "_wait_for_cdp() needs keyword-only argument timeout_seconds"),
        ("_wait_for_cdp", ("http://c", 5), {}, "_wait_for_cdp() takes exactly 2 positional arguments (3 given)"),
        ("_wait_for_cdp", ("http://c",), {"cdp_url": "http://c", "timeout_seconds": 1},
         "_wait_for_cdp() got multiple values for keyword argument 'cdp_url'"),
        ("_extract_tab_id", (b"url", "{}"), {},
         "Argument 'request_url' has incorrect type (expected str, got bytes)"),
        ("_close_new_chrome", (), {}, "_close_new_chrome() takes exactly 2 positional arguments (1 given)"),
    ],
)  # fmt: skip
def test_argument_errors_come_before_any_side_effect(
    monkeypatch: pytest.MonkeyPatch, method: str, args: tuple, kwargs: dict, message: str
) -> None:
    launches: list = []
    monkeypatch.setattr(
        browser, "subprocess", SimpleNamespace(run=lambda *a, **k: launches.append(a))
    )
    if method == "capture_seed_request":
        kwargs = {**kwargs, "new_chrome": True}
    service = BrowserAttachService()
    with pytest.raises(TypeError) as caught:
        getattr(service, method)(*args, **kwargs)
    assert str(caught.value) == message
    assert launches == [] and service.current_page is None


@pytest.mark.parametrize(
    ("new_chrome", "starts"), [(1, True), ("yes", True), (0, False), ("", False), (None, False)]
)
def test_new_chrome_is_taken_by_truth_value(
    monkeypatch: pytest.MonkeyPatch, new_chrome: object, starts: bool
) -> None:
    class Started(Exception):
        pass

    class Service(BrowserAttachService):
        def _start_new_chrome(self) -> None:
            raise Started

    monkeypatch.setitem(sys.modules, "playwright.sync_api", None)  # stops the call after the launch
    expected = Started if starts else browser.ChromeCdpUnavailableError
    with pytest.raises(expected):
        Service().capture_seed_request(**CAPTURE, new_chrome=new_chrome)
