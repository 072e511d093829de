"""Per-user API keys for SecureGatehouse's keys file, which holds only their SHA-256 digests.

A key reads ``tvk_<id>_<body><check>``, 41 characters: ``<id>`` is 8 random characters of
``[0-9a-z]`` naming the key, ``<body>`` 22 random base62 characters (over 128 bits) and
``<check>`` the CRC32 of ``tvk_<id>_<body>`` in 6 base62 digits, so that a mistyped key or a
look-alike is refused offline, before any digest is compared. ``key_id_of`` checks both.

The keys file is UTF-8 text, one line per key; ``#`` comment lines and blank lines are
allowed and kept as they are when the file is edited::

    # ada's laptop
    k3v9x2qa sha256:9f86d0...0f00a08 user=Ada%20L email=ada+mcp@example.test expires=2030-01-01

Fields are separated by spaces or tabs. After the id and the digest come ``user=`` (needed)
and, in any order, ``email=`` and ``expires=``, each once. Values are percent-encoded as
``urllib.parse.quote(value, safe="@.+-_~")`` writes them (letters, digits, those marks and
``%XX`` of UTF-8), so they hold no whitespace; decoded, none may be empty or hold a control
character or a line break. An expiry is UTC: ``YYYY-MM-DD`` (midnight starting that day) or ``YYYY-MM-DDTHH:MM[:SS]Z``.
A problem with the file is a ``KeysFileError``, whose message names the line and what is
wrong but never shows a key, a digest or the line's text.

The commands, ``python -m tervik.mcp.keys``::

    new --user ID [--email E] [--expires WHEN]   mint a key; print it once, and its line
    revoke ID --file PATH [--at WHEN]            remove its line, or make it expire at WHEN
    list --file PATH                             the keys: id, user, email, expiry

To rotate a key with an overlap: mint the new key, add its line, then
``revoke OLD --file PATH --at END_OF_OVERLAP``. ``revoke`` rewrites the file atomically and
keeps every other line byte for byte.
"""

from __future__ import annotations

import argparse
import hashlib
import math
import os
import re
import secrets
import sys
import tempfile
import time
import unicodedata
import zlib
from collections.abc import Sequence
from datetime import datetime, timedelta, timezone
from typing import NamedTuple
from urllib.parse import quote, unquote

__all__ = [
    "Entry",
    "KeysFileError",
    "format_line",
    "format_when",
    "key_digest",
    "key_id_of",
    "load",
    "main",
    "mint_key",
    "parse",
    "parse_when",
]

PROG = "python -m tervik.mcp.keys"
PREFIX = "tvk_"
BASE62 = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
ID_ALPHABET = "0123456789abcdefghijklmnopqrstuvwxyz"
ID_LENGTH = 8
BODY_LENGTH = 22
CHECK_LENGTH = 6
KEY_LENGTH = len(PREFIX) + ID_LENGTH + 1 + BODY_LENGTH + CHECK_LENGTH  # 41
SAFE = "@.+-_~"

_KEY = re.compile(r"tvk_([0-9a-z]{8})_([0-9A-Za-z]{22})([0-9A-Za-z]{6})", re.ASCII)
_ID = re.compile(r"[0-9a-z]{8}", re.ASCII)
_DIGEST = re.compile(r"sha256:([0-9A-Fa-f]{64})", re.ASCII)
# What quote(value, safe=SAFE) can write: letters, digits, the safe marks and %XX.
_ENCODED = re.compile(r"(?:[0-9A-Za-z@.+\-_~]|%[0-9A-Fa-f]{2})+", re.ASCII)
_WHEN = re.compile(r"(\d{4})-(\d{2})-(\d{2})(?:T(\d{2}):(\d{2})(?::(\d{2}))?Z)?", re.ASCII)
_FIELD = re.compile(r"[^ \t]+")
_FIELDS = ("user", "email", "expires")
# Refused in a decoded value: control and format characters and line breaks.
_UNPRINTABLE = frozenset({"Cc", "Cf", "Zl", "Zp"})
_BOM = "\ufeff"
WHEN_FORMS = "YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS]Z (UTC)"
_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)


# --- keys ------------------------------------------------------------------------------


def _base62(number: int, width: int) -> str:
    digits = []
    for _ in range(width):
        number, digit = divmod(number, 62)
        digits.append(BASE62[digit])
    return "".join(reversed(digits))


def _check(text: str) -> str:
    return _base62(zlib.crc32(text.encode("ascii")), CHECK_LENGTH)


