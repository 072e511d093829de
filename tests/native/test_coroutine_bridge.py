"""The coroutine objects behind async methods behave like `async def` coroutines.

Each scenario runs against the native `ApiKeyGatehouse._send_401` (which awaits `send`
twice) and against a plain `async def` twin, and both must behave alike.
"""

from __future__ import annotations

import asyncio
import collections.abc
import gc
import inspect
import sys
import types
import warnings
import weakref

import pytest

from tervik.mcp.gatehouse import ApiKeyGatehouse

pytestmark = pytest.mark.native_only  # the extension's own machinery


def native(send):
    return ApiKeyGatehouse(None, api_key="k")._send_401({}, send)


async def twin(send):
    await send({"type": "http.response.start"})
    await send({"type": "http.response.body"})


both = pytest.mark.parametrize("make", [native, twin], ids=["native", "async-def"])


class Suspend:
    """An awaitable that yields `value` once and returns what is sent back in."""

    def __init__(self, value="tick"):
        self.value = value

    def __await__(self):
        return (yield self.value)


@both
def test_send_yields_and_returns_like_a_coroutine(make):
    got = []

    async def send(message):
        got.append((message["type"], await Suspend()))

    coro = make(send)
    assert asyncio.iscoroutine(coro)
    assert isinstance(coro, collections.abc.Coroutine)
    assert coro.send(None) == "tick"
    assert coro.send("one") == "tick"
    with pytest.raises(StopIteration) as stop:
        coro.send("two")
    assert stop.value.value is None
    assert got == [("http.response.start", "one"), ("http.response.body", "two")]
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


@both
def test_refuses_a_value_before_it_starts(make):
    coro = make(None)
    with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
        coro.send(1)
    coro.close()


@both
def test_inner_exception_comes_out(make):
    async def send(message):
        raise ValueError(message["type"])

    with pytest.raises(ValueError, match="http.response.start"):
        asyncio.run(make(send))


@both
@pytest.mark.parametrize("how", ["throw", "cancel"])
def test_exceptions_thrown_in_reach_the_inner_awaitable(make, how):
    seen = []

    async def send(message):
        try:
            await asyncio.sleep(10)
        except BaseException as exc:
            seen.append(type(exc).__name__)
            raise

    async def main():
        task = asyncio.ensure_future(make(send))
        await asyncio.sleep(0.01)
        if how == "cancel":
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
        else:
            coro = make(send)
            coro.send(None)
            with pytest.raises(KeyError):
                coro.throw(KeyError("k"))
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

    asyncio.run(main())
    assert seen[0] == ("CancelledError" if how == "cancel" else "KeyError")


@both
def test_throw_that_the_inner_awaitable_handles_resumes_the_body(make):
    calls = []

    async def send(message):
        calls.append(message["type"])
        try:
            await Suspend()
        except KeyError:
            return

    coro = make(send)
    coro.send(None)
    assert coro.throw(KeyError("handled")) == "tick"  # second send is now suspended
    with pytest.raises(StopIteration):
        coro.send(None)
    assert calls == ["http.response.start", "http.response.body"]


@both
def test_throw_into_a_coroutine_that_never_started_just_raises(make):
    coro = make(None)
    with pytest.raises(KeyError):
        coro.throw(KeyError)
    with pytest.raises(RuntimeError):
        coro.send(None)


@both
def test_close_runs_clean_up_of_the_suspended_awaitable(make):
    cleaned = []

    async def send(message):
        try:
            await Suspend()
        finally:
            cleaned.append(message["type"])

    coro = make(send)
    coro.send(None)
    assert coro.close() is None
    assert cleaned == ["http.response.start"]
    assert coro.close() is None  # closing again is harmless


@both
def test_ignoring_generator_exit_is_an_error(make):
    async def send(message):
        try:
            await Suspend()
        except GeneratorExit:
            pass
        await Suspend()

    coro = make(send)
    coro.send(None)
    with pytest.raises(RuntimeError, match="ignored GeneratorExit"):
        coro.close()


