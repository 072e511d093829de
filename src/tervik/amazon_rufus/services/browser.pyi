# Types of the extension module tervik.amazon_rufus.services.browser, as its functions
# enforce them: the same parameters, kinds and defaults as their __signature__, `str` where
# only `str` is taken. "int" parameters are typed int although the module also converts any
# other number (2.9 becomes 2), and "bool" ones bool although it takes any object's truth
# value: the durations are whole seconds and the switches are switches.

from collections.abc import Callable
from typing import Any, ClassVar

from tervik.amazon_rufus.domain.exceptions import (
    ChromeCdpUnavailableError as ChromeCdpUnavailableError,
)
from tervik.amazon_rufus.domain.exceptions import (
    SeedRequestNotCapturedError as SeedRequestNotCapturedError,
)
from tervik.amazon_rufus.domain.models import SeedRequestRecord as SeedRequestRecord

class BrowserAttachService:
    DEFAULT_NEW_CHROME_ARGUMENTS: ClassVar[str]
    current_page: Any
    """The Playwright page the last login window or capture opened; None before."""
    def __init__(self) -> None: ...
    def open_marketplace_for_login(
        self, *, marketplace_url: str, cdp_url: str, timeout_seconds: int = 30
    ) -> None: ...
    def capture_seed_request(
        self,
        *,
        asin: str,
        country: str,
        page_url: str,
        cdp_url: str,
        timeout_seconds: int,
        new_chrome: bool = False,
        keep_chrome_open: bool = False,
        on_captured: Callable[[Any, SeedRequestRecord], None] | None = None,
    ) -> SeedRequestRecord: ...
    def _close_new_chrome(self, browser: Any) -> None: ...
    def _start_new_chrome(self) -> None: ...
    def _wait_for_cdp(self, cdp_url: str, *, timeout_seconds: int) -> None: ...
    def _extract_tab_id(self, request_url: str, request_body: str) -> str: ...