def mint_key(key_id: str | None = None) -> str:
    """A new random key, with the id given (8 characters of ``[0-9a-z]``) or a random one."""
    if key_id is None:
        key_id = "".join(secrets.choice(ID_ALPHABET) for _ in range(ID_LENGTH))
    elif not _ID.fullmatch(key_id):
        raise ValueError("a key id is 8 characters of 0-9 and a-z")
    head = f"{PREFIX}{key_id}_" + "".join(secrets.choice(BASE62) for _ in range(BODY_LENGTH))
    return head + _check(head)


def key_id_of(key: str) -> str | None:
    """The key's id, or None when the key is not of the form or its checksum is wrong."""
    match = _KEY.fullmatch(key) if isinstance(key, str) else None
    if match is None or _check(key[:-CHECK_LENGTH]) != match[3]:
        return None
    return match[1]


def key_digest(key: str) -> str:
    """The hex SHA-256 of the key's UTF-8: what the keys file holds in its place."""
    return hashlib.sha256(key.encode("utf-8")).hexdigest()


# --- times -----------------------------------------------------------------------------


def parse_when(text: str) -> float:
    """Epoch seconds of a UTC time written ``YYYY-MM-DD`` (midnight starting that day) or
    ``YYYY-MM-DDTHH:MM[:SS]Z``; ValueError for anything else."""
    match = _WHEN.fullmatch(text)
    if match is None:
        raise ValueError(f"not a UTC time: {WHEN_FORMS}")
    year, month, day, hour, minute, second = (int(group or 0) for group in match.groups())
    try:
        moment = datetime(year, month, day, hour, minute, second, tzinfo=timezone.utc)
    except ValueError:
        raise ValueError(f"not a UTC time: {WHEN_FORMS}") from None
    return moment.timestamp()


def format_when(when: float) -> str:
    """The shortest form of ``parse_when`` for the time, rounded down to the second."""
    moment = _moment(when)
    if (moment.hour, moment.minute, moment.second) == (0, 0, 0):
        return moment.strftime("%Y-%m-%d")
    return moment.strftime("%Y-%m-%dT%H:%MZ" if moment.second == 0 else "%Y-%m-%dT%H:%M:%SZ")


def _moment(when: float) -> datetime:
    return _EPOCH + timedelta(seconds=math.floor(when))


def _iso(when: float) -> str:
    return _moment(when).strftime("%Y-%m-%dT%H:%M:%SZ")


# --- the keys file ---------------------------------------------------------------------


class Entry(NamedTuple):
    """One key of the keys file; ``expires`` in epoch seconds, ``line`` counted from 1."""

    key_id: str
    digest: bytes
    user_id: str
    email: str | None
    expires: float | None
    line: int


class KeysFileError(ValueError):
    """The keys file cannot be used. ``line`` is the line at fault, counted from 1, or 0 for
    the whole file; the message names it and the problem, never a key, digest or line text."""

    def __init__(self, line: int, problem: str, path: str | os.PathLike[str] | None = None) -> None:
        self.line = line
        self.problem = problem
        self.path = None if path is None else os.fspath(path)
        where = "keys file" if self.path is None else self.path
        super().__init__(f"{where}: {problem}" if line == 0 else f"{where}, line {line}: {problem}")


def _split_lines(text: str) -> list[str]:
    """The lines, each with its ``\\n`` if it had one; the numbering of every message."""
    pieces = text.split("\n")
    return [piece + "\n" for piece in pieces[:-1]] + ([pieces[-1]] if pieces[-1] else [])


def _is_entry(line: str) -> bool:
    content = line.strip(" \t\r\n")
    return bool(content) and not content.startswith("#")


def _check_value(name: str, value: str) -> None:
    """ValueError, naming ``name``, for a value the keys file cannot hold."""
    if not value:
        raise ValueError(f"{name} is empty")
    if any(unicodedata.category(char) in _UNPRINTABLE for char in value):
        raise ValueError(f"{name} holds a control character or a line break")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{name} is not text") from None


def _decode(name: str, raw: str) -> str:
    """A field's value from its percent-encoding; the problem as a ValueError."""
    if not _ENCODED.fullmatch(raw):
        raise ValueError(f"{name}= is not percent-encoded (letters, digits, {SAFE} and %XX)")
    try:
        value = unquote(raw, errors="strict")
    except UnicodeDecodeError:
        raise ValueError(f"{name}= is not percent-encoded UTF-8") from None
    _check_value(f"{name}=", value)
    return value


