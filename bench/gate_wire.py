"""The gate on the wire: uvicorn serving the bare app, the gated app and the twin-gated app.

Each app runs in its own uvicorn (httptools, asyncio loop, one worker, access log off) on
127.0.0.1; ``wrk`` loads them in turn for the same duration and connections, in interleaved
rounds (the order rotates every round), with a key in the Authorization header. Printed:
the median requests/s, p99 latency and server CPU time per request of each, and the gated
app's share of the bare app's requests/s (the median of each round's share) beside its
target (at least 97%), the twin's share beside it. The share is also given by server CPU time
per request (the bare app's over the gated one's), which load from other programs on the
machine disturbs far less than requests/s. Then the gated app is served once with ``--workers 2``: every worker must have loaded the extension and the
server must admit a keyed request and refuse one without a key.

    python bench/gate_wire.py [--quick] [--rounds 5] [--duration 5] [--connections 32]
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
from collections.abc import Iterator
from contextlib import ExitStack, contextmanager
from pathlib import Path
from typing import Any

import common
import python_gate

from tervik.mcp.gatehouse import ApiKeyGatehouse

KEY = "sk-live-0123456789abcdef"
TARGET_SHARE = 0.97
BENCH = Path(__file__).resolve().parent
APPS = ("bare", "gated", "twin")
LABELS = {"bare": "bare app", "gated": "behind this build", "twin": "behind the Python twin"}

# ---- the apps uvicorn serves (imported by uvicorn as gate_wire:<name>) ------------------------

START = {
    "type": "http.response.start",
    "status": 200,
    "headers": [(b"content-type", b"application/json")],
}
BODY = {"type": "http.response.body", "body": b'{"ok":true}'}


async def bare(scope: Any, receive: Any, send: Any) -> None:
    if scope["type"] == "http":
        await send(START)
        await send(BODY)


async def pid(scope: Any, receive: Any, send: Any) -> None:
    """Answers with the id of the worker process that served the request."""
    if scope["type"] == "http":
        await send(START)
        await send({"type": "http.response.body", "body": str(os.getpid()).encode()})


gated = ApiKeyGatehouse(bare, api_key=KEY)
twin = python_gate.ApiKeyGatehouse(bare, api_key=KEY)
gated_pid = ApiKeyGatehouse(pid, api_key=KEY)

# ---- servers and load -------------------------------------------------------------------------


@contextmanager
def uvicorn(
    app: str, workers: int = 1, http: str = "httptools"
) -> Iterator[tuple[str, subprocess.Popen[bytes]]]:
    """Serve ``gate_wire:<app>``; yields its base URL and the server process."""
    port = common.free_port()
    command = [
        sys.executable, "-m", "uvicorn", f"gate_wire:{app}", "--app-dir", str(BENCH),
        "--host", "127.0.0.1", "--port", str(port), "--http", http, "--loop", "asyncio",
        "--workers", str(workers), "--no-access-log", "--lifespan", "off", "--log-level", "warning",
    ]  # fmt: skip
    with common.serving(command, port) as server:
        yield f"http://127.0.0.1:{port}", server


UNITS = {"us": 1e-3, "ms": 1.0, "s": 1000.0}


def cpu_seconds(pid: int) -> float:
    """User plus system CPU time that process ``pid`` has used so far."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wrk(url: str, duration: float, connections: int, server: int) -> dict[str, float]:
    """One wrk run: requests/s, p99 latency (ms), non-2xx responses, and the server's CPU
    time per request (us), which other programs on the machine disturb far less."""
    command = [
        "wrk", "-t1", f"-c{connections}", f"-d{duration:g}s", "--latency",
        "-H", f"Authorization: Bearer {KEY}", url + "/mcp",
    ]  # fmt: skip
    cpu_before = cpu_seconds(server)
    output = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    cpu = cpu_seconds(server) - cpu_before
    rate = re.search(r"Requests/sec:\s+([\d.]+)", output)
    total = re.search(r"^\s+(\d+) requests in", output, re.MULTILINE)
    p99 = re.search(r"^\s+99%\s+([\d.]+)(us|ms|s)\s*$", output, re.MULTILINE)
    bad = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", output)
    if rate is None or p99 is None or total is None:
        raise RuntimeError(f"cannot read wrk's output:\n{output}")
    return {
        "requests_per_s": float(rate.group(1)),
        "server_cpu_us": cpu / int(total.group(1)) * 1e6,
        "p99_ms": float(p99.group(1)) * UNITS[p99.group(2)],
        "non_2xx": int(bad.group(1)) if bad else 0,
    }


def loaded_extension(pid: int) -> bool:
    """Whether process ``pid`` has the gate extension mapped."""
    try:
        return "gatehouse" in Path(f"/proc/{pid}/maps").read_text()
    except OSError:
        return False


def children(pid: int) -> list[int]:
    found = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                found.append(int(entry.name))
    return found


