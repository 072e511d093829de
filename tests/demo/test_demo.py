"""The demo server, started as a user starts it and driven with the MCP SDK's own client."""

from __future__ import annotations

import asyncio
import json
import os
import shlex
import shutil
import socket
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path

import httpx
import pytest

from tervik.mcp.demo_backend import DemoBackend
from tests.conftest import SANITIZER_RUN, free_port, python_env
from tests.demo.conftest import Demo
from tests.gate.conftest import McpEndpoint

ROOT = Path(__file__).resolve().parents[2]
WRONG_KEYS = ("wrong-key-in-query", "wrong-key-in-header")
FIXED_KEY_IDENTITY = {"authenticated": True, "user_id": None, "email": None}


def status_of(url: str, *, query_key: str | None = None, bearer: str | None = None) -> int:
    """Status of an initialize POST presenting the key one way or the other."""
    params = {"api_key": query_key} if query_key else None
    headers = {"Authorization": f"Bearer {bearer}"} if bearer else {}
    return httpx.post(url, params=params, headers=headers, json={}, timeout=10).status_code


def assert_no_traceback(demo: Demo) -> None:
    assert "Traceback" not in demo.output


async def test_fixed_key_generated_printed_once_and_never_logged(demo: Callable[..., Demo]) -> None:
    server = demo()
    key = server.key
    assert key and len(key) >= 24
    endpoint = McpEndpoint("streamable-http", server.endpoint)
    assert await endpoint.whoami(bearer=key) == FIXED_KEY_IDENTITY
    assert await endpoint.whoami(api_key=key) == FIXED_KEY_IDENTITY
    assert status_of(server.endpoint, query_key=WRONG_KEYS[0]) == 401
    assert status_of(server.endpoint, bearer=WRONG_KEYS[1]) == 401
    assert status_of(server.endpoint) == 401

    assert server.stop() == 0
    assert_no_traceback(server)
    assert "MCP Server 运行在固定 API Key 模式" in server.output
    access = [line for line in server.stderr if "uvicorn.access" in line]
    assert sum("api_key=***" in line for line in access) >= 3  # the SDK client's and ours
    assert key not in "\n".join(server.stderr)
    assert not [wrong for wrong in WRONG_KEYS if wrong in server.output]
    assert [line for line in server.stdout if key in line][:2] == [
        f"API key: {key}",
        f"  Authorization: Bearer {key}",
    ]


@pytest.mark.skipif(shutil.which("curl") is None, reason="no curl")
def test_printed_curl_examples_work(demo: Callable[..., Demo]) -> None:
    server = demo()
    examples = [line.strip() for line in server.stdout if line.strip().startswith("curl ")]
    assert len(examples) == 2  # header form, query form
    for example in examples:
        run = subprocess.run(
            [*shlex.split(example), "-w", "\n%{http_code}"],
            capture_output=True,
            text=True,
            timeout=30,
        )
        body, status = run.stdout.rsplit("\n", 1)
        assert status == "200" and '"serverInfo":{"name":"tervik-demo"' in body


async def test_key_from_the_environment_is_never_printed(demo: Callable[..., Demo]) -> None:
    server = demo(env={"TERVIK_MCP_API_KEY": "key-from-env"})
    assert server.key is None
    assert await McpEndpoint("streamable-http", server.endpoint).whoami(api_key="key-from-env")
    assert f"{server.endpoint}?api_key=$TERVIK_MCP_API_KEY" in server.output
    assert server.stop() == 0
    assert "key-from-env" not in server.output


async def test_sse_transport_with_the_header(demo: Callable[..., Demo]) -> None:
    server = demo("--sse")
    assert server.endpoint.endswith("/sse")
    assert await McpEndpoint("sse", server.endpoint).whoami(bearer=server.key) == FIXED_KEY_IDENTITY
    # Only forms that work on SSE are offered: a query-only client cannot post its messages.
    assert f"  Authorization: Bearer {server.key}" in server.stdout
    assert not [line for line in server.stdout if "api_key=" in line]
    assert server.stop() == 0


