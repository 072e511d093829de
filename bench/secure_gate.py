"""SecureGatehouse's numbers, measured in one run.

1. Admission cost: instructions per request (callgrind, N requests minus 0, as
   gate_overhead.py counts them) of the bare app and of the app behind ApiKeyGatehouse with
   its fixed key, SecureGatehouse with its fixed key, and SecureGatehouse in remote mode with
   the key cached; each request carries an MCP session id bound to its caller. Target: the
   cached remote admission adds at most 1.3 times what a fixed-key admission adds. The same
   four are also timed natively (interleaved rounds, median ns added).
2. Single flight under uvicorn, the backend answering after 50 ms: 200 concurrent requests
   with one key cost 1 backend request; 200 distinct keys cost 200, and a second round within
   the cache period 0.
3. Memory: 1,000,000 requests with distinct wrong keys from 20,000 client addresses, in
   process (the backend is httpx's MockTransport, refusing every key): resident memory and
   the gate's map sizes at checkpoints stay within the configured bounds.
4. A junk-key flood under uvicorn: a child process sends distinct wrong keys from 250
   loopback addresses as fast as the server answers, while wrk sends requests with a cached
   key; those keep at least half of their requests/s without the flood. The gate builds one
   verification client in all. The same flood against ApiKeyGatehouse, for comparison.

Results go to bench/results/secure_gate-<python>.json.

    python bench/secure_gate.py [--quick] [--no-callgrind] [--no-save]
    python bench/secure_gate.py --worker CASE N      (what callgrind runs)
    python bench/secure_gate.py --flood HOST PORT SECONDS   (the flood's own process)
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import json
import os
import re
import shutil
import subprocess
import sys
import threading
import time
from collections import Counter
from collections.abc import Iterator
from contextlib import contextmanager
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any
from urllib.parse import parse_qs, urlsplit

import common

BENCH = Path(__file__).resolve().parent
KEY = "sk-live-0123456789abcdef"
LEGIT_PREFIX = "legit-"  # the backend confirms these keys and refuses every other
SESSION = b"3f1c0b6e9d2a4c7f9e8d7c6b5a493827"
TARGET_INSTRUCTIONS = 1.3
TARGET_FLOOD_SHARE = 0.5

# ---- the application and the gates ------------------------------------------------------------

START = {
    "type": "http.response.start",
    "status": 200,
    "headers": [(b"content-type", b"application/json"), (b"mcp-session-id", SESSION)],
}
BODY = {"type": "http.response.body", "body": b"{}"}


async def app(scope: Any, receive: Any, send: Any) -> None:
    """The trivial MCP-ish application: 200, echoing the session id as the SDK does."""
    await send(START)
    await send(BODY)


async def receive() -> dict[str, Any]:
    return {"type": "http.request", "body": b"", "more_body": False}


async def send(message: Any) -> None:
    pass


VERIFY_URL = "http://verify.invalid/verify"
HEADERS = [
    (b"host", b"127.0.0.1:8000"),
    (b"user-agent", b"mcp-client/2.3"),
    (b"accept", b"application/json, text/event-stream"),
    (b"content-type", b"application/json"),
    (b"mcp-protocol-version", b"2025-06-18"),
    (b"accept-encoding", b"gzip, deflate"),
    (b"content-length", b"77"),
    (b"authorization", b"Bearer " + KEY.encode()),
]
OPENING = {
    "type": "http",
    "http_version": "1.1",
    "server": ("127.0.0.1", 8000),
    "client": ("127.0.0.1", 51234),
    "scheme": "http",
    "method": "POST",
    "root_path": "",
    "path": "/mcp",
    "raw_path": b"/mcp",
    "query_string": b"",
    "headers": HEADERS,
}
IN_SESSION = OPENING | {"headers": [*HEADERS, (b"mcp-session-id", SESSION)]}

CASES = ("bare", "api-key-fixed", "secure-fixed", "secure-remote-cached")
CASE_TITLES = {
    "bare": "bare app",
    "api-key-fixed": "ApiKeyGatehouse, fixed key",
    "secure-fixed": "SecureGatehouse, fixed key",
    "secure-remote-cached": "SecureGatehouse, remote, key cached",
}


@contextmanager
def backend_in_process(valid: bool) -> Iterator[None]:
    """While it lasts, ``httpx.AsyncClient()`` (what the gates build) talks to an in-process
    backend (httpx's MockTransport) that confirms every key, or refuses every key."""
    import httpx

    real = httpx.AsyncClient
    answer = (
        {"valid": True, "user_id": 7, "email": "user@example.test"} if valid else {"valid": False}
    )
    body = json.dumps(answer).encode()
    headers = {"content-type": "application/json"}
    transport = httpx.MockTransport(
        lambda request: httpx.Response(200, content=body, headers=headers)
    )

    class BackendClient(real):  # type: ignore[misc, valid-type]
        def __init__(self, **options: Any) -> None:
            super().__init__(transport=transport, **options)

    httpx.AsyncClient = BackendClient  # type: ignore[misc]
    try:
        yield
    finally:
        httpx.AsyncClient = real  # type: ignore[misc]


def gated(case: str, **options: Any) -> Any:
    """The app of ``case``; ``options`` go to the remote SecureGatehouse."""
    from tervik.mcp.gatehouse import ApiKeyGatehouse
    from tervik.mcp.secure import SecureGatehouse

    if case == "bare":
        return app
    if case == "api-key-fixed":
        return ApiKeyGatehouse(app, api_key=KEY)
    if case == "secure-fixed":
        return SecureGatehouse(app, api_key=KEY)
    return SecureGatehouse(app, auth_verify_url=VERIFY_URL, **options)


def driver(case: str, **options: Any) -> Any:
    """``run(n)``: n requests in the session, after one that opened it (and, in remote mode,
    made the gate's client for an in-process backend and put the key in the cache)."""
    gate = gated(case, **options)
    loop = asyncio.new_event_loop()
    with backend_in_process(valid=True):
        loop.run_until_complete(gate(dict(OPENING), receive, send))

    async def batch(n: int) -> None:
        for _ in range(n):
            await gate(IN_SESSION.copy(), receive, send)

    return lambda n: loop.run_until_complete(batch(n))


def quiet_logs() -> None:
    import logging

    logging.getLogger("tervik.mcp").setLevel(logging.ERROR)
    logging.getLogger("httpx").setLevel(logging.WARNING)


# ---- 1. admission cost ------------------------------------------------------------------------


def worker(case: str, n: int) -> None:
    """Run under callgrind: warm-up, then 0 requests, then n; os.getppid() marks the bounds."""
    quiet_logs()
    common.marked_spans(driver(case), n)


def count_instructions(case: str, n: int) -> float:
    return common.count_instructions(Path(__file__).resolve(), [case], n)


def admission_costs(n: int, rounds: int, batch: int, callgrind: bool) -> dict[str, Any]:
    from concurrent.futures import ThreadPoolExecutor

    result: dict[str, Any] = {"requests": n, "instructions": None}
    if callgrind:
        with ThreadPoolExecutor(max_workers=2) as pool:
            counts = dict(
                zip(CASES, pool.map(lambda case: count_instructions(case, n), CASES), strict=True)
            )
        result["instructions"] = counts
    runs = {case: driver(case) for case in CASES}
    for run in runs.values():
        run(200)
    samples: dict[str, list[float]] = {case: [] for case in CASES}
    for number in range(rounds):
        order = list(CASES[number % len(CASES) :] + CASES[: number % len(CASES)])
        for case in order:
            gc.collect()
            started = time.perf_counter_ns()
            runs[case](batch)
            samples[case].append((time.perf_counter_ns() - started) / batch)
    result["median_ns"] = {case: common.median(values) for case, values in samples.items()}
    return result


def added(per_request: dict[str, float], case: str) -> float:
    return per_request[case] - per_request["bare"]


def admission_report(costs: dict[str, Any]) -> tuple[str, dict[str, Any]]:
    measures = [
        ("instructions", costs["instructions"], "k", 1000, 1),
        ("ns", costs["median_ns"], "", 1, 0),
    ]
    rows, ratios = [], {}
    for name, per_request, unit, scale, digits in measures:
        if per_request is None:
            continue
        remote = added(per_request, "secure-remote-cached")
        ratios[name] = {
            "vs ApiKeyGatehouse fixed": remote / added(per_request, "api-key-fixed"),
            "vs SecureGatehouse fixed": remote / added(per_request, "secure-fixed"),
        }
        for case in CASES:
            value = per_request[case] if case == "bare" else added(per_request, case)
            sign = "" if case == "bare" else "+"
            rows.append(
                [f"{CASE_TITLES[case]} ({name})", f"{sign}{value / scale:.{digits}f}{unit}"]
            )
    lines = [common.table(["case", "per request (bare) / added"], rows), ""]
    for name, pair in ratios.items():
        for against, value in pair.items():
            verdict = "met" if value <= TARGET_INSTRUCTIONS else "missed"
            lines.append(f"cached remote admission {against}: {value:.2f}x ({name}; target <= "
                         f"{TARGET_INSTRUCTIONS}x: {verdict})")  # fmt: skip
    return "\n".join(lines), ratios


# ---- the verification backend ------------------------------------------------------------------


class Backend(ThreadingHTTPServer):
    """Confirms keys starting with "legit-" (user id = the key), refuses every other, after
    ``delay`` seconds; counts what it is asked."""

    daemon_threads = True
    request_queue_size = 1024

    def __init__(self, delay: float = 0.0) -> None:
        super().__init__(("127.0.0.1", 0), _BackendHandler)
        self.delay = delay
        self.asked: Counter[str] = Counter()
        self.lock = threading.Lock()
        self.url = f"http://127.0.0.1:{self.server_address[1]}/verify"
        threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True).start()

    def total(self) -> int:
        with self.lock:
            return sum(self.asked.values())


