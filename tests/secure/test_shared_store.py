"""SecureGatehouse with the shared Redis store: gates in several processes keep one failure
limit, one set of verdicts and one verification in flight per key; the success path never
leaves memory; Redis that is down, restarted empty, hanging or interrupted by cancellations
neither stops a gate nor admits a key nobody confirmed; no form of a key is ever stored."""

from __future__ import annotations

import asyncio
import base64
import contextlib
import gc
import hashlib
import json
import logging
import random
import re
import socket
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, NamedTuple
from urllib.parse import quote, quote_plus

import httpx
import pytest

from tervik.mcp.secure import SecureGatehouse
from tests.conftest import python_env
from tests.gate.conftest import Reply

from .conftest import App, http_scope, lines, request
from .redis_server import (  # noqa: F401  (fixtures)
    RedisServer,
    redis,
    redis_server_fixture,
    silent_redis_fixture,
    start_redis_fixture,
)

ROOT = Path(__file__).resolve().parents[2]
ADA = {"api_key": "key-ada", "user_id": "ada", "email": "ada@example.test"}
DOWN, UP = "shared store is unreachable", "shared store answers again"


@pytest.fixture
def backend(verify_backend):
    backend = verify_backend()
    backend.valid(key="key-ada", user_id="ada", email="ada@example.test")
    return backend


def asked(backend, key: str) -> int:
    return sum(seen.api_key == key for seen in backend.requests)


class GateProcess(NamedTuple):
    url: str
    log: Path

    async def get(self, client: httpx.AsyncClient, key: str) -> httpx.Response:
        return await client.get(self.url + "/mcp", headers={"Authorization": f"Bearer {key}"})


@pytest.fixture
def gate_processes(tmp_path):
    """``gate_processes(store, verify_url, **options) -> [a, b]``: two uvicorn processes
    serving shared_gate_app with those gate options; stopped at teardown."""
    started: list[subprocess.Popen[bytes]] = []

    def start(store: str, verify_url: str, **options: Any) -> list[GateProcess]:
        env = python_env(SHARED_GATE_STORE=store, SHARED_GATE_VERIFY_URL=verify_url,
                         SHARED_GATE_OPTIONS=json.dumps(options))  # fmt: skip
        gates = []
        for _ in range(2):
            with socket.create_server(("127.0.0.1", 0)) as listener:  # handed over: no races
                port, fd = listener.getsockname()[1], listener.fileno()
                gate = GateProcess(f"http://127.0.0.1:{port}", tmp_path / f"gate-{port}.log")
                command = [sys.executable, "-m", "uvicorn", "tests.secure.shared_gate_app:create_app",
                           "--factory", "--fd", str(fd), "--lifespan", "on", "--no-access-log"]  # fmt: skip
                with gate.log.open("wb") as log:
                    started.append(subprocess.Popen(command, cwd=ROOT, env=env, stdout=log,
                                                    stderr=log, pass_fds=[fd]))  # fmt: skip
            gates.append(gate)
        for gate, process in zip(gates, started[-2:], strict=True):
            deadline = time.monotonic() + 20
            while not _answers(gate.url + "/healthz"):
                if process.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError(f"{gate.url} did not start:\n{gate.log.read_text()}")
                time.sleep(0.05)
        return gates

    yield start
    for process in started:
        process.terminate()
    for process in started:
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def _answers(url: str) -> bool:
    try:
        return httpx.get(url, timeout=1).status_code == 200
    except httpx.TransportError:
        return False


def commands_since_reset(server: RedisServer) -> dict[str, int]:
    """The commands Redis ran since CONFIG RESETSTAT, but for what asking it costs."""
    with server.client() as client:
        stats = client.info("commandstats")
    calls = {name.removeprefix("cmdstat_"): entry["calls"] for name, entry in stats.items()}
    asking = ("info", "config", "client", "hello")
    return {name: n for name, n in calls.items() if name.split("|")[0] not in asking}


# ---- across processes -------------------------------------------------------------------------


async def test_the_failure_limit_holds_across_processes(redis_server, backend, gate_processes):
    a, b = gate_processes(redis_server.url, backend.url, failure_limit=4)
    async with httpx.AsyncClient(timeout=5) as client:
        statuses = [(await (a, b)[i % 2].get(client, f"junk-{i}")).status_code for i in range(12)]
        assert 429 in statuses, statuses
        refused = statuses.index(429)
        assert 4 <= refused <= 6 and set(statuses[refused:]) == {429}, statuses
        for gate in (a, b):  # a good key never seen is not even verified for the address
            answer = await gate.get(client, "key-ada")
            assert answer.status_code == 429 and int(answer.headers["retry-after"]) > 0
    assert asked(backend, "key-ada") == 0


