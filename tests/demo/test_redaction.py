"""The redacting log filter on the records uvicorn's access log and httpx really write."""

from __future__ import annotations

import logging
from collections.abc import Iterator

import httpx
import pytest
from uvicorn.logging import AccessFormatter

from tervik.mcp.redaction import ApiKeyRedactingFilter, redact, redact_api_key_logs


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("/mcp?api_key=k1", "/mcp?api_key=***"),
        ("/mcp?x=1&api_key=k1&api_key=k2&y=2", "/mcp?x=1&api_key=***&api_key=***&y=2"),
        ("/mcp?api%5Fkey=k1", "/mcp?api%5Fkey=***"),  # the gate decodes names too
        ("/mcp?API_KEY=k1", "/mcp?API_KEY=***"),
        ("/mcp?api_key=a+b%20c#top", "/mcp?api_key=***"),
        ('"GET /verify?api_key=k1 HTTP/1.1" 200', '"GET /verify?api_key=*** HTTP/1.1" 200'),
        ('/mcp?api_key=k"1#2 HTTP/1.1"', '/mcp?api_key=*** HTTP/1.1"'),
        ("/mcp?session_id=abc&x_api_key=k1", "/mcp?session_id=abc&x_api_key=k1"),
        ("/mcp?api+key=k1", "/mcp?api+key=k1"),  # a space, not the gate's parameter
        ("no query here", "no query here"),
    ],
)
def test_redact(text: str, expected: str) -> None:
    assert redact(text) == expected


@pytest.fixture
def isolated_loggers() -> Iterator[None]:
    names = ["uvicorn.access", "httpx", "tervik.test"]
    saved = {name: logging.getLogger(name).filters[:] for name in names}
    yield
    for name, filters in saved.items():
        logging.getLogger(name).filters[:] = filters


def test_uvicorn_access_record_keeps_its_shape(isolated_loggers: None) -> None:
    redact_api_key_logs()
    logger = logging.getLogger("uvicorn.access")
    record = logger.makeRecord(
        logger.name, logging.INFO, __file__, 1, '%s - "%s %s HTTP/%s" %d',
        ("127.0.0.1:5000", "GET", "/mcp?api_key=k1", "1.1", 401), None,
    )  # fmt: skip
    assert logger.filter(record)
    line = AccessFormatter("%(client_addr)s %(request_line)s %(status_code)s").format(record)
    assert line.startswith("127.0.0.1:5000 GET /mcp?api_key=*** HTTP/1.1 401")


def test_httpx_request_line(isolated_loggers: None, caplog: pytest.LogCaptureFixture) -> None:
    redact_api_key_logs()
    caplog.set_level(logging.INFO, logger="httpx")

    def handler(request: httpx.Request) -> httpx.Response:
        return httpx.Response(200, json={"valid": True})

    with httpx.Client(transport=httpx.MockTransport(handler)) as client:
        client.get("http://backend.test/verify", params={"api_key": "k1"})
    [line] = [r.getMessage() for r in caplog.records if r.name == "httpx"]
    assert "k1" not in line and "api_key=***" in line


def test_attaching_twice_adds_one_filter(isolated_loggers: None) -> None:
    logger = logging.getLogger("tervik.test")
    redact_api_key_logs([logger])
    redact_api_key_logs(["tervik.test"])
    assert sum(isinstance(f, ApiKeyRedactingFilter) for f in logger.filters) == 1


def test_mapping_arguments_and_unprintable_objects(isolated_loggers: None) -> None:
    class Unprintable:
        def __str__(self) -> str:
            raise RuntimeError("no text")

    odd = Unprintable()
    record = logging.LogRecord("x", logging.INFO, __file__, 1, "%(url)s", None, None)
    record.args = {"url": "/mcp?api_key=k1", "obj": odd}
    assert ApiKeyRedactingFilter().filter(record)
    assert record.args == {"url": "/mcp?api_key=***", "obj": odd}