class _BackendHandler(BaseHTTPRequestHandler):
    server: Backend
    protocol_version = "HTTP/1.1"
    # Head and body leave in one segment: written apart on a kept-alive connection, the body
    # would wait for the client's delayed ACK (40 ms) under Nagle's algorithm.
    wbufsize = -1
    disable_nagle_algorithm = True

    def do_GET(self) -> None:
        key = parse_qs(urlsplit(self.path).query).get("api_key", [""])[0]
        with self.server.lock:
            self.server.asked[key] += 1
        if self.server.delay:
            time.sleep(self.server.delay)
        valid = key.startswith(LEGIT_PREFIX)
        body = json.dumps({"valid": valid, "user_id": key if valid else None}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: Any) -> None:
        pass


# ---- what uvicorn serves (imported by it as secure_gate:served) ----------------------------------


def _served() -> Any:
    """The gated app for the uvicorn child, configured by environment; /stats answers the
    gate's _stats() (behind the gate like every path)."""
    url = os.environ.get("SECURE_GATE_VERIFY_URL")
    if url is None:
        return None
    from tervik.mcp.gatehouse import ApiKeyGatehouse
    from tervik.mcp.secure import SecureGatehouse

    quiet_logs()
    gate: Any = None

    async def inner(scope: Any, receive: Any, send: Any) -> None:
        if scope.get("path") == "/stats":
            stats = gate._stats() if hasattr(gate, "_stats") else {}
            await send({"type": "http.response.start", "status": 200, "headers": []})
            await send({"type": "http.response.body", "body": json.dumps(stats).encode()})
            return
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"{}"})

    if os.environ.get("SECURE_GATE_CLASS") == "ApiKeyGatehouse":
        gate = ApiKeyGatehouse(inner, auth_verify_url=url)
    elif budget := os.environ.get("SECURE_GATE_BUDGET"):
        gate = SecureGatehouse(
            inner, auth_verify_url=url, max_verifications_per_second=float(budget)
        )
    else:
        gate = SecureGatehouse(inner, auth_verify_url=url)
    return gate