@pytest.mark.parametrize("unix", [False, True], ids=["tcp", "unix socket"])
async def test_a_verdict_made_in_one_process_is_used_by_the_other(
    start_redis, backend, gate_processes, unix
):
    server = start_redis(unix=unix)
    a, b = gate_processes(server.url, backend.url)
    async with httpx.AsyncClient(timeout=5) as client:
        for key, status in [("key-ada", 200), ("refused-key", 401)]:
            answers = [await gate.get(client, key) for gate in (a, b)]
            assert [answer.status_code for answer in answers] == [status, status]
            assert asked(backend, key) == 1
        assert answers[0].json()["error"] == answers[1].json()["error"]
        with server.client() as redis_client:
            redis_client.config_resetstat()
        for _ in range(5):  # a live verdict in the process: Redis is not asked
            for gate in (a, b):
                assert (await gate.get(client, "key-ada")).json()["identity"] == ADA
    assert commands_since_reset(server) == {}


@pytest.mark.parametrize(("valid", "status"), [(True, 200), (False, 401)], ids=["yes", "no"])
async def test_a_burst_across_processes_makes_one_backend_request(
    redis_server, backend, gate_processes, valid, status
):
    backend.answer(Reply(body=json.dumps({"valid": valid, "user_id": "b"}).encode(), delay=0.5))
    a, b = gate_processes(redis_server.url, backend.url)
    async with httpx.AsyncClient(timeout=10, limits=httpx.Limits(max_connections=50)) as client:
        for gate in (a, b):  # processes that have been running for a while
            assert (await gate.get(client, "key-ada")).status_code == 200
        answers = await asyncio.gather(*((a, b)[i % 2].get(client, "key-burst") for i in range(24)))
    assert {answer.status_code for answer in answers} == {status}
    if valid:  # both processes admitted it
        assert len({answer.json()["pid"] for answer in answers}) == 2
    assert asked(backend, "key-burst") == 1


async def test_a_redis_restart_mid_run_stops_nothing_and_sharing_resumes(
    redis_server, backend, gate_processes
):
    backend.answer(lambda key: {"valid": not key.startswith("bad"), "user_id": key})
    gates = gate_processes(redis_server.url, backend.url)
    async with httpx.AsyncClient(timeout=5) as client:
        for gate in gates:
            assert (await gate.get(client, "key-ada")).status_code == 200
        redis_server.stop()
        for i, gate in enumerate(gates * 6):
            assert (await gate.get(client, "key-ada")).json()["identity"] == ADA
            assert (await gate.get(client, f"new-{i}")).json()["identity"]["user_id"] == f"new-{i}"
            assert (await gate.get(client, f"bad-{i}")).status_code == 401
        redis_server.start()  # empty: the hash key is gone too
        deadline = time.monotonic() + 20
        for i in range(10_000):
            statuses = [(await gate.get(client, f"after-{i}")).status_code for gate in gates]
            assert statuses == [200, 200]
            if asked(backend, f"after-{i}") == 1:
                break
            assert time.monotonic() < deadline, "the processes never shared a verdict again"
            await asyncio.sleep(0.2)
        stats = [(await client.get(gate.url + "/stats")).json() for gate in gates]
    for gate, counts in zip(gates, stats, strict=True):
        assert counts["store_outages"] == 1 and counts["served_without_store"] >= 12, counts
        log = gate.log.read_text()
        assert (log.count(DOWN), log.count(UP)) == (1, 1), log


# ---- in process -------------------------------------------------------------------------------


def shared_gate(backend, store: Any, **options: Any) -> SecureGatehouse:
    return SecureGatehouse(App(), auth_verify_url=backend.url, store=store, **options)


async def test_an_outage_is_logged_when_it_begins_and_when_it_ends(redis_server, backend, gate_log):
    backend.answer(lambda key: {"valid": True, "user_id": key})
    gate = shared_gate(backend, redis_server.url)
    assert (await request(gate, http_scope("key-0"))).status == 200
    redis_server.stop()
    for i in range(1, 6):
        assert (await request(gate, http_scope(f"key-{i}"))).seen_identity["user_id"] == f"key-{i}"
    redis_server.start()
    deadline = time.monotonic() + 20
    for i in range(6, 10_000):
        if any(UP in line for line in lines(gate_log, logging.INFO)):
            break
        assert time.monotonic() < deadline, "the gate never found the store again"
        assert (await request(gate, http_scope(f"key-{i}"))).status == 200
        await asyncio.sleep(0.1)
    warned = [line for line in lines(gate_log, logging.WARNING) if DOWN in line]
    (told,) = [line for line in lines(gate_log, logging.INFO) if UP in line]
    stats = gate._stats()
    assert len(warned) == 1 and stats["store_outages"] == 1
    assert stats["served_without_store"] >= 5
    assert str(stats["served_without_store"]) in re.findall(r"\d+", told), told
    await gate.aclose()


