"""The SSE transport's session, read as the SDK reads it: the endpoint event parsed as SSE
defines it, however it is written or chunked, and a message post admitted only when the
session Starlette's parser finds in it is the caller's own."""

from __future__ import annotations

import asyncio
import logging
import re
from contextlib import AsyncExitStack, asynccontextmanager

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from starlette.requests import Request

from tests.gate.conftest import whoami_server

from .conftest import http_scope, lines, request
from .test_sessions import users_gate


class SseApp:
    """GET: a text/event-stream response with ``scope["chunks"]``, one body message each,
    then open until ``scope["ends"]`` is set. Anything else: 202, recorded in ``posts``."""

    def __init__(self) -> None:
        self.posts: list[dict] = []

    async def __call__(self, scope, receive, send):
        if scope["method"] != "GET":
            self.posts.append(scope)
            await send({"type": "http.response.start", "status": 202, "headers": []})
            await send({"type": "http.response.body", "body": b"Accepted"})
            return
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-type", b"text/event-stream; charset=utf-8")]})  # fmt: skip
        for chunk in scope["chunks"]:
            await send({"type": "http.response.body", "body": chunk, "more_body": True})
        scope["sent"].set()
        await scope["ends"].wait()
        await send({"type": "http.response.body", "body": b""})


@asynccontextmanager
async def stream(gate, key, chunks):
    """An SSE stream opened by ``key``, open while the block runs, its chunks all sent;
    yields what the client got (complete once the block ends)."""
    sent, ends = asyncio.Event(), asyncio.Event()
    scope = http_scope(key, method="GET", path="/sse")
    scope |= {"chunks": chunks, "sent": sent, "ends": ends}
    task = asyncio.ensure_future(request(gate, scope))
    got: list[bytes] = []
    try:
        await asyncio.wait_for(sent.wait(), 10)
        yield got
    finally:
        ends.set()
        answer = await task
        got += [m.get("body", b"") for m in answer.messages[1:]]


async def post(gate, key, query, path="/messages/", headers=()):
    scope = http_scope(key, path=path, query=query, headers=list(headers))
    return (await request(gate, scope)).status


@pytest.fixture(scope="module")
def sdk_event() -> bytes:
    """The first body message of the SDK's own SSE app: its endpoint event."""

    async def capture() -> bytes:
        first = asyncio.get_running_loop().create_future()

        async def send(message):
            if message.get("body") and not first.done():
                first.set_result(message["body"])

        async def receive():
            await asyncio.shield(first)
            return {"type": "http.disconnect"}

        scope = {"type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1",
                 "method": "GET", "scheme": "http", "path": "/sse", "raw_path": b"/sse",
                 "root_path": "", "query_string": b"", "headers": [(b"host", b"127.0.0.1:8000")],
                 "client": ("127.0.0.1", 1), "server": ("127.0.0.1", 8000)}  # fmt: skip
        await asyncio.wait_for(whoami_server().sse_app()(scope, receive, send), 10)
        return first.result()

    event = asyncio.run(capture())
    assert re.fullmatch(
        rb"event: endpoint\r\ndata: /messages/\?session_id=[0-9a-f]{32}\r\n\r\n", event
    )
    return event


# ---- the endpoint event, however written or chunked -------------------------------------------

PING = b": ping - 2026-01-01 00:00:00.000000+00:00\r\n\r\n"  # as sse_starlette writes it


def session_of(event: bytes) -> str:
    return re.search(rb"session_id=([0-9a-f]{32})", event)[1].decode()


def data_first(event: bytes) -> bytes:
    kind, data = event.split(b"\r\n")[:2]
    return data + b"\r\n" + kind + b"\r\n\r\n"


WRITINGS = {
    "as the SDK writes it": lambda e: [e],
    "after six pings": lambda e: [PING] * 6 + [e],
    "without the spaces": lambda e: [e.replace(b": ", b":")],
    "data before event": lambda e: [data_first(e)],
    "with LF line ends": lambda e: [e.replace(b"\r\n", b"\n")],
    "with CR line ends": lambda e: [e.replace(b"\r\n", b"\r")],
    "with a comment, id and retry inside": lambda e: [e.replace(b"\r\ndata", b"\r\n: note\r\nid: 1\r\nretry: 5\r\ndata")],
}  # fmt: skip


def chunkings(chunks: list[bytes]):
    """The chunks as written, the whole split in two at every byte, one byte per message."""
    whole = b"".join(chunks)
    yield "as written", chunks
    for at in range(1, len(whole)):
        yield f"split at {at}", [whole[:at], whole[at:]]
    yield "one byte per message", [whole[n : n + 1] for n in range(len(whole))]


async def bound_to_the_opener(chunks: list[bytes], session: str) -> bool:
    gate = users_gate(SseApp())
    async with stream(gate, "key-ada", chunks) as got:
        bound = gate._stats()["stream_sessions"] == 1
        bob = await post(gate, "key-bob", f"session_id={session}".encode())
        ada = await post(gate, "key-ada", f"session_id={session}".encode())
    assert b"".join(got) == b"".join(chunks)  # the client gets the stream as it was sent
    return (bound, bob, ada) == (True, 404, 202)


