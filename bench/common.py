"""What the bench programs share: the machine line, results files, median, table printing."""

from __future__ import annotations

import json
import os
import platform
import statistics
import subprocess
import sys
import time
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import Any

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
