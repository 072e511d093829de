"""What the bench programs share: the machine line, results files, median, table printing,
callgrind's spans, and servers in child processes."""

from __future__ import annotations

import gc
import json
import os
import platform
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import IO, Any

RESULTS = Path(__file__).resolve().with_name("results")


def python_version() -> str:
    return platform.python_version()


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def machine() -> dict[str, Any]:
    """Where a result was measured: interpreter, CPU, cores, load, commit."""
    try:
        commit = subprocess.run(
            ["git", "rev-parse", "--short", "HEAD"],
            capture_output=True,
            text=True,
            cwd=Path(__file__).parent,
        ).stdout.strip()
    except OSError:
        commit = ""
    return {
        "python": sys.version.split()[0],
        "implementation": platform.python_implementation(),
        "platform": platform.platform(),
        "cpu": cpu_model(),
        "cores": os.cpu_count(),
        "load_average": list(os.getloadavg()) if hasattr(os, "getloadavg") else None,
        "commit": commit,
        "date": time.strftime("%Y-%m-%d %H:%M:%S %z"),
    }


def machine_line(info: dict[str, Any]) -> str:
    load = info.get("load_average")
    load_text = f", load {load[0]:.2f}" if load else ""
    return (
        f"Python {info['python']} on {info['cpu']}, {info['cores']} cores{load_text}"
        f" ({info['platform']}, commit {info['commit'] or '?'})"
    )


def save(name: str, data: dict[str, Any]) -> Path:
    """Write ``bench/results/<name>-<python version>.json`` and return its path."""
    RESULTS.mkdir(exist_ok=True)
    path = RESULTS / f"{name}-{python_version()}.json"
    path.write_text(json.dumps(data, indent=2, ensure_ascii=False) + "\n")
    return path


def median(values: Iterable[float]) -> float:
    return statistics.median(list(values))


def table(header: Sequence[str], rows: Iterable[Sequence[str]]) -> str:
    """A plain-text table: first column left-aligned, the others right-aligned."""
    rows = [list(header), *map(list, rows)]
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    lines = []
    for number, row in enumerate(rows):
        cells = [
            cell.ljust(width) if i == 0 else cell.rjust(width)
            for i, (cell, width) in enumerate(zip(row, widths, strict=True))
        ]
        lines.append("  ".join(cells).rstrip())
        if number == 0:
            lines.append("  ".join("-" * width for width in widths))
    return "\n".join(lines)


# ---- instruction counts ------------------------------------------------------------------------


def marked_spans(run: Callable[[int], None], n: int, warmup: int = 200) -> None:
    """What a program's ``--worker`` runs under callgrind: warm-up, then 0 requests, then n;
    os.getppid() marks the bounds, before each of which callgrind dumps its counters."""
    run(warmup)
    gc.collect()
    gc.freeze()  # no full collection of the start-up's objects inside a measured span
    os.getppid()
    run(0)
    os.getppid()
    run(n)
    os.getppid()


def callgrind_parts(out: Path) -> dict[int, int]:
    """{part number: instructions} of every dump callgrind wrote for ``out``."""
    parts = {}
    for path in out.parent.glob(out.name + "*"):
        part = total = None
        for line in path.read_text(errors="replace").splitlines():
            if line.startswith("part:"):
                part = int(line.split()[1])
            elif line.startswith(("totals:", "summary:")):
                total = int(line.split()[1])
        if part is not None and total is not None:
            parts[part] = total
    return parts


def count_instructions(
    program: Path,
    worker: Sequence[str],
    n: int,
    options: Sequence[str] = (),
    keep: Callable[[Path], None] | None = None,
) -> float:
    """Instructions per request of ``program --worker *worker N`` (whose child runs
    ``marked_spans``) under callgrind: (N requests - 0 requests) / N, so that start-up and
    warm-up cancel. ``options`` go to valgrind; ``keep`` gets the dumps' path (the
    ``callgrind.out`` whose parts are ``.1`` to ``.4``) before they are removed."""
    with tempfile.TemporaryDirectory(prefix="callgrind-") as tmp:
        out = Path(tmp) / "callgrind.out"
        command = [
            "valgrind", "--tool=callgrind", "--dump-before=getppid", *options,
            f"--callgrind-out-file={out}",
            sys.executable, str(program), "--worker", *worker, str(n),
        ]  # fmt: skip
        done = subprocess.run(
            command, capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0")
        )
        if done.returncode != 0:
            raise RuntimeError(f"callgrind run failed: {' '.join(command)}\n{done.stderr[-3000:]}")
        parts = callgrind_parts(out)
        if keep is not None:
            keep(out)
    # dumps: 1 start-up and warm-up, 2 zero requests, 3 n requests, 4 exit
    if sorted(parts) != [1, 2, 3, 4]:
        raise RuntimeError(
            f"expected 4 callgrind dumps, got parts {sorted(parts)} ({' '.join(worker)})"
        )
    return (parts[3] - parts[2]) / n


# ---- servers in child processes ------------------------------------------------------------------


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@contextmanager
def serving(
    command: Sequence[str],
    port: int,
    env: dict[str, str] | None = None,
    stderr: IO[Any] | int | None = None,
    timeout: float = 30,
) -> Iterator[subprocess.Popen[bytes]]:
    """Start ``command``, a server, and wait until it accepts on 127.0.0.1:``port``; yields
    the process, stopped (SIGTERM, then SIGKILL after 10 s) when the block ends."""
    server = subprocess.Popen(list(command), stdin=subprocess.DEVNULL, env=env, stderr=stderr)
    try:
        deadline = time.monotonic() + timeout
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if server.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError(f"did not start: {' '.join(command)}") from None
                time.sleep(0.05)
        yield server
    finally:
        server.terminate()
        try:
            server.wait(10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
