"""SecureGatehouse with its shared store (Redis), measured in one run.

1. The success path: instructions per cached admission (callgrind, as secure_gate.py counts
   them: N requests minus 0, the bare app's count subtracted) with the Redis store and with
   the in-memory one, and their ratio. A key the process holds a live verdict for makes no
   round trip, so the two should be close.
2. Round trips, in process against the local redis-server, wall clock: microseconds per
   counted refusal (a wrong key the process has already refused: one round trip to count it)
   beside the same refusal with the in-memory store, and per local miss answered from Redis
   (a key another gate verified: one round trip) beside a cached admission; and the round
   trips each one makes, counted apart with MONITOR (a cached admission: none).
3. Sharing under uvicorn with N workers (N = 1, 2, 4), one Redis, the local verification
   backend of secure_gate.py, with the Redis store and without: distinct junk keys from one
   address, refusals before the first 429; 200 concurrent requests with one new key, backend
   requests; 40 requests in a row with one new key, each on a new connection, backend
   requests; and the workers' store outages (a command beyond store_timeout_seconds).
4. An outage: two workers under a load of cached-key requests, with a trickle of new keys
   (a local miss needs the store) and of wrong keys (counting one needs it); Redis stopped
   for 10 s, then started again (empty, as without persistence). Printed: the statuses
   answered in each phase, the WARNING and INFO lines in the workers' standard error, and
   whether sharing resumes (a new key asked of the backend once over 40 requests, the failure
   limit holding across workers).
5. On the wire: uvicorn with 2 workers loaded by wrk with a cached key, requests/s with the
   Redis store and with the in-memory one (interleaved rounds, medians) and their ratio, the
   workers' CPU time per request of each, and the round trips to Redis meanwhile (none).

Every measure needs redis-server (the program starts its own on a free port, keeping nothing
on disk) and redis-py (``tervik[redis]``); 1 needs valgrind and 5 wrk (Debian packages).
Without them it says what it skips. The verification budget is off throughout: this
program measures what is shared, not the budget, which stays per process. The servers of 3
to 5 set TCP_NODELAY on their connections, which uvicorn's workers do not (NoDelayHTTP).
Results go to bench/results/shared_store-<python>.json.

    python bench/shared_store.py [--quick] [--no-callgrind] [--no-save]
    python bench/shared_store.py --worker URL PREFIX N      (what callgrind runs)
    python bench/shared_store.py --serve N PORT     (the uvicorn server of 3 to 5)
"""

from __future__ import annotations

import argparse
import asyncio
import http.client
import json
import logging
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from contextlib import ExitStack, contextmanager
from pathlib import Path
from typing import Any
from urllib.parse import urlsplit

import common
import secure_gate
from uvicorn.protocols.http.auto import AutoHTTPProtocol

BENCH = Path(__file__).resolve().parent
PREFIX = f"tervik-bench:{os.getpid()}"  # every gate of a run under its own prefix
LEGIT = secure_gate.LEGIT_PREFIX  # the backend confirms these keys and refuses every other
FAILURE_LIMIT = 100  # SecureGatehouse's default
WORKER_COUNTS = (1, 2, 4)
OUTAGE_SECONDS = 10.0
UNREACHABLE = "the shared store is unreachable"
ANSWERS_AGAIN = "the shared store answers again"


