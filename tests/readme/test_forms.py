"""Each ``app.py`` form README shows, served by uvicorn as README says and used with the
MCP SDK's own client: the MCP endpoint behind the gate, the health check outside it."""

from __future__ import annotations

import os
import re
import signal
import socket
import subprocess
import sys
import time
from collections.abc import Callable, Iterator
from pathlib import Path

import httpx
import pytest

from tests.conftest import free_port, python_env
from tests.gate.conftest import McpEndpoint
from tests.readme.conftest import Block, code_blocks

STARTUP_SECONDS = 60.0
BLOCKS = code_blocks("python")
[SERVER] = [block for block in BLOCKS if block.first_line.startswith("# server.py")]
FORMS = [block for block in BLOCKS if block.first_line.startswith("# app.py")]
KEY = "shared-key"  # the key every form is written with
ORIGIN = "https://app.example"


@pytest.fixture
def uvicorn_app(tmp_path: Path) -> Iterator[Callable[[str], str]]:
    """``uvicorn_app(app_py) -> base URL``: server.py and app.py in a folder of their own,
    served with ``uvicorn app:app``; stopped (with Ctrl-C) at teardown."""
    started: list[subprocess.Popen[str]] = []

    def start(app_py: str) -> str:
        (tmp_path / "server.py").write_text(SERVER.code)
        (tmp_path / "app.py").write_text(app_py)
        port = free_port()
        process = subprocess.Popen(
            [sys.executable, "-m", "uvicorn", "app:app", "--port", str(port)],
            cwd=tmp_path, env=python_env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True, start_new_session=True,
        )  # fmt: skip
        started.append(process)
        deadline = time.monotonic() + STARTUP_SECONDS
        while process.poll() is None and time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return f"http://127.0.0.1:{port}"
            except OSError:
                time.sleep(0.05)
        process.kill()
        pytest.fail(f"uvicorn app:app did not serve:\n{process.communicate()[0]}")

    yield start
    for process in started:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGINT)
        output = process.communicate(timeout=20)[0]
        assert "Traceback" not in output, output


def form_id(block: Block) -> str:
    return block.first_line.removeprefix("# app.py: ").partition(";")[0]


@pytest.mark.parametrize("form", FORMS, ids=form_id)
async def test_form_serves_the_sdk_client_only_with_the_key(form: Block, uvicorn_app) -> None:
    [path] = re.findall(r"MCP endpoint (/\S*)", form.first_line)
    base = uvicorn_app(form.code)
    endpoint = McpEndpoint("streamable-http", base + path)
    assert await endpoint.whoami(bearer=KEY) == {"user_id": None, "email": None}
    assert await endpoint.whoami(api_key=KEY) == {"user_id": None, "email": None}
    assert httpx.post(base + path, json={}).status_code == 401
    assert httpx.post(base + path, json={}, params={"api_key": "wrong"}).status_code == 401
    if "healthz" in form.code:
        assert httpx.get(base + "/healthz").text.strip('"') == "ok"
    if "CORSMiddleware" in form.code:
        preflight = httpx.options(base + path, headers={
            "Origin": ORIGIN, "Access-Control-Request-Method": "POST",
            "Access-Control-Request-Headers": "authorization,mcp-session-id"})  # fmt: skip
        assert preflight.status_code == 200
        assert preflight.headers["access-control-allow-origin"] == ORIGIN


def test_readme_shows_every_way_to_wrap() -> None:
    """The forms the tests above run: each gate and framework, mounted or around it all."""
    text = "\n".join(form.code for form in FORMS)
    for needed in ("ApiKeyGatehouse(mcp.streamable_http_app()", "Mount(", "FastAPI(",
                   "app.mount(", "add_middleware(", "public_paths", "lifespan=lifespan"):  # fmt: skip
        assert needed in text, needed
