"""Starting the Chrome debugging window through PowerShell, and waiting for its endpoint."""

from __future__ import annotations

import subprocess
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from types import SimpleNamespace

import httpx
import pytest

import tervik.amazon_rufus.services.browser as browser
from tervik.amazon_rufus.services.browser import BrowserAttachService

LAUNCH_FAILED = (
    "无法启动 Chrome 调试窗口，请手动执行：Start-Process chrome.exe -ArgumentList "
    r"""'--remote-debugging-port=9222 --user-data-dir="E:\chrome-profiles\tervik-rufus" """
    "--auto-open-devtools-for-tabs --no-first-run --no-default-browser-check'"
)
NOT_READY = "Chrome 调试窗口已启动，但 CDP 端点不可用: "


def launch_argv(arguments: object) -> list[str]:
    command = f"Start-Process chrome.exe -ArgumentList '{arguments}'"
    return ["powershell.exe", "-NoProfile", "-Command", command]


def test_start_runs_start_process_and_chromium_comes_up(powershell_standin) -> None:
    assert BrowserAttachService()._start_new_chrome() is None
    assert powershell_standin.calls() == [
        launch_argv(BrowserAttachService.DEFAULT_NEW_CHROME_ARGUMENTS)
    ]
    assert len(powershell_standin.pids()) == 1 and powershell_standin.wait_ready()


@pytest.mark.parametrize("value", ["--no-first-run --user-data-dir=/tmp/x", 9222])
@pytest.mark.parametrize("exit_status", ["0", "1"])
def test_start_reads_the_arguments_through_the_instance(
    powershell_standin, monkeypatch: pytest.MonkeyPatch, value: object, exit_status: str
) -> None:
    monkeypatch.setenv("TERVIK_TEST_POWERSHELL_EXIT", exit_status)  # log the call, start nothing
    service = BrowserAttachService()
    service.DEFAULT_NEW_CHROME_ARGUMENTS = value
    if exit_status == "0":
        service._start_new_chrome()
    else:
        with pytest.raises(browser.ChromeCdpUnavailableError) as caught:
            service._start_new_chrome()
        assert str(caught.value) == LAUNCH_FAILED  # the defaults, whatever the instance holds
        cause = caught.value.__cause__
        assert type(cause) is subprocess.CalledProcessError and cause.returncode == 1
        assert caught.value.__context__ is cause
    assert powershell_standin.calls() == [launch_argv(value)]


def test_start_without_powershell_on_path(monkeypatch: pytest.MonkeyPatch, tmp_path) -> None:
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(browser.ChromeCdpUnavailableError) as caught:
        BrowserAttachService()._start_new_chrome()
    assert str(caught.value) == LAUNCH_FAILED
    assert type(caught.value.__cause__) is FileNotFoundError


def test_start_uses_the_module_subprocess_and_lets_other_errors_through(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    calls: list = []

    def run(*args: object, **kwargs: object) -> None:
        calls.append((args, kwargs))
        raise ValueError("runner broke")

    monkeypatch.setattr(browser, "subprocess", SimpleNamespace(run=run, CalledProcessError=OSError))
    with pytest.raises(ValueError, match="runner broke"):
        BrowserAttachService()._start_new_chrome()
    argv = launch_argv(BrowserAttachService.DEFAULT_NEW_CHROME_ARGUMENTS)
    assert calls == [((argv,), {"check": True, "capture_output": True, "text": True})]


@pytest.fixture
def status_server():
    """Answers every GET with ``server.status`` and logs the paths."""

    class Handler(BaseHTTPRequestHandler):
        def log_message(self, *args: object) -> None:
            pass

        def do_GET(self) -> None:
            server.paths.append(self.path)
            self.send_response(server.status)
            self.send_header("Content-Length", "0")
            self.end_headers()

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.status, server.paths = 503, []
    server.url = f"http://127.0.0.1:{server.server_address[1]}"
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server
    server.shutdown()
    server.server_close()
    thread.join(5)


@pytest.mark.parametrize(
    ("status", "timeout", "probes"),
    [(200, 5, 1), (404, 5, 1), (499, 5, 1), (503, 1, (2, 5)), (200, 0, 0), (200, -3, 0)],
)
def test_wait_for_cdp(status_server, status: int, timeout: int, probes) -> None:
    status_server.status = status
    url = status_server.url + "//"
    if probes == 1:
        assert BrowserAttachService()._wait_for_cdp(url, timeout_seconds=timeout) is None
    else:
        with pytest.raises(browser.ChromeCdpUnavailableError) as caught:
            BrowserAttachService()._wait_for_cdp(url, timeout_seconds=timeout)
        assert str(caught.value) == NOT_READY + url
        assert caught.value.__cause__ is None and caught.value.__suppress_context__
    low, high = probes if isinstance(probes, tuple) else (probes, probes)
    assert low <= len(status_server.paths) <= high
    assert set(status_server.paths) <= {"/json/version"}


def test_wait_on_a_closed_port_chains_the_last_connection_error(closed_port: int) -> None:
    with pytest.raises(browser.ChromeCdpUnavailableError) as caught:
        BrowserAttachService()._wait_for_cdp(f"http://127.0.0.1:{closed_port}", timeout_seconds=1)
    assert type(caught.value.__cause__) is httpx.ConnectError


class ScriptedHttpx:
    """Stands in for httpx and time: each probe takes the next outcome; sleeping moves the clock."""

    HTTPError = httpx.HTTPError

    def __init__(self, *outcomes: object) -> None:
        self.outcomes, self.probes, self.now = list(outcomes), [], 0.0

    def get(self, url: str, **kwargs: object) -> object:
        self.probes.append((url, kwargs))
        outcome = self.outcomes.pop(0)
        if isinstance(outcome, BaseException):
            raise outcome
        return SimpleNamespace(status_code=outcome)

    def monotonic(self) -> float:
        return self.now

    def sleep(self, seconds: float) -> None:
        self.now += seconds


def test_wait_keeps_the_last_http_error_across_later_5xx(monkeypatch: pytest.MonkeyPatch) -> None:
    last = httpx.ReadTimeout("slow")
    fake = ScriptedHttpx(httpx.ConnectError("refused"), last, 500, 502, 503)
    monkeypatch.setitem(sys.modules, "httpx", fake)
    monkeypatch.setattr(browser, "time", fake)
    with pytest.raises(browser.ChromeCdpUnavailableError) as caught:
        BrowserAttachService()._wait_for_cdp("http://h:1/", timeout_seconds=1.9)  # waits 1 s
    assert caught.value.__cause__ is last
    assert fake.probes == [("http://h:1/json/version", {"timeout": 1})] * 4 and fake.now == 1.0


def test_wait_lets_other_errors_through_at_once(monkeypatch: pytest.MonkeyPatch) -> None:
    fake = ScriptedHttpx(ValueError("bad url"), 200)
    monkeypatch.setitem(sys.modules, "httpx", fake)
    monkeypatch.setattr(browser, "time", fake)
    with pytest.raises(ValueError, match="bad url"):
        BrowserAttachService()._wait_for_cdp("http://h:1", timeout_seconds=5)
    assert len(fake.probes) == 1 and fake.now == 0.0


def test_wait_without_httpx_raises_the_import_error(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setitem(sys.modules, "httpx", None)
    with pytest.raises(ImportError) as caught:
        BrowserAttachService()._wait_for_cdp("http://h:1", timeout_seconds=5)
    assert not isinstance(caught.value, browser.ChromeCdpUnavailableError)