served = _served()


@contextmanager
def uvicorn(
    verify_url: str, gate_class: str = "SecureGatehouse", budget: float | None = None
) -> Iterator[tuple[str, int]]:
    """Serve secure_gate:served in a child process (the secure gate with its default
    verification budget unless `budget` is given); yields its base URL and pid."""
    port = common.free_port()
    command = [
        sys.executable, "-m", "uvicorn", "secure_gate:served", "--app-dir", str(BENCH),
        "--host", "127.0.0.1", "--port", str(port), "--http", "auto", "--loop", "asyncio",
        "--no-access-log", "--lifespan", "off", "--log-level", "warning", "--backlog", "4096",
    ]  # fmt: skip
    env = dict(os.environ, SECURE_GATE_VERIFY_URL=verify_url, SECURE_GATE_CLASS=gate_class)
    if budget is not None:
        env["SECURE_GATE_BUDGET"] = str(budget)
    with common.serving(command, port, env) as server:
        yield f"http://127.0.0.1:{port}", server.pid


# ---- 2. single flight under uvicorn ---------------------------------------------------------------


async def concurrent_requests(base: str, keys: list[str]) -> Counter[int]:
    import httpx

    limits = httpx.Limits(max_connections=len(keys), max_keepalive_connections=len(keys))
    async with httpx.AsyncClient(limits=limits, timeout=60) as client:
        answers = await asyncio.gather(
            *(client.get(base + "/mcp", headers={"Authorization": f"Bearer {key}"}) for key in keys)
        )
    return Counter(answer.status_code for answer in answers)


