"""Remote verification against a real backend: once per key and cache period, shared by
concurrent requests, refusals kept briefly, failures never kept, one client per gate."""

from __future__ import annotations

import asyncio
import contextlib
import logging

import httpx
import pytest

from tervik.mcp.secure import SecureGatehouse
from tests.gate.conftest import Reply

from .conftest import App, assert_no_key_logged, http_scope, lines, request

BOTH_STORES = True  # each test runs with the in-memory store and with Redis

WARNING_PREFIX = "远程校验 API Key 失败: "


@pytest.fixture
def backend(verify_backend):
    return verify_backend()


def remote(backend, clock, app=None, **options):
    return SecureGatehouse(app or App(), auth_verify_url=backend.url, clock=clock, **options)


async def test_a_confirmed_key_is_admitted_without_asking_again_until_it_expires(backend, clock):
    backend.valid(key="k1", user_id=7, email="u@x")
    app = App()
    gate = remote(backend, clock, app, cache_seconds=30)
    for _ in range(5):
        answer = await request(gate, http_scope("k1"))
        assert answer.seen_identity == {"api_key": "k1", "user_id": 7, "email": "u@x"}
    assert app.calls[-1]["mcp_user_id"] == 7 and app.calls[-1]["mcp_user_email"] == "u@x"
    assert len(backend.requests) == 1
    (seen,) = backend.requests
    assert (seen.method, seen.query, seen.headers["X-MCP-API-Key"]) == (
        "GET",
        {"api_key": ["k1"]},
        "k1",
    )
    clock.advance(29.9)
    await request(gate, http_scope("k1"))
    assert len(backend.requests) == 1
    clock.advance(0.2)
    await request(gate, http_scope("k1"))
    assert len(backend.requests) == 2


async def test_a_revoked_key_is_refused_at_most_one_period_later(backend, clock):
    backend.valid(key="k1")
    gate = remote(backend, clock, cache_seconds=30)
    assert (await request(gate, http_scope("k1"))).status == 200
    backend.invalid(key="k1")
    clock.advance(20)
    assert (await request(gate, http_scope("k1"))).status == 200
    clock.advance(11)
    assert (await request(gate, http_scope("k1"))).status == 401


async def test_a_refused_key_is_refused_without_asking_for_the_short_period(
    backend, clock, gate_log
):
    gate = remote(backend, clock, negative_cache_seconds=5)
    for _ in range(3):
        answer = await request(gate, http_scope("nope"))
        assert answer.json["error"]["message"] == "Unauthorized: invalid API key"
    assert len(backend.requests) == 1
    clock.advance(5.1)
    backend.valid(key="nope")  # now confirmed: asked again after the short period
    assert (await request(gate, http_scope("nope"))).status == 200
    assert len(backend.requests) == 2
    assert set(lines(gate_log, logging.DEBUG)) == {
        "refused (backend refused): client 203.0.113.7, path /mcp"
    }


LONG_ANSWER = b'{"valid": true, "user_id": 7, "pad": "' + b"x" * 70_000 + b'"}'
FAILURES = {
    "not-json": Reply(body=b"<html>", delay=0.1),
    "reset": Reply(reset=True),
    # the backend's trouble is no verdict on the key, whatever its body says
    **{str(status): Reply(status, b'{"valid": false}', delay=0.1) for status in (500, 503, 429, 408, 302)},
    "over 64 KiB": Reply(body=LONG_ANSWER, delay=0.1),
}  # fmt: skip


@pytest.mark.parametrize("failure", list(FAILURES))
async def test_a_failure_reaches_every_waiter_as_a_refusal_and_is_not_kept(
    backend, clock, gate_log, failure
):
    backend.answer(FAILURES[failure])
    gate = remote(backend, clock)
    answers = await asyncio.gather(*(request(gate, http_scope("k-fail")) for _ in range(5)))
    assert {a.status for a in answers} == {401}
    assert answers[0].json["error"]["message"] == "Unauthorized: the API key could not be verified"
    assert len(backend.requests) == 1
    await request(gate, http_scope("k-fail"))
    assert len(backend.requests) == 2  # not kept
    warnings = lines(gate_log, logging.WARNING)
    assert len(warnings) == 2 and all(w.startswith(WARNING_PREFIX) for w in warnings)
    assert gate._stats()["tracked_clients"] == 0  # the backend's failure is not the client's
    assert_no_key_logged(gate_log.records, ["k-fail"])


