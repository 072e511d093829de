"""Who gets in and what the others get: fixed-key admission, the JSON-RPC 401, public paths,
CORS preflights, the failure limit and its window, and the refusal log."""

from __future__ import annotations

import json
import logging

import pytest

from tervik.mcp.context import mcp_request_ctx
from tervik.mcp.secure import SecureGatehouse

from .conftest import App, assert_no_key_logged, http_scope, lines, request

BOTH_STORES = True  # each test runs with the in-memory store and with Redis

KEY = "sk-fixed-0123456789"


@pytest.mark.parametrize("via", ["header", "query"])
async def test_the_fixed_key_admits_with_the_identity_contract(via):
    app = App()
    answer = await request(SecureGatehouse(app, api_key=KEY), http_scope(KEY, via=via))
    assert answer.status == 200
    assert answer.seen_identity == {"api_key": KEY, "user_id": None, "email": None}
    assert app.calls[0]["mcp_api_key"] == KEY
    assert mcp_request_ctx.get() is None


UNAUTHORIZED = {"jsonrpc": "2.0", "id": None, "error": {"code": -32001}}


@pytest.mark.parametrize(
    ("key", "message", "authenticate"),
    [
        (None, "Unauthorized: missing API key", b'Bearer realm="tervik-mcp"'),
        ("", "Unauthorized: missing API key", b'Bearer realm="tervik-mcp"'),
        ("wrong", "Unauthorized: invalid API key", b'Bearer realm="tervik-mcp", error="invalid_token"'),
    ],
)  # fmt: skip
async def test_a_refusal_is_a_json_rpc_error_that_says_why(key, message, authenticate):
    app = App()
    scope = http_scope(key)
    before = dict(scope)
    answer = await request(SecureGatehouse(app, api_key=KEY), scope)
    assert answer.status == 401
    assert answer.headers == {
        b"content-type": b"application/json",
        b"www-authenticate": authenticate,
    }
    body = answer.json
    assert body["error"].pop("message") == message
    assert body == UNAUTHORIZED
    assert app.calls == [] and scope == before  # the application never saw it


@pytest.mark.parametrize(
    ("reason", "message", "invalid_token"),
    [
        ("invalid_api_key", "Unauthorized: invalid API key", True),
        ("missing_api_key", "Unauthorized: missing API key", False),
        ("verification_failed", "Unauthorized: the API key could not be verified", True),
        ('odd "reason"\n', 'Unauthorized: odd "reason"\n', True),
    ],
)  # fmt: skip
async def test_send_401_tells_each_reason(reason, message, invalid_token):
    sent = []

    async def send(m):
        sent.append(m)

    await SecureGatehouse(None, api_key=KEY)._send_401({}, send, reason)
    assert json.loads(sent[1]["body"])["error"]["message"] == message
    assert (
        b'error="invalid_token"' in dict(sent[0]["headers"])[b"www-authenticate"]
    ) is invalid_token
    assert "more_body" not in sent[1]


async def test_an_unconfigured_gate_refuses_every_request():
    answer = await request(SecureGatehouse(App()), http_scope("anything"))
    assert answer.status == 401


@pytest.mark.parametrize("scope_type", ["lifespan", "websocket"])
async def test_other_scopes_pass_through_untouched(scope_type):
    seen = []

    async def app(scope, receive, send):
        seen.append(scope["type"])

    await SecureGatehouse(app, api_key=KEY)({"type": scope_type}, None, None)
    assert seen == [scope_type]


# ---- public paths and preflights ---------------------------------------------------------------

PREFLIGHT = [(b"origin", b"https://app.example"), (b"access-control-request-method", b"POST")]


@pytest.mark.parametrize(
    ("scope", "passes"),
    [
        (http_scope(method="OPTIONS", headers=PREFLIGHT), True),
        (http_scope(method="OPTIONS", headers=PREFLIGHT[:1]), False),  # no requested method
        (http_scope(method="POST", headers=PREFLIGHT), False),
        (http_scope(path="/healthz", method="GET"), True),
        (http_scope(path="/healthz/", method="GET"), False),  # exact paths only
    ],
)  # fmt: skip
async def test_preflights_and_public_paths_pass_without_a_key_or_an_identity(scope, passes):
    app = App()
    gate = SecureGatehouse(app, api_key=KEY, public_paths=["/healthz"])
    answer = await request(gate, scope)
    assert answer.status == (200 if passes else 401)
    if passes:
        assert answer.seen_identity is None and "mcp_api_key" not in app.calls[0]