async def test_remote_mode_with_the_bundled_backend(
    demo: Callable[..., Demo], tmp_path: Path
) -> None:
    keys = tmp_path / "keys.json"
    keys.write_text(json.dumps({"key-ada": {"user_id": "ada", "email": "ada@example.test"},
                                "key-bob": {"user_id": 2}}))  # fmt: skip
    server = demo("--demo-backend", str(keys))
    assert server.key is None
    endpoint = McpEndpoint("streamable-http", server.endpoint)
    assert await endpoint.whoami(api_key="key-ada") == {
        "authenticated": True, "user_id": "ada", "email": "ada@example.test"}  # fmt: skip
    assert await endpoint.whoami(bearer="key-bob") == {
        "authenticated": True, "user_id": 2, "email": None}  # fmt: skip
    assert status_of(server.endpoint, query_key=WRONG_KEYS[0]) == 401

    assert server.stop() == 0
    assert_no_traceback(server)
    assert "MCP Server 运行在远程校验模式，校验地址: http://127.0.0.1:" in server.output
    assert "tervik.mcp.demo_backend" in server.output  # its access log, masked
    assert "httpx: HTTP Request: GET http://127.0.0.1:" in server.output
    for key in ("key-ada", "key-bob", *WRONG_KEYS):
        assert key not in server.output


async def test_secure_serves_through_secure_gatehouse(
    demo: Callable[..., Demo], tmp_path: Path
) -> None:
    keys = tmp_path / "keys.json"
    keys.write_text(json.dumps({"key-ada": {"user_id": "ada", "email": "ada@example.test"}}))
    server = demo("--secure", "--demo-backend", str(keys))
    endpoint = McpEndpoint("streamable-http", server.endpoint)
    for _ in range(2):
        assert await endpoint.whoami(bearer="key-ada") == {
            "authenticated": True, "user_id": "ada", "email": "ada@example.test"}  # fmt: skip
    refused = httpx.post(server.endpoint, headers={"Authorization": "Bearer wrong"}, json={})
    assert refused.status_code == 401
    assert refused.json()["error"]["message"] == "Unauthorized: invalid API key"

    assert server.stop() == 0
    assert_no_traceback(server)
    asked = [line for line in server.stderr if "tervik.mcp.demo_backend" in line]
    assert len(asked) == 2  # key-ada once for both sessions, the wrong key once
    for key in ("key-ada", "wrong"):
        assert f"Bearer {key}" not in server.output and f"api_key={key}" not in server.output


@pytest.mark.skipif(SANITIZER_RUN, reason="uvicorn's workers would need the sanitizer preload")
async def test_secure_workers_serve_statelessly_and_warn_once(
    demo: Callable[..., Demo], tmp_path: Path
) -> None:
    keys = tmp_path / "keys.json"
    keys.write_text(json.dumps({"key-ada": {"user_id": "ada", "email": "ada@example.test"}}))
    server = demo("--secure", "--workers", "2", "--demo-backend", str(keys))
    assert "Workers: 2, serving MCP statelessly (no sessions)" in server.stdout
    endpoint = McpEndpoint("streamable-http", server.endpoint)
    for _ in range(4):
        assert await endpoint.whoami(bearer="key-ada") == {
            "authenticated": True, "user_id": "ada", "email": "ada@example.test"}  # fmt: skip
    opened = httpx.post(server.endpoint, headers={"Authorization": "Bearer key-ada",
                        "Accept": "application/json, text/event-stream"}, json={
        "jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {
            "protocolVersion": "2025-06-18", "capabilities": {},
            "clientInfo": {"name": "test", "version": "1"}}})  # fmt: skip
    assert opened.status_code == 200 and "mcp-session-id" not in opened.headers

    assert server.stop() == 0
    assert_no_traceback(server)
    assert [line for line in server.stderr if "--redis" in line] == [
        "tervik-mcp-demo: with --workers 2 and no --redis, limits and caches are per worker "
        "(failure counts, verdicts and the verification budget)"
    ]
    assert len({line for line in server.stderr if "Started server process" in line}) == 2
    assert "key-ada" not in server.output


