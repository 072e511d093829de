"""The bench programs measure what they claim: every case takes its intended path through
every implementation, the Starlette peer admits and refuses like the gate, the callgrind
child marks its spans, the soak passes end to end and the gate serves from two workers."""

from __future__ import annotations

import asyncio
import shutil
import subprocess
import sys
from pathlib import Path
from types import ModuleType
from typing import Any

import pytest

from tests.conftest import SANITIZER_RUN, python_env
from tests.gate.conftest import serve  # noqa: F401  (fixture)

BENCH = Path(__file__).resolve().parents[1] / "bench"
KEY = "sk-live-0123456789abcdef"


def bench_module(name: str) -> ModuleType:
    """Import a bench program the way it imports its neighbours (bench/ first on sys.path)."""
    if str(BENCH) not in sys.path:
        sys.path.insert(0, str(BENCH))
    return __import__(name)


@pytest.fixture(scope="module")
def overhead() -> ModuleType:
    return bench_module("gate_overhead")


@pytest.fixture
def verification_backend(overhead: ModuleType, monkeypatch: pytest.MonkeyPatch) -> None:
    import httpx

    monkeypatch.setattr(httpx, "AsyncClient", overhead.verification_client())


def one_request(gated: Any, scope: dict[str, Any]) -> list[dict[str, Any]]:
    sent: list[dict[str, Any]] = []

    async def record(message: dict[str, Any]) -> None:
        sent.append(message)

    asyncio.run(gated(scope, None, record))
    return sent


@pytest.mark.parametrize(
    "case", ["header-admit", "query-admit", "refuse-401", "pass-through", "remote-admit"]
)
@pytest.mark.parametrize("impl", ["bare", "native", "python", "starlette"])
def test_every_case_takes_its_path(overhead, verification_backend, impl, case):
    gated = overhead.implementation(impl, case)
    if gated is None:
        pytest.skip(f"{impl} has no {case}")
    scope = overhead.SCOPES[case].copy()
    sent = one_request(gated, scope)
    refused = case == "refuse-401" and impl != "bare"
    assert [m.get("status") for m in sent if m["type"] == "http.response.start"] == [
        401 if refused else 200
    ]
    if refused:
        assert sent[-1]["body"] == overhead.UNAUTHORIZED_BODY
    else:
        assert sent == [overhead.START, overhead.BODY]  # the application's own response
    if case.endswith("admit") and impl in ("native", "python"):
        assert scope["mcp_api_key"] == KEY
        assert scope.get("mcp_user_id") == (7 if case == "remote-admit" else None)
    if case.endswith("admit") and impl == "starlette":
        assert scope["user"].display_name == KEY


def http(query: bytes = b"", *headers: tuple[bytes, bytes]) -> dict[str, Any]:
    return {
        "type": "http",
        "method": "GET",
        "path": "/",
        "query_string": query,
        "headers": list(headers),
    }


@pytest.mark.parametrize(
    ("scope", "status"),
    [
        (http(b"a=1&api_key=" + KEY.encode() + b"&b=2"), 200),
        (http(b"", (b"authorization", b"bearer  " + KEY.encode())), 200),
        (http(b"api_key=", (b"authorization", b"Bearer " + KEY.encode())), 200),
        (http(), 401),
        (http(b"api_key=nope"), 401),
        (http(b"", (b"authorization", b"Basic dTpw")), 401),
        (http(b"", (b"authorization", b"Bearer " + KEY.encode() + b"x")), 401),
    ],
)
def test_the_starlette_peer_admits_and_refuses_like_the_gate(overhead, scope, status):
    for impl in ("native", "starlette"):
        sent = one_request(overhead.implementation(impl, "header-admit"), scope.copy())
        assert sent[0]["status"] == status, impl


@pytest.mark.skipif(
    shutil.which("valgrind") is None or SANITIZER_RUN, reason="needs valgrind, no ASan"
)
def test_callgrind_child_marks_zero_and_n_requests(overhead):
    # count_instructions raises unless the child wrote exactly the four expected dumps
    assert overhead.count_instructions("native", "refuse-401", 20) > 0


