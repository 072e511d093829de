"""Capture a Rufus seed request for real and print it as JSON.

``python -m tervik.amazon_rufus.capture`` (console script ``tervik-rufus-capture``) runs
``BrowserAttachService.capture_seed_request``:

- with ``--cdp-url URL --page-url URL``, against a debuggable Chrome you run yourself
  (started with ``--remote-debugging-port``) and the product page you name;
- by default, against headless Chromium that it starts itself (``chromium`` on PATH) and a
  bundled local product page whose script sends a ``/rufus/cl/streaming`` POST.

The service leaves the tab it opened for the capture open (in the user's Chrome, with
``--cdp-url``); ``--close-tab`` closes that tab once the record is taken.

It prints the record as JSON on standard output. When the service raises one of its errors
the command prints the service's own message on standard error and exits with
``NOT_CAPTURED`` (3) or ``CHROME_UNAVAILABLE`` (4), without a traceback; any other failure
exits 1. Whatever happens, it stops the Chromium it started.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any

from tervik.amazon_rufus.domain.exceptions import (
    ChromeCdpUnavailableError,
    SeedRequestNotCapturedError,
)
from tervik.amazon_rufus.domain.models import SeedRequestRecord

__all__ = ["CHROME_UNAVAILABLE", "NOT_CAPTURED", "main"]

PROG = "tervik-rufus-capture"
NOT_CAPTURED = 3
CHROME_UNAVAILABLE = 4
CHROMIUM_NAMES = ("chromium", "chromium-browser")
STARTUP_SECONDS = 30.0
STOP_SECONDS = 10.0

# The bundled product page: like a marketplace page, its own script sends the streaming
# request as soon as the page is parsed.
PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><title>Product %(asin)s</title></head>
<body><h1>Product %(asin)s</h1>
<script>
fetch("/rufus/cl/streaming?tabId=%(tab_id)s", {
  method: "POST",
  headers: {"Content-Type": "application/json"},
  body: JSON.stringify({tabId: "%(tab_id)s", asin: "%(asin)s", question: "What is it made of?"})
});
</script></body></html>
"""
TAB_ID = "bundled-page-tab"