@both
def test_a_coroutine_never_awaited_warns(make):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        coro = make(None)
        name = coro.__qualname__
        del coro
        gc.collect()
    assert [str(w.message) for w in caught if w.category is RuntimeWarning] == [
        f"coroutine '{name}' was never awaited"
    ]


@both
def test_finalising_a_suspended_coroutine_closes_it(make):
    cleaned = []

    async def send(message):
        try:
            await Suspend()
        finally:
            cleaned.append(True)

    coro = make(send)
    coro.send(None)
    del coro
    gc.collect()
    assert cleaned == [True]


@both
def test_a_cycle_through_a_suspended_coroutine_is_collected(make):
    class Holder:
        pass

    def build():
        holder = Holder()

        async def send(message, holder=holder):
            await Suspend()

        holder.coro = make(send)
        holder.coro.send(None)
        return weakref.ref(holder)

    ref = build()
    gc.collect()
    assert ref() is None


def test_reentering_a_running_coroutine_is_refused():
    box = {}

    async def send(message):
        box["coro"].send(None)

    box["coro"] = native(send)
    with pytest.raises(ValueError, match="coroutine already executing"):
        box["coro"].send(None)
    box.clear()


def test_await_iterator_is_not_the_coroutine():
    coro = native(None)
    iterator = coro.__await__()
    assert iterator is not coro
    with pytest.raises(TypeError):
        next(coro)
    with pytest.raises(TypeError):
        iter(coro)
    coro.close()


def test_a_deep_chain_of_native_awaits_raises_recursion_error():
    async def leaf(scope, receive, send):
        return None

    app = leaf
    # Deeper than both the interpreter's recursion limit and (3.12+) its C recursion limit.
    for _ in range(max(sys.getrecursionlimit() * 2, 50000)):
        app = ApiKeyGatehouse(app, api_key="k")
    with pytest.raises(RecursionError):
        asyncio.run(app({"type": "lifespan"}, None, None))


def test_a_chain_within_the_limit_works():
    calls = []

    async def leaf(scope, receive, send):
        calls.append(scope["type"])

    app = leaf
    for _ in range(50):
        app = ApiKeyGatehouse(app)
    asyncio.run(app({"type": "websocket"}, None, None))
    assert calls == ["websocket"]


def test_many_calls_leave_memory_flat():
    async def send(message):
        await asyncio.sleep(0)

    gate = ApiKeyGatehouse(None, api_key="k")

    async def run(n):
        for _ in range(n):
            await gate._send_401({}, send)

    asyncio.run(run(2000))
    gc.collect()
    before = len(gc.get_objects()), sys.getallocatedblocks()
    asyncio.run(run(20000))
    gc.collect()
    after = len(gc.get_objects()), sys.getallocatedblocks()
    assert after[0] - before[0] < 100
    assert after[1] - before[1] < 2000


# ---- await accepts what `await` accepts and refuses what it refuses -------------------------


@both
def test_a_generator_based_coroutine_can_be_awaited(make):
    sent = []

    @types.coroutine
    def send(message):
        yield "tick"
        sent.append(message["type"])

    coro = make(send)
    assert coro.send(None) == "tick"
    assert coro.send(None) == "tick"
    with pytest.raises(StopIteration):
        coro.send(None)
    assert sent == ["http.response.start", "http.response.body"]


@both
def test_a_coroutine_awaited_elsewhere_is_refused(make):
    async def elsewhere():
        await Suspend()

    busy = elsewhere()
    busy.send(None)
    coro = make(lambda message: busy)
    with pytest.raises(RuntimeError, match="coroutine is being awaited already"):
        coro.send(None)
    busy.close()


@both
def test_throw_into_a_finished_coroutine_cannot_reuse_it(make):
    async def send(message):
        pass

    coro = make(send)
    with pytest.raises(StopIteration):
        coro.send(None)
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.throw(KeyError("late"))
    assert coro.close() is None