async def test_a_redis_that_never_answers_holds_no_request_up(silent_redis, backend, gate_log):
    backend.answer(lambda key: {"valid": key.startswith("key-"), "user_id": key})
    gate = shared_gate(backend, silent_redis, failure_limit=3)

    async def timed(key: str) -> tuple[int, float]:
        began = time.monotonic()
        answer = await asyncio.wait_for(request(gate, http_scope(key)), 5)
        return answer.status, time.monotonic() - began

    for batch, expected in [(["key-ada"], 200), (["key-ada", "key-bob"] * 5, 200),
                            (["bad-1", "bad-2", "bad-3"], 401), (["bad-4"], 429)]:  # fmt: skip
        for status, took in [await timed(batch[0])] + await asyncio.gather(*map(timed, batch[1:])):
            assert status == expected and took < 1.0, (batch, status, took)
    assert sum(DOWN in line for line in lines(gate_log, logging.WARNING)) == 1
    await asyncio.wait_for(gate.aclose(), 2)


async def test_requests_cancelled_while_redis_hangs_leave_nothing_unattended(
    silent_redis, backend, gate_log
):
    backend.answer(lambda key: {"valid": True, "user_id": key})
    rng = random.Random(5)

    async def cancelled(gate: SecureGatehouse, key: str) -> None:
        task = asyncio.ensure_future(request(gate, http_scope(key)))
        await asyncio.sleep(rng.uniform(0, 0.05))  # before the command's own bound runs out
        task.cancel()
        with contextlib.suppress(asyncio.CancelledError):
            await task

    gates = [shared_gate(backend, silent_redis) for _ in range(20)]
    await asyncio.gather(*(cancelled(gate, f"key-{i}") for gate in gates for i in range(10)))
    await asyncio.sleep(0.2)
    assert (await request(gates[0], http_scope("key-ada"))).seen_identity == ADA
    await asyncio.gather(*(gate.aclose() for gate in gates))
    gc.collect()
    assert [r.getMessage() for r in gate_log.records if r.name == "asyncio"] == []


async def in_waves(run: Any, items: list[str], size: int = 25) -> list[Any]:
    """``run(item)`` for every item, ``size`` at a time."""
    done = []
    for start in range(0, len(items), size):
        done += await asyncio.gather(*map(run, items[start : start + size]))
    return done


async def test_cancelled_requests_leave_no_answer_behind_for_another(redis_server, backend, caplog):
    backend.answer(lambda key: {"valid": key.startswith("good"), "user_id": key})
    kept = [f"good-{i}" for i in range(40)] + [f"bad-{i}" for i in range(10)]
    later = [f"good-later-{i}" for i in range(20)] + [f"bad-later-{i}" for i in range(5)]
    options = {"failure_limit": 100_000, "max_verifications_per_second": 100_000}
    options["store_timeout_seconds"] = 1.0  # what cancellations do, not what a busy loop does
    first = shared_gate(backend, redis_server.url, **options)
    await in_waves(lambda key: request(first, http_scope(key)), kept + later)
    gate = shared_gate(backend, redis_server.url, **options)
    rng = random.Random(20260728)

    async def cancelled(key: str) -> None:
        task = asyncio.ensure_future(request(gate, http_scope(key)))
        for _ in range(rng.randrange(40)):
            await asyncio.sleep(0)
        task.cancel()
        with contextlib.suppress(asyncio.CancelledError):
            await task

    fresh = [f"good-new-{i}" for i in range(20)] + [f"bad-new-{i}" for i in range(5)]
    await in_waves(cancelled, [rng.choice(kept + fresh) for _ in range(600)])
    every = kept + later + fresh
    for answering in (gate, shared_gate(backend, redis_server.url, **options)):
        answers = await in_waves(lambda key, by=answering: request(by, http_scope(key)), every * 2)
        for key, answer in zip(every * 2, answers, strict=True):
            if key.startswith("good"):
                assert answer.seen_identity == {"api_key": key, "user_id": key, "email": None}
            else:
                assert answer.status == 401, key
        await answering.aclose()
    await first.aclose()
    assert all(asked(backend, key) == 1 for key in later[:20])  # both read these from Redis
    assert gate._stats()["store_outages"] == 0 and gate._stats()["verifying"] == 0
    gc.collect()
    assert not [r.getMessage() for r in caplog.records if r.name == "asyncio"]


