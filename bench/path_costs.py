"""Instructions each gate adds to one request, path by path, for this build.

One table, for comparing builds side by side (run it in each build's environment):
``ApiKeyGatehouse`` with the key in the header, in the query, a wrong key (401) and a
non-HTTP scope passed through (gate_overhead.py's scopes), and ``SecureGatehouse`` with its
fixed key, with a keys file's key (warm: presented before), in remote mode with the key
cached, and with its fixed key on an MCP session bound to the caller (secure_gate.py's
scopes).  Counted by callgrind as gate_overhead.py
counts (N requests minus 0, per request), minus the bare application's count.

    python bench/path_costs.py [--requests N] [--json FILE]
    python bench/path_costs.py --worker CASE N      (what callgrind runs)
"""

from __future__ import annotations

import argparse
import asyncio
import json
import sys
import tempfile
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import common  # noqa: E402
import gate_overhead  # noqa: E402
import secure_gate  # noqa: E402

CASES = {
    "ApiKeyGatehouse, key in header": ("plain", "header-admit"),
    "ApiKeyGatehouse, key in query": ("plain", "query-admit"),
    "ApiKeyGatehouse, wrong key (401)": ("plain", "refuse-401"),
    "ApiKeyGatehouse, passed through": ("plain", "pass-through"),
    "SecureGatehouse, fixed key": ("secure-fixed", "header-admit"),
    "SecureGatehouse, keys file, key warm": ("secure-file", "file-admit"),
    "SecureGatehouse, remote, key cached": ("secure-cached", "header-admit"),
    "SecureGatehouse, fixed key, bound session": ("secure-fixed", "in-session"),
}


def gated(kind: str, scope: str) -> Any:
    from tervik.mcp.gatehouse import ApiKeyGatehouse
    from tervik.mcp.secure import SecureGatehouse

    app = gate_overhead.app
    if kind == "bare":
        return app
    if kind == "plain":
        return ApiKeyGatehouse(app, api_key=gate_overhead.KEY)
    if kind == "secure-fixed":
        return SecureGatehouse(app, api_key=secure_gate.KEY)
    if kind == "secure-file":
        return SecureGatehouse(app, keys_file=keys_file())
    return SecureGatehouse(app, auth_verify_url=secure_gate.VERIFY_URL)


def file_key() -> str:
    """This run's key of the keys file, and the file (made once per process)."""
    if not FILE:
        from tervik.mcp.keys import key_digest, key_id_of, mint_key

        key = mint_key()
        path = Path(tempfile.mkdtemp(prefix="path-costs-")) / "keys"
        path.write_text(f"{key_id_of(key)} sha256:{key_digest(key)} user=bench\n")
        FILE.update(key=key, path=str(path))
    return FILE["key"]


def keys_file() -> str:
    file_key()
    return FILE["path"]


FILE: dict[str, str] = {}


def scope_of(scope: str) -> dict[str, Any]:
    if scope == "in-session":
        return secure_gate.IN_SESSION
    if scope == "file-admit":
        template = dict(gate_overhead.SCOPES["header-admit"])
        bearer = b"Bearer " + file_key().encode()
        template["headers"] = [
            (name, bearer) if name == b"authorization" else (name, value)
            for name, value in secure_gate.HEADERS
        ]
        return template
    template = dict(gate_overhead.SCOPES[scope])
    if scope == "header-admit":  # the secure gate's key is its own bench's
        template["headers"] = secure_gate.HEADERS
    return template


def worker(kind: str, scope: str, n: int) -> None:
    secure_gate.quiet_logs()
    gate = gated(kind, scope)
    template = scope_of(scope)
    loop = asyncio.new_event_loop()
    with secure_gate.backend_in_process(valid=True):
        # the opening request: binds the session, makes the client, caches the key
        opening = scope_of(scope) if kind == "secure-file" else secure_gate.OPENING
        loop.run_until_complete(gate(dict(opening), secure_gate.receive, secure_gate.send))

    async def batch(count: int) -> None:
        for _ in range(count):
            await gate(template.copy(), gate_overhead.receive, gate_overhead.send)

    common.marked_spans(lambda count: loop.run_until_complete(batch(count)), n)


def count(kind: str, scope: str, n: int) -> float:
    return common.count_instructions(Path(__file__).resolve(), [kind, scope], n)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=1000)
    parser.add_argument("--json", type=Path, help="also write the figures here")
    parser.add_argument("--worker", nargs=3, metavar=("KIND", "SCOPE", "N"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        kind, scope, n = args.worker
        worker(kind, scope, int(n))
        return
    scopes = {s for _, s in CASES.values()}
    bare = {scope: count("bare", scope, args.requests) for scope in scopes}
    added = {
        title: count(kind, scope, args.requests) - bare[scope]
        for title, (kind, scope) in CASES.items()
    }
    width = max(map(len, added))
    for title, value in added.items():
        print(f"{title:<{width}}  {value:>8.0f}")
    fixed, by_file = (
        added["SecureGatehouse, fixed key"],
        added["SecureGatehouse, keys file, key warm"],
    )
    print(f"keys file (warm) / fixed key: {by_file / fixed:.2f}x")
    if args.json:
        args.json.write_text(json.dumps(added, indent=2) + "\n")


if __name__ == "__main__":
    main()