class Broken:
    """An awaitable whose iterator fails to say what its throw or close is."""

    def __init__(self, broken):
        self.broken = broken

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return "tick"

    def __getattr__(self, name):
        if name == self.broken:
            raise ValueError(f"no {name} today")
        raise AttributeError(name)


@both
def test_a_failed_lookup_of_the_inner_throw_goes_back_to_the_caller(make):
    coro = make(lambda message: Broken("throw"))
    assert coro.send(None) == "tick"
    with pytest.raises(ValueError, match="no throw today"):
        coro.throw(KeyError("k"))
    assert coro.send(None) == "tick"  # still suspended where it was
    coro.close()


@both
def test_a_failed_lookup_of_the_inner_close_is_reported_and_closing_goes_on(make, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reported.append(str(u.exc_value)))
    coro = make(lambda message: Broken("close"))
    coro.send(None)
    assert coro.close() is None
    assert reported == ["no close today"]
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED


# ---- what the coroutine object shows ----------------------------------------------------------


@both
def test_introspection_follows_the_coroutine_through_its_life(make):
    seen = {}
    inner = Suspend()

    def send(message):
        seen.setdefault("running", (inspect.getcoroutinestate(coro), coro.cr_running))
        return inner

    coro = make(send)
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CREATED
    assert coro.cr_await is None and coro.cr_frame is not None and coro.cr_code is not None
    coro.send(None)
    assert seen["running"] == (inspect.CORO_RUNNING, True)
    assert inspect.getcoroutinestate(coro) == inspect.CORO_SUSPENDED
    assert coro.cr_await is not None and not coro.cr_running
    if sys.version_info >= (3, 11):
        assert coro.cr_suspended
    coro.close()
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED
    assert coro.cr_await is None and coro.cr_frame is None


@both
def test_names_can_be_set(make):
    coro = make(None)
    coro.__name__ = "renamed"
    coro.__qualname__ = "Somewhere.renamed"
    assert (coro.__name__, coro.__qualname__) == ("renamed", "Somewhere.renamed")
    assert "Somewhere.renamed" in repr(coro)
    with pytest.raises(TypeError):
        coro.__name__ = 1
    coro.close()


def test_a_task_repr_shows_the_method_and_where_it_waits():
    async def main():
        gate = ApiKeyGatehouse(None, api_key="k")
        task = asyncio.ensure_future(gate._send_401({}, lambda message: asyncio.sleep(10)))
        await asyncio.sleep(0)
        text = repr(task)
        task.cancel()
        return text

    text = asyncio.run(main())
    assert "coro=<ApiKeyGatehouse._send_401() running at " in text, text


def test_a_helper_coroutine_of_a_method_carries_its_name(monkeypatch):
    """_verify_remote awaits a coroutine of its own for the exchange; it is named after it."""
    import httpx

    class Client:
        async def __aenter__(self):
            await Suspend()
            return self

        async def __aexit__(self, *exc):
            return False

    monkeypatch.setattr(httpx, "AsyncClient", Client)
    coro = ApiKeyGatehouse(None, auth_verify_url="http://v")._verify_remote("k")
    coro.send(None)
    helper = coro.cr_await
    assert helper.__qualname__ == "ApiKeyGatehouse._verify_remote", helper
    coro.close()


# ---- the exception being handled belongs to the coroutine ------------------------------------


@both
def test_the_exception_being_handled_stays_with_its_coroutine(make):
    """A coroutine suspended inside `except` must not leak its exception to other code."""
    seen = []

    async def send(message):
        try:
            raise KeyError("inside")
        except KeyError:
            await Suspend()
            seen.append(sys.exc_info()[0])

    coro = make(send)
    coro.send(None)
    assert sys.exc_info() == (None, None, None)
    try:
        raise ValueError("outside")
    except ValueError:
        coro.send(None)  # resumes inside its except block, then finishes the second send
        assert sys.exc_info()[0] is ValueError
    assert seen[0] is KeyError
    coro.close()