async def test_callers_coming_back_at_once_find_their_verdicts_in_redis(
    redis_server, backend, gate_log
):
    backend.answer(lambda key: {"valid": True, "user_id": key})
    keys = [f"key-{i}" for i in range(400)]
    # far more at once than a gate keeps connections for; the bound is generous (a sanitizer
    # build runs the 400 several times slower): what is looked at is that they wait for one,
    # not how long a busy loop takes
    options = {"max_verifications_per_second": 100_000, "store_timeout_seconds": 5.0}
    first = shared_gate(backend, redis_server.url, **options)
    await in_waves(lambda key: request(first, http_scope(key)), keys)
    restarted = shared_gate(backend, redis_server.url, **options)  # a process just started
    answers = await asyncio.gather(*(request(restarted, http_scope(key)) for key in keys))
    assert {answer.status for answer in answers} == {200}
    assert [answer.seen_identity["user_id"] for answer in answers] == keys
    stats = restarted._stats()
    assert (len(backend.requests), stats["store_outages"], stats["served_without_store"]) == (
        400, 0, 0)  # fmt: skip
    assert lines(gate_log, logging.WARNING) == []
    await asyncio.gather(first.aclose(), restarted.aclose())


def test_one_gate_serves_two_event_loops(redis_server, backend):
    backend.answer(lambda key: {"valid": key.startswith("key"), "user_id": key})
    gate = shared_gate(backend, redis_server.url)

    async def in_a_new_loop(key: str) -> None:
        helper = shared_gate(backend, redis_server.url)
        await request(helper, http_scope(key))
        await helper.aclose()
        assert (await request(gate, http_scope(key))).seen_identity["user_id"] == key
        assert (await request(gate, http_scope(f"bad-{key}"))).status == 401

    asyncio.run(in_a_new_loop("key-1"))
    asyncio.run(in_a_new_loop("key-2"))
    asyncio.run(gate.aclose())
    assert asked(backend, "key-1") == asked(backend, "key-2") == 1  # read from Redis each time
    assert gate._stats()["store_outages"] == 0


async def test_verdicts_are_shared_under_one_prefix_and_hash_key_only(redis_server, backend):
    host = redis.asyncio.Redis.from_url(redis_server.url, client_name="host")
    rows = [
        ({"store_hash_key": "h" * 16}, 1),
        ({"store_hash_key": b"h" * 16}, 1),  # the same key as bytes
        ({"store_hash_key": "g" * 64}, 2),
        ({"store_hash_key": "h" * 16, "store_prefix": "elsewhere"}, 3),
        ({}, 4),  # the hash key Redis keeps
        ({"store": host}, 4),  # the host's own client
    ]  # fmt: skip
    gates = []
    for options, backend_requests in rows:
        gates.append(shared_gate(backend, **{"store": redis_server.url, **options}))
        assert (await request(gates[-1], http_scope("key-ada"))).seen_identity == ADA
        assert len(backend.requests) == backend_requests, options
    for gate in gates:
        await gate.aclose()
    assert await host.ping()  # the host's client is left open
    with redis_server.client() as client:  # and every connection the gates made is closed
        deadline = time.monotonic() + 3
        while (left := [c for c in client.client_list() if c["name"] != "host" and c["cmd"] != "client|list"]):  # fmt: skip
            assert time.monotonic() < deadline, left
            time.sleep(0.05)
    await host.aclose()


async def test_a_verdict_read_from_redis_lives_only_as_long_as_it_has_left(redis_server, backend):
    first, second = (shared_gate(backend, redis_server.url, cache_seconds=3) for _ in range(2))
    await request(first, http_scope("key-ada"))
    await asyncio.sleep(1.5)
    assert (await request(second, http_scope("key-ada"))).seen_identity == ADA
    assert len(backend.requests) == 1
    await asyncio.sleep(2)  # 3.5 s after the backend's answer, 2 s after the read
    assert (await request(second, http_scope("key-ada"))).seen_identity == ADA
    assert len(backend.requests) == 2
    await asyncio.gather(first.aclose(), second.aclose())


KEYS = ["key-ada", "refused-key-1", "sk live/+&=?é ü-9", "0123456789abcdef0123456789abcdef"]


def stored_forms(key: str) -> list[bytes]:
    raw = key.encode()
    digests = [hashlib.new(name, raw).hexdigest() for name in ("sha256", "sha1", "md5")]
    forms = [key, quote(key, safe=""), quote_plus(key), base64.b64encode(raw).decode(), raw.hex()]
    return [form.encode() for form in forms + digests + [d.upper() for d in digests]]


