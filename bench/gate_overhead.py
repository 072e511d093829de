"""What the gate adds to one request, for this build and for the plain-Python twin.

Five cases (key in the Authorization header, admitted; key in the query among other
fields, admitted; wrong key, 401; a non-HTTP scope passed through; remote verification,
admitted, against an in-process backend) run through four implementations: the bare
application, the application behind this build's ``ApiKeyGatehouse``, behind the Python twin
(``bench/python_gate.py``) and behind Starlette's ``AuthenticationMiddleware`` with an
equivalent key backend (the peer a user would pick instead).

Two measures, both as the cost added over the bare application:

- instructions per request, counted by valgrind's callgrind (when ``valgrind`` is on PATH):
  a child runs warm-up requests, then 0 requests, then N requests, and callgrind dumps its
  counters at each boundary (``--dump-before=getppid``; the child marks a boundary with
  ``os.getppid()``), so start-up and warm-up cancel. Deterministic: the primary figure.
- wall-clock nanoseconds per request, in this process, implementations interleaved in
  rounds (their order rotates every round), the median of the rounds.

The ratio "this build / Python twin" of the added cost is printed beside its target with
"met" or "missed". Results go to ``bench/results/gate_overhead-<python>.json`` and a bar
chart to the ``.png`` beside it.

    python bench/gate_overhead.py [--quick] [--no-callgrind] [--callgrind-dir DIR] [--no-save]
    python bench/gate_overhead.py --worker IMPL CASE N      (what callgrind runs)
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import hmac
import json
import os
import shutil
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import common
import python_gate

import tervik.mcp.gatehouse as native_gate
from tervik.mcp.context import mcp_request_ctx

IMPLS = ("bare", "native", "python", "starlette")
GATES = ("native", "python", "starlette")
LABELS = {
    "bare": "bare app",
    "native": "+ this build",
    "python": "+ Python twin",
    "starlette": "+ Starlette auth",
}
CASES = ("header-admit", "query-admit", "refuse-401", "pass-through", "remote-admit")
CASE_TITLES = {
    "header-admit": "key in header, admitted",
    "query-admit": "key in query (among other fields), admitted",
    "refuse-401": "wrong key, 401",
    "pass-through": "non-HTTP scope passed through",
    "remote-admit": "remote verification, admitted",
}
# this build's added cost / the twin's added cost, at most
TARGETS = {"header-admit": 0.25, "query-admit": 0.15, "refuse-401": 0.25, "pass-through": 0.5}
REMOTE_SHARE = 10  # the remote case runs N / 10 requests: each one builds an httpx client
WARMUP = 200

KEY = "sk-live-0123456789abcdef"
VERIFY_URL = "http://verify.invalid/verify"
CLIENT_HEADERS = [
    (b"host", b"127.0.0.1:8000"),
    (b"user-agent", b"mcp-client/2.3"),
    (b"accept", b"application/json, text/event-stream"),
    (b"content-type", b"application/json"),
    (b"mcp-session-id", b"3f1c0b6e9d2a4c7f"),
    (b"mcp-protocol-version", b"2025-06-18"),
    (b"accept-encoding", b"gzip, deflate"),
    (b"content-length", b"77"),
]
HTTP_SCOPE: dict[str, Any] = {
    "type": "http",
    "asgi": {"version": "3.0"},
    "http_version": "1.1",
    "server": ("127.0.0.1", 8000),
    "client": ("127.0.0.1", 51234),
    "scheme": "http",
    "method": "POST",
    "root_path": "",
    "path": "/mcp",
    "raw_path": b"/mcp",
    "query_string": b"",
    "headers": CLIENT_HEADERS,
}
SCOPES: dict[str, dict[str, Any]] = {
    "header-admit": HTTP_SCOPE
    | {"headers": [*CLIENT_HEADERS, (b"authorization", b"Bearer " + KEY.encode())]},
    "query-admit": HTTP_SCOPE
    | {
        "query_string": b"session_id=3f1c0b6e9d2a4c7f&api_key="
        + KEY.encode()
        + b"&transport=streamable-http"
    },
    "refuse-401": HTTP_SCOPE
    | {"headers": [*CLIENT_HEADERS, (b"authorization", b"Bearer sk-live-0123456789abcdeX")]},
    "pass-through": {
        "type": "lifespan",
        "asgi": {"version": "3.0"},
        "state": {},
    },
    "remote-admit": HTTP_SCOPE
    | {"headers": [*CLIENT_HEADERS, (b"authorization", b"Bearer " + KEY.encode())]},
}
UNAUTHORIZED_BODY = (
    b'{"error":"Unauthorized","message":"Invalid or missing API Key","reason":"invalid_api_key"}'
)

# ---- the application, the server side and the implementations --------------------------------

START = {
    "type": "http.response.start",
    "status": 200,
    "headers": [(b"content-type", b"application/json")],
}
BODY = {"type": "http.response.body", "body": b"{}"}


async def app(scope: Any, receive: Any, send: Any) -> None:
    """The trivial application: a 200 through ``send``."""
    await send(START)
    await send(BODY)


async def receive() -> dict[str, Any]:
    return {"type": "http.request", "body": b"", "more_body": False}


async def send(message: Any) -> None:
    pass


def verification_client() -> type:
    """An ``httpx.AsyncClient`` whose no-argument construction (what both gates do) talks to
    an in-process verification backend that confirms every key. Installed as
    ``httpx.AsyncClient`` for the remote case of every implementation alike."""
    import httpx

    answer = json.dumps({"valid": True, "user_id": 7, "email": "user@example.test"}).encode()
    headers = {"content-type": "application/json"}

    def backend(request: httpx.Request) -> httpx.Response:
        return httpx.Response(200, content=answer, headers=headers)

    transport = httpx.MockTransport(backend)

    class BackendClient(httpx.AsyncClient):
        def __init__(self) -> None:
            super().__init__(transport=transport)

    return BackendClient


def use_verification_backend() -> None:
    import httpx

    httpx.AsyncClient = verification_client()  # type: ignore[misc]


def starlette_gate(inner: Any, *, remote: bool) -> Any:
    """Starlette's AuthenticationMiddleware with a backend that takes the key from the query
    or an Authorization bearer header and answers a refusal with the same 401. None for
    remote verification: Starlette has no equivalent without writing the client again."""
    if remote:
        return None
    from starlette.authentication import (
        AuthCredentials,
        AuthenticationBackend,
        AuthenticationError,
        SimpleUser,
    )
    from starlette.middleware.authentication import AuthenticationMiddleware
    from starlette.requests import HTTPConnection
    from starlette.responses import Response

    expected = KEY.encode()

    class KeyBackend(AuthenticationBackend):
        async def authenticate(self, conn: HTTPConnection) -> tuple[AuthCredentials, SimpleUser]:
            key = conn.query_params.get("api_key")
            if not key:
                auth = conn.headers.get("authorization", "")
                key = auth[7:].strip() if auth.lower().startswith("bearer ") else None
            if not key or not hmac.compare_digest(key.encode(), expected):
                raise AuthenticationError("invalid_api_key")
            return AuthCredentials(["mcp"]), SimpleUser(key)

    def refuse(conn: HTTPConnection, exc: Exception) -> Response:
        return Response(
            UNAUTHORIZED_BODY,
            status_code=401,
            media_type="application/json",
            headers={"www-authenticate": 'Bearer realm="tervik-mcp"'},
        )

    return AuthenticationMiddleware(inner, backend=KeyBackend(), on_error=refuse)


def implementation(impl: str, case: str) -> Any:
    """The ASGI app that ``impl`` puts in front of the trivial app for ``case``, or None."""
    remote = case == "remote-admit"
    options = {"auth_verify_url": VERIFY_URL} if remote else {"api_key": KEY}
    if impl == "bare":
        return app
    if impl == "native":
        return native_gate.ApiKeyGatehouse(app, **options)
    if impl == "python":
        return python_gate.ApiKeyGatehouse(app, **options)
    return starlette_gate(app, remote=remote)


def driver(gated: Any, case: str) -> Callable[[int], None]:
    """``run(n)``: n requests of ``case`` through ``gated``, one after another; the same loop
    for every implementation."""
    template = SCOPES[case]
    loop = asyncio.new_event_loop()

    async def batch(n: int) -> None:
        for _ in range(n):
            await gated(template.copy(), receive, send)

    def run(n: int) -> None:
        loop.run_until_complete(batch(n))

    return run


def quiet_logs() -> None:
    import logging

    logging.getLogger("tervik.mcp").setLevel(logging.ERROR)
    logging.getLogger("httpx").setLevel(logging.WARNING)


# ---- instruction counts -----------------------------------------------------------------------


def worker(impl: str, case: str, n: int) -> None:
    """Run under callgrind: warm-up, then 0 requests, then n; os.getppid() marks the bounds."""
    quiet_logs()
    use_verification_backend()
    gated = implementation(impl, case)
    common.marked_spans(driver(gated, case), n, WARMUP)
    assert mcp_request_ctx.get() is None


def keep_dump(dump: Path, target: Path) -> None:
    """Copy a dump for callgrind_annotate, without the zero-count call records that callgrind
    writes for the frames still open when it dumped (annotate would book the whole span as
    their own cost)."""
    lines = dump.read_text(errors="replace").splitlines(keepends=True)
    kept, skip = [], False
    for line in lines:
        if skip:
            skip = False
        elif line.startswith("calls=0 "):
            skip = True  # and the cost line that belongs to it
        else:
            kept.append(line)
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_text("".join(kept))


def count_instructions(impl: str, case: str, n: int, keep: Path | None = None) -> float:
    """Instructions per request of ``impl`` for ``case``: (N requests - 0 requests) / N.

    With ``keep``, the dump of the N-request span is copied there as
    ``callgrind.<impl>.<case>`` for ``callgrind_annotate`` (the 0-request span is tiny)."""
    target = None if keep is None else keep / f"callgrind.{impl}.{case}"

    def keep_span(out: Path) -> None:
        if target is not None:
            keep_dump(out.parent / f"{out.name}.3", target)

    # --compress-strings=no: each dump readable on its own by callgrind_annotate
    program = Path(__file__).resolve()
    return common.count_instructions(program, [impl, case], n, ["--compress-strings=no"], keep_span)


def instruction_counts(n: int, keep: Path | None = None) -> dict[str, dict[str, float]]:
    jobs = {
        (impl, case): (n // REMOTE_SHARE if case == "remote-admit" else n)
        for case in CASES
        for impl in IMPLS
        if implementation(impl, case) is not None
    }
    counts: dict[str, dict[str, float]] = {impl: {} for impl in IMPLS}
    started = time.monotonic()
    with ThreadPoolExecutor(max_workers=max(1, min(2, os.cpu_count() or 1))) as pool:
        futures = {
            key: pool.submit(count_instructions, *key, requests, keep)
            for key, requests in jobs.items()
        }
        for (impl, case), future in futures.items():
            counts[impl][case] = future.result()
            print(
                f"  callgrind {impl:9s} {case:13s} {counts[impl][case]:9.0f} instructions/request",
                flush=True,
            )
    print(f"  ({len(jobs)} callgrind runs in {time.monotonic() - started:.0f} s)")
    return counts


# ---- wall clock -------------------------------------------------------------------------------


def wall_clock(rounds: int, requests: int) -> dict[str, dict[str, list[float]]]:
    """ns per request of every implementation and case, one sample per round."""
    runs = {}
    for case in CASES:
        for impl in IMPLS:
            gated = implementation(impl, case)
            if gated is not None:
                runs[impl, case] = (
                    driver(gated, case),
                    requests // REMOTE_SHARE if case == "remote-admit" else requests,
                )
    for run, _ in runs.values():
        run(WARMUP)
    gc.collect()
    gc.freeze()
    samples: dict[str, dict[str, list[float]]] = {impl: {} for impl in IMPLS}
    for number in range(rounds):
        for case in CASES:
            order = [impl for impl in IMPLS if (impl, case) in runs]
            shift = number % len(order)
            for impl in order[shift:] + order[:shift]:
                run, n = runs[impl, case]
                gc.collect()
                started = time.perf_counter_ns()
                run(n)
                samples[impl].setdefault(case, []).append((time.perf_counter_ns() - started) / n)
    gc.unfreeze()
    return samples


# ---- report -----------------------------------------------------------------------------------


def added(per_request: dict[str, dict[str, float]], impl: str, case: str) -> float | None:
    if case not in per_request.get(impl, {}):
        return None
    return per_request[impl][case] - per_request["bare"][case]


def ratio(per_request: dict[str, dict[str, float]], case: str) -> float | None:
    native, python = added(per_request, "native", case), added(per_request, "python", case)
    if native is None or not python or python <= 0:
        return None
    return native / python


def verdict(value: float | None, case: str) -> str:
    target = TARGETS.get(case)
    if target is None:
        return "info"
    if value is None:
        return "?"
    return "met" if value <= target else "missed"


def report(per_request: dict[str, dict[str, float]], unit: str, scale: float, digits: int) -> str:
    def amount(value: float | None, sign: str = "+") -> str:
        if value is None:
            return "n/a"
        return f"{sign if value >= 0 else '-'}{abs(value) / scale:.{digits}f}{unit}"

    rows = []
    for case in CASES:
        value = ratio(per_request, case)
        target = TARGETS.get(case)
        rows.append(
            [
                CASE_TITLES[case],
                amount(per_request["bare"].get(case), sign=""),
                *(amount(added(per_request, impl, case)) for impl in GATES),
                "n/a" if value is None else f"{value:.2f}",
                f"<= {target:.2f}" if target is not None else "-",
                verdict(value, case),
            ]
        )
    header = ["case", "bare app", *(LABELS[impl] for impl in GATES), "build / twin", "target", ""]
    return common.table(header, rows)


def chart(path: Path, results: dict[str, Any]) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    panels = []
    if results["instructions"]:
        panels.append(
            (
                "instructions added per request (callgrind)",
                results["instructions"]["per_request"],
                1.0,
            )
        )
    panels.append(
        ("ns added per request (wall clock, median)", results["wall_clock"]["median_ns"], 1.0)
    )
    figure, axes = plt.subplots(len(panels), 1, figsize=(10, 4.2 * len(panels)), squeeze=False)
    width = 0.27
    colours = {"native": "#1f77b4", "python": "#ff7f0e", "starlette": "#7f7f7f"}
    for axis, (title, per_request, scale) in zip(axes[:, 0], panels, strict=True):
        for offset, impl in enumerate(GATES):
            xs, heights = [], []
            for x, case in enumerate(CASES):
                value = added(per_request, impl, case)
                if value is not None:
                    xs.append(x + (offset - 1) * width)
                    heights.append(value / scale)
            axis.bar(xs, heights, width, label=LABELS[impl], color=colours[impl])
        for x, case in enumerate(CASES):
            value = ratio(per_request, case)
            native = added(per_request, "native", case)
            if value is not None and native is not None:
                target = TARGETS.get(case)
                note = f"{value:.2f}" + (f" (≤{target:g})" if target else "")
                axis.annotate(
                    note, (x - width, native / scale), ha="center", va="bottom", fontsize=8
                )
        axis.set_xticks(
            range(len(CASES)), [CASE_TITLES[c].replace(", ", ",\n") for c in CASES], fontsize=8
        )
        axis.set_yscale("log")
        axis.set_title(title + " - label: this build / Python twin", fontsize=10)
        axis.legend(fontsize=8)
        axis.grid(axis="y", alpha=0.3)
    figure.suptitle(common.machine_line(results["machine"]), fontsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return True


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer requests and rounds (a minute)")
    parser.add_argument("--no-callgrind", action="store_true", help="wall clock only")
    parser.add_argument("--requests", type=int, help="callgrind: N requests per run (default 2000)")
    parser.add_argument("--rounds", type=int, help="wall clock: rounds, at least 7 (default 15)")
    parser.add_argument(
        "--callgrind-dir",
        type=Path,
        help="keep each N-request callgrind dump here, for callgrind_annotate",
    )
    parser.add_argument("--no-save", action="store_true", help="print only; keep bench/results/")
    parser.add_argument("--worker", nargs=3, metavar=("IMPL", "CASE", "N"), help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.worker:
        impl, case, n = options.worker
        worker(impl, case, int(n))
        return

    quiet_logs()
    use_verification_backend()
    n = options.requests or (500 if options.quick else 2000)
    rounds = max(7, options.rounds or (7 if options.quick else 15))
    batch = 1000 if options.quick else 5000
    info = common.machine()
    print(f"gate overhead: {common.machine_line(info)}")

    instructions = None
    if options.no_callgrind:
        print("instruction counts: skipped (--no-callgrind)")
    elif shutil.which("valgrind") is None:
        print(
            "instruction counts: skipped, valgrind is not installed (Debian: apt-get install valgrind)"
        )
    else:
        print(
            f"instruction counts: callgrind, {n} requests vs 0 ({n // REMOTE_SHARE} for remote) ..."
        )
        instructions = {
            "requests": n,
            "remote_requests": n // REMOTE_SHARE,
            "per_request": instruction_counts(n, options.callgrind_dir),
        }

    print(
        f"wall clock: {rounds} interleaved rounds of {batch} requests ({batch // REMOTE_SHARE} remote) ..."
    )
    samples = wall_clock(rounds, batch)
    medians = {
        impl: {case: common.median(values) for case, values in by_case.items()}
        for impl, by_case in samples.items()
    }

    results: dict[str, Any] = {
        "machine": info,
        "cases": CASE_TITLES,
        "targets": TARGETS,
        "instructions": instructions,
        "wall_clock": {
            "rounds": rounds,
            "requests_per_round": batch,
            "median_ns": medians,
            "samples_ns": samples,
        },
        "ratios": {
            case: {
                "instructions": ratio(instructions["per_request"], case) if instructions else None,
                "wall_clock": ratio(medians, case),
                "target": TARGETS.get(case),
            }
            for case in CASES
        },
    }

    print()
    if instructions:
        print(
            f"Instructions per request (callgrind, {n} requests minus 0; deterministic, the primary figure):"
        )
        print(report(instructions["per_request"], "k", 1000, 1))
        print()
    print(
        f"Wall clock, ns per request (median of {rounds} interleaved rounds; noisy on a shared machine):"
    )
    print(report(medians, "", 1, 0))
    print()
    primary = "instructions" if instructions else "wall_clock"
    for case in TARGETS:
        value = results["ratios"][case][primary]
        results["ratios"][case]["met"] = None if value is None else value <= TARGETS[case]
    missed = [case for case in TARGETS if results["ratios"][case]["met"] is False]
    print(
        f"Targets ({primary.replace('_', ' ')}): "
        + (f"missed: {', '.join(missed)}" if missed else "all met")
    )

    if options.no_save:
        return
    path = common.save("gate_overhead", results)
    png = path.with_suffix(".png")
    print(
        f"saved {path.relative_to(Path.cwd()) if path.is_relative_to(Path.cwd()) else path}", end=""
    )
    print(f" and {png.name}" if chart(png, results) else " (no chart: matplotlib is not installed)")


if __name__ == "__main__":
    main()
