"""Seed request capture and the login window against real headless Chromium.

The fake marketplace's product pages send Rufus streaming requests from their own scripts;
Chromium is one the test started (``chromium_cdp``) or one the service starts itself
through the PowerShell stand-in (``powershell_standin``).
"""

from __future__ import annotations

import builtins
import gc
import inspect
import json
import signal
import sys
import threading
import time
import weakref

import pytest
from playwright.sync_api import Error as PlaywrightError
from playwright.sync_api import TimeoutError as PlaywrightTimeoutError

import tervik.amazon_rufus.services.browser as browser
from tervik.amazon_rufus.services.browser import BrowserAttachService
from tests.browser.conftest import wait_until

NOT_CAPTURED = (
    "未捕获 /rufus/cl/streaming。请先执行 tervik amazon-rufus init {country}，"
    "并在新窗口登录 Amazon 后重试；同时确认目标站点支持 Rufus: {page_url}"
)


def capture(service: BrowserAttachService, cdp_url: str, page_url: str, **options: object):
    arguments = {"asin": " b0abc ", "country": "us ", "timeout_seconds": 10, **options}
    return service.capture_seed_request(page_url=page_url, cdp_url=cdp_url, **arguments)


class Attached(BrowserAttachService):
    """'Starts' the Chromium the test already runs, and logs the service's own steps."""

    def __init__(self, driver_processes=set) -> None:
        super().__init__()
        self.events: list[str] = []
        self.close_error: BaseException | None = None
        self._drivers = driver_processes

    def _start_new_chrome(self) -> None:
        self.events.append("start")

    def _wait_for_cdp(self, cdp_url: str, *, timeout_seconds: int) -> None:
        self.events.append(f"wait {timeout_seconds}")

    def _close_new_chrome(self, browser: object) -> None:
        self.events.append("close" + (" (driver running)" if self._drivers() else ""))
        if self.close_error is not None:
            raise self.close_error


def on_request_handlers() -> list:
    suffix = "capture_seed_request.<locals>.on_request"
    native_function = type(BrowserAttachService.__init__)
    functions = (f for f in gc.get_objects() if type(f) is native_function)
    return [f for f in functions if f.__qualname__.endswith(suffix)]


def test_capture_records_the_first_streaming_request(
    chromium_cdp, marketplace, cdp_tabs, driver_processes
) -> None:
    page_url = marketplace.product_url("B0ABC", "ok")
    service = BrowserAttachService()
    earlier = weakref.WeakSet(on_request_handlers())
    handed, handlers = [], []

    def on_captured(*args: object) -> None:
        handed.append(args)
        handlers.extend(f for f in on_request_handlers() if f not in earlier)

    before = int(time.time() * 1000)
    seed = capture(service, chromium_cdp.cdp_url, page_url, on_captured=on_captured)
    assert type(seed) is browser.SeedRequestRecord
    assert before <= seed.captured_at <= time.time() * 1000 and type(seed.captured_at) is int
    assert seed.request_url == marketplace.url("/rufus/cl/streaming")
    assert json.loads(seed.request_body) == {"tabId": "tab-123", "question": "Is it waterproof?"}
    assert type(seed.request_headers) is dict and seed.request_headers["x-rufus-test"] == "1"
    assert (seed.page_url, seed.tab_id, seed.asin, seed.country) == (
        page_url,
        "tab-123",
        "B0ABC",
        "US",
    )
    assert handed == [(service.current_page, seed)] and service.current_page.url == page_url
    assert page_url in [tab["url"] for tab in cdp_tabs(chromium_cdp.cdp_url)]  # the tab stays
    assert driver_processes() == set()

    [handler] = handlers  # the nested handler, as Playwright saw it
    assert handler.__qualname__ == "BrowserAttachService.capture_seed_request.<locals>.on_request"
    assert str(inspect.signature(handler)) == "(request: 'Any') -> 'None'"
    assert callable(handler._pw_impl_instance_)  # Playwright's wrapper, set on the function