def everything_stored(server: RedisServer) -> list[tuple[bytes, list[bytes]]]:
    """Every name in Redis with every value under it."""
    found = []
    with server.client() as client:
        for name in client.scan_iter(count=1000):
            kind = client.type(name)
            if kind == b"string":
                values = [client.get(name)]
            elif kind == b"hash":
                values = [part for pair in client.hgetall(name).items() for part in pair]
            else:
                assert kind in (b"list", b"set", b"zset", b"none"), (name, kind)  # none: expired
                values = client.sort(name, alpha=True)
            found.append((name, [value for value in values if value is not None]))
    return found


async def test_no_form_of_a_key_is_stored(redis_server, backend):
    backend.answer(lambda key: {"valid": not key.startswith("refused"), "user_id": 1})
    backend.answer(Reply(body=b'{"valid": true}', delay=0.5), key="slow-key-42")
    gate = shared_gate(backend, redis_server.url, store_prefix="t:gate", failure_limit=2)
    for n, (key, via) in enumerate((key, via) for key in KEYS for via in ("header", "query")):
        await request(gate, http_scope(key, via=via, client=f"192.0.2.{n}"))
    for i in range(3):
        await request(gate, http_scope(f"refused-{i}-key", client="198.51.100.9"))
    slow = asyncio.ensure_future(request(gate, http_scope("slow-key-42")))
    await asyncio.sleep(0.25)
    during = everything_stored(redis_server)  # with the flight's lock
    assert (await slow).status == 200
    await gate.aclose()
    stored = during + everything_stored(redis_server)
    names = {name.decode() for name, _ in stored}
    assert all(re.fullmatch(r"t:gate:(hash-key|v:[0-9a-f]{32}|[fnb]:[0-9a-f]+)", n) for n in names)
    assert {name.split(":")[2] for name in names} == {"hash-key", "v", "f", "n", "b"}, names
    used = [*KEYS, "refused-0-key", "refused-1-key", "refused-2-key", "slow-key-42"]
    for key in used:
        forms = stored_forms(key)
        for name, values in stored:
            assert not any(form in text for form in forms for text in [name, *values]), (key, name)
            tag = name.decode().rpartition(":")[2][:16]
            assert not any(tag in form.decode().lower() for form in forms[-6:]), (key, name)


# ---- construction and the SDK -----------------------------------------------------------------

NOWHERE = "redis://127.0.0.1:1"


STORES = {
    "http URL": ({"store": "http://127.0.0.1:6379"}, ValueError),
    "no scheme": ({"store": "127.0.0.1:6379"}, ValueError),
    "empty": ({"store": ""}, ValueError),
    "a port number": ({"store": 6379}, TypeError),
    "an object": ({"store": object()}, TypeError),
    "a blocking client": ({"store": redis.Redis()}, TypeError),
    "15-byte hash key": ({"store": NOWHERE, "store_hash_key": b"h" * 15}, ValueError),
    "65-byte hash key": ({"store": NOWHERE, "store_hash_key": "h" * 65}, ValueError),
    "empty hash key": ({"store": NOWHERE, "store_hash_key": ""}, ValueError),
    "redis://": ({"store": NOWHERE + "/2", "store_hash_key": b"h" * 64}, None),
    "rediss://": ({"store": "rediss://127.0.0.1:1", "store_hash_key": "h" * 16}, None),
    "unix://": ({"store": "unix:///nowhere.sock", "store_prefix": "p"}, None),
}


@pytest.mark.parametrize(("options", "error"), STORES.values(), ids=STORES.keys())
def test_a_wrong_store_is_refused_before_anything_is_logged_and_a_url_is_not_dialled(
    caplog, options, error
):
    with caplog.at_level(logging.DEBUG, logger="tervik.mcp"):
        if error is None:
            gate = SecureGatehouse(None, api_key="k", **options)
            assert gate._stats()["store_outages"] == gate._stats()["served_without_store"] == 0
            return
        with pytest.raises(error):
            SecureGatehouse(None, api_key="k", **options)
    assert caplog.records == []


async def test_the_sdks_client_gets_in_through_gates_that_share_a_store(
    redis_server, backend, mcp_server
):
    for _ in range(2):
        endpoint = mcp_server("streamable-http", SecureGatehouse, auth_verify_url=backend.url,
                              store=redis_server.url)  # fmt: skip
        assert await endpoint.whoami(bearer="key-ada") == ADA
    assert asked(backend, "key-ada") == 1