async def test_secure_with_a_keys_file(demo: Callable[..., Demo], tmp_path: Path) -> None:
    from tervik.mcp.keys import key_digest, key_id_of, mint_key

    key = mint_key()
    keys = tmp_path / "keys.txt"
    keys.write_text(f"{key_id_of(key)} sha256:{key_digest(key)} user=ada\n")
    server = demo("--secure", "--keys-file", str(keys))
    assert {f"Keys file: {keys}", "  Authorization: Bearer YOUR_KEY"} <= set(server.stdout)
    endpoint = McpEndpoint("streamable-http", server.endpoint)
    assert await endpoint.whoami(bearer=key) == {
        "authenticated": True, "user_id": "ada", "email": None}  # fmt: skip
    assert server.stop() == 0
    assert key not in server.output and key_digest(key) not in server.output


@pytest.mark.skipif(
    shutil.which("redis-server") is None or SANITIZER_RUN,
    reason="needs redis-server; uvicorn's workers would need the sanitizer preload",
)
async def test_secure_workers_share_verdicts_through_redis(
    demo: Callable[..., Demo], tmp_path: Path
) -> None:
    import redis

    port = free_port()
    store = subprocess.Popen(
        ["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--save", "",
         "--appendonly", "no", "--dir", str(tmp_path)],
        stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
    )  # fmt: skip
    try:
        with redis.Redis(port=port) as client:
            for _ in range(100):
                try:
                    client.ping()
                    break
                except redis.ConnectionError:
                    await asyncio.sleep(0.05)
            keys = tmp_path / "keys.json"
            keys.write_text(json.dumps({"key-ada": {"user_id": "ada"}}))
            url = f"redis://127.0.0.1:{port}/0"
            server = demo("--secure", "--workers", "2", "--redis", url, "--demo-backend", str(keys))
            for _ in range(6):  # new connections each time, so either worker may take them
                assert await McpEndpoint("streamable-http", server.endpoint).whoami(
                    bearer="key-ada") == {"authenticated": True, "user_id": "ada", "email": None}  # fmt: skip
            assert server.stop() == 0
            assert len(client.keys("tervik:secure-gate:v:*")) == 1  # the verdict, shared
    finally:
        store.terminate()
        store.wait(10)
    assert_no_traceback(server)
    assert [line for line in server.stderr if "tervik.mcp.demo_backend" in line][1:] == []
    assert not [line for line in server.stderr if "no --redis" in line]
    assert len({line for line in server.stderr if "Started server process" in line}) == 2
    assert "key-ada" not in server.output


def test_unreachable_verification_url_is_reported_once_then_refused(
    demo: Callable[..., Demo],
) -> None:
    url = f"http://127.0.0.1:{free_port()}/verify"
    server = demo("--auth-verify-url", url)
    for _ in range(2):
        assert status_of(server.endpoint, bearer="some-key") == 401
    assert server.stop() == 0
    [notice] = [line for line in server.stderr if "cannot be reached" in line]
    assert notice.startswith(f"tervik-mcp-demo: the verification service at {url} cannot be")
    assert "some-key" not in server.output
    assert_no_traceback(server)


def run_to_exit(*options: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "tervik.mcp.demo", *options],
        capture_output=True, text=True, timeout=60, env=python_env(), stdin=subprocess.DEVNULL,
    )  # fmt: skip


@pytest.mark.parametrize(
    ("content", "status", "message"),
    [
        (None, 2, "cannot read"),
        ("{not json", 2, "is not JSON"),
        ('["key"]', 2, "must map each key to an identity"),
        ('{"": {}}', 2, "must map each key to an identity"),
    ],
)
def test_unusable_identities_file(
    tmp_path: Path, content: str | None, status: int, message: str
) -> None:
    path = tmp_path / "keys.json"
    if content is not None:
        path.write_text(content)
    run = run_to_exit("--port", "0", "--demo-backend", str(path))
    assert run.returncode == status
    [line] = run.stderr.splitlines()
    assert line.startswith("tervik-mcp-demo: ") and message in line
    assert run.stdout == ""


