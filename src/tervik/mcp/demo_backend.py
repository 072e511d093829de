"""A small verification backend, so that the gate's remote mode can be tried without one.

The demo starts it with ``--demo-backend FILE``. FILE is JSON that maps each valid key to
the identity the backend reports for it::

    {"key-of-ada": {"user_id": "ada", "email": "ada@example.test"},
     "key-of-bob": {"user_id": 2}}

It answers the request the gate sends (GET, the key in ``?api_key=`` and in the header
``X-MCP-API-Key``) the way the gate expects: 200 and ``{"valid": true, "user_id": ...,
"email": ...}`` for a listed key, 200 and ``{"valid": false}`` for any other. Other methods
get 405. Its access log goes to the logger ``tervik.mcp.demo_backend`` with keys masked.
"""

from __future__ import annotations

import json
import logging
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any
from urllib.parse import parse_qs, urlsplit

from tervik.mcp.redaction import ApiKeyRedactingFilter

__all__ = ["DemoBackend", "DemoBackendError", "load_identities"]

VERIFY_PATH = "/verify"

_logger = logging.getLogger("tervik.mcp.demo_backend")
_logger.addFilter(ApiKeyRedactingFilter())


class DemoBackendError(Exception):
    """The identities file cannot be used; the message says why in one line."""


def load_identities(path: str | Path) -> dict[str, dict[str, Any]]:
    """Read FILE: a JSON object mapping each key to an object with the key's identity."""
    try:
        data = json.loads(Path(path).read_text(encoding="utf-8"))
    except OSError as error:
        raise DemoBackendError(f"cannot read {path}: {error.strerror}") from None
    except ValueError as error:
        raise DemoBackendError(f"{path} is not JSON: {error}") from None
    if not isinstance(data, dict) or not all(
        isinstance(key, str) and key and isinstance(identity, dict)
        for key, identity in data.items()
    ):
        raise DemoBackendError(
            f'{path} must map each key to an identity: {{"KEY": {{"user_id": ..., "email": ...}}}}'
        )
    return data


class DemoBackend:
    """The backend, served on its own thread at ``url`` until ``close()``."""

    def __init__(self, identities: dict[str, dict[str, Any]], host: str = "127.0.0.1") -> None:
        self.identities = identities
        self._server = ThreadingHTTPServer((host, 0), _handler_for(self))
        self._server.daemon_threads = True
        self.url = f"http://{host}:{self._server.server_address[1]}{VERIFY_PATH}"
        self._thread = threading.Thread(
            target=self._server.serve_forever, name="tervik-demo-backend", daemon=True
        )
        self._thread.start()

    def answer(self, key: str | None) -> dict[str, Any]:
        identity = self.identities.get(key) if key else None
        if identity is None:
            return {"valid": False}
        return {"valid": True, "user_id": identity.get("user_id"), "email": identity.get("email")}

    def close(self) -> None:
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()

    def __enter__(self) -> DemoBackend:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def _handler_for(backend: DemoBackend) -> type[BaseHTTPRequestHandler]:
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_GET(self) -> None:
            url = urlsplit(self.path)
            if url.path != VERIFY_PATH:
                self._reply(404, {"error": f"not found; the gate asks {VERIFY_PATH}"})
                return
            keys = parse_qs(url.query).get("api_key")
            key = keys[0] if keys else self.headers.get("X-MCP-API-Key")
            self._reply(200, backend.answer(key))

        def _refuse_method(self) -> None:
            self.close_connection = True  # the request body, if any, stays unread
            self._reply(405, {"error": "the gate verifies keys with GET"}, allow="GET")

        do_POST = do_PUT = do_DELETE = do_PATCH = _refuse_method

        def _reply(self, status: int, body: dict[str, Any], allow: str | None = None) -> None:
            data = json.dumps(body).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            if allow:
                self.send_header("Allow", allow)
            self.end_headers()
            self.wfile.write(data)

        def log_message(self, format: str, *args: Any) -> None:
            _logger.info("%s " + format, self.address_string(), *args)

    return Handler