async def test_preflights_can_be_gated_too():
    gate = SecureGatehouse(App(), api_key=KEY, allow_cors_preflight=False)
    answer = await request(gate, http_scope(method="OPTIONS", headers=PREFLIGHT))
    assert answer.status == 401


# ---- the failure limit ------------------------------------------------------------------------


async def test_the_limit_answers_429_for_a_window_then_forgets(clock, gate_log):
    gate = SecureGatehouse(
        App(), api_key=KEY, failure_limit=3, failure_window_seconds=60, clock=clock
    )
    statuses = [(await request(gate, http_scope("wrong"))).status for _ in range(3)]
    assert statuses == [401, 401, 401]
    limited = await request(gate, http_scope(KEY))  # even the right key: the address is blocked
    assert (limited.status, limited.headers[b"retry-after"]) == (429, b"60")
    assert limited.json["error"]["code"] == -32000
    clock.advance(45)
    assert (await request(gate, http_scope("wrong"))).headers[b"retry-after"] == b"15"
    other = await request(gate, http_scope(KEY, client="198.51.100.1"))
    assert other.status == 200  # another address is not affected
    clock.advance(15)
    assert (await request(gate, http_scope(KEY))).status == 200
    warnings = lines(gate_log, logging.WARNING)
    assert warnings == [
        "client 203.0.113.7 had 3 refused requests within 60 s: answering 429 for the next 60 s"
    ]


async def test_refusals_spread_over_more_than_a_window_never_trip_it(clock):
    gate = SecureGatehouse(
        App(), api_key=KEY, failure_limit=3, failure_window_seconds=60, clock=clock
    )
    for _ in range(4):
        for _ in range(2):
            assert (await request(gate, http_scope("wrong"))).status == 401
        clock.advance(61)
    assert gate._stats()["blocked_clients"] == 0


async def test_a_limit_of_zero_counts_nothing(clock):
    gate = SecureGatehouse(App(), api_key=KEY, failure_limit=0, clock=clock)
    for _ in range(300):
        assert (await request(gate, http_scope("wrong"))).status == 401
    assert gate._stats()["tracked_clients"] == 0


@pytest.mark.memory_store_only("Redis counts the addresses, with its own expiry")
async def test_the_addresses_counted_are_bounded(clock):
    gate = SecureGatehouse(App(), api_key=KEY, max_tracked_clients=50, clock=clock)
    for n in range(500):
        await request(gate, http_scope("wrong", client=f"10.0.{n // 256}.{n % 256}"))
    assert gate._stats()["tracked_clients"] == 50


# ---- the refusal log ------------------------------------------------------------------------


async def test_each_refusal_is_one_debug_line_without_the_key(clock, gate_log):
    keys = ["sk-wrong/ü key+1", KEY]
    gate = SecureGatehouse(App(), api_key=KEY, failure_limit=2, clock=clock)
    await request(gate, http_scope(None, path="/mcp"))  # guesses nothing: not counted
    await request(gate, http_scope(keys[0], via="query", path=f"/x/{keys[0]}"))
    await request(gate, http_scope("wrong", path="/mcp"))
    await request(gate, http_scope(KEY, path="/mcp"))
    assert lines(gate_log, logging.DEBUG) == [
        "refused (missing key): client 203.0.113.7, path /mcp",
        "refused (wrong key): client 203.0.113.7, path (withheld: it shows the key)",
        "refused (wrong key): client 203.0.113.7, path /mcp",
        "refused (rate-limited): client 203.0.113.7, path /mcp",
    ]
    assert_no_key_logged(gate_log.records, keys)