@pytest.mark.parametrize(
    ("options", "message"),
    [
        (("--redis", "redis://127.0.0.1:6379/0"), "--redis needs --secure"),
        (("--secure", "--redis", "http://127.0.0.1:6379"), "--redis takes a redis://"),
        (("--sse", "--workers", "2"), "--sse needs one worker"),
        (("--workers", "0"), "--workers must be at least 1"),
        (("--keys-file", "keys.txt"), "--keys-file needs --secure"),
    ],
)
def test_options_that_cannot_work_together(options: tuple[str, ...], message: str) -> None:
    run = run_to_exit("--port", "0", *options)
    assert run.returncode == 2
    [line] = run.stderr.splitlines()
    assert line.startswith(f"tervik-mcp-demo: {message}")
    assert run.stdout == ""


def test_port_in_use() -> None:
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        run = run_to_exit("--port", str(port))
    assert run.returncode == 1
    assert run.stderr.splitlines() == [
        f"tervik-mcp-demo: port {port} on 127.0.0.1 is in use; "
        "choose another with --port (0 picks a free one)"
    ]
    assert run.stdout == ""


@pytest.mark.skipif(SANITIZER_RUN, reason="make demo builds the plain extensions into .venv")
async def test_make_demo_as_the_readme_says(start_process: Callable[..., Demo]) -> None:
    env = {k: v for k, v in os.environ.items() if not k.startswith(("MAKE", "MFLAGS"))}
    env.pop("TERVIK_MCP_API_KEY", None)
    server = start_process(["make", "demo", "ARGS=--port 0"], env, str(ROOT))
    assert server.wait_started(timeout=600), server.output
    assert server.key
    assert await McpEndpoint("streamable-http", server.endpoint).whoami(bearer=server.key)
    server.stop()
    assert_no_traceback(server)


def test_make_demo_says_first_that_its_first_run_builds(tmp_path: Path) -> None:
    env = {k: v for k, v in os.environ.items() if not k.startswith(("MAKE", "MFLAGS"))}
    venv = tmp_path / ".venv"
    # A Python that fails at once: the notice must come before the virtualenv is made.
    run = subprocess.run(["make", "demo", f"VENV={venv}", "PYTHON=false"], cwd=ROOT, env=env,
                         capture_output=True, text=True, timeout=60)  # fmt: skip
    assert run.returncode != 0
    assert run.stdout.splitlines()[0] == (
        f"make demo: the first run makes {venv} and builds the extensions into it "
        "(about half a minute)"
    )
    # Once built, it starts without the notice.
    venv.mkdir()
    (venv / ".demo-installed").touch()
    dry = subprocess.run(["make", "-n", "demo", f"VENV={venv}", "PYTHON=false"], cwd=ROOT,
                         env=env, capture_output=True, text=True, timeout=60)  # fmt: skip
    assert "first run" not in dry.stdout


@pytest.mark.parametrize(
    ("method", "path", "params", "headers", "status", "answer"),
    [
        ("GET", "/verify", {"api_key": "key-ada"}, {}, 200,
         {"valid": True, "user_id": "ada", "email": None}),
        ("GET", "/verify", {}, {"X-MCP-API-Key": "key-ada"}, 200,
         {"valid": True, "user_id": "ada", "email": None}),
        ("GET", "/verify", {"api_key": "other"}, {"X-MCP-API-Key": "key-ada"}, 200,
         {"valid": False}),
        ("GET", "/verify", {}, {}, 200, {"valid": False}),
        ("POST", "/verify", {"api_key": "key-ada"}, {}, 405,
         {"error": "the gate verifies keys with GET"}),
        ("GET", "/other", {"api_key": "key-ada"}, {}, 404,
         {"error": "not found; the gate asks /verify"}),
    ],
)  # fmt: skip
def test_bundled_backend_answers(method, path, params, headers, status, answer) -> None:
    with DemoBackend({"key-ada": {"user_id": "ada"}}) as backend:
        url = backend.url.removesuffix("/verify") + path
        response = httpx.request(method, url, params=params, headers=headers, json={"x": 1})
    assert (response.status_code, response.json()) == (status, answer)