@pytest.mark.parametrize(
    ("variant", "body", "tab_id"),
    [
        ("two", '{"tabId":"tab-first","question":"first"}', "tab-first"),
        ("urltab", '{"question":"no tab id here"}', "url-tab"),
        ("query", '{"tabId":"in-query"}', "in-query"),
        ("empty", "{}", ""),
        ("nonjson", "what is this made of?", ""),
        ("badutf8", "\ufffd\ufffd{}", ""),  # Playwright decodes with replacement characters
    ],
)
def test_capture_variants(chromium_cdp, marketplace, variant: str, body: str, tab_id: str) -> None:
    page_url = marketplace.product_url(variant=variant)
    seed = capture(BrowserAttachService(), chromium_cdp.cdp_url, page_url)
    assert (seed.request_body, seed.tab_id) == (body, tab_id)
    assert len(marketplace.streaming()) == (2 if variant == "two" else 1)


@pytest.mark.parametrize(
    ("variant", "callback_error", "close_error", "raised", "context"),
    [
        ("ok", None, None, None, None),
        ("none", None, None, browser.SeedRequestNotCapturedError, None),
        ("ok", LookupError("callback"), None, LookupError, None),
        ("ok", None, RuntimeError("close"), RuntimeError, None),
        ("none", None, RuntimeError("close"), RuntimeError, browser.SeedRequestNotCapturedError),
        ("ok", LookupError("callback"), RuntimeError("close"), RuntimeError, LookupError),
        # The handler lets the AttributeError of the tab id lookup through; with no "error"
        # listener on the page, Playwright raises it from the navigation, so even the good
        # request after it is never recorded.
        ("array_then_ok", None, None, AttributeError, None),
    ],
)
def test_clean_up_of_a_new_chrome(
    chromium_cdp,
    marketplace,
    driver_processes,
    variant,
    callback_error,
    close_error,
    raised,
    context,
) -> None:
    service = Attached(driver_processes)
    service.close_error = close_error

    def on_captured(page: object, seed: object) -> None:
        service.events.append("callback")
        if callback_error is not None:
            raise callback_error

    page_url = marketplace.product_url(variant=variant)
    arguments = {"timeout_seconds": 3, "new_chrome": True, "on_captured": on_captured}
    if raised is None:
        assert capture(service, chromium_cdp.cdp_url, page_url, **arguments).tab_id == "tab-123"
    else:
        with pytest.raises(raised) as caught:
            capture(service, chromium_cdp.cdp_url, page_url, **arguments)
        assert type(caught.value.__context__) is (context or type(None))
    callback = ["callback"] if variant == "ok" else []
    assert service.events == ["start", "wait 5", *callback, "close (driver running)"]
    assert driver_processes() == set()


@pytest.mark.parametrize("variant", ["none", "decoys"])
def test_no_streaming_request_is_reported(chromium_cdp, marketplace, variant: str) -> None:
    page_url = marketplace.product_url(variant=variant)
    service = Attached()
    with pytest.raises(browser.SeedRequestNotCapturedError) as caught:
        capture(
            service,
            chromium_cdp.cdp_url,
            page_url,
            country=" gb ",
            new_chrome=True,
            keep_chrome_open=1,
        )
    assert str(caught.value) == NOT_CAPTURED.format(country="GB", page_url=page_url)
    assert caught.value.__cause__ is None and caught.value.__context__ is None
    assert service.events == ["start", "wait 5"]  # kept open: no clean-up


def test_navigation_timeout_wins_over_an_earlier_capture(chromium_cdp, marketplace) -> None:
    service = Attached()
    started = time.monotonic()
    with pytest.raises(PlaywrightTimeoutError):
        capture(
            service, chromium_cdp.cdp_url, marketplace.product_url(stall=5000), timeout_seconds=1
        )
    assert time.monotonic() - started < 4 and len(marketplace.streaming()) == 1
    assert service.current_page is not None and service.events == []


@pytest.mark.parametrize(("variant", "keep_open"), [("ok", False), ("none", False), ("ok", True)])
def test_new_chrome_through_powershell(
    powershell_standin, marketplace, driver_processes, variant: str, keep_open: bool
) -> None:
    page_url = marketplace.product_url(variant=variant)
    open_during_callback: list[bool] = []
    try:
        capture(
            BrowserAttachService(), powershell_standin.cdp_url, page_url, timeout_seconds=3,
            new_chrome=True, keep_chrome_open=keep_open,
            on_captured=lambda *_: open_during_callback.append(powershell_standin.port_open()),
        )  # fmt: skip
    except browser.SeedRequestNotCapturedError:
        assert variant == "none"
    assert open_during_callback == ([True] if variant == "ok" else [])
    [pid] = powershell_standin.pids()
    if keep_open:
        time.sleep(1)
        assert powershell_standin.alive(pid)
        assert page_url in [tab["url"] for tab in powershell_standin.tabs()]
    else:
        assert powershell_standin.wait_closed() and not powershell_standin.alive(pid)
    assert driver_processes() == set()


