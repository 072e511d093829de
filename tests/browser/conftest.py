"""Real headless Chromium, a local fake marketplace and a PowerShell stand-in.

The browser service only ever talks to Chrome over CDP and starts it through
``powershell.exe``. Here Debian's ``chromium`` plays Chrome, a threaded HTTP
server plays the marketplace (its product pages send Rufus streaming requests
from their own scripts), and ``bin/powershell.exe`` plays PowerShell. Every
fixture stops what it started.

Without a Chromium binary the tests that need one are skipped, except under
CI (env ``CI`` set), where a missing browser is an error.
"""

from __future__ import annotations

import html
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.parse
import urllib.request
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest

BIN_DIR = Path(__file__).resolve().parent / "bin"

HEADLESS_SWITCHES = (
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--disable-quic",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
)

STREAMING_PATH = "/rufus/cl/streaming"
STARTUP_SECONDS = 30.0
SHUTDOWN_SECONDS = 10.0


# --- small helpers -----------------------------------------------------------


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def port_open(port: int) -> bool:
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


def wait_until(condition: Callable[[], bool], timeout: float, interval: float = 0.05) -> bool:
    deadline = time.monotonic() + timeout
    while True:
        if condition():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(interval)


def process_alive(pid: int) -> bool:
    """True while the process runs; a zombie counts as gone.

    A browser started through the stand-in is nobody's child here, so it may
    linger as a zombie until init reaps it; kill(pid, 0) would call that alive.
    """
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return False
    state = stat.rpartition(")")[2].split()[0]
    return state not in ("Z", "X")


def kill_group(pid: int, sig: int) -> None:
    try:
        os.killpg(pid, sig)
    except (ProcessLookupError, PermissionError):
        pass


def chromium_binary() -> str:
    binary = shutil.which("chromium") or shutil.which("chromium-browser")
    if binary is None:
        message = "no chromium binary on PATH (Debian package 'chromium')"
        if os.environ.get("CI"):
            pytest.fail(message, pytrace=False)
        pytest.skip(message)
    return binary


def cdp_json(cdp_url: str, path: str) -> object:
    with urllib.request.urlopen(cdp_url.rstrip("/") + path, timeout=2) as response:
        return json.load(response)


def cdp_ready(cdp_url: str) -> bool:
    try:
        cdp_json(cdp_url, "/json/version")
        return True
    except (OSError, ValueError):
        return False


def open_tabs(cdp_url: str) -> list[dict]:
    """The endpoint's page targets (tabs) from /json/list, each with url and title."""
    return [target for target in cdp_json(cdp_url, "/json/list") if target.get("type") == "page"]


def parent_pid(pid: int) -> int | None:
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return int(stat.rpartition(")")[2].split()[1])


def started_by_this_process(pid: int) -> bool:
    """Whether `pid` descends from the test process (another program may run Playwright too)."""
    me = os.getpid()
    while pid not in (0, 1):
        parent = parent_pid(pid)
        if parent is None:
            return False
        if parent == me:
            return True
        pid = parent
    return False


def playwright_driver_pids() -> set[int]:
    """Pids of the running Playwright drivers this test process started
    (node .../playwright/driver/package/cli.js run-driver).

    A driver that exited but was never reaped has an empty cmdline and does not
    show up here.
    """
    marker = os.path.join("playwright", "driver", "package", "cli.js").encode()
    found = set()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            argv = Path(f"/proc/{entry}/cmdline").read_bytes().split(b"\0")
        except OSError:
            continue
        if (
            b"run-driver" in argv
            and any(arg.endswith(marker) for arg in argv)
            and started_by_this_process(int(entry))
        ):
            found.add(int(entry))
    return found


@pytest.fixture
def closed_port() -> int:
    """A local port that nothing listens on (at the time it is handed out)."""
    return free_port()


@pytest.fixture
def driver_processes() -> Callable[[], set[int]]:
    """Call it to get the pids of live Playwright driver processes."""
    return playwright_driver_pids


