"""Every await of the secure gate's async entry points behaves like the same await in an
`async def`: a value returns, an inner error comes out, a cancellation or a thrown error
reaches what is awaited, close() runs its clean-up, a coroutine never awaited warns, and a
cycle through a call suspended there is collected.

Each case has a native side (the gate) and an `async def` twin that makes the same awaits;
`inner()` is what both are suspended on at the await under test.
"""

from __future__ import annotations

import asyncio
import gc
import warnings
import weakref
from collections.abc import Callable
from typing import Any

import httpx
import pytest

from tervik.mcp.context import mcp_request_ctx
from tervik.mcp.secure import SecureGatehouse

from .conftest import http_scope


class Suspend:
    """Yields once; returns what is sent back in."""

    def __await__(self):
        return (yield "tick")


async def ready(*args: Any) -> None:
    return None


Inner = Callable[[], Any]


class InnerGate(SecureGatehouse):
    """Verification by `inner`, which the test chooses (set on the instance)."""

    inner: Inner

    async def _verify_remote(self, api_key):
        await self.inner()
        return {"valid": True, "user_id": 7}


def fake_client(inner: Inner) -> type:
    class Response:
        status_code = 200

        async def aiter_bytes(self):
            yield b'{"valid": true, "user_id": 7}'

    class Streamed:  # what client.stream(...) gives: the response once the request is made
        async def __aenter__(self):
            await inner()
            return Response()

        async def __aexit__(self, *exc):
            return False

    class Client:
        async def __aenter__(self):
            return self

        def stream(self, method, url, **options):
            return Streamed()

        async def __aexit__(self, *exc):
            return False

        async def aclose(self):
            pass

    return Client


def native(case: str, inner: Inner, monkeypatch: pytest.MonkeyPatch) -> Any:
    """The gate's coroutine for `case`, suspended (when driven) at inner()."""

    async def app(scope, receive, send):
        await inner()

    async def first_send_waits(message):
        if message["type"] == "http.response.start":
            await inner()

    async def waits_to_receive():
        return await inner()

    async def lifespan_app(scope, receive, send):
        await receive()

    if case == "admitted":
        return SecureGatehouse(app, api_key="k")(http_scope("k"), None, ready)
    if case == "refused":
        return SecureGatehouse(None, api_key="k")(http_scope("wrong"), None, first_send_waits)
    if case == "verifying":
        gate = InnerGate(app=ready, auth_verify_url="http://verify.invalid/")
        gate.inner = inner
        return gate(http_scope("k"), None, ready)
    if case == "send_401":
        return SecureGatehouse(None, api_key="k")._send_401({}, first_send_waits)
    if case == "verify_remote":
        monkeypatch.setattr(httpx, "AsyncClient", fake_client(inner))
        return SecureGatehouse(None, auth_verify_url="http://verify.invalid/")._verify_remote("k")
    if case == "lifespan":
        return SecureGatehouse(lifespan_app, api_key="k")(
            {"type": "lifespan"}, waits_to_receive, ready
        )
    raise AssertionError(case)


def twin(case: str, inner: Inner) -> Any:
    """The same awaits, written with async def."""

    async def admitted():
        await inner()

    async def refused():
        await inner()
        await ready()

    async def verifying():
        await inner()
        await ready()

    async def verify_remote():
        try:
            await inner()
        except Exception:
            return None  # a failed exchange is a refusal
        return {"valid": True, "user_id": 7}

    async def lifespan():
        return await inner()

    return {"admitted": admitted, "refused": refused, "verifying": verifying,
            "send_401": refused, "verify_remote": verify_remote, "lifespan": lifespan}[case]()  # fmt: skip


CASES = ["admitted", "refused", "verifying", "send_401", "verify_remote", "lifespan"]


@pytest.fixture(params=["native", "async-def"])
def make(request, monkeypatch) -> Callable[[str, Inner], Any]:
    if request.param == "native":
        return lambda case, inner: native(case, inner, monkeypatch)
    return twin


def drive(coro: Any) -> Any:
    """Runs a coroutine that never really suspends to its end; its return value."""
    try:
        while True:
            coro.send(None)
    except StopIteration as stop:
        return stop.value


@pytest.mark.parametrize("case", CASES)
def test_a_value_returns(make, case):
    result = drive(make(case, ready))
    assert result == ({"valid": True, "user_id": 7} if case == "verify_remote" else None)
    assert mcp_request_ctx.get() is None


