"""The tree follows its ruff configuration (ruff.toml): lint, and the formatter, which also
formats the Python code blocks of README."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


@pytest.mark.parametrize("command", [["check"], ["format", "--check"]], ids=" ".join)
def test_ruff(command: list[str]) -> None:
    run = subprocess.run([sys.executable, "-m", "ruff", *command, "."], cwd=ROOT,
                         capture_output=True, text=True)  # fmt: skip
    assert run.returncode == 0, run.stdout + run.stderr
