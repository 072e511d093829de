"""README's own text, for the tests that run what it shows.

``code_blocks(language)`` returns README's fenced blocks of that language, in order, each
with the heading it sits under; ``commands(heading)`` the lines of the ``sh`` blocks of one
section, comments removed.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"

_FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.MULTILINE | re.DOTALL)
_HEADING = re.compile(r"^#{2,3} (.+)$", re.MULTILINE)


@dataclass(frozen=True)
class Block:
    heading: str
    language: str
    code: str

    @property
    def first_line(self) -> str:
        return self.code.splitlines()[0]


def code_blocks(language: str, text: str | None = None) -> list[Block]:
    text = README.read_text() if text is None else text
    headings = [(m.start(), m.group(1)) for m in _HEADING.finditer(text)]
    blocks = []
    for fence in _FENCE.finditer(text):
        heading = next((h for start, h in reversed(headings) if start < fence.start()), "")
        if fence.group(1) == language:
            blocks.append(Block(heading, language, fence.group(2)))
    return blocks


def commands(heading: str) -> list[str]:
    """The command lines of the ``sh`` blocks under ``heading``, comments removed."""
    lines = []
    for block in code_blocks("sh"):
        if block.heading == heading:
            for line in block.code.splitlines():
                command = line.split("  #")[0].strip()
                if command and not command.startswith("#"):
                    lines.append(command)
    return lines