def single_flight(concurrency: int) -> dict[str, Any]:
    """The cache and the single flight alone: the verification budget is off (with the
    default 50 a second, some of 200 new keys at once would get 503 and ask again later)."""
    backend = Backend(delay=0.05)
    result: dict[str, Any] = {"concurrency": concurrency, "backend_delay_s": 0.05, "budget": 0}
    try:
        with uvicorn(backend.url, budget=0) as (base, _):
            statuses = asyncio.run(concurrent_requests(base, [LEGIT_PREFIX + "one"] * concurrency))
            result["one_key"] = {"statuses": dict(statuses), "backend_requests": backend.total()}
            distinct = [f"{LEGIT_PREFIX}{n}" for n in range(concurrency)]
            for round_name in ("distinct_keys", "distinct_keys_again"):
                before = backend.total()
                statuses = asyncio.run(concurrent_requests(base, distinct))
                result[round_name] = {
                    "statuses": dict(statuses),
                    "backend_requests": backend.total() - before,
                }
    finally:
        backend.shutdown()
        backend.server_close()
    return result


# ---- 3. memory under a million wrong keys ----------------------------------------------------------


def wrong_keys(requests: int, addresses: int, checkpoints: int) -> dict[str, Any]:
    from tervik.mcp.secure import SecureGatehouse

    quiet_logs()
    # No verification budget here: every wrong key reaches the (in-process) backend and the
    # map of refused keys, which is what must stay bounded.
    gate = SecureGatehouse(app, auth_verify_url=VERIFY_URL, max_verifications_per_second=0)
    limits = {
        "max_cached_keys (and as many refused)": 10000,
        "max_tracked_clients": 10000,
        "max_sessions": 10000,
    }
    statuses: Counter[int] = Counter()

    def remember(message: Any) -> Any:
        if message["type"] == "http.response.start":
            statuses[message["status"]] += 1
        return send(message)

    async def run(start: int, count: int) -> None:
        for n in range(start, start + count):
            scope = OPENING | {
                "client": (f"10.{n % addresses // 65536}.{n % addresses // 256 % 256}.{n % addresses % 256}", 40000),
                "headers": [(b"authorization", f"Bearer junk-{n:07d}-{n * 7919 % 1000003}".encode())],
            }  # fmt: skip
            await gate(scope, receive, remember)

    loop = asyncio.new_event_loop()
    snapshots = []
    step = requests // checkpoints
    done = 0
    started = time.monotonic()
    while done < requests:
        with backend_in_process(valid=False):
            loop.run_until_complete(run(done, step))
        done += step
        gc.collect()
        snapshots.append({"requests": done, "rss": resident_bytes(), **gate._stats()})
        print(f"  {done:>9,} requests: RSS {snapshots[-1]['rss'] / 2**20:6.1f} MiB, "
              f"refused keys kept {snapshots[-1]['refused_keys']}, "
              f"client addresses kept {snapshots[-1]['tracked_clients']}", flush=True)  # fmt: skip
    loop.run_until_complete(gate.aclose())
    loop.close()
    first_after_warmup = snapshots[min(1, len(snapshots) - 1)]
    return {
        "requests": requests,
        "addresses": addresses,
        "seconds": time.monotonic() - started,
        "statuses": dict(statuses),
        "limits": limits,
        "snapshots": snapshots,
        "rss_growth_after_first_checkpoint": snapshots[-1]["rss"] - first_after_warmup["rss"],
    }


def resident_bytes() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


# ---- 4. the junk-key flood ------------------------------------------------------------------------