class RedisServer:
    """A redis-server of this program's own on a free port, keeping nothing on disk;
    ``stop()`` and ``start()`` again keep its port (and lose its data, as without
    persistence)."""

    def __init__(self) -> None:
        self.port = common.free_port()
        self.url = f"redis://127.0.0.1:{self.port}/0"
        self._folder = tempfile.TemporaryDirectory(prefix="shared-store-redis-")
        self._running = ExitStack()

    def start(self) -> None:
        command = [
            "redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--save", "",
            "--appendonly", "no", "--dir", self._folder.name,
            "--logfile", str(Path(self._folder.name) / "redis.log"),
        ]  # fmt: skip
        self._running.enter_context(common.serving(command, self.port, timeout=10))

    def stop(self) -> None:
        self._running.close()

    @contextmanager
    def sent(self) -> Iterator[list[str]]:
        """The commands clients send Redis while the block runs, as MONITOR sees them: one a
        round trip (not the commands its scripts run), the full list once the block ends."""
        import redis

        marker = f"tervik-bench-marker-{time.monotonic_ns()}"
        seen: list[tuple[str, str]] = []  # (client, command)
        commands: list[str] = []
        watching = threading.Event()

        def watch() -> None:
            with redis.Redis(port=self.port).monitor() as monitor:
                watching.set()
                for command in monitor.listen():
                    client = f"{command.get('client_address')}:{command.get('client_port')}"
                    if marker in command["command"]:  # the end, and the marker's client
                        commands.extend(c for by, c in seen if by != client)
                        return
                    if command.get("client_type") != "lua":
                        seen.append((client, command["command"]))

        thread = threading.Thread(target=watch, daemon=True)
        thread.start()
        watching.wait(10)
        try:
            yield commands
        finally:
            with redis.Redis(port=self.port) as client:
                client.echo(marker)
            thread.join(10)

    def keys(self, pattern: str) -> list[bytes]:
        import redis

        with redis.Redis(port=self.port) as client:
            return list(client.scan_iter(pattern))

    def __enter__(self) -> RedisServer:
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()
        self._folder.cleanup()


def store_supported() -> bool:
    from tervik.mcp.secure import SecureGatehouse

    try:
        SecureGatehouse(secure_gate.app, api_key="k", store=None)
    except TypeError:
        return False
    return True


# ---- 1. the success path, in instructions -------------------------------------------------------


def worker(url: str, prefix: str, n: int) -> None:
    """Run under callgrind: secure_gate.py's cached remote admission, with the Redis store
    (a generous bound on its commands: callgrind runs everything some 50 times slower)."""
    secure_gate.quiet_logs()
    store = {"store": url, "store_prefix": prefix, "store_timeout_seconds": 10.0}
    common.marked_spans(secure_gate.driver("secure-remote-cached", **store), n)


def instructions(redis: RedisServer, n: int) -> dict[str, Any]:
    prefix = f"{PREFIX}:callgrind"
    program = Path(__file__).resolve()
    jobs = {
        "bare": lambda: secure_gate.count_instructions("bare", n),
        "memory": lambda: secure_gate.count_instructions("secure-remote-cached", n),
        "redis": lambda: common.count_instructions(program, [redis.url, prefix], n),
    }
    with ThreadPoolExecutor(max_workers=2) as pool:
        counts = dict(zip(jobs, pool.map(lambda job: job(), jobs.values()), strict=True))
    if not redis.keys(f"{prefix}:v:*"):
        raise RuntimeError("the callgrind child's gate wrote no verdict to Redis")
    memory, shared = counts["memory"] - counts["bare"], counts["redis"] - counts["bare"]
    return {"requests": n, "per_request": counts, "added": {"memory": memory, "redis": shared},
            "ratio": shared / memory}  # fmt: skip


# ---- 2. round trips, in process -----------------------------------------------------------------


def request(key: str, address: str) -> dict[str, Any]:
    """A request with ``key`` from ``address`` that names no session."""
    headers = [h for h in secure_gate.HEADERS if h[0] != b"authorization"]
    return secure_gate.OPENING | {
        "client": (address, 40000),
        "headers": [*headers, (b"authorization", b"Bearer " + key.encode())],
    }