async def test_concurrent_requests_for_one_key_share_one_backend_request(backend, clock):
    backend.answer(Reply(body=b'{"valid": true, "user_id": 1}', delay=0.05))
    gate = remote(backend, clock)
    answers = await asyncio.gather(*(request(gate, http_scope("shared")) for _ in range(50)))
    assert {a.status for a in answers} == {200}
    assert len(backend.requests) == 1
    assert gate._stats()["verifying"] == 0


@pytest.mark.memory_store_only("the budget's turns go in the order Redis answers")
async def test_verifications_beyond_the_budget_wait_their_turn_or_get_503(backend, gate_log):
    backend.answer(lambda key: {"valid": True, "user_id": key})
    gate = SecureGatehouse(App(), auth_verify_url=backend.url, max_verifications_per_second=2)
    loop = asyncio.get_running_loop()
    started = loop.time()
    answers = await asyncio.gather(*(request(gate, http_scope(f"k{n}")) for n in range(10)))
    statuses = [a.status for a in answers]
    # two at once (a second's worth), then one every half second for up to 2 s, then 503
    assert statuses == [200] * 6 + [503] * 4
    assert loop.time() - started >= 1.9
    busy = answers[-1]
    assert busy.headers[b"retry-after"] == b"1"
    assert busy.json["error"]["message"] == "The API key cannot be verified now: retry later"
    assert len(backend.requests) == 6
    assert gate._stats()["tracked_clients"] == 0  # a busy gate is not the client's fault
    assert "refused (verification busy): client 203.0.113.7, path /mcp" in lines(
        gate_log, logging.DEBUG
    )


async def test_a_cancelled_waiter_leaves_the_shared_verification_to_the_others(backend, clock):
    backend.answer(Reply(body=b'{"valid": true, "user_id": 1}', delay=0.3))
    gate = remote(backend, clock)
    tasks = [asyncio.ensure_future(request(gate, http_scope("shared"))) for _ in range(3)]
    await asyncio.sleep(0.1)
    tasks[0].cancel()
    with pytest.raises(asyncio.CancelledError):
        await tasks[0]
    assert [(await t).status for t in tasks[1:]] == [200, 200]
    assert len(backend.requests) == 1


async def test_a_waiter_cancelled_on_its_own_is_never_lost(backend, clock):
    backend.answer(Reply(body=b'{"valid": true, "user_id": 1}', delay=0.05))
    gate = remote(backend, clock)
    lost = 0
    for n in range(40):
        task = asyncio.ensure_future(request(gate, http_scope(f"key-{n}")))
        await asyncio.sleep(0.002 * (n % 10))
        task.cancel()
        try:
            await task
        except asyncio.CancelledError:
            continue
        lost += 1
    assert lost == 0


@pytest.mark.memory_store_only("with Redis, the first task a request makes is its Redis command")
async def test_a_verification_cancelled_before_it_started_is_replaced(backend, clock):
    backend.valid(key="k1")
    gate = remote(backend, clock)
    first = asyncio.ensure_future(request(gate, http_scope("k1")))
    await asyncio.sleep(0)  # the request waits on the verification task it just made
    [task] = [t for t in asyncio.all_tasks() if t not in (asyncio.current_task(), first)]
    task.cancel()  # before it ever ran
    with pytest.raises(asyncio.CancelledError):
        await first
    assert (await request(gate, http_scope("k1"))).status == 200
    assert gate._stats()["verifying"] == 0


async def test_one_client_serves_every_verification_and_the_lifespan_closes_it(
    backend, clock, monkeypatch
):
    built = []
    real = httpx.AsyncClient

    def counting_client(*args, **kwargs):
        built.append(real(*args, **kwargs))
        return built[-1]

    monkeypatch.setattr(httpx, "AsyncClient", counting_client)
    app = App()

    async def with_lifespan(scope, receive, send):
        if scope["type"] == "lifespan":
            while (await receive())["type"] != "lifespan.shutdown":
                await send({"type": "lifespan.startup.complete"})
            await send({"type": "lifespan.shutdown.complete"})
        else:
            await app(scope, receive, send)

    gate = remote(backend, clock, with_lifespan, cache_seconds=0)
    for n in range(10):
        await request(gate, http_scope(f"k{n}"))
    assert len(backend.requests) == 10 and len(built) == 1
    assert gate._stats()["clients_built"] == 1
    messages = iter([{"type": "lifespan.startup"}, {"type": "lifespan.shutdown"}])

    async def receive():
        return next(messages)

    async def send(message):
        pass

    await gate({"type": "lifespan"}, receive, send)
    assert built[0].is_closed
    await request(gate, http_scope("after"))  # a later verification gets a new client
    assert len(built) == 2
    await gate.aclose()
    assert built[1].is_closed