@pytest.mark.skipif(
    SANITIZER_RUN, reason="the sanitizer's allocator makes memory figures meaningless"
)
@pytest.mark.parametrize("gate", ["native", "python"])
def test_soak_passes_and_covers_every_outcome(gate):
    run = subprocess.run(
        [sys.executable, str(BENCH / "soak.py"), "--requests", "20000", "--remote", "60", "--gate", gate, "--no-save"],
        capture_output=True, text=True, timeout=300, env=python_env(),
    )  # fmt: skip
    assert run.returncode == 0, run.stdout + run.stderr
    outcomes = next(line for line in run.stdout.splitlines() if line.startswith("outcomes:"))
    for outcome in ["admitted", "refused", "passed through", "raised ValueError", "raised RuntimeError",
                    "swallowed", "closed, client gone", "cancelled", "remote admitted", "remote refused"]:  # fmt: skip
        assert f"{outcome} " in outcomes


@pytest.mark.skipif(SANITIZER_RUN, reason="uvicorn's workers would need the sanitizer preload")
def test_the_gate_serves_from_two_uvicorn_workers():
    result = bench_module("gate_wire").two_workers()
    assert result["workers_with_extension"] == 2
    assert result["admitted_statuses"] == [200] and result["refused_status"] == 401


# ---- bench/secure_gate.py ---------------------------------------------------------------------


@pytest.fixture(scope="module")
def secure_bench() -> ModuleType:
    return bench_module("secure_gate")


@pytest.mark.parametrize("case", ["bare", "api-key-fixed", "secure-fixed", "secure-remote-cached"])
def test_every_secure_case_admits_within_its_session(secure_bench, case):
    gated = secure_bench.gated(case)
    statuses = []
    with secure_bench.backend_in_process(valid=True):
        for scope in (secure_bench.OPENING, secure_bench.IN_SESSION, secure_bench.IN_SESSION):
            sent = one_request(gated, dict(scope))
            statuses.append(sent[0]["status"])
    assert statuses == [200, 200, 200]
    if case.startswith("secure"):
        stats = gated._stats()
        assert stats["sessions"] == 1
        assert stats["confirmed_keys"] == (1 if case == "secure-remote-cached" else 0)


@pytest.mark.skipif(
    shutil.which("valgrind") is None or SANITIZER_RUN, reason="needs valgrind, no ASan"
)
def test_the_secure_callgrind_child_marks_its_spans(secure_bench):
    assert secure_bench.count_instructions("secure-remote-cached", 20) > 0


@pytest.mark.skipif(
    SANITIZER_RUN, reason="the sanitizer's allocator makes memory figures meaningless"
)
def test_wrong_keys_stay_within_the_bounds(secure_bench):
    result = secure_bench.wrong_keys(3000, 100, 3)
    assert result["statuses"] == {401: 3000}
    last = result["snapshots"][-1]
    assert (last["refused_keys"], last["tracked_clients"], last["clients_built"]) == (3000, 100, 1)


def test_the_flood_sends_distinct_keys_from_many_addresses(secure_bench, serve):  # noqa: F811
    from tervik.mcp.secure import SecureGatehouse

    seen = set()

    async def app(scope, receive, send):  # never reached: every key is wrong
        raise AssertionError("admitted")

    gate = SecureGatehouse(app, api_key="right", failure_limit=1000)
    real_call = type(gate).__call__

    async def watching(scope, receive, send):
        seen.add(scope["client"][0])
        await real_call(gate, scope, receive, send)

    base = serve(watching)
    host, port = base.removeprefix("http://").split(":")
    result = asyncio.run(secure_bench.flood_from(host, int(port), 1.0, 250, 8))
    assert result["requests"] > 20 and set(result["statuses"]) == {401}
    assert len(seen) >= 2