def round_trips(redis: RedisServer, requests: int, keys: int, rounds: int) -> dict[str, Any]:
    import gate_overhead

    from tervik.mcp.secure import SecureGatehouse

    secure_gate.quiet_logs()
    loop = asyncio.new_event_loop()
    statuses: dict[str, Counter[int]] = {}
    options: dict[str, Any] = {
        "auth_verify_url": secure_gate.VERIFY_URL, "max_verifications_per_second": 0,
        "cache_seconds": 600, "negative_cache_seconds": 600, "failure_limit": 10**9,
    }  # fmt: skip
    # a bound that a busy machine does not reach: a timeout would send a request elsewhere
    shared: dict[str, Any] = {"store": redis.url, "store_prefix": f"{PREFIX}:in-process",
              "store_timeout_seconds": 0.5}  # fmt: skip

    def timed(gate: Any, scopes: list[dict[str, Any]], kind: str) -> float:
        """Microseconds per request of ``scopes``, one after another; statuses kept."""
        seen = statuses.setdefault(kind, Counter())

        async def remember(message: Any) -> None:
            if message["type"] == "http.response.start":
                seen[message["status"]] += 1

        async def run() -> None:
            for scope in scopes:
                await gate(scope, gate_overhead.receive, remember)

        started = time.perf_counter_ns()
        loop.run_until_complete(run())
        return (time.perf_counter_ns() - started) / len(scopes) / 1000

    # counted refusals: a wrong key refused once (and kept), then presented again and again
    wrong = request("junk-refused", "127.0.0.2")
    refusing = {
        "memory": SecureGatehouse(gate_overhead.app, **options),
        "redis": SecureGatehouse(gate_overhead.app, **options, **shared),
    }
    with secure_gate.backend_in_process(valid=False):
        for gate in refusing.values():
            timed(gate, [dict(wrong)], "first refusal")
    refusal: dict[str, list[float]] = {"memory": [], "redis": []}
    for number in range(rounds):
        for store in ("memory", "redis") if number % 2 == 0 else ("redis", "memory"):
            scopes = [dict(wrong) for _ in range(requests)]
            refusal[store].append(timed(refusing[store], scopes, "counted refusal"))

    # local misses: keys one gate verified, presented to fresh gates of the same store
    names = [f"{LEGIT}miss-{n}" for n in range(keys)]
    writer = SecureGatehouse(gate_overhead.app, **options, **shared)
    with secure_gate.backend_in_process(valid=True):
        timed(writer, [request(key, "127.0.0.1") for key in [*names, LEGIT + "warm"]], "written")
    misses, hits, readers = [], [], []
    # A request that reached the backend from here on would be refused (and show as a 401).
    with secure_gate.backend_in_process(valid=False):
        for _ in range(rounds + 1):
            reader = SecureGatehouse(gate_overhead.app, **options, **shared)
            readers.append(reader)
            timed(reader, [request(LEGIT + "warm", "127.0.0.1")], "local miss")  # its pool
            if len(readers) <= rounds:
                misses.append(timed(reader, [request(k, "127.0.0.1") for k in names], "local miss"))
                hits.append(timed(reader, [request(k, "127.0.0.1") for k in names], "cached"))

        # The round trips of each, counted apart from the timing (MONITOR slows Redis down).
        sample = names[:50]
        sent: dict[str, list[str]] = {}
        with redis.sent() as sent["counted refusal"]:
            timed(refusing["redis"], [dict(wrong) for _ in sample], "counted refusal")
        with redis.sent() as sent["local miss"]:
            timed(readers[-1], [request(key, "127.0.0.1") for key in sample], "local miss")
        with redis.sent() as sent["cached admission"]:
            timed(readers[-1], [request(key, "127.0.0.1") for key in sample], "cached")
    gates = [*refusing.values(), writer, *readers]
    outages = sum(gate._stats().get("store_outages", 0) for gate in gates)
    for gate in gates:
        loop.run_until_complete(gate.aclose())
    loop.close()
    return {
        "requests": requests, "keys": keys, "rounds": rounds,
        "counted_refusal_us": {store: common.median(v) for store, v in refusal.items()},
        "local_miss_us": common.median(misses),
        "cached_admission_us": common.median(hits),
        "round_trips_per_request": {kind: len(commands) / len(sample) for kind, commands in sent.items()},
        "commands_sent": {kind: dict(Counter(c.split()[0] for c in commands)) for kind, commands in sent.items()},
        "statuses": {kind: dict(seen) for kind, seen in statuses.items()},
        "store_outages": outages,
    }  # fmt: skip


# ---- what uvicorn serves (imported by it as shared_store:served) --------------------------------


