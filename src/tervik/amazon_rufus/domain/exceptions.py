"""Errors raised by the Amazon Rufus services."""

from __future__ import annotations


class RufusError(Exception):
    """Base class of the Amazon Rufus errors; carries one user-facing message."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class ChromeCdpUnavailableError(RufusError):
    """Chrome could not be started or reached over the DevTools protocol."""


class SeedRequestNotCapturedError(RufusError):
    """No Rufus streaming request was seen before the capture timed out."""
