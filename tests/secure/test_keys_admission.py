"""SecureGatehouse with a keys file: a key is admitted only while a live line holds its
digest, with that line's identity; a look-alike fails its checksum; the file is read again
when it changes, and a bad file keeps the keys in force with one ERROR; no key or digest is
ever logged."""

from __future__ import annotations

import logging
import os
import time
from pathlib import Path

import pytest

from tervik.mcp.keys import key_digest, key_id_of, mint_key
from tervik.mcp.secure import SecureGatehouse

from .conftest import App, assert_no_key_logged, http_scope, lines, request

ADA, BOB = mint_key(), mint_key()


def line(key: str, user: str, **fields: str) -> str:
    extra = "".join(f" {name}={value}" for name, value in fields.items())
    return f"{key_id_of(key)} sha256:{key_digest(key)} user={user}{extra}\n"


@pytest.fixture
def keys_file(tmp_path: Path) -> Path:
    path = tmp_path / "keys"
    path.write_text("# the team's keys\n" + line(ADA, "ada", email="ada@example.test"))
    return path


def rewrite(path: Path, text: str) -> None:
    """A new file in place, seen as changed (a new mtime) when the gate next looks."""
    path.write_text(text)
    later = time.time_ns() + 2_000_000_000
    os.utime(path, ns=(later, later))


async def test_a_listed_key_is_admitted_with_its_lines_identity(keys_file, gate_log):
    gate = SecureGatehouse(App(), keys_file=keys_file)
    answer = await request(gate, http_scope(ADA))
    assert answer.status == 200
    assert answer.seen_identity == {"api_key": ADA, "user_id": "ada", "email": "ada@example.test"}
    assert answer.scope["user"].display_name == "ada"
    assert (await request(gate, http_scope(ADA, via="query"))).status == 200  # warm
    assert f"MCP Server 运行在密钥文件模式，密钥文件: {keys_file}" in lines(gate_log, logging.INFO)
    assert gate._stats()["file_keys"] == 1


@pytest.mark.parametrize(
    "presented",
    [
        BOB,  # well formed, not in the file
        ADA[:-1] + ("A" if ADA[-1] != "A" else "B"),  # its checksum fails
        ADA[:20] + ("x" if ADA[20] != "x" else "y") + ADA[21:],  # one body character changed
        "tvk_" + "0" * 37,
        "not-a-key-at-all",
    ],
)
async def test_other_keys_are_wrong_keys_and_count(keys_file, presented, gate_log):
    gate = SecureGatehouse(App(), keys_file=keys_file, failure_limit=2)
    statuses = [(await request(gate, http_scope(presented))).status for _ in range(3)]
    assert statuses == [401, 401, 429]
    assert_no_key_logged(gate_log.records, [ADA, key_digest(ADA), presented])


async def test_rotation_with_overlap_admits_both_until_the_old_line_expires(keys_file, monkeypatch):
    new = mint_key()
    rewrite(keys_file, line(ADA, "ada", expires="2030-01-01") + line(new, "ada"))
    gate = SecureGatehouse(App(), keys_file=keys_file)
    monkeypatch.setattr(time, "time", lambda: 1893455999.0)  # 2029-12-31T23:59:59Z
    assert [(await request(gate, http_scope(k))).status for k in (ADA, new)] == [200, 200]
    monkeypatch.setattr(time, "time", lambda: 1893456000.0)
    assert [(await request(gate, http_scope(k))).status for k in (ADA, new)] == [401, 200]


async def test_the_file_is_read_again_when_it_changes(keys_file, clock, gate_log):
    gate = SecureGatehouse(App(), keys_file=keys_file, clock=clock)
    assert (await request(gate, http_scope(ADA))).status == 200
    rewrite(keys_file, line(BOB, "bob"))
    assert (await request(gate, http_scope(ADA))).status == 200  # not looked at again yet
    clock.advance(1.5)
    assert [(await request(gate, http_scope(k))).status for k in (ADA, BOB)] == [401, 200]
    assert lines(gate_log, logging.ERROR) == []


@pytest.mark.parametrize(
    "broken", ["ada sha256:00 user=ada\n", "{valid}{valid}", "{valid}zz9zz9zz sha256:x\n"]
)
async def test_a_bad_file_keeps_the_keys_in_force_with_one_error(
    keys_file, clock, gate_log, broken
):
    gate = SecureGatehouse(App(), keys_file=keys_file, clock=clock)
    rewrite(keys_file, broken.format(valid=line(BOB, "bob")))
    for _ in range(3):
        clock.advance(1.5)
        assert (await request(gate, http_scope(ADA))).status == 200
        assert (await request(gate, http_scope(BOB))).status == 401
    [error] = lines(gate_log, logging.ERROR)
    assert str(keys_file) in error and "line" in error
    assert_no_key_logged(gate_log.records, [ADA, BOB, key_digest(ADA), key_digest(BOB)])


async def test_thousands_of_keys_each_find_their_own_line(tmp_path):
    keys = [mint_key() for _ in range(3000)]
    path = tmp_path / "keys"
    path.write_text("".join(line(key, f"user-{n}") for n, key in enumerate(keys)))
    gate = SecureGatehouse(App(), keys_file=path)
    for n in (0, 1500, 2999):
        assert (await request(gate, http_scope(keys[n]))).seen_identity["user_id"] == f"user-{n}"
    assert gate._stats()["file_keys"] == 3000


@pytest.mark.parametrize(
    ("options", "error"),
    [
        ({"api_key": "k"}, ValueError),
        ({"auth_verify_url": "http://127.0.0.1:9/v"}, ValueError),
        ({"keys_file": 3}, TypeError),
    ],
)
def test_a_keys_file_is_a_source_of_its_own(keys_file, options, error):
    with pytest.raises(error):
        SecureGatehouse(App(), **{"keys_file": keys_file, **options})


def test_a_file_that_cannot_be_read_is_refused_at_construction(tmp_path):
    (tmp_path / "keys").write_text("not a line\n")
    with pytest.raises(ValueError, match="line 1"):
        SecureGatehouse(App(), keys_file=tmp_path / "keys")
    with pytest.raises(OSError):
        SecureGatehouse(App(), keys_file=tmp_path / "missing")