@pytest.mark.parametrize("writing", WRITINGS.values(), ids=WRITINGS.keys())
async def test_the_endpoint_event_binds_however_it_is_written_or_chunked(sdk_event, writing):
    written = writing(sdk_event)
    session = session_of(sdk_event)
    unbound = [how for how, chunks in chunkings(written) if not await bound_to_the_opener(chunks, session)]  # fmt: skip
    assert not unbound, f"not bound when written {', '.join(unbound)}"


@pytest.mark.parametrize(
    ("padding", "bound"),
    [([PING] * (60_000 // len(PING)), True), ([PING] * (70_000 // len(PING)), False),
     ([b": " + b"x" * 70_000, b"\r\n\r\n"], False)],
    ids=["60 kB of pings", "70 kB of pings", "one 70 kB comment line"],
)  # fmt: skip
async def test_an_endpoint_beyond_64_kib_is_not_learnt_and_warned_about_once_per_gate(
    gate_log, sdk_event, padding, bound
):
    gate = users_gate(SseApp())
    for _ in range(2):
        async with stream(gate, "key-ada", padding + [sdk_event]):
            assert gate._stats()["stream_sessions"] == int(bound)
    warnings = lines(gate_log, logging.WARNING)
    if bound:
        assert warnings == []
    else:
        assert len(warnings) == 1 and "endpoint" in warnings[0]


# ---- message posts: the session checked is the session Starlette's parser finds ---------------

ADA, BOB, BOB_2 = "5b1f0c9e2d6a4f3b8e7c1a2d3f4e5a6b", "0d9c8b7a6f5e4d3c2b1a09f8e7d6c5b4", "77e1a2b3c4d5e6f708192a3b4c5d6e7f"  # fmt: skip
NAMES = ["session_id", "session%5Fid", "session%5fid", "sessio%6E_id", "%73ession_id", "session+id",
         "session_id+", "session_id%00", "x", ""]  # fmt: skip
# Alice's id spelt as uuid.UUID(hex=...) in the SDK also reads it: upper case, braces, hyphens.
VALUES = [ADA, BOB, BOB_2, "", ADA.upper(), f"{{{ADA}}}", f"{ADA[:8]}-{ADA[8:]}", "%35" + ADA[1:],
          ADA + "+", BOB + "%20", "%", "x"]  # fmt: skip
JUNK = ["", "%", "+", "=", ";", "%zz", "%3D", "%26"]
PATHS = ["/messages/", "/messages/x", "/messages/a/b", "/messages//", "/messages", "/messagesx/",
         "/sse", "/elsewhere"]  # fmt: skip
HEADERS = [(b"mcp-session-id", ADA.encode()), (b"mcp-session-id", BOB.encode()),
           (b"content-type", b"application/json"), (b"session-id", ADA.encode()),
           (b"cookie", f"session_id={ADA}".encode())]  # fmt: skip
fields = st.tuples(st.sampled_from(NAMES), st.sampled_from(["=", ""]), st.sampled_from(VALUES))
queries = st.lists(fields.map("".join) | st.sampled_from(JUNK), max_size=6).map("&".join)


def test_an_admitted_post_names_at_most_one_session_and_it_is_the_callers_own():
    loop = asyncio.new_event_loop()
    app = SseApp()
    gate = users_gate(app, failure_limit=0)
    streams = AsyncExitStack()

    async def open_streams():
        for key, session in [("key-ada", ADA), ("key-bob", BOB), ("key-bob", BOB_2)]:
            event = f"event: endpoint\r\ndata: /messages/?session_id={session}\r\n\r\n"
            await streams.enter_async_context(stream(gate, key, [event.encode()]))
        assert gate._stats()["stream_sessions"] == 3

    @settings(max_examples=1500, deadline=None)
    @given(queries, st.sampled_from(PATHS), st.lists(st.sampled_from(HEADERS), max_size=3))
    def check(query, path, headers):
        app.posts.clear()
        loop.run_until_complete(post(gate, "key-bob", query.encode(), path, headers))
        if app.posts and path.startswith("/messages/"):
            named = Request(app.posts[0]).query_params.getlist("session_id")
            assert named == [] or named in ([BOB], [BOB_2]), named

    loop.run_until_complete(open_streams())
    try:
        check()
    finally:
        loop.run_until_complete(streams.aclose())
        loop.close()


async def test_a_stream_opened_with_a_session_id_in_its_query_is_still_bound(sdk_event):
    """The SDK's SSE endpoint ignores the query and opens a new session all the same."""
    gate, session = users_gate(SseApp()), session_of(sdk_event)
    sent, ends = asyncio.Event(), asyncio.Event()
    scope = http_scope("key-ada", method="GET", path="/sse", query=b"session_id=mine")
    scope |= {"chunks": [sdk_event], "sent": sent, "ends": ends}
    task = asyncio.ensure_future(request(gate, scope))
    await asyncio.wait_for(sent.wait(), 10)
    assert await post(gate, "key-bob", f"session_id={session}".encode()) == 404
    assert await post(gate, "key-ada", f"session_id={session}".encode()) == 202
    ends.set()
    await task