def _served() -> Any:
    """The gated app of a uvicorn worker, configured by environment; every response says
    which worker answered it (``x-worker``), and /stats answers the gate's _stats()."""
    url = os.environ.get("SHARED_STORE_VERIFY_URL")
    if url is None:
        return None
    from tervik.mcp.secure import SecureGatehouse

    if os.environ.get("SHARED_STORE_LOG"):  # the gate's WARNING and INFO lines on stderr
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
        logger = logging.getLogger("tervik.mcp")
        logger.addHandler(handler)
        logger.setLevel(logging.INFO)
        logging.getLogger("httpx").setLevel(logging.WARNING)
    else:
        secure_gate.quiet_logs()
    pid = str(os.getpid()).encode()
    gate: Any = None

    async def inner(scope: Any, receive: Any, send: Any) -> None:
        body = b"{}"
        if scope.get("path") == "/stats":
            body = json.dumps({"pid": os.getpid(), **gate._stats()}).encode()
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-type", b"application/json")]})  # fmt: skip
        await send({"type": "http.response.body", "body": body})

    store = os.environ.get("SHARED_STORE_REDIS")
    options: dict[str, Any] = {}
    if store:
        options = {"store": store, "store_prefix": os.environ["SHARED_STORE_PREFIX"]}
        if timeout := os.environ.get("SHARED_STORE_TIMEOUT"):
            options["store_timeout_seconds"] = float(timeout)
    gate = SecureGatehouse(inner, auth_verify_url=url, max_verifications_per_second=0, **options)

    async def tagged(scope: Any, receive: Any, send: Any) -> None:
        async def tagging(message: Any) -> None:
            if message["type"] == "http.response.start":
                message = message | {"headers": [*message.get("headers", ()), (b"x-worker", pid)]}
            await send(message)

        await gate(scope, receive, tagging)

    return tagged


# Only where uvicorn imports it: not again as the __mp_main__ of its spawned workers.
served = _served() if __name__ == "shared_store" else None


class NoDelayHTTP(AutoHTTPProtocol):  # type: ignore[misc, valid-type]
    """uvicorn's HTTP protocol, with Nagle's algorithm off as a single uvicorn process has it.

    Under ``--workers N`` uvicorn makes the listening socket without IPPROTO_TCP, so asyncio
    leaves Nagle's algorithm on for its connections (uvicorn issue #3149), and on a kept-alive
    connection a response written in two parts (head, then body) waits for the client's
    delayed ACK: about 44 ms a request, whatever the application does."""

    def connection_made(self, transport: Any) -> None:
        transport.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        super().connection_made(transport)


def serve(n: int, port: int) -> None:
    """What ``workers()`` runs: shared_store:served on 127.0.0.1:``port`` from n uvicorn
    workers, each connection without Nagle's algorithm (NoDelayHTTP)."""
    import uvicorn

    uvicorn.run(
        "shared_store:served", host="127.0.0.1", port=port, workers=n, loop="asyncio",
        http="shared_store:NoDelayHTTP", access_log=False, lifespan="off", log_level="warning",
        backlog=4096,
    )  # fmt: skip


@contextmanager
def workers(
    n: int, verify_url: str, store: str | None, prefix: str, stderr: Any = None, log: bool = False
) -> Iterator[tuple[str, subprocess.Popen[bytes]]]:
    """shared_store:served under uvicorn with n workers, every worker up; yields its base URL
    and the server process."""
    port = common.free_port()
    command = [sys.executable, str(Path(__file__).resolve()), "--serve", str(n), str(port)]
    env = dict(os.environ, SHARED_STORE_VERIFY_URL=verify_url, SHARED_STORE_REDIS=store or "",
               SHARED_STORE_PREFIX=prefix, SHARED_STORE_LOG="1" if log else "")  # fmt: skip
    with common.serving(command, port, env, stderr) as server:
        base = f"http://127.0.0.1:{port}"
        deadline = time.monotonic() + 60
        seen: set[str] = set()
        while len(seen) < n:  # requests without a key, on new connections, until each answered
            if time.monotonic() > deadline:
                raise RuntimeError(f"only {len(seen)} of {n} uvicorn workers answered")
            try:
                seen.add(get(base, None)[1])
            except OSError:
                time.sleep(0.05)
        yield base, server


def get(
    base: str, key: str | None, address: str = "127.0.0.1", path: str = "/mcp"
) -> tuple[int, str]:
    """One GET on a new connection from ``address``: its status and the worker that answered."""
    parts = urlsplit(base)
    connection = http.client.HTTPConnection(
        str(parts.hostname), parts.port, timeout=30, source_address=(address, 0)
    )
    try:
        connection.request("GET", path, headers={"Authorization": f"Bearer {key}"} if key else {})
        response = connection.getresponse()
        response.read()
        return response.status, response.getheader("x-worker", "?")
    finally:
        connection.close()


def warm(base: str, key: str, n: int) -> None:
    """Requests with ``key`` on new connections until each of the n workers answered one, so
    that each holds a live verdict for it."""
    seen: set[str] = set()
    for _ in range(100 * n):
        seen.add(get(base, key)[1])
        if len(seen) == n:
            return
    raise RuntimeError(f"only {len(seen)} of {n} workers answered a request with the key")