def test_login_window_stays_open_with_its_tab(
    powershell_standin, marketplace, driver_processes
) -> None:
    login_url = marketplace.url("/login")
    service = BrowserAttachService()
    service.open_marketplace_for_login(
        marketplace_url=login_url, cdp_url=powershell_standin.cdp_url
    )
    assert service.current_page.url == login_url and len(powershell_standin.calls()) == 1
    tabs = powershell_standin.tabs()
    assert [tab["title"] for tab in tabs if tab["url"] == login_url] == ["Amazon Sign-In"]
    [pid] = powershell_standin.pids()
    time.sleep(1)
    assert powershell_standin.alive(pid) and driver_processes() == set()


# --- faults ------------------------------------------------------------------------


def run_operation(service: BrowserAttachService, operation: str, cdp_url: str) -> None:
    if operation == "capture":
        capture(service, cdp_url, "http://127.0.0.1:9/dp/X", timeout_seconds=2, new_chrome=True)
    else:
        service.open_marketplace_for_login(marketplace_url="http://127.0.0.1:9/", cdp_url=cdp_url)


@pytest.mark.parametrize("operation", ["capture", "login"])
def test_nothing_listening(closed_port: int, driver_processes, operation: str) -> None:
    cdp_url = f"http://127.0.0.1:{closed_port}/"
    service = Attached()
    with pytest.raises(browser.ChromeCdpUnavailableError) as caught:
        run_operation(service, operation, cdp_url)
    assert str(caught.value) == "无法连接 Chrome CDP: " + cdp_url
    assert isinstance(caught.value.__cause__, PlaywrightError)
    assert caught.value.__context__ is caught.value.__cause__
    assert service.current_page is None and service.events == ["start", "wait 5"]
    assert driver_processes() == set()


def hide_with_sys_modules(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setitem(sys.modules, "playwright.sync_api", None)


def hide_with_an_import_hook(monkeypatch: pytest.MonkeyPatch) -> None:
    real_import = builtins.__import__

    def refusing_import(name: str, *args: object, **kwargs: object):
        if name.startswith("playwright"):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return real_import(name, *args, **kwargs)

    for name in [name for name in sys.modules if name.startswith("playwright")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setattr(builtins, "__import__", refusing_import)


@pytest.mark.parametrize("hide", [hide_with_sys_modules, hide_with_an_import_hook])
@pytest.mark.parametrize("operation", ["capture", "login"])
def test_missing_playwright(monkeypatch: pytest.MonkeyPatch, hide, operation: str) -> None:
    service = Attached()
    hide(monkeypatch)
    with pytest.raises(browser.ChromeCdpUnavailableError) as caught:
        run_operation(service, operation, "http://127.0.0.1:9")
    assert str(caught.value) == "缺少 Playwright，请安装 `tervik[amazon]`"
    assert isinstance(caught.value.__cause__, ImportError)
    assert service.events == ["start", "wait 5"]  # Chrome started, and left open


def test_chromium_killed_during_capture(chromium_cdp, marketplace, driver_processes) -> None:
    page_url = marketplace.product_url(variant="none", stall=20000)
    killed_at: list[float] = []

    def kill_once_navigating() -> None:
        # During the capture's navigation (the page is stalled), however slow the start was.
        if wait_until(lambda: any(path.startswith("/dp/") for path in marketplace.visited), 30):
            time.sleep(0.5)
            killed_at.append(time.monotonic())
            chromium_cdp.proc.send_signal(signal.SIGKILL)

    killer = threading.Thread(target=kill_once_navigating, daemon=True)
    killer.start()
    with pytest.raises(PlaywrightError) as caught:
        capture(BrowserAttachService(), chromium_cdp.cdp_url, page_url, timeout_seconds=30)
    killer.join(5)
    assert killed_at and time.monotonic() - killed_at[0] < 10
    assert not isinstance(caught.value, PlaywrightTimeoutError)
    assert chromium_cdp.wait_exit() is not None and driver_processes() == set()
