"""The seed capture command, run as a user runs it, against real headless Chromium."""

from __future__ import annotations

import json
import subprocess
import sys
import uuid
from pathlib import Path

import pytest

from tests.browser.conftest import chromium_binary
from tests.conftest import SANITIZER_RUN, python_env

# The command needs the sanitizer preload to import the extension, and would hand it on to
# the Chromium and Playwright driver it starts; the service itself is covered by the rest.
pytestmark = pytest.mark.skipif(SANITIZER_RUN, reason="children would inherit the preload")

NOT_CAPTURED, CHROME_UNAVAILABLE = 3, 4


def processes_with(marker: str) -> list[int]:
    """Live processes whose environment carries ``marker``: only what this test started,
    orphans included (they keep the environment they inherited)."""
    found = []
    for entry in Path("/proc").iterdir():
        try:
            alive = entry.joinpath("stat").read_text().rpartition(")")[2].split()[0] not in "ZX"
            if alive and marker.encode() in entry.joinpath("environ").read_bytes():
                found.append(int(entry.name))
        except (OSError, ValueError, IndexError):
            continue
    return found


def run_capture(*options: str, **env: str) -> tuple[subprocess.CompletedProcess[str], str]:
    marker = f"TERVIK_TEST_RUN={uuid.uuid4()}"
    environment = python_env(**env, TERVIK_TEST_RUN=marker.partition("=")[2])
    run = subprocess.run(
        [sys.executable, "-m", "tervik.amazon_rufus.capture", *options],
        capture_output=True, text=True, timeout=120, env=environment, stdin=subprocess.DEVNULL,
    )  # fmt: skip
    return run, marker


def test_default_run_captures_from_headless_chromium_and_leaves_nothing() -> None:
    chromium_binary()
    run, marker = run_capture("--asin", "B0ABC", "--country", "us")  # as README shows it
    assert run.returncode == 0, run.stderr
    record = json.loads(run.stdout)
    assert set(record) == {"request_url", "request_headers", "request_body", "page_url",
                           "tab_id", "asin", "country", "captured_at"}  # fmt: skip
    assert "/rufus/cl/streaming" in record["request_url"]
    assert "HeadlessChrome" in record["request_headers"]["user-agent"]
    assert json.loads(record["request_body"])["tabId"] == record["tab_id"] == "bundled-page-tab"
    assert (record["asin"], record["country"]) == ("B0ABC", "US")
    assert record["page_url"].endswith("/dp/B0ABC")
    assert processes_with(marker) == []


@pytest.mark.parametrize(
    ("variant", "options"), [("ok", ()), ("ok", ("--close-tab",)), ("none", ("--close-tab",))]
)
def test_attached_to_a_chrome_the_user_runs(chromium_cdp, marketplace, variant, options) -> None:
    page_url = marketplace.product_url("B0ABC", variant)
    run, marker = run_capture("--cdp-url", chromium_cdp.cdp_url, "--page-url", page_url,
                              "--timeout", "10", *options)  # fmt: skip
    # The capture's tab stays in the user's Chrome unless --close-tab closes it once the
    # record is taken; a capture that took no record leaves it open either way.
    tab_left = page_url in [tab["url"] for tab in chromium_cdp.tabs()]
    assert tab_left == (variant == "none" or not options)
    assert len(chromium_cdp.tabs()) == 1 + tab_left  # about:blank, which was there before
    if variant == "ok":
        assert run.returncode == 0, run.stderr
        assert json.loads(run.stdout)["tab_id"] == "tab-123"
    else:
        assert run.returncode == NOT_CAPTURED and run.stdout == ""
        assert run.stderr.splitlines() == [
            "tervik-rufus-capture: 未捕获 /rufus/cl/streaming。请先执行 tervik amazon-rufus init "
            f"US，并在新窗口登录 Amazon 后重试；同时确认目标站点支持 Rufus: {page_url}"
        ]
    assert chromium_cdp.proc.poll() is None  # the user's Chrome stays
    assert processes_with(marker) == []


@pytest.mark.parametrize(
    ("options", "env", "message"),
    [
        ((), {"PATH": "/nonexistent"}, "no Chromium on PATH (Debian: apt-get install chromium)"),
        (("--page-url", "http://127.0.0.1:9/dp/X", "--cdp-url", "http://127.0.0.1:9/"), {},
         "无法连接 Chrome CDP: http://127.0.0.1:9/"),
    ],
)  # fmt: skip
def test_chrome_unavailable_is_one_line(options: tuple[str, ...], env: dict[str, str], message):
    run, marker = run_capture(*options, **env)
    assert run.returncode == CHROME_UNAVAILABLE and run.stdout == ""
    [line] = run.stderr.splitlines()
    assert line.startswith(f"tervik-rufus-capture: {message}")
    assert processes_with(marker) == []