def asked(backend: secure_gate.Backend, key: str) -> int:
    with backend.lock:
        return backend.asked[key]


def worker_stats(base: str, n: int) -> dict[str, dict[str, Any]]:
    """Each worker's _stats(), asked on new connections until all n answered."""
    stats: dict[str, dict[str, Any]] = {}
    for _ in range(50 * n):
        worker, answer = stats_of(base)
        stats.setdefault(worker, answer)
        if len(stats) == n:
            break
    return stats


def stats_of(base: str) -> tuple[str, dict[str, Any]]:
    """The _stats() of whichever worker answers, with its pid."""
    parts = urlsplit(base)
    connection = http.client.HTTPConnection(str(parts.hostname), parts.port, timeout=30)
    try:
        connection.request("GET", "/stats", headers={"Authorization": f"Bearer {LEGIT}cached"})
        response = connection.getresponse()
        return response.getheader("x-worker", "?"), json.loads(response.read())
    finally:
        connection.close()


# ---- 3. sharing under uvicorn workers -----------------------------------------------------------


def refusals_before_429(base: str, address: str, most: int) -> dict[str, Any]:
    """Distinct junk keys from ``address``, one after another, until the first 429."""
    refused, others, answered_by = 0, Counter[int](), set()
    for n in range(most):
        status, worker = get(base, f"junk-{address}-{n}", address)
        answered_by.add(worker)
        if status == 429:
            return {"refusals": refused, "blocked": True, "workers": len(answered_by),
                    "other_statuses": dict(others)}  # fmt: skip
        if status == 401:
            refused += 1
        else:
            others[status] += 1
    return {"refusals": refused, "blocked": False, "workers": len(answered_by),
            "other_statuses": dict(others)}  # fmt: skip


def in_a_row(base: str, backend: secure_gate.Backend, key: str, count: int = 40) -> dict[str, Any]:
    """``count`` requests with one new key, each on a new connection: what the backend saw."""
    answers = [get(base, key) for _ in range(count)]
    return {"statuses": dict(Counter(status for status, _ in answers)),
            "backend_requests": asked(backend, key),
            "workers": len({worker for _, worker in answers})}  # fmt: skip


def sharing(redis: RedisServer, n: int, shared: bool) -> dict[str, Any]:
    backend = secure_gate.Backend()
    store = redis.url if shared else None
    try:
        with workers(n, backend.url, store, f"{PREFIX}:workers-{n}") as (base, _):
            junk = refusals_before_429(base, "127.0.0.2", FAILURE_LIMIT * n + 20)
            backend.delay = 0.05  # so that the 200 requests overlap the verification
            key = LEGIT + "together"
            statuses = asyncio.run(secure_gate.concurrent_requests(base, [key] * 200))
            backend.delay = 0.0
            together = {"statuses": dict(statuses), "backend_requests": asked(backend, key)}
            row = in_a_row(base, backend, LEGIT + "in-a-row")
            stats = worker_stats(base, n)
    finally:
        backend.shutdown()
        backend.server_close()
    return {"workers": n, "store": "redis" if shared else "memory", "junk": junk,
            "concurrent": together, "in_a_row": row, "worker_stats": stats,
            "store_outages": sum(s.get("store_outages", 0) for s in stats.values())}  # fmt: skip


def sharing_report(runs: list[dict[str, Any]]) -> str:
    rows = []
    for run in runs:
        junk = run["junk"]
        refusals = f"{junk['refusals']}" + ("" if junk["blocked"] else " (no 429)")
        rows.append([
            f"{run['workers']} worker(s), {'Redis' if run['store'] == 'redis' else 'in memory'}",
            refusals,
            str(run["concurrent"]["backend_requests"]),
            str(run["in_a_row"]["backend_requests"]),
            f"{junk['workers']} / {run['in_a_row']['workers']}",
            str(run["store_outages"]) if run["store"] == "redis" else "-",
        ])  # fmt: skip
    header = ["workers, store", "refusals before 429", "backend: 200 at once",
              "backend: 40 in a row", "workers answering (junk / 40)", "store outages"]  # fmt: skip
    return common.table(header, rows)


# ---- 4. an outage -------------------------------------------------------------------------------