def _parse_line(content: str, number: int) -> Entry:
    fields = _FIELD.findall(content)
    if not _ID.fullmatch(fields[0]):
        if key_id_of(fields[0]) is not None:
            raise ValueError("holds a whole key; the file keeps only its id and digest")
        raise ValueError("the key id must be 8 characters of 0-9 and a-z")
    digest = _DIGEST.fullmatch(fields[1]) if len(fields) > 1 else None
    if digest is None:
        raise ValueError("the second field must be sha256: and 64 hex digits")
    values: dict[str, str] = {}
    for field in fields[2:]:
        name, equals, raw = field.partition("=")
        if not equals or name not in _FIELDS:
            raise ValueError("unknown field; after the digest come user=, email= and expires=")
        if name in values:
            raise ValueError(f"{name}= given twice")
        if not raw:
            raise ValueError(f"{name}= is empty")
        values[name] = raw
    if "user" not in values:
        raise ValueError("no user=")
    expires = None
    if "expires" in values:
        try:
            expires = parse_when(values["expires"])
        except ValueError:
            raise ValueError(f"expires= is not a UTC time: {WHEN_FORMS}") from None
    return Entry(
        key_id=fields[0],
        digest=bytes.fromhex(digest[1]),
        user_id=_decode("user", values["user"]),
        email=_decode("email", values["email"]) if "email" in values else None,
        expires=expires,
        line=number,
    )


def parse(text: str) -> dict[str, Entry]:
    """The entries of a keys file's text by key id, in the file's order; KeysFileError for
    the first line that is malformed, repeats an id or repeats a digest."""
    entries: dict[str, Entry] = {}
    digests: dict[bytes, int] = {}
    for number, line in enumerate(_split_lines(text.removeprefix(_BOM)), start=1):
        if not _is_entry(line):
            continue
        try:
            entry = _parse_line(line.rstrip("\r\n"), number)
        except ValueError as error:
            raise KeysFileError(number, str(error)) from None
        if entry.key_id in entries:
            raise KeysFileError(number, f"the key id of line {entries[entry.key_id].line} again")
        if entry.digest in digests:
            raise KeysFileError(number, f"the digest of line {digests[entry.digest]} again")
        entries[entry.key_id] = entry
        digests[entry.digest] = number
    return entries


def _read(path: str | os.PathLike[str]) -> str:
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError as error:
        reason = error.strerror or type(error).__name__
        raise KeysFileError(0, f"cannot read it: {reason}", path) from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        number = data.count(b"\n", 0, error.start) + 1
        raise KeysFileError(number, "not UTF-8 text", path) from None


def load(path: str | os.PathLike[str]) -> dict[str, Entry]:
    """Read and parse the keys file at ``path``; KeysFileError if it cannot be read or used."""
    text = _read(path)
    try:
        return parse(text)
    except KeysFileError as error:
        raise KeysFileError(error.line, error.problem, path) from None


def format_line(
    key_id: str,
    digest_hex: str,
    user_id: str,
    email: str | None = None,
    expires: float | None = None,
) -> str:
    """The keys file's line for a key (no line ending); ``expires`` in epoch seconds,
    rounded down to the second. ValueError for what ``parse`` would refuse."""
    if not _ID.fullmatch(key_id):
        raise ValueError("a key id is 8 characters of 0-9 and a-z")
    if not re.fullmatch(r"[0-9A-Fa-f]{64}", digest_hex, re.ASCII):
        raise ValueError("a digest is 64 hex digits")
    fields = [key_id, f"sha256:{digest_hex.lower()}"]
    for name, value in (("user", user_id), ("email", email)):
        if value is None:
            continue
        _check_value(name, value)
        fields.append(f"{name}={quote(value, safe=SAFE)}")
    if expires is not None:
        fields.append(f"expires={format_when(expires)}")
    return " ".join(fields)


# --- rewriting the file ----------------------------------------------------------------


def _set_expires(line: str, when: str) -> str:
    """The line with its ``expires=`` set to ``when``, everything else as it was."""
    body = line.rstrip("\r\n")
    ending = line[len(body) :]
    fields = list(_FIELD.finditer(body))
    for field in fields[2:]:
        if field[0].startswith("expires="):
            return f"{body[: field.start()]}expires={when}{body[field.end() :]}{ending}"
    end = fields[-1].end()
    return f"{body[:end]} expires={when}{body[end:]}{ending}"


