"""The per-user keys of ``tervik.mcp.keys``: the key form and its checksum, the keys file,
and the commands that mint, revoke and list keys."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

from tervik.mcp import keys

KNOWN = "tvk_abcd1234_0123456789ABCDEFGHIJKL2Y9hKd"  # its check: CRC32 2336972611 in base62
DIGEST = "ab" * 32
SHA = f"sha256:{DIGEST}"
LINE = f"abcd1234 {SHA} user=ada"
FILE = (
    f"# team keys\r\nabcd1234\t{SHA}   user=ada  email=ada%2Bmcp@example.test\r\n\n"
    f"efgh5678 sha256:{'cd' * 32} user=bob expires=2000-01-01\n   # indented comment\n"
    f"ijkl9012 sha256:{'ef' * 32} expires=9999-12-31T23:59:59Z user=Bob%20Z%C3%BC\n"
)
# Each character of KNOWN at these places changed to another of its kind (past the prefix).
CHANGED = [KNOWN[:i] + ("1" if KNOWN[i] == "0" else "0") + KNOWN[i + 1 :] for i in
           (0, 3, 4, 11, 13, 20, 34, 35, 40)]  # fmt: skip
OTHERS = ["ghp_" + KNOWN[4:], "TVK_" + KNOWN[4:], KNOWN[:-1], KNOWN + "0", KNOWN + "\n", ""]


@pytest.mark.parametrize("key", [KNOWN, keys.mint_key(), keys.mint_key("k3v9x2qa")])
def test_keys_pass(key: str) -> None:
    assert len(key) == 41 and keys.key_id_of(key) == key[4:12]


@pytest.mark.parametrize("key", CHANGED + OTHERS)
def test_look_alikes_fail(key: str) -> None:
    assert keys.key_id_of(key) is None


def test_parse_accepts_the_documented_forms() -> None:
    ada, bob, zu = keys.parse(FILE).values()
    assert ada == ("abcd1234", bytes.fromhex(DIGEST), "ada", "ada+mcp@example.test", None, 2)
    assert (bob.key_id, bob.expires, bob.line) == ("efgh5678", 946684800.0, 4)
    assert (zu.user_id, zu.email, zu.expires, zu.line) == ("Bob Zü", None, 253402300799.0, 6)
    assert keys.parse(f"\ufeff{LINE} expires=2030-01-01T12:30Z")["abcd1234"].expires == 1893501000
    line = keys.format_line("abcd1234", DIGEST.upper(), "A d/ü?%=", "a+b@x.test", 1893501000.9)
    assert keys.parse(line)["abcd1234"][1:5] == (
        bytes.fromhex(DIGEST), "A d/ü?%=", "a+b@x.test", 1893501000.0)  # fmt: skip


BASE = f"base0000 sha256:{'cd' * 32} user=ada"
MALFORMED = [  # each as line 4, after a comment, BASE and a blank line
    f"ABCD1234 {SHA} user=ada", f"abcd123 {SHA} user=ada", f"{KNOWN} user=ada",
    f"abcd1234 {SHA[:-1]} user=ada", f"abcd1234 {SHA[:-1]}g user=ada", f"abcd1234 {DIGEST} user=a",
    f"abcd1234 {SHA}", f"abcd1234 {SHA} user=", f"abcd1234 {SHA} email=a@b.test",
    f"{LINE} name=ada", f"{LINE} {KNOWN}", f"{LINE} user=bob", f"{LINE} expires=2030-02-30",
    f"{LINE} expires=2030-01-01T12:30", f"{LINE} expires=2030-1-1", f"{LINE} email=a%zz",
    f"abcd1234 {SHA} user=a%0Ab", f"abcd1234 {SHA} user=José", f"abcd1234 {SHA} user=%FF",
    BASE.replace("base0000", "zzzz9999"), f"base0000 {SHA} user=bob",  # repeats
]  # fmt: skip


@pytest.mark.parametrize("line", MALFORMED)
def test_parse_refuses_a_malformed_line_without_showing_it(line: str) -> None:
    with pytest.raises(keys.KeysFileError) as caught:
        keys.parse(f"# keys\n{BASE}\n\n{line}\n")
    message = str(caught.value)
    assert caught.value.line == 4 and message.startswith("keys file, line 4: ")
    assert line not in message and KNOWN[13:30] not in message and DIGEST[:16] not in message


def test_load_names_the_os_error_and_the_line(tmp_path: Path) -> None:
    with pytest.raises(keys.KeysFileError, match="No such file or directory") as caught:
        keys.load(tmp_path / "absent")
    assert caught.value.line == 0
    (tmp_path / "keys").write_bytes(f"{LINE}\n# caf\xe9\n".encode("latin-1"))
    with pytest.raises(keys.KeysFileError, match="line 2: not UTF-8"):
        keys.load(tmp_path / "keys")


@pytest.fixture
def keys_file(tmp_path: Path) -> Path:
    (path := tmp_path / "keys").write_bytes(FILE.encode())
    path.chmod(0o640)
    return path


@pytest.mark.parametrize(("argv", "old", "new"), [
    (["efgh5678"], FILE.splitlines(True)[3], ""),
    (["abcd1234", "--at", "2031-05-01"], ".test\r\n", ".test expires=2031-05-01\r\n"),
    (["ijkl9012", "--at", "2031-05-01T08:00Z"], "9999-12-31T23:59:59Z", "2031-05-01T08:00Z"),
])  # fmt: skip
def test_revoke_rewrites_only_its_line_atomically(
    keys_file: Path, argv: list[str], old: str, new: str
) -> None:
    inode = keys_file.stat().st_ino
    assert keys.main(["revoke", *argv, "--file", str(keys_file)]) == 0
    assert keys_file.read_bytes() == FILE.replace(old, new, 1).encode()
    assert keys_file.stat().st_mode & 0o777 == 0o640 and keys_file.stat().st_ino != inode
    assert os.listdir(keys_file.parent) == ["keys"]  # no temporary file left


def test_list_shows_no_digest(keys_file: Path, capsys: pytest.CaptureFixture[str]) -> None:
    assert keys.main(["list", "--file", str(keys_file)]) == 0
    assert capsys.readouterr().out.splitlines() == [
        "ID        USER    EMAIL                 EXPIRES",
        "abcd1234  ada     ada+mcp@example.test  never",
        "efgh5678  bob     -                     2000-01-01T00:00:00Z (expired)",
        "ijkl9012  Bob Zü  -                     9999-12-31T23:59:59Z",
    ]


@pytest.mark.parametrize(("argv", "error"), [
    (["revoke", "zzzz9999"], "no key zzzz9999 in "),
    (["revoke", KNOWN], "not the key itself (this key's id: abcd1234)"),
    (["list"], "line 2: no user="),
    (["revoke", "abcd1234"], "line 2: no user="),
])  # fmt: skip
def test_errors_exit_1_with_one_line(
    keys_file: Path, capsys: pytest.CaptureFixture[str], argv: list[str], error: str
) -> None:
    if "no user=" in error:
        keys_file.write_text(f"# keys\nabcd1234 {SHA}\n")
    before = keys_file.read_bytes()
    assert keys.main([*argv, "--file", str(keys_file)]) == 1
    captured = capsys.readouterr()
    assert captured.out == "" and error in captured.err and captured.err.count("\n") == 1
    assert KNOWN not in captured.err and keys_file.read_bytes() == before


def test_new_prints_the_key_once_and_its_line(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    monkeypatch.chdir(tmp_path)
    assert keys.main(["new", "--user=ada", "--email=a@b.test", "--expires=2099-01-01"]) == 0
    shown, intro, line = capsys.readouterr().out.splitlines()
    key = shown.removeprefix("API key (shown once): ")
    assert intro == "Add this line to the keys file:" and os.listdir(tmp_path) == []
    entry = keys.parse(line)[keys.key_id_of(key) or ""]
    assert (entry.digest.hex(), entry.user_id, entry.email, entry.expires) == (
        keys.key_digest(key), "ada", "a@b.test", 4070908800.0)  # fmt: skip
    for bad in (["--user="], ["--user=a", "--expires=2001-01-01"], ["--user=a", "--expires=x"]):
        with pytest.raises(SystemExit, match="2"):
            keys.main(["new", *bad])


def test_runs_as_a_module() -> None:
    run = subprocess.run([sys.executable, "-m", "tervik.mcp.keys", "new", "--user", "ada"],
                         capture_output=True, text=True, check=True)  # fmt: skip
    assert keys.key_id_of(run.stdout.split()[4]) is not None