async def test_a_request_without_a_client_address_is_still_logged(gate_log):
    scope = http_scope("wrong")
    del scope["client"]
    await request(SecureGatehouse(App(), api_key=KEY), scope)
    assert lines(gate_log, logging.DEBUG) == ["refused (wrong key): client -, path /mcp"]


# ---- what counts towards the limit, and by which address ------------------------------------


@pytest.mark.parametrize(
    "scope",
    [
        http_scope(None),  # no key: it guesses nothing
        http_scope(KEY, session="not-here"),  # another worker's session, or an expired one
        http_scope(None, path="/.well-known/oauth-protected-resource/mcp"),
    ],
    ids=["no key", "unknown session", "oauth discovery"],
)
async def test_only_a_presented_wrong_key_counts(clock, scope):
    gate = SecureGatehouse(App(), api_key=KEY, failure_limit=2, clock=clock)
    statuses = {(await request(gate, dict(scope))).status for _ in range(5)}
    assert 429 not in statuses and gate._stats()["tracked_clients"] == 0


@pytest.mark.parametrize(
    "path",
    [
        "/.well-known/oauth-protected-resource",
        "/.well-known/oauth-protected-resource/mcp",
        "/.well-known/oauth-authorization-server",
        "/.well-known/openid-configuration",
        "/mcp/.well-known/openid-configuration",
    ],
)
async def test_oauth_discovery_gets_404_without_a_key_unless_public(path):
    app = App()
    answer = await request(SecureGatehouse(app, api_key=KEY), http_scope(None, path=path))
    assert (answer.status, answer.json["error"]) == (404, "not_found") and app.calls == []
    public = SecureGatehouse(app, api_key=KEY, public_paths=[path])
    assert (await request(public, http_scope(None, path=path))).status == 200


async def test_near_misses_of_discovery_paths_still_need_a_key():
    gate = SecureGatehouse(App(), api_key=KEY)
    for path in [
        "/.well-known/oauth-protected-resourcex",
        "/x/.well-known/oauth-protected-resource",
    ]:
        assert (await request(gate, http_scope(None, path=path))).status == 401


@pytest.mark.parametrize(
    "addresses",
    [
        ["127.0.0.1", "::ffff:127.0.0.1", "::ffff:7f00:1"],  # one IPv4 client
        ["2001:db8:1:2::1", "2001:db8:1:2::2", "2001:db8:1:2:ffff::9"],  # one /64
    ],
)
async def test_addresses_count_as_addresses(clock, addresses):
    gate = SecureGatehouse(App(), api_key=KEY, failure_limit=3, clock=clock)
    for address in addresses:
        assert (await request(gate, http_scope("wrong", client=address))).status == 401
    assert (await request(gate, http_scope(KEY, client=addresses[0]))).status == 429
    assert (await request(gate, http_scope(KEY, client="2001:db8:1:3::1"))).status == 200


async def test_a_blocked_address_is_never_evicted_for_unblocked_ones(clock):
    gate = SecureGatehouse(App(), api_key=KEY, failure_limit=2, max_tracked_clients=3, clock=clock)

    async def refused(address, times=1):
        for _ in range(times):
            await request(gate, http_scope("wrong", client=address))

    async def status(address):
        return (await request(gate, http_scope(KEY, client=address))).status

    await refused("10.0.0.1", 2)
    for n in range(100):  # many others, one refusal each: they make room for each other
        await refused(f"10.1.0.{n}")
    assert await status("10.0.0.1") == 429
    clock.advance(1)
    await refused("10.0.0.2", 2)
    clock.advance(1)
    await refused("10.0.0.3", 2)
    await refused("10.0.0.4")  # all three blocked: the block that ends first makes room
    assert [await status(f"10.0.0.{n}") for n in (1, 2, 3)] == [200, 429, 429]


async def test_requests_without_an_address_are_not_limited_as_one(clock):
    gate = SecureGatehouse(App(), api_key=KEY, failure_limit=2, clock=clock)
    for _ in range(5):
        scope = http_scope("wrong") | {"client": None}  # a unix socket under uvicorn
        assert (await request(gate, scope)).status == 401
    assert (await request(gate, http_scope(KEY) | {"client": None})).status == 200