def _replace(path: str | os.PathLike[str], text: str) -> None:
    """Write ``text`` over the file atomically: a temporary file beside it (beside the file a
    symbolic link points to) with the file's mode, owner and group, synced, then renamed."""
    target = os.path.realpath(path)
    directory = os.path.dirname(target)
    status = os.stat(target)
    descriptor, temporary = tempfile.mkstemp(
        prefix=f".{os.path.basename(target)}.", suffix=".tmp", dir=directory
    )
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(text.encode("utf-8"))
            file.flush()
            os.chmod(temporary, status.st_mode & 0o7777)
            written = os.stat(temporary)
            if hasattr(os, "chown") and (written.st_uid, written.st_gid) != (
                status.st_uid,
                status.st_gid,
            ):
                os.chown(temporary, status.st_uid, status.st_gid)
            os.fsync(file.fileno())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
    try:  # make the rename itself durable, where directories can be synced
        directory_descriptor = os.open(directory, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(directory_descriptor)
    except OSError:
        pass
    finally:
        os.close(directory_descriptor)


class CommandError(Exception):
    """A command that cannot be carried out, told in one line."""


def _checked_id(key_id: str) -> str:
    """The id argument as given, or a CommandError that does not echo a pasted key."""
    if _ID.fullmatch(key_id):
        return key_id
    pasted = key_id_of(key_id)
    if pasted is not None:
        raise CommandError(f"give the key's id, not the key itself (this key's id: {pasted})")
    raise CommandError("a key id is 8 characters of 0-9 and a-z")


def revoke(path: str | os.PathLike[str], key_id: str, at: float | None = None) -> None:
    """Remove the key's line, or with ``at`` set its expiry; every other line kept as it is."""
    key_id = _checked_id(key_id)
    text = _read(path)
    try:
        entries = parse(text)
    except KeysFileError as error:
        raise KeysFileError(error.line, error.problem, path) from None
    if key_id not in entries:
        raise CommandError(f"no key {key_id} in {os.fspath(path)}")
    bom = _BOM if text.startswith(_BOM) else ""
    lines = _split_lines(text.removeprefix(bom))
    index = entries[key_id].line - 1
    if at is None:
        del lines[index]
    else:
        lines[index] = _set_expires(lines[index], format_when(at))
    try:
        _replace(path, bom + "".join(lines))
    except OSError as error:
        reason = error.strerror or type(error).__name__
        raise CommandError(f"cannot rewrite {os.fspath(path)}: {reason}") from None


def listing(entries: dict[str, Entry], now: float) -> list[str]:
    """The lines of ``list``: a header, then one aligned row per key; no digest."""
    rows = [("ID", "USER", "EMAIL", "EXPIRES")]
    for entry in entries.values():
        if entry.expires is None:
            expiry = "never"
        else:
            expiry = _iso(entry.expires) + (" (expired)" if entry.expires <= now else "")
        rows.append((entry.key_id, entry.user_id, entry.email or "-", expiry))
    widths = [max(len(row[column]) for row in rows) for column in range(3)]
    return [
        "  ".join(cell.ljust(width) for cell, width in zip(row[:3], widths, strict=True))
        + "  "
        + row[3]
        for row in rows
    ]


# --- the commands ----------------------------------------------------------------------


def _when(text: str) -> float:
    try:
        return parse_when(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Mint, revoke and list the per-user API keys of SecureGatehouse's keys "
        "file, which keeps only their SHA-256 digests.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    new = commands.add_parser(
        "new", help="mint a key: print it once, and its line for the keys file (nothing is "
        "written)",
    )  # fmt: skip
    new.add_argument("--user", required=True, metavar="ID", help="the user the key is for")
    new.add_argument("--email", metavar="E", help="the user's email")
    new.add_argument("--expires", type=_when, metavar="WHEN", help=f"expiry: {WHEN_FORMS}")
    revoke = commands.add_parser(
        "revoke", help="remove a key's line, or with --at make it expire then"
    )
    revoke.add_argument("key_id", metavar="ID", help="the key's id (8 characters)")
    revoke.add_argument("--file", required=True, metavar="PATH", help="the keys file")
    revoke.add_argument(
        "--at", type=_when, metavar="WHEN", help=f"set the key's expiry instead: {WHEN_FORMS}"
    )
    listed = commands.add_parser("list", help="the keys: id, user, email and expiry")
    listed.add_argument("--file", required=True, metavar="PATH", help="the keys file")
    args = parser.parse_args(argv)
    if args.command == "new":
        if args.expires is not None and args.expires <= time.time():
            parser.error("--expires is in the past")
        try:
            _check_value("--user", args.user)
            if args.email is not None:
                _check_value("--email", args.email)
        except ValueError as error:
            parser.error(str(error))
    return args


def new_key(user_id: str, email: str | None, expires: float | None) -> list[str]:
    """The output of ``new``: the key, shown this once, then its line."""
    key = mint_key()
    line = format_line(key_id_of(key) or "", key_digest(key), user_id, email, expires)
    return [f"API key (shown once): {key}", "Add this line to the keys file:", line]


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        if args.command == "new":
            print("\n".join(new_key(args.user, args.email, args.expires)))
        elif args.command == "revoke":
            revoke(args.file, args.key_id, args.at)
        else:
            print("\n".join(listing(load(args.file), time.time())))
    except (KeysFileError, CommandError) as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