class CaptureError(Exception):
    """A problem of this command (not of the service), told in one line."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Capture the first Rufus streaming request of a product page as JSON.",
    )
    parser.add_argument("--asin", default="B0TERVIK01", help="product id (default %(default)s)")
    parser.add_argument("--country", default="us", help="country code (default %(default)s)")
    parser.add_argument("--cdp-url", help="attach to this debuggable Chrome instead")
    parser.add_argument("--page-url", help="product page to open (needed with --cdp-url)")
    parser.add_argument("--timeout", type=int, default=30, help="navigation limit, seconds")
    parser.add_argument(
        "--close-tab",
        action="store_true",
        help="close the tab the capture opened once the record is taken (by default it stays)",
    )
    args = parser.parse_args(argv)
    if args.cdp_url and not args.page_url:
        parser.error("--page-url is needed with --cdp-url")
    if args.page_url and not args.cdp_url:
        parser.error("--page-url goes with --cdp-url; without it the bundled page is used")
    if not args.asin.strip() or any(c in args.asin for c in "\"'<>&\\/"):
        parser.error("--asin must be a plain product id")
    return args


# --- the bundled page --------------------------------------------------------------------


@contextmanager
def bundled_page(asin: str) -> Iterator[str]:
    """Serve the product page on 127.0.0.1; yields its URL."""
    page = (PAGE % {"asin": asin, "tab_id": TAB_ID}).encode()

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self) -> None:
            found = self.path.split("?")[0] == f"/dp/{asin}"
            self._reply(200 if found else 404, page if found else b"not found", found)

        def do_POST(self) -> None:
            self.rfile.read(int(self.headers.get("Content-Length") or 0))
            self._reply(200, b"data: {}\n\n", False)

        def _reply(self, status: int, body: bytes, html: bool) -> None:
            self.send_response(status)
            self.send_header("Content-Type", "text/html; charset=utf-8" if html else "text/plain")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, format: str, *args: Any) -> None:
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    thread = threading.Thread(target=server.serve_forever, name="bundled-page", daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}/dp/{asin}"
    finally:
        server.shutdown()
        server.server_close()


# --- headless Chromium -------------------------------------------------------------------


def find_chromium() -> str:
    for name in CHROMIUM_NAMES:
        path = shutil.which(name)
        if path:
            return path
    raise CaptureError(
        "no Chromium on PATH (Debian: apt-get install chromium); "
        "or attach to a Chrome you run with --cdp-url and --page-url",
        CHROME_UNAVAILABLE,
    )


@contextmanager
def headless_chromium() -> Iterator[str]:
    """Start headless Chromium on a free DevTools port; yields its CDP URL.

    On the way out its whole process group is stopped and its profile removed.
    """
    binary = find_chromium()
    profile = Path(tempfile.mkdtemp(prefix="tervik-capture-"))
    command = [
        binary,
        "--headless",
        "--disable-gpu",
        "--no-first-run",
        "--no-default-browser-check",
        "--disable-background-networking",
        "--remote-debugging-address=127.0.0.1",
        "--remote-debugging-port=0",  # Chromium picks one and writes it to the profile
        f"--user-data-dir={profile}",
        "about:blank",
    ]
    if hasattr(os, "geteuid") and os.geteuid() == 0:
        command.insert(2, "--no-sandbox")  # Chromium refuses to run as root with it
    process = subprocess.Popen(
        command,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        start_new_session=True,
    )
    try:
        yield f"http://127.0.0.1:{devtools_port(process, profile)}"
    finally:
        stop_group(process)
        shutil.rmtree(profile, ignore_errors=True)


def devtools_port(process: subprocess.Popen[bytes], profile: Path) -> int:
    active = profile / "DevToolsActivePort"
    deadline = time.monotonic() + STARTUP_SECONDS
    while time.monotonic() < deadline and process.poll() is None:
        try:
            return int(active.read_text().split()[0])
        except (OSError, ValueError, IndexError):
            time.sleep(0.05)
    status = process.poll()
    reason = f"exited with status {status}" if status is not None else "did not open it in time"
    raise CaptureError(f"Chromium did not open a DevTools port: {reason}", CHROME_UNAVAILABLE)


def stop_group(process: subprocess.Popen[bytes]) -> None:
    """SIGTERM to the browser's process group; then SIGKILL to whatever is left of it
    (helpers that outlive the browser, or a browser that did not stop in time)."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            break
        try:
            process.wait(STOP_SECONDS)
        except subprocess.TimeoutExpired:
            pass


# --- the command -------------------------------------------------------------------------


def close_tab(page: Any, record: SeedRequestRecord) -> None:
    """``--close-tab``: the service hands over its tab with the record, still connected."""
    page.close()


def capture(args: argparse.Namespace, cdp_url: str, page_url: str) -> dict[str, Any]:
    from tervik.amazon_rufus.services.browser import BrowserAttachService

    record = BrowserAttachService().capture_seed_request(
        asin=args.asin,
        country=args.country,
        page_url=page_url,
        cdp_url=cdp_url,
        timeout_seconds=args.timeout,
        on_captured=close_tab if args.close_tab else None,
    )
    return record.to_dict()


def run(args: argparse.Namespace) -> dict[str, Any]:
    if args.cdp_url:
        return capture(args, args.cdp_url, args.page_url)
    with headless_chromium() as cdp_url, bundled_page(args.asin.strip()) as page_url:
        return capture(args, cdp_url, page_url)


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    # Playwright's Node.js driver writes its runtime's deprecation warnings to our stderr.
    os.environ.setdefault("NODE_NO_WARNINGS", "1")
    try:
        record = run(args)
    except SeedRequestNotCapturedError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return NOT_CAPTURED
    except ChromeCdpUnavailableError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return CHROME_UNAVAILABLE
    except CaptureError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return error.status
    except KeyboardInterrupt:
        return 130
    except Exception as error:  # e.g. Playwright's navigation timeout: one line, no traceback
        first_line = (str(error).strip().splitlines() or [""])[0]
        print(f"{PROG}: {type(error).__name__}: {first_line}", file=sys.stderr)
        return 1
    print(json.dumps(record, indent=2, ensure_ascii=False))
    return 0


if __name__ == "__main__":
    sys.exit(main())
