"""Keep API keys out of log lines.

Clients that cannot set headers send the key as ``?api_key=KEY``, and every access log
prints request URLs: uvicorn's access log writes the path with its query for each request,
wrong keys included, and in remote mode httpx logs the verification request, whose URL
carries the key, at INFO. ``ApiKeyRedactingFilter`` masks the value of every ``api_key``
query parameter in a record before any handler formats it::

    from tervik.mcp.redaction import redact_api_key_logs

    redact_api_key_logs()  # uvicorn's access log and httpx's request log

A logger's filters see only the records logged on that very logger. To cover every logger
that reaches a handler, add the filter to the handler instead:
``handler.addFilter(ApiKeyRedactingFilter())``.
"""

from __future__ import annotations

import logging
import re
from collections.abc import Iterable, Mapping
from urllib.parse import unquote_plus

__all__ = ["DEFAULT_LOGGERS", "MASK", "ApiKeyRedactingFilter", "redact", "redact_api_key_logs"]

MASK = "***"
DEFAULT_LOGGERS = ("uvicorn.access", "httpx")
"""uvicorn's access log and httpx's request log: the loggers that print request URLs."""

# One query field: behind "?" or "&", up to the next field or blank. A value may hold any
# other character the server accepted (quotes, "#"), so nothing else ends it: masking a
# little too much is harmless, showing the end of a key is not.
_FIELD = re.compile(r"(?<=[?&])([^=&\s]*)=([^&\s]*)")


def _mask_field(field: re.Match[str]) -> str:
    name = field.group(1)
    # The gate reads the name percent-decoded (api%5Fkey names it too); any letter case
    # is masked as well, to be safe.
    return f"{name}={MASK}" if unquote_plus(name).lower() == "api_key" else field.group(0)


def redact(text: str) -> str:
    """``text`` with the value of every ``api_key`` query parameter replaced by ``***``."""
    return _FIELD.sub(_mask_field, text) if "=" in text else text


def _redact_arg(value: object) -> object:
    if isinstance(value, str):
        return redact(value)
    if value is None or isinstance(value, (int, float, bytes)):
        return value
    # URL objects (httpx.URL) and the like print through str() under %s.
    try:
        text = str(value)
    except Exception:
        return value
    redacted = redact(text)
    return value if redacted == text else redacted


class ApiKeyRedactingFilter(logging.Filter):
    """Masks ``api_key`` query values in a record's message and arguments; drops nothing."""

    def filter(self, record: logging.LogRecord) -> bool:
        if isinstance(record.msg, str):
            record.msg = redact(record.msg)
        if isinstance(record.args, tuple):
            record.args = tuple(_redact_arg(arg) for arg in record.args)
        elif isinstance(record.args, Mapping):
            record.args = {key: _redact_arg(arg) for key, arg in record.args.items()}
        return True


def redact_api_key_logs(
    loggers: Iterable[str | logging.Logger] = DEFAULT_LOGGERS,
) -> ApiKeyRedactingFilter:
    """Attach one ``ApiKeyRedactingFilter`` to each logger (a name or a logger); return it.

    A logger that already has such a filter is left as it is, so calling this twice is safe.
    """
    shared = ApiKeyRedactingFilter()
    for logger in loggers:
        if isinstance(logger, str):
            logger = logging.getLogger(logger)
        if not any(isinstance(f, ApiKeyRedactingFilter) for f in logger.filters):
            logger.addFilter(shared)
    return shared