async def flood_from(
    host: str, port: int, seconds: float, addresses: int, connections: int
) -> dict[str, Any]:
    """Distinct wrong keys as fast as the server answers, over `connections` keep-alive
    connections at a time, each from its own loopback address, moving to a fresh address
    after 20 requests (fewer than any failure limit, so none is blocked)."""
    statuses: Counter[int] = Counter()
    deadline = time.monotonic() + seconds
    counter = 0

    async def read_response(reader: asyncio.StreamReader) -> int:
        head = await reader.readuntil(b"\r\n\r\n")
        status = int(head.split(b" ", 2)[1])
        lower = head.lower()
        if b"transfer-encoding: chunked" in lower:
            while True:
                size = int((await reader.readline()).strip(), 16)
                await reader.readexactly(size + 2)
                if size == 0:
                    break
        else:
            match = re.search(rb"content-length: (\d+)", lower)
            await reader.readexactly(int(match.group(1)) if match else 0)
        return status

    async def connection(slot: int) -> None:
        nonlocal counter
        address = slot
        while time.monotonic() < deadline:
            local = f"127.1.{address % addresses // 250}.{address % addresses % 250 + 1}"
            try:
                reader, writer = await asyncio.open_connection(host, port, local_addr=(local, 0))
            except OSError:
                await asyncio.sleep(0.01)
                continue
            try:
                for _ in range(20):
                    if time.monotonic() >= deadline:
                        break
                    counter += 1
                    writer.write(
                        f"GET /mcp HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer junk-{os.getpid()}-{counter}\r\n\r\n".encode()
                    )
                    statuses[await read_response(reader)] += 1
            except (OSError, asyncio.IncompleteReadError):
                pass
            finally:
                writer.close()
            address += connections

    await asyncio.gather(*(connection(slot) for slot in range(connections)))
    return {"statuses": dict(statuses), "requests": sum(statuses.values())}


def wrk_legit(
    base: str, key: str, seconds: float, connections: int, server_pid: int
) -> dict[str, float]:
    import gate_wire

    command = ["wrk", "-t1", f"-c{connections}", f"-d{seconds:g}s",
               "-H", f"Authorization: Bearer {key}", base + "/mcp"]  # fmt: skip
    cpu_before = gate_wire.cpu_seconds(server_pid)
    output = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    cpu = gate_wire.cpu_seconds(server_pid) - cpu_before
    rate = re.search(r"Requests/sec:\s+([\d.]+)", output)
    total = re.search(r"^\s+(\d+) requests in", output, re.MULTILINE)
    bad = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", output)
    if rate is None or total is None:
        raise RuntimeError(f"cannot read wrk's output:\n{output}")
    return {"requests_per_s": float(rate.group(1)), "server_cpu_s": cpu,
            "requests": int(total.group(1)), "non_2xx": int(bad.group(1)) if bad else 0}  # fmt: skip


def flood(gate_class: str, seconds: float, rounds: int) -> dict[str, Any]:
    """Legitimate requests/s with a cached key, alone and under the flood, interleaved."""
    backend = Backend()
    key = LEGIT_PREFIX + "alice"
    result: dict[str, Any] = {
        "gate": gate_class,
        "seconds": seconds,
        "alone": [],
        "flooded": [],
        "flood": [],
    }
    try:
        with uvicorn(backend.url, gate_class) as (base, pid):
            import httpx

            httpx.get(base + "/mcp", headers={"Authorization": f"Bearer {key}"})  # cached from here
            for _ in range(rounds):
                result["alone"].append(wrk_legit(base, key, seconds, 8, pid))
                host, port = urlsplit(base).hostname, urlsplit(base).port
                flooder = subprocess.Popen(
                    [sys.executable, str(Path(__file__).resolve()), "--flood", str(host), str(port), str(seconds + 2)],
                    stdout=subprocess.PIPE, text=True,
                )  # fmt: skip
                time.sleep(1)  # the flood is under way
                result["flooded"].append(wrk_legit(base, key, seconds, 8, pid))
                output, _ = flooder.communicate(timeout=seconds + 60)
                result["flood"].append(json.loads(output))
            stats = httpx.get(
                base + "/stats", headers={"Authorization": f"Bearer {key}"}, timeout=30
            )
            result["gate_stats"] = stats.json() if stats.status_code == 200 else None
    finally:
        backend.shutdown()
        backend.server_close()
    result["backend_requests"] = backend.total()
    alone = common.median(r["requests_per_s"] for r in result["alone"])
    flooded = common.median(r["requests_per_s"] for r in result["flooded"])
    result["legit_alone_rps"], result["legit_flooded_rps"] = alone, flooded
    result["share"] = flooded / alone if alone else None
    return result


