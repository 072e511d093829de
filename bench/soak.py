"""Soak: a million requests through the gate in process, and memory must stay flat.

The requests cycle through admitted ones (key in the header, in the query), refused ones
(wrong key, no key, a query that is not UTF-8, an unconfigured gate), pass-through scopes
(lifespan, websocket) and applications that fail (an open response then ValueError, an
"Expected ASGI message" RuntimeError, another RuntimeError, a client gone while the gate
closes the response, a request cancelled while the application waits). Alongside, 10,000
remote verifications go over real HTTP to a verification backend on 127.0.0.1 (a child
process running uvicorn), confirming some keys and refusing others.

After a warm-up (the first tenth) and at the end, after a full collection: resident memory
must differ by less than 1 MiB, and ``sys.getallocatedblocks()`` and the number of objects
the collector tracks must be flat (a leak of one block per request would show as a
hundred thousand).

    python bench/soak.py [--quick] [--requests 1000000] [--remote 10000] [--gate native|python]

Each verification builds a new ``httpx.AsyncClient()``, as the gate must, and httpx builds
a TLS context for it from the trust store named by ``SSL_CERT_FILE``/``SSL_CERT_DIR`` or
certifi's (20-35 ms each). The backend is plain HTTP, so the soak points httpx at an empty
certificate directory unless ``--system-certs`` is given; what is measured is unchanged.
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import os
import subprocess
import sys
import tempfile
import time
from collections import Counter
from collections.abc import Awaitable, Callable
from pathlib import Path
from typing import Any
from urllib.parse import parse_qs

import common
import python_gate

import tervik.mcp.gatehouse as native_gate
from tervik.mcp.context import mcp_request_ctx

KEY = "sk-live-0123456789abcdef"
GOOD_REMOTE_KEYS = {f"user-{i}" for i in range(5)}
RSS_LIMIT = 1024 * 1024
# "flat": what 1,000,000 requests may leave behind; one leaked block per request is 10^6
BLOCKS_LIMIT = 2000
OBJECTS_LIMIT = 200

# ---- the verification backend (uvicorn in a child process) -----------------------------------


async def backend(scope: Any, receive: Any, send: Any) -> None:
    """Confirms the keys in GOOD_REMOTE_KEYS when the query and the header agree."""
    if scope["type"] != "http":
        return
    key = parse_qs(scope["query_string"].decode()).get("api_key", [""])[0]
    header = dict(scope["headers"]).get(b"x-mcp-api-key", b"").decode()
    if key in GOOD_REMOTE_KEYS and header == key:
        body = b'{"valid": true, "user_id": "%s", "email": "%s@example.test"}' % (
            key.encode(),
            key.encode(),
        )
    else:
        body = b'{"valid": false}'
    await send(
        {
            "type": "http.response.start",
            "status": 200,
            "headers": [(b"content-type", b"application/json")],
        }
    )
    await send({"type": "http.response.body", "body": body})


def serve_backend() -> None:
    import socket

    import uvicorn

    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    print(sock.getsockname()[1], flush=True)
    config = uvicorn.Config(
        backend, lifespan="off", access_log=False, log_level="warning", backlog=512
    )
    uvicorn.Server(config).run(sockets=[sock])


# ---- the server side and the applications -----------------------------------------------------

START = {"type": "http.response.start", "status": 200, "headers": []}
BODY = {"type": "http.response.body", "body": b"{}"}
OPEN_BODY = {"type": "http.response.body", "body": b"partial", "more_body": True}


async def receive() -> dict[str, Any]:
    return {"type": "http.request", "body": b"", "more_body": False}


async def send(message: Any) -> None:
    pass


async def send_to_gone_client(message: Any) -> None:
    if message.get("body") == b"" and message.get("more_body") is False:
        raise OSError("client gone")


async def ok(scope: Any, receive: Any, send: Any) -> None:
    await send(START)
    await send(BODY)


async def fails_after_opening(scope: Any, receive: Any, send: Any) -> None:
    await send(START)
    await send(OPEN_BODY)
    raise ValueError("application failed")


async def expected_asgi_message(scope: Any, receive: Any, send: Any) -> None:
    await ok(scope, receive, send)
    raise RuntimeError("Unexpected ASGI message 'x' sent. Expected ASGI message 'y'.")


async def other_runtime_error(scope: Any, receive: Any, send: Any) -> None:
    raise RuntimeError("boom")


async def opens_and_returns(scope: Any, receive: Any, send: Any) -> None:
    await send(START)
    await send(OPEN_BODY)


async def waits(scope: Any, receive: Any, send: Any) -> None:
    await send(START)
    await asyncio.sleep(3600)


def http(query: bytes = b"", authorization: bytes | None = None) -> dict[str, Any]:
    headers = [(b"host", b"127.0.0.1"), (b"accept", b"application/json")]
    if authorization is not None:
        headers.append((b"authorization", authorization))
    return {
        "type": "http",
        "method": "GET",
        "path": "/mcp",
        "query_string": query,
        "headers": headers,
    }


BEARER = b"Bearer " + KEY.encode()
Request = Callable[[], Awaitable[str]]


def request_mix(gate_class: type) -> list[Request]:
    """One cycle of the local requests; each returns what happened, for the tally."""
    fixed = gate_class(ok, api_key=KEY)
    unconfigured = gate_class(ok)
    raising = {app.__name__: gate_class(app, api_key=KEY) for app in
               (fails_after_opening, expected_asgi_message, other_runtime_error, opens_and_returns, waits)}  # fmt: skip

    def plain(gate: Any, scope: dict[str, Any], outcome: str, server_send: Any = send) -> Request:
        async def request() -> str:
            await gate(scope.copy(), receive, server_send)
            return outcome

        return request

    def raises(gate: Any, scope: dict[str, Any], error: type[BaseException]) -> Request:
        async def request() -> str:
            try:
                await gate(scope.copy(), receive, send)
            except error:
                return f"raised {error.__name__}"
            raise AssertionError(f"expected {error.__name__}")

        return request

    async def cancelled() -> str:
        task = asyncio.ensure_future(raising["waits"](http(authorization=BEARER), receive, send))
        await asyncio.sleep(0)
        task.cancel()
        try:
            await task
        except asyncio.CancelledError:
            return "cancelled"
        raise AssertionError("expected cancellation")

    return [
        plain(fixed, http(authorization=BEARER), "admitted"),
        plain(fixed, http(b"session_id=abc&api_key=" + KEY.encode()), "admitted"),
        plain(fixed, http(b"a=1", BEARER), "admitted"),
        plain(fixed, http(authorization=b"Bearer wrong"), "refused"),
        plain(fixed, http(), "refused"),
        plain(fixed, http(b"api_key=\xff"), "refused"),
        plain(unconfigured, http(authorization=BEARER), "refused"),
        plain(fixed, {"type": "lifespan"}, "passed through"),
        plain(fixed, {"type": "websocket", "headers": []}, "passed through"),
        raises(raising["fails_after_opening"], http(authorization=BEARER), ValueError),
        plain(raising["expected_asgi_message"], http(authorization=BEARER), "swallowed"),
        raises(raising["other_runtime_error"], http(authorization=BEARER), RuntimeError),
        plain(
            raising["opens_and_returns"],
            http(authorization=BEARER),
            "closed, client gone",
            send_to_gone_client,
        ),
        plain(fixed, http(authorization=BEARER), "admitted"),
        plain(fixed, http(b"api_key=" + KEY.encode()), "admitted"),
        plain(fixed, http(authorization=b"Basic dTpw"), "refused"),
        plain(fixed, {"type": "lifespan"}, "passed through"),
        plain(fixed, http(authorization=BEARER), "admitted"),
        plain(fixed, http(authorization=BEARER), "admitted"),
        cancelled,
    ]


def remote_requests(gate_class: type, url: str) -> list[Callable[[int], Awaitable[str]]]:
    """Remote-mode requests; each takes a number to vary the key."""
    gate = gate_class(ok, auth_verify_url=url)
    good = sorted(GOOD_REMOTE_KEYS)

    def keyed(prefix: str, outcome: str) -> Callable[[int], Awaitable[str]]:
        async def request(i: int) -> str:
            key = good[i % len(good)] if prefix == "good" else f"{prefix}-{i}"
            await gate(http(authorization=b"Bearer " + key.encode()), receive, send)
            return outcome

        return request

    return [
        keyed("good", "remote admitted"),
        keyed("good", "remote admitted"),
        keyed("bad", "remote refused"),
    ]


# ---- measuring --------------------------------------------------------------------------------


def resident_bytes() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


def snapshot(done: int, remote_done: int) -> dict[str, int]:
    gc.collect()
    return {
        "requests": done,
        "remote": remote_done,
        "rss": resident_bytes(),
        "blocks": sys.getallocatedblocks(),
        "gc_objects": len(gc.get_objects()),
    }


async def soak(
    gate_class: type, url: str, requests: int, remote: int, checkpoints: int
) -> dict[str, Any]:
    local = request_mix(gate_class)
    remote_kinds = remote_requests(gate_class, url)
    tally: Counter[str] = Counter()
    done = remote_done = 0

    async def run_local(count: int) -> None:
        nonlocal done
        for i in range(count):
            tally[await local[(done + i) % len(local)]()] += 1
        done += count

    async def run_remote(count: int, concurrency: int = 16) -> None:
        nonlocal remote_done
        for start in range(0, count, concurrency):
            batch = range(remote_done + start, remote_done + min(start + concurrency, count))
            for outcome in await asyncio.gather(*(remote_kinds[i % 3](i) for i in batch)):
                tally[outcome] += 1
        remote_done += count

    # warm-up: the first tenth of both
    await run_local(requests // checkpoints)
    await run_remote(remote // checkpoints)
    series = [snapshot(done, remote_done)]
    started = time.monotonic()
    for step in range(2, checkpoints + 1):
        await run_local(requests * step // checkpoints - done)
        await run_remote(remote * step // checkpoints - remote_done)
        series.append(snapshot(done, remote_done))
        print(
            f"  {done:>9,} requests {remote_done:>6,} remote  rss {series[-1]['rss'] / 2**20:7.2f} MiB"
            f"  blocks {series[-1]['blocks']:>8,}  gc objects {series[-1]['gc_objects']:>7,}",
            flush=True,
        )
    assert mcp_request_ctx.get() is None
    return {"series": series, "tally": dict(tally), "seconds": time.monotonic() - started}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--quick", action="store_true", help="100,000 requests, 1,000 verifications"
    )
    parser.add_argument("--requests", type=int, help="local requests (default 1,000,000)")
    parser.add_argument("--remote", type=int, help="remote verifications (default 10,000)")
    parser.add_argument("--gate", choices=("native", "python"), default="native")
    parser.add_argument(
        "--system-certs", action="store_true", help="keep httpx's usual trust store"
    )
    parser.add_argument("--no-save", action="store_true", help="print only; keep bench/results/")
    parser.add_argument("--backend", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.backend:
        serve_backend()
        return

    requests = options.requests or (100_000 if options.quick else 1_000_000)
    remote = options.remote if options.remote is not None else (1_000 if options.quick else 10_000)
    gate_class = (
        native_gate.ApiKeyGatehouse if options.gate == "native" else python_gate.ApiKeyGatehouse
    )
    import logging

    logging.getLogger("tervik.mcp").setLevel(logging.ERROR)
    logging.getLogger("httpx").setLevel(logging.WARNING)
    info = common.machine()
    print(f"soak ({options.gate} gate): {common.machine_line(info)}")
    print(
        f"{requests:,} requests in process, {remote:,} remote verifications over HTTP on 127.0.0.1 ..."
    )

    with tempfile.TemporaryDirectory(prefix="soak-certs-") as no_certs:
        if not options.system_certs:
            os.environ.pop("SSL_CERT_FILE", None)
            os.environ["SSL_CERT_DIR"] = no_certs
        backend = subprocess.Popen(
            [sys.executable, __file__, "--backend"],
            stdout=subprocess.PIPE,
            stdin=subprocess.DEVNULL,
            text=True,
        )
        try:
            assert backend.stdout is not None
            url = f"http://127.0.0.1:{backend.stdout.readline().strip()}/verify"
            result = asyncio.run(soak(gate_class, url, requests, remote, checkpoints=10))
        finally:
            backend.terminate()
            backend.wait(10)

    first, last = result["series"][0], result["series"][-1]
    growth = {key: last[key] - first[key] for key in ("rss", "blocks", "gc_objects")}
    checks = {
        "rss": abs(growth["rss"]) < RSS_LIMIT,
        "blocks": abs(growth["blocks"]) < BLOCKS_LIMIT,
        "gc_objects": abs(growth["gc_objects"]) < OBJECTS_LIMIT,
    }
    expected_remote = {"remote admitted", "remote refused"} if remote else set()
    outcomes_ok = (
        expected_remote <= set(result["tally"]) and result["tally"].get("cancelled", 0) > 0
    )
    print()
    print(f"outcomes: {', '.join(f'{k} {v:,}' for k, v in sorted(result['tally'].items()))}")
    print(
        common.table(
            ["after warm-up -> end", "warm-up", "end", "growth", "limit", ""],
            [
                ["resident memory", f"{first['rss'] / 2**20:.2f} MiB", f"{last['rss'] / 2**20:.2f} MiB",
                 f"{growth['rss'] / 1024:+.0f} KiB", "< 1024 KiB", "flat" if checks["rss"] else "GREW"],
                ["sys.getallocatedblocks()", f"{first['blocks']:,}", f"{last['blocks']:,}",
                 f"{growth['blocks']:+,}", f"< {BLOCKS_LIMIT:,}", "flat" if checks["blocks"] else "GREW"],
                ["len(gc.get_objects())", f"{first['gc_objects']:,}", f"{last['gc_objects']:,}",
                 f"{growth['gc_objects']:+,}", f"< {OBJECTS_LIMIT:,}", "flat" if checks["gc_objects"] else "GREW"],
            ],
        )
    )  # fmt: skip
    passed = all(checks.values()) and outcomes_ok
    print(
        f"verdict: {'no growth' if passed else 'FAILED'} ({result['seconds']:.0f} s after warm-up)"
    )
    results = {
        "machine": info,
        "gate": options.gate,
        "requests": requests,
        "remote_verifications": remote,
        "limits": {"rss_bytes": RSS_LIMIT, "blocks": BLOCKS_LIMIT, "gc_objects": OBJECTS_LIMIT},
        "growth": growth,
        "checks": checks,
        "passed": passed,
        **result,
    }
    if not options.no_save:
        print(
            f"saved {common.save('soak' if options.gate == 'native' else 'soak-python', results)}"
        )
    if not passed:
        sys.exit(1)


if __name__ == "__main__":
    main()