async def load_through_outage(
    base: str, redis: RedisServer, before: float, outage: float, after: float
) -> dict[str, dict[str, dict[int, int]]]:
    """Cached-key requests over 4 kept-alive connections, and five a second each of new keys
    and of wrong keys (new connections), while Redis runs, is stopped, and runs again."""
    import httpx

    state: dict[str, Any] = {"phase": "before", "stop": False}
    seen: dict[str, dict[str, Counter[int]]] = {}

    def record(kind: str, status: int) -> None:
        seen.setdefault(state["phase"], {}).setdefault(kind, Counter())[status] += 1

    async def cached(client: httpx.AsyncClient) -> None:
        while not state["stop"]:
            try:
                answer = await client.get(
                    base + "/mcp", headers={"Authorization": f"Bearer {LEGIT}cached"}
                )
                record("cached key", answer.status_code)
            except httpx.HTTPError:
                record("cached key", 0)

    async def trickle(kind: str, key: str, address: str) -> None:
        transport = httpx.AsyncHTTPTransport(
            local_address=address, limits=httpx.Limits(max_keepalive_connections=0)
        )
        async with httpx.AsyncClient(transport=transport, timeout=30) as client:
            number = 0
            while not state["stop"]:
                number += 1
                try:
                    answer = await client.get(
                        base + "/mcp", headers={"Authorization": f"Bearer {key}{number}"}
                    )
                    record(kind, answer.status_code)
                except httpx.HTTPError:
                    record(kind, 0)
                await asyncio.sleep(0.2)

    limits = httpx.Limits(max_connections=4, max_keepalive_connections=4)
    async with httpx.AsyncClient(limits=limits, timeout=30) as client:
        tasks = [asyncio.ensure_future(cached(client)) for _ in range(4)]
        tasks.append(asyncio.ensure_future(trickle("new key", LEGIT + "new-", "127.0.0.1")))
        tasks.append(asyncio.ensure_future(trickle("wrong key", "junk-outage-", "127.0.0.3")))
        await asyncio.sleep(before)
        state["phase"] = "outage"
        await asyncio.to_thread(redis.stop)
        await asyncio.sleep(outage)
        await asyncio.to_thread(redis.start)
        state["phase"] = "after"
        await asyncio.sleep(after)
        state["stop"] = True
        await asyncio.gather(*tasks)
    return {phase: {kind: dict(c) for kind, c in kinds.items()} for phase, kinds in seen.items()}


def outage(redis: RedisServer, seconds: float) -> dict[str, Any]:
    backend = secure_gate.Backend()
    with tempfile.TemporaryFile() as log:
        try:
            with workers(2, backend.url, redis.url, f"{PREFIX}:outage", log, log=True) as (base, _):
                warm(base, LEGIT + "cached", 2)
                phases = asyncio.run(load_through_outage(base, redis, 3.0, seconds, 5.0))
                resumed = {
                    "in_a_row": in_a_row(base, backend, LEGIT + "after-restart"),
                    "junk": refusals_before_429(base, "127.0.0.4", FAILURE_LIMIT * 2 + 20),
                }
                stats = worker_stats(base, 2)
        finally:
            backend.shutdown()
            backend.server_close()
        log.seek(0)
        lines = log.read().decode(errors="replace").splitlines()
    expected = {"cached key": 200, "new key": 200, "wrong key": 401}
    errors = {
        phase: sum(count for kind, statuses in kinds.items() for status, count in statuses.items()
                   if status != expected[kind])
        for phase, kinds in phases.items()
    }  # fmt: skip
    without = [
        int(m) for line in lines for m in re.findall(r"(\d+) requests were served without it", line)
    ]
    return {
        "outage_seconds": seconds,
        "phases": phases,
        "unexpected_answers": errors,
        "warnings": [line for line in lines if UNREACHABLE in line],
        "infos": [line for line in lines if ANSWERS_AGAIN in line],
        "served_without_store_logged": without,
        "worker_stats": stats,
        "resumed": resumed,
        "tracebacks": sum("Traceback" in line for line in lines),
    }


# ---- 5. on the wire -----------------------------------------------------------------------------