# ---- main --------------------------------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller numbers (a few minutes)")
    parser.add_argument("--no-callgrind", action="store_true", help="no instruction counts")
    parser.add_argument("--no-save", action="store_true", help="print only; keep bench/results/")
    parser.add_argument("--worker", nargs=2, metavar=("CASE", "N"), help=argparse.SUPPRESS)
    parser.add_argument(
        "--flood", nargs=3, metavar=("HOST", "PORT", "SECONDS"), help=argparse.SUPPRESS
    )
    options = parser.parse_args()
    if options.worker:
        worker(options.worker[0], int(options.worker[1]))
        return
    if options.flood:
        host, port, seconds = options.flood
        print(json.dumps(asyncio.run(flood_from(host, int(port), float(seconds), 250, 32))))
        return

    quiet_logs()
    info = common.machine()
    print(f"secure gate: {common.machine_line(info)}")
    sha = "sha_ni" in Path("/proc/cpuinfo").read_text() if Path("/proc/cpuinfo").exists() else False
    results: dict[str, Any] = {"machine": info, "cpu_has_sha_extensions": sha}

    callgrind = not options.no_callgrind and shutil.which("valgrind") is not None
    n = 500 if options.quick else 2000
    print(f"\n1. Admission cost per request ({'callgrind, ' if callgrind else ''}wall clock) ...")
    costs = admission_costs(n, rounds=7 if options.quick else 15,
                            batch=1000 if options.quick else 5000, callgrind=callgrind)  # fmt: skip
    text, ratios = admission_report(costs)
    print(text)
    print("   (a cached key is found by its SipHash tag, the same work on every CPU; the "
          "HMAC-SHA256 of a caller runs once per verification)")  # fmt: skip
    results["admission"] = costs | {"ratios": ratios, "target": TARGET_INSTRUCTIONS}

    print("\n2. Single flight under uvicorn, backend answering after 50 ms (budget off) ...")
    flights = single_flight(200)
    print(
        f"   200 concurrent requests, one key: {flights['one_key']['backend_requests']} backend request(s)"
    )
    print(f"   200 distinct keys: {flights['distinct_keys']['backend_requests']}, "
          f"then again: {flights['distinct_keys_again']['backend_requests']} "
          f"(statuses {flights['distinct_keys']['statuses']}, "
          f"then {flights['distinct_keys_again']['statuses']})")  # fmt: skip
    results["single_flight"] = flights

    requests = 100_000 if options.quick else 1_000_000
    print(
        f"\n3. {requests:,} requests with distinct wrong keys from 20,000 addresses, in process ..."
    )
    memory = wrong_keys(requests, 20000, 10)
    print(f"   RSS growth after the first checkpoint: {memory['rss_growth_after_first_checkpoint'] / 2**20:+.1f} MiB; "
          f"statuses {memory['statuses']}")  # fmt: skip
    results["wrong_keys"] = memory

    if shutil.which("wrk") is None:
        print("\n4. Flood: skipped, wrk is not installed (Debian: apt-get install wrk)")
    else:
        seconds, rounds = (4, 1) if options.quick else (8, 3)
        print(f"\n4. Junk-key flood under uvicorn ({rounds} round(s) of {seconds} s) ...")
        secure_flood = flood("SecureGatehouse", seconds, rounds)
        base_flood = flood("ApiKeyGatehouse", 4, 1)
        for name, measured in (("SecureGatehouse", secure_flood), ("ApiKeyGatehouse", base_flood)):
            junk = common.median(f["requests"] for f in measured["flood"]) / measured["seconds"]
            verdict = ""
            if name == "SecureGatehouse":
                met = measured["share"] is not None and measured["share"] >= TARGET_FLOOD_SHARE
                verdict = f" (target >= {TARGET_FLOOD_SHARE:.0%}: {'met' if met else 'missed'})"
            print(f"   {name}: cached-key requests/s alone {measured['legit_alone_rps']:.0f}, "
                  f"under the flood {measured['legit_flooded_rps']:.0f} = "
                  f"{(measured['share'] or 0):.1%}{verdict}; junk answered {junk:.0f}/s")  # fmt: skip
        stats = secure_flood.get("gate_stats") or {}
        print(f"   SecureGatehouse built {stats.get('clients_built', '?')} verification client(s) "
              f"for {secure_flood['backend_requests']} backend requests")  # fmt: skip
        results["flood"] = {"secure": secure_flood, "api_key_gatehouse": base_flood,
                            "target_share": TARGET_FLOOD_SHARE}  # fmt: skip

    if not options.no_save:
        path = common.save("secure_gate", results)
        print(
            f"\nsaved {path.relative_to(Path.cwd()) if path.is_relative_to(Path.cwd()) else path}"
        )


if __name__ == "__main__":
    main()