@pytest.mark.parametrize("case", [c for c in CASES if c != "verify_remote"])
def test_an_inner_error_comes_out(make, case):
    async def failing():
        raise LookupError("inner")

    with pytest.raises(LookupError, match="inner"):
        drive(make(case, failing))
    assert mcp_request_ctx.get() is None


def test_an_inner_error_of_the_exchange_is_a_refusal(make):
    """_verify_remote's contract: any Exception of the exchange comes back as None."""

    async def failing():
        raise LookupError("inner")

    assert drive(make("verify_remote", failing)) is None


@pytest.mark.parametrize("case", CASES)
def test_a_task_cancellation_reaches_the_inner_await(make, case):
    seen = []

    async def sleeps():
        try:
            await asyncio.sleep(10)
        except BaseException as exc:
            seen.append(type(exc))
            raise

    async def main():
        task = asyncio.ensure_future(make(case, sleeps))
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    assert seen == [asyncio.CancelledError]


@pytest.mark.parametrize("case", CASES)
def test_a_thrown_error_reaches_the_inner_await(make, case):
    seen = []

    async def suspends():
        try:
            await Suspend()
        except KeyError:
            seen.append("KeyError")
            raise

    coro = make(case, suspends)
    assert coro.send(None) == "tick"
    # _verify_remote turns an error of the exchange into a refusal (None)
    with pytest.raises(StopIteration if case == "verify_remote" else KeyError):
        coro.throw(KeyError("thrown"))
    assert seen == ["KeyError"] and mcp_request_ctx.get() is None


@pytest.mark.parametrize("case", CASES)
def test_close_runs_the_inner_clean_up(make, case):
    cleaned = []

    async def suspends():
        try:
            await Suspend()
        finally:
            cleaned.append(True)

    coro = make(case, suspends)
    coro.send(None)
    assert coro.close() is None
    assert cleaned == [True] and mcp_request_ctx.get() is None


@pytest.mark.parametrize("case", CASES)
def test_a_coroutine_never_awaited_warns(make, case):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        coro = make(case, ready)
        name = coro.__qualname__
        del coro
        gc.collect()
    assert [str(w.message) for w in caught if w.category is RuntimeWarning] == [
        f"coroutine '{name}' was never awaited"
    ]


class Trap:
    """Suspends whoever awaits it; `owner` closes the cycle."""

    owner: Any = None

    def __await__(self):
        yield self


@pytest.mark.parametrize("case", CASES)
def test_a_cycle_through_a_suspended_call_is_collected(make, case):
    trap = Trap()
    trap_ref = weakref.ref(trap)
    coro = make(case, lambda: trap_ref())
    assert coro.send(None) is trap
    trap.owner = coro
    collected = weakref.ref(coro)
    del coro, trap
    gc.collect()
    assert collected() is None
    assert mcp_request_ctx.get() is None


# ---- the awaits of the shared verification and the client ------------------------------------


async def test_a_cycle_through_a_shared_verification_is_collected(monkeypatch):
    """A gate dropped while its verification task waits on the backend: collected, with the
    task, once the task is cancelled (a loop's shutdown does that)."""
    started = asyncio.Event()

    async def hangs():
        started.set()
        await asyncio.sleep(10)

    monkeypatch.setattr(httpx, "AsyncClient", fake_client(hangs))
    gate = SecureGatehouse(None, auth_verify_url="http://verify.invalid/")
    request = asyncio.ensure_future(gate(http_scope("k"), None, ready))
    await started.wait()
    [task] = [
        t for t in asyncio.all_tasks() if t is not asyncio.current_task() and t is not request
    ]
    request.cancel()
    task.cancel()
    await asyncio.gather(request, task, return_exceptions=True)
    collected = weakref.ref(gate)
    del gate, request, task
    gc.collect()
    assert collected() is None


async def test_a_gate_collected_with_its_client_open_closes_it_on_its_loop(monkeypatch):
    closed = asyncio.Event()

    class Client(fake_client(ready)):  # type: ignore[misc]
        async def aclose(self):
            closed.set()

    monkeypatch.setattr(httpx, "AsyncClient", Client)
    gate = SecureGatehouse(None, auth_verify_url="http://verify.invalid/")
    assert await gate._verify_remote("k") == {"valid": True, "user_id": 7}
    del gate
    gc.collect()
    await asyncio.wait_for(closed.wait(), 5)