def wire(redis: RedisServer, seconds: float, rounds: int) -> dict[str, Any]:
    """Cached-key requests/s, wrk against two --workers 2 servers in turn: one with the
    Redis store, one in memory; and the workers' CPU time per request, which load from other
    programs on the machine disturbs far less."""
    import gate_wire

    def workers_cpu(server: subprocess.Popen[bytes]) -> float:
        return sum(gate_wire.cpu_seconds(pid) for pid in gate_wire.children(server.pid))

    backend = secure_gate.Backend()
    key = LEGIT + "wire"
    runs: dict[str, list[dict[str, float]]] = {"redis": [], "memory": []}
    commands = 0
    try:
        with (
            workers(2, backend.url, redis.url, f"{PREFIX}:wire") as (redis_base, redis_server),
            workers(2, backend.url, None, "") as (memory_base, memory_server),
        ):
            servers = {"redis": (redis_base, redis_server), "memory": (memory_base, memory_server)}
            for base, _ in servers.values():
                warm(base, key, 2)
            for number in range(rounds):
                for store in ("redis", "memory") if number % 2 == 0 else ("memory", "redis"):
                    base, server = servers[store]
                    cpu_before = workers_cpu(server)
                    with redis.sent() as sent:
                        run = secure_gate.wrk_legit(base, key, seconds, 16, server.pid)
                    cpu_used = workers_cpu(server) - cpu_before
                    run["workers_cpu_us"] = cpu_used / run["requests"] * 1e6
                    runs[store].append(run)
                    if store == "redis":
                        commands += len(sent)
    finally:
        backend.shutdown()
        backend.server_close()
    rates = {
        store: common.median(r["requests_per_s"] for r in measured)
        for store, measured in runs.items()
    }
    cpu = {
        store: common.median(r["workers_cpu_us"] for r in measured)
        for store, measured in runs.items()
    }
    return {"seconds": seconds, "rounds": rounds, "runs": runs, "requests_per_s": rates,
            "ratio": rates["redis"] / rates["memory"], "workers_cpu_us": cpu,
            "cpu_share": cpu["memory"] / cpu["redis"], "round_trips_during_redis_runs": commands,
            "non_2xx": sum(r["non_2xx"] for measured in runs.values() for r in measured)}  # fmt: skip