@pytest.fixture
def cdp_tabs() -> Callable[[str], list[dict]]:
    """Call it with a CDP URL to list that browser's open tabs."""
    return open_tabs


# --- a Chromium the test starts itself -------------------------------------


@dataclass
class ChromiumEndpoint:
    port: int
    cdp_url: str
    proc: subprocess.Popen
    profile: Path

    def tabs(self) -> list[dict]:
        return open_tabs(self.cdp_url)

    def wait_exit(self, timeout: float = SHUTDOWN_SECONDS) -> int | None:
        """The exit status once the browser has exited, None if it still runs."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None


@pytest.fixture
def chromium_cdp(tmp_path: Path) -> Iterator[ChromiumEndpoint]:
    """Headless Chromium with a fresh profile, its DevTools endpoint answering."""
    binary = chromium_binary()
    port = free_port()
    profile = Path(tempfile.mkdtemp(prefix="tervik-chromium-"))
    log_path = tmp_path / "chromium-cdp.log"
    with open(log_path, "wb") as log:
        proc = subprocess.Popen(
            [
                binary,
                *HEADLESS_SWITCHES,
                f"--remote-debugging-port={port}",
                f"--user-data-dir={profile}",
                "about:blank",
            ],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=log,
            start_new_session=True,
        )
    endpoint = ChromiumEndpoint(port, f"http://127.0.0.1:{port}", proc, profile)
    try:
        up = wait_until(
            lambda: proc.poll() is not None or cdp_ready(endpoint.cdp_url), STARTUP_SECONDS
        )
        if proc.poll() is not None or not up:
            tail = log_path.read_bytes()[-2000:].decode(errors="replace")
            pytest.fail(f"chromium did not serve CDP on port {port} (exit {proc.poll()}):\n{tail}")
        yield endpoint
    finally:
        if proc.poll() is None:
            kill_group(proc.pid, signal.SIGTERM)
            try:
                proc.wait(SHUTDOWN_SECONDS)
            except subprocess.TimeoutExpired:
                kill_group(proc.pid, signal.SIGKILL)
                proc.wait(SHUTDOWN_SECONDS)
        # Renderers and helpers share the group; none may outlive the test.
        kill_group(proc.pid, signal.SIGKILL)
        shutil.rmtree(profile, ignore_errors=True)


# --- the fake marketplace ----------------------------------------------------


def _json_post(path: str, body: object) -> dict:
    return {"path": path, "kind": "json", "body": body}


# What each product page variant sends, in order, once its script runs.
# Every request carries the header "x-rufus-test: 1".
MARKETPLACE_VARIANTS: dict[str, list[dict]] = {
    "ok": [_json_post(STREAMING_PATH, {"tabId": "tab-123", "question": "Is it waterproof?"})],
    "two": [
        _json_post(STREAMING_PATH, {"tabId": "tab-first", "question": "first"}),
        _json_post(STREAMING_PATH, {"tabId": "tab-second", "question": "second"}),
    ],
    "none": [],
    # Near misses of the streaming path, none of which is a streaming request.
    "decoys": [
        _json_post("/Rufus/cl/streaming", {"tabId": "upper-case"}),
        _json_post("/rufus/cl/stream", {"tabId": "short-path"}),
    ],
    # The streaming path only inside the query string.
    "query": [_json_post("/api/log?next=/rufus/cl/streaming", {"tabId": "in-query"})],
    "urltab": [_json_post(STREAMING_PATH + "?tabId=url-tab&x=1", {"question": "no tab id here"})],
    "array": [_json_post(STREAMING_PATH, [{"tabId": "in-array"}])],
    "array_then_ok": [
        _json_post(STREAMING_PATH, [{"tabId": "in-array"}]),
        _json_post(STREAMING_PATH, {"tabId": "tab-after-array", "question": "second try"}),
    ],
    "nonjson": [{"path": STREAMING_PATH, "kind": "text", "body": "what is this made of?"}],
    # 0xff and 0xfe never occur in UTF-8.
    "badutf8": [{"path": STREAMING_PATH, "kind": "bytes", "body": [0xFF, 0xFE, 0x7B, 0x7D]}],
    "empty": [{"path": STREAMING_PATH, "kind": "empty"}],
}

_PAGE_SCRIPT = """
(async () => {
  const steps = %(steps)s;
  const delay = %(delay)d;
  if (delay > 0) await new Promise((resolve) => setTimeout(resolve, delay));
  for (const step of steps) {
    const init = {method: "POST", headers: {"x-rufus-test": "1"}};
    if (step.kind === "json") {
      init.headers["content-type"] = "application/json";
      init.body = JSON.stringify(step.body);
    } else if (step.kind === "text") {
      init.headers["content-type"] = "text/plain";
      init.body = step.body;
    } else if (step.kind === "bytes") {
      init.headers["content-type"] = "application/octet-stream";
      init.body = new Uint8Array(step.body);
    }
    try { await fetch(step.path, init); } catch (error) {}
  }
  document.body.dataset.sent = String(steps.length);
})();
"""


@dataclass
class ReceivedRequest:
    method: str
    path: str
    headers: dict[str, str]
    body: bytes


@dataclass
class Marketplace:
    base_url: str
    received: list[ReceivedRequest] = field(default_factory=list)
    visited: list[str] = field(default_factory=list)

    def url(self, path: str) -> str:
        return self.base_url + path

    def product_url(self, asin: str = "B0TEST1234", variant: str = "ok", **params: object) -> str:
        """A product page; params: delay (ms before sending), stall (ms the page's
        end is held back, so DOMContentLoaded comes late)."""
        query = urllib.parse.urlencode({"variant": variant, **params})
        return self.url(f"/dp/{asin}?{query}")

    def streaming(self) -> list[ReceivedRequest]:
        """The streaming requests that reached the server, in arrival order."""
        return [request for request in self.received if STREAMING_PATH in request.path]


def _marketplace_handler(market: Marketplace, stopping: threading.Event) -> type:
    class Handler(BaseHTTPRequestHandler):
        def log_message(self, format: str, *args: object) -> None:
            pass

        def _reply(self, status: int, content_type: str, body: bytes) -> None:
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def do_GET(self) -> None:
            market.visited.append(self.path)
            url = urllib.parse.urlsplit(self.path)
            query = dict(urllib.parse.parse_qsl(url.query))
            if url.path.startswith("/dp/"):
                self._product_page(url.path[len("/dp/") :], query)
            elif url.path in ("/", "/login"):
                title = "Amazon Sign-In" if url.path == "/login" else "Amazon.com"
                page = f"<!doctype html><title>{title}</title><form><input name=email></form>"
                self._reply(200, "text/html; charset=utf-8", page.encode())
            else:
                self._reply(404, "text/plain", b"not found")

        def _product_page(self, asin: str, query: dict[str, str]) -> None:
            steps = MARKETPLACE_VARIANTS.get(query.get("variant", "ok"))
            if steps is None:
                self._reply(404, "text/plain", b"unknown variant")
                return
            script = _PAGE_SCRIPT % {
                "steps": json.dumps(steps),
                "delay": int(query.get("delay", 0)),
            }
            head = (
                f"<!doctype html><html><head><meta charset=utf-8><title>Product {html.escape(asin)}"
                f"</title></head><body><h1>{html.escape(asin)}</h1><script>{script}</script>"
            ).encode()
            # No Content-Length: the body ends when the connection closes, so
            # the page's script can run while the rest is held back.
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.end_headers()
            self.wfile.write(head)
            self.wfile.flush()
            stall_ms = int(query.get("stall", 0))
            if stall_ms > 0:
                stopping.wait(stall_ms / 1000)
            self.wfile.write(b"<p>end of page</p></body></html>")
            self.close_connection = True

        def do_POST(self) -> None:
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length) if length else b""
            headers = {name.lower(): value for name, value in self.headers.items()}
            market.received.append(ReceivedRequest("POST", self.path, headers, body))
            self._reply(200, "text/plain; charset=utf-8", b"data: ok\n\n")

    return Handler


@pytest.fixture
def marketplace() -> Iterator[Marketplace]:
    """A local marketplace whose product pages send Rufus streaming requests.

    ``product_url(asin, variant)`` picks what the page sends (see
    MARKETPLACE_VARIANTS); ``received`` lists every POST that arrived.
    """
    stopping = threading.Event()
    market = Marketplace(base_url="")
    server = ThreadingHTTPServer(("127.0.0.1", 0), _marketplace_handler(market, stopping))
    market.base_url = f"http://127.0.0.1:{server.server_address[1]}"
    thread = threading.Thread(target=server.serve_forever, name="marketplace", daemon=True)
    thread.start()
    try:
        yield market
    finally:
        stopping.set()
        server.shutdown()
        server.server_close()
        thread.join(SHUTDOWN_SECONDS)


# --- PowerShell stand-in -------------------------------------------------------


@dataclass
class PowerShellStandin:
    port: int
    cdp_url: str
    profile: Path
    pidfile: Path
    log: Path

    def pids(self) -> list[int]:
        """Pids of the browsers started so far, in start order."""
        if not self.pidfile.exists():
            return []
        return [int(line) for line in self.pidfile.read_text().split()]

    def calls(self) -> list[list[str]]:
        """The argv of every powershell.exe call, in call order."""
        if not self.log.exists():
            return []
        return [json.loads(line)["argv"] for line in self.log.read_text().splitlines()]

    def alive(self, pid: int) -> bool:
        return process_alive(pid)

    def port_open(self) -> bool:
        return port_open(self.port)

    def tabs(self) -> list[dict]:
        return open_tabs(self.cdp_url)

    def wait_ready(self, timeout: float = STARTUP_SECONDS) -> bool:
        return wait_until(lambda: cdp_ready(self.cdp_url), timeout)

    def wait_closed(self, timeout: float = SHUTDOWN_SECONDS) -> bool:
        """True once every started browser is gone and the port is free."""
        return wait_until(
            lambda: not any(map(process_alive, self.pids())) and not self.port_open(), timeout
        )


@pytest.fixture
def powershell_standin(
    monkeypatch: pytest.MonkeyPatch, tmp_path: Path
) -> Iterator[PowerShellStandin]:
    """``powershell.exe`` on PATH, starting headless Chromium on a free port.

    The Windows port and profile of the launch command are mapped to this
    fixture's ``port`` and ``profile``. Set TERVIK_TEST_POWERSHELL_EXIT with
    monkeypatch to make the stand-in fail with that status.
    """
    chromium_binary()
    port = free_port()
    standin = PowerShellStandin(
        port=port,
        cdp_url=f"http://127.0.0.1:{port}",
        profile=tmp_path / "chrome-profile",
        pidfile=tmp_path / "chrome.pids",
        log=tmp_path / "powershell.jsonl",
    )
    monkeypatch.setenv("PATH", f"{BIN_DIR}{os.pathsep}{os.environ.get('PATH', '')}")
    monkeypatch.setenv("TERVIK_TEST_CHROME_PORT", str(port))
    monkeypatch.setenv("TERVIK_TEST_CHROME_PROFILE", str(standin.profile))
    monkeypatch.setenv("TERVIK_TEST_CHROME_PIDFILE", str(standin.pidfile))
    monkeypatch.setenv("TERVIK_TEST_CHROME_STDERR", str(tmp_path / "chromium-standin.log"))
    monkeypatch.setenv("TERVIK_TEST_POWERSHELL_LOG", str(standin.log))
    monkeypatch.delenv("TERVIK_TEST_POWERSHELL_EXIT", raising=False)
    try:
        yield standin
    finally:
        pids = standin.pids()
        for pid in pids:
            kill_group(pid, signal.SIGTERM)
        if not wait_until(lambda: not any(map(process_alive, pids)), SHUTDOWN_SECONDS):
            for pid in pids:
                kill_group(pid, signal.SIGKILL)
        for pid in pids:
            kill_group(pid, signal.SIGKILL)
        wait_until(lambda: not port_open(port), SHUTDOWN_SECONDS)