def two_workers() -> dict[str, Any]:
    """Serve the gated app with --workers 2; check every worker loaded the extension and that
    the server admits a keyed request and refuses one without a key."""
    import httpx

    with uvicorn("gated_pid", workers=2, http="auto") as (base, server):
        deadline = time.monotonic() + 20
        workers: list[int] = []
        while time.monotonic() < deadline:
            workers = [p for p in children(server.pid) if loaded_extension(p)]
            if len(workers) >= 2:
                break
            time.sleep(0.1)
        served_by = set()
        statuses = set()
        for _ in range(200):
            with (
                httpx.Client() as client
            ):  # a new connection each time, so either worker may take it
                answer = client.get(base + "/mcp", headers={"authorization": f"Bearer {KEY}"})
            statuses.add(answer.status_code)
            if answer.status_code == 200:
                served_by.add(int(answer.text))
            if len(served_by) >= 2:
                break
        refused = httpx.get(base + "/mcp").status_code
    ok = len(workers) >= 2 and statuses == {200} and refused == 401
    return {
        "workers_with_extension": len(workers),
        "admitted_statuses": sorted(statuses),
        "refused_status": refused,
        "workers_seen_serving": len(served_by),
        "ok": ok,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="2-second runs")
    parser.add_argument("--rounds", type=int, help="interleaved rounds, at least 3 (default 5)")
    parser.add_argument("--duration", type=float, help="seconds per wrk run (default 5)")
    parser.add_argument("--connections", type=int, default=32)
    parser.add_argument("--no-save", action="store_true", help="print only; keep bench/results/")
    options = parser.parse_args()
    rounds = max(3, options.rounds or (3 if options.quick else 5))
    duration = options.duration or (2.0 if options.quick else 5.0)
    info = common.machine()
    print(f"gate on the wire: {common.machine_line(info)}")
    if shutil.which("wrk") is None:
        print("skipped: wrk is not installed (Debian: apt-get install wrk)")
        return

    print(
        f"uvicorn (httptools, asyncio loop, 1 worker, access log off); "
        f"wrk -t1 -c{options.connections} -d{duration:g}s, {rounds} interleaved rounds ..."
    )
    runs: dict[str, list[dict[str, float]]] = {app: [] for app in APPS}
    with ExitStack() as stack:
        servers = {app: stack.enter_context(uvicorn(app)) for app in APPS}
        for url, server in servers.values():
            wrk(url, 1, options.connections, server.pid)  # warm-up
        for number in range(rounds):
            order = APPS[number % 3 :] + APPS[: number % 3]
            for app in order:
                url, server = servers[app]
                runs[app].append(wrk(url, duration, options.connections, server.pid))
                print(
                    f"  round {number + 1} {app:5s} {runs[app][-1]['requests_per_s']:9.0f} requests/s"
                    f"  {runs[app][-1]['server_cpu_us']:6.1f} us server CPU per request",
                    flush=True,
                )

    medians = {
        app: {
            key: common.median(run[key] for run in runs[app])
            for key in ("requests_per_s", "p99_ms", "server_cpu_us")
        }
        for app in APPS
    }
    rows = []
    for app in APPS:
        # shares within each round, then the median: drift between rounds cancels
        pairs = list(zip(runs[app], runs["bare"], strict=True))
        share = common.median(run["requests_per_s"] / bare["requests_per_s"] for run, bare in pairs)
        cpu_share = common.median(
            bare["server_cpu_us"] / run["server_cpu_us"] for run, bare in pairs
        )
        medians[app]["share_of_bare"] = share
        medians[app]["cpu_share_of_bare"] = cpu_share
        target = words = ""
        if app == "gated":
            target = f">= {TARGET_SHARE:.0%}"
            words = " / ".join("met" if x >= TARGET_SHARE else "missed" for x in (share, cpu_share))
        rows.append(
            [
                LABELS[app],
                f"{medians[app]['requests_per_s']:.0f}",
                f"{share:.1%}",
                f"{medians[app]['p99_ms']:.2f} ms",
                f"{medians[app]['server_cpu_us']:.1f} us",
                f"{cpu_share:.1%}",
                target,
                words,
            ]
        )
    non_2xx = {app: sum(run["non_2xx"] for run in runs[app]) for app in APPS}
    print()
    print(
        f"Requests/s and p99 latency, medians of {rounds} rounds; the share is the median of the"
        " rounds' own shares:"
    )
    header = [
        "app",
        "requests/s",
        "share",
        "p99",
        "server CPU/request",
        "share by CPU",
        "target",
        "",
    ]
    print(common.table(header, rows))
    print(
        "share: of the bare app's requests/s; share by CPU: the bare app's server CPU time per"
        " request over this one's,\nwhich other load on the machine disturbs far less"
        f" (load average now {os.getloadavg()[0]:.1f})."
    )
    if any(non_2xx.values()):
        print(f"warning: non-2xx responses {non_2xx}")

    print()
    print("--workers 2 ...", end=" ", flush=True)
    multi = two_workers()
    print(
        f"{'serves' if multi['ok'] else 'FAILED'}: {multi['workers_with_extension']} workers loaded the "
        f"extension, keyed request {multi['admitted_statuses']}, no key {multi['refused_status']}, "
        f"{multi['workers_seen_serving']} workers seen answering"
    )

    results = {
        "machine": info,
        "server": "uvicorn, httptools, asyncio loop, 1 worker, access log off",
        "load": {
            "tool": "wrk",
            "threads": 1,
            "connections": options.connections,
            "duration_s": duration,
        },
        "rounds": rounds,
        "runs": runs,
        "medians": medians,
        "target_share": TARGET_SHARE,
        "met": medians["gated"]["share_of_bare"] >= TARGET_SHARE,
        "met_by_cpu": medians["gated"]["cpu_share_of_bare"] >= TARGET_SHARE,
        "non_2xx": non_2xx,
        "two_workers": multi,
    }
    if not options.no_save:
        print(f"saved {common.save('gate_wire', results)}")
    if not multi["ok"]:
        sys.exit(1)


if __name__ == "__main__":
    main()
