"""Records produced by the Amazon Rufus services."""

from __future__ import annotations

from dataclasses import asdict, dataclass
from typing import Any


@dataclass(frozen=True, kw_only=True)
class SeedRequestRecord:
    """The first Rufus streaming request seen in a product tab, as captured from Chrome."""

    request_url: str
    request_headers: dict[str, str]
    request_body: str
    page_url: str
    tab_id: str
    asin: str
    country: str
    captured_at: int
    """Capture time in milliseconds since the Unix epoch."""

    def to_dict(self) -> dict[str, Any]:
        """Plain ``dict`` of the fields, ready for ``json.dumps``."""
        return asdict(self)