async def test_the_confirmed_and_refused_keys_kept_are_bounded(backend, clock):
    backend.answer(lambda key: {"valid": key.startswith("good")})
    gate = remote(backend, clock, max_cached_keys=4)
    for n in range(20):
        await request(gate, http_scope(f"good-{n}", client=f"10.0.0.{n}"))
        await request(gate, http_scope(f"bad-{n}", client=f"10.0.1.{n}"))
    stats = gate._stats()
    assert (stats["confirmed_keys"], stats["refused_keys"]) == (4, 4)


async def test_verify_remote_answers_a_copy_and_uses_the_cache(backend, clock):
    backend.valid(key="k1", user_id=7)
    gate = remote(backend, clock)
    first = await gate._verify_remote("k1")
    first["user_id"] = "changed"
    assert (await gate._verify_remote("k1"))["user_id"] == 7
    assert await gate._verify_remote("") is None and await gate._verify_remote(None) is None
    assert await gate._verify_remote("other") is None
    assert len(backend.requests) == 2


def test_without_an_asyncio_loop_each_verification_has_a_client_of_its_own(monkeypatch):
    """Driven by another event loop than asyncio's (here: by hand), there is no task to
    share and no loop to keep a client for: each exchange enters and leaves its own."""
    events = []

    class Response:
        status_code = 200

        async def aiter_bytes(self):
            yield b'{"valid": true, "user_id": 7}'

    class Client:
        async def __aenter__(self):
            events.append("enter")
            return self

        @contextlib.asynccontextmanager
        async def stream(self, method, url, **options):
            events.append(f"{method} {url}")
            yield Response()

        async def __aexit__(self, *exc):
            events.append("exit")

    monkeypatch.setattr(httpx, "AsyncClient", Client)
    gate = SecureGatehouse(None, auth_verify_url="http://verify.invalid/v")
    with pytest.raises(StopIteration) as done:
        gate._verify_remote("k1").send(None)
    assert done.value.value == {"valid": True, "user_id": 7}
    assert events == ["enter", "GET http://verify.invalid/v?api_key=k1", "exit"]
    assert gate._stats()["clients_built"] == 0


@pytest.mark.parametrize("status", [401, 403, 404])
async def test_other_client_errors_stay_refusals(backend, clock, status):
    backend.answer(Reply.json({"valid": True}, status=status))
    gate = remote(backend, clock, failure_limit=2)
    answers = [await request(gate, http_scope("k")) for _ in range(3)]
    assert [a.json["error"]["message"] for a in answers[:2]] == [
        "Unauthorized: invalid API key"
    ] * 2
    assert answers[2].status == 429 and len(backend.requests) == 1  # kept, and counted


@pytest.mark.parametrize(
    "key", ["sk-42\n", "sk-42\r", "sk\x00-42", " sk-42", "sk-42\t", "sk\x0b42"]
)
async def test_a_key_that_cannot_be_a_header_value_is_never_sent(backend, clock, gate_log, key):
    logging.getLogger("httpcore").setLevel(logging.DEBUG)
    gate = remote(backend, clock)
    answer = await request(gate, http_scope(key, via="query"))
    assert answer.json["error"]["message"] == "Unauthorized: the API key could not be verified"
    assert backend.requests == []
    assert lines(gate_log, logging.WARNING) == [
        WARNING_PREFIX + "the API key cannot be sent as an HTTP header value"
    ]
    assert_no_key_logged([r for r in gate_log.records if r.levelno >= logging.DEBUG], [key])


@pytest.mark.memory_store_only(
    "with Redis, the waiting request may find the verdict the first kept"
)
async def test_verifications_running_at_the_close_never_build_a_client_after_it(backend, clock):
    backend.answer(Reply(body=b'{"valid": true, "user_id": 1}', delay=0.3))
    gate = remote(backend, clock, max_verifications_per_second=1)
    # one on the wire, one waiting for its turn in the budget
    running = [asyncio.ensure_future(request(gate, http_scope(k))) for k in ("a", "b")]
    await asyncio.sleep(0.1)
    await gate.aclose()
    on_the_wire, waiting = await asyncio.gather(*running)
    assert on_the_wire.status in (200, 401)  # finished on its client, or failed with it
    assert waiting.status == 401  # failed: no client is made for it after the close
    assert gate._stats()["clients_built"] == 1
    assert (await request(gate, http_scope("c"))).status == 200  # a fresh one after the close
    await gate.aclose()
    assert gate._stats()["clients_built"] == 2