# ---- main ---------------------------------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller numbers (a few minutes)")
    parser.add_argument("--no-callgrind", action="store_true", help="no instruction counts")
    parser.add_argument("--no-save", action="store_true", help="print only; keep bench/results/")
    parser.add_argument("--worker", nargs=3, metavar=("URL", "PREFIX", "N"), help=argparse.SUPPRESS)
    parser.add_argument("--serve", nargs=2, metavar=("N", "PORT"), help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.worker:
        url, prefix, n = options.worker
        worker(url, prefix, int(n))
        return
    if options.serve:
        serve(int(options.serve[0]), int(options.serve[1]))
        return

    secure_gate.quiet_logs()
    info = common.machine()
    print(f"shared store: {common.machine_line(info)}")
    results: dict[str, Any] = {"machine": info}
    if shutil.which("redis-server") is None:
        print("skipped: redis-server is not installed (Debian: apt-get install redis-server); "
              "every measure here needs it")  # fmt: skip
        return
    try:
        import redis  # noqa: F401
    except ImportError:
        print("skipped: redis-py is not installed (pip install 'tervik[redis]'); every measure "
              "here needs it")  # fmt: skip
        return
    if not store_supported():
        sys.exit("shared_store.py: this build's SecureGatehouse takes no store= option")

    with RedisServer() as server:
        print(f"(redis-server {server.url}, nothing kept on disk)")
        if options.no_callgrind or shutil.which("valgrind") is None:
            why = "--no-callgrind" if options.no_callgrind else "valgrind is not installed"
            print(f"\n1. Instructions per cached admission: skipped, {why}")
        else:
            n = 500 if options.quick else 2000
            print(f"\n1. Instructions per cached admission (callgrind, {n} requests) ...")
            counted = instructions(server, n)
            added = counted["added"]
            print(f"   bare app {counted['per_request']['bare'] / 1000:.1f}k; added: in-memory store "
                  f"+{added['memory'] / 1000:.1f}k, Redis store +{added['redis'] / 1000:.1f}k = "
                  f"{counted['ratio']:.2f}x")  # fmt: skip
            results["instructions"] = counted

        requests, keys, rounds = (2000, 1000, 3) if options.quick else (20000, 5000, 5)
        print(f"\n2. Round trips in process (wall clock, {rounds} rounds, medians) ...")
        trips = round_trips(server, requests, keys, rounds)
        refusal = trips["counted_refusal_us"]
        per = trips["round_trips_per_request"]
        print(f"   counted refusal: {refusal['redis']:.1f} µs with Redis, {refusal['memory']:.1f} µs "
              f"in memory (+{refusal['redis'] - refusal['memory']:.1f} µs; "
              f"{per['counted refusal']:g} round trip(s) each)")  # fmt: skip
        print(f"   local miss answered from Redis: {trips['local_miss_us']:.1f} µs, a cached "
              f"admission {trips['cached_admission_us']:.1f} µs "
              f"(+{trips['local_miss_us'] - trips['cached_admission_us']:.1f} µs; "
              f"{per['local miss']:g} round trip(s) each, a cached admission "
              f"{per['cached admission']:g})")  # fmt: skip
        print(f"   commands sent: {trips['commands_sent']}")
        print(f"   statuses {trips['statuses']}; store outages {trips['store_outages']}")
        results["round_trips"] = trips

        print(f"\n3. Sharing under uvicorn --workers N (N = {', '.join(map(str, WORKER_COUNTS))}; "
              f"failure limit {FAILURE_LIMIT}, budget off) ...")  # fmt: skip
        runs = [sharing(server, n, shared) for n in WORKER_COUNTS for shared in (True, False)]
        print("\n".join("   " + line for line in sharing_report(runs).splitlines()))
        statuses = Counter[int]()
        for run in runs:
            statuses.update(run["concurrent"]["statuses"])
            statuses.update(run["in_a_row"]["statuses"])
        print(f"   statuses of the keyed requests: {dict(statuses)}")
        results["sharing"] = runs

        print(f"\n4. Redis stopped for {OUTAGE_SECONDS:.0f} s under load, two workers ...")
        down = outage(server, OUTAGE_SECONDS)
        for phase in ("before", "outage", "after"):
            kinds = down["phases"].get(phase, {})
            text = "; ".join(f"{kind} {statuses}" for kind, statuses in kinds.items())
            print(f"   {phase}: {text} ({down['unexpected_answers'].get(phase, 0)} unexpected)")
        print(f"   workers' stderr: {len(down['warnings'])} WARNING ({UNREACHABLE!r}), "
              f"{len(down['infos'])} INFO ({ANSWERS_AGAIN!r}; served without it: "
              f"{down['served_without_store_logged']}), {down['tracebacks']} tracebacks")  # fmt: skip
        stats = down["worker_stats"].values()
        print(f"   _stats(): store_outages {[s.get('store_outages') for s in stats]}, "
              f"served_without_store {[s.get('served_without_store') for s in stats]}")  # fmt: skip
        resumed = down["resumed"]
        print(f"   after the restart: a new key, 40 requests on {resumed['in_a_row']['workers']} "
              f"worker(s): {resumed['in_a_row']['backend_requests']} backend request(s); junk "
              f"keys: {resumed['junk']['refusals']} refusals before 429 on "
              f"{resumed['junk']['workers']} worker(s)")  # fmt: skip
        results["outage"] = down

        if shutil.which("wrk") is None:
            print("\n5. On the wire: skipped, wrk is not installed (Debian: apt-get install wrk)")
        else:
            seconds, rounds = (3, 2) if options.quick else (8, 5)
            print(f"\n5. On the wire: uvicorn --workers 2, wrk -c16, cached key, {rounds} "
                  f"round(s) of {seconds} s ...")  # fmt: skip
            measured = wire(server, seconds, rounds)
            rates = measured["requests_per_s"]
            cpu = measured["workers_cpu_us"]
            print(f"   requests/s: Redis store {rates['redis']:.0f}, in memory {rates['memory']:.0f} "
                  f"= {measured['ratio']:.1%}; workers' CPU per request {cpu['redis']:.1f} µs "
                  f"and {cpu['memory']:.1f} µs = {measured['cpu_share']:.1%}")  # fmt: skip
            print(f"   round trips to Redis during the Redis store's runs: "
                  f"{measured['round_trips_during_redis_runs']}; non-2xx: {measured['non_2xx']}")  # fmt: skip
            results["wire"] = measured

    if not options.no_save:
        path = common.save("shared_store", results)
        print(
            f"\nsaved {path.relative_to(Path.cwd()) if path.is_relative_to(Path.cwd()) else path}"
        )


if __name__ == "__main__":
    main()
