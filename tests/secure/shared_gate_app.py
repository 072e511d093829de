"""What the shared-store tests run in several uvicorn processes at once, with
``uvicorn tests.secure.shared_gate_app:create_app --factory``: a SecureGatehouse with the
Redis store over an app that answers 200 with the identity the gate published and its
process id. Configured from the environment: SHARED_GATE_STORE (the Redis URL),
SHARED_GATE_VERIFY_URL (the verification backend), SHARED_GATE_OPTIONS (any other gate
options, a JSON object). /healthz and /stats (the gate's counters) are public; the gate's
log goes to stderr, INFO up."""

from __future__ import annotations

import json
import logging
import os
from typing import Any

from tervik.mcp.context import mcp_request_ctx
from tervik.mcp.secure import SecureGatehouse


def create_app() -> SecureGatehouse:
    handler = logging.StreamHandler()
    handler.setFormatter(logging.Formatter("%(levelname)s %(message)s"))
    logger = logging.getLogger("tervik.mcp")
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)

    async def app(scope: dict[str, Any], receive: Any, send: Any) -> None:
        if scope["type"] == "lifespan":
            while (await receive())["type"] != "lifespan.shutdown":
                await send({"type": "lifespan.startup.complete"})
            await send({"type": "lifespan.shutdown.complete"})
            return
        if scope["path"] == "/stats":
            answer: Any = gate._stats()
        else:
            answer = {"identity": mcp_request_ctx.get(), "pid": os.getpid()}
        headers = [(b"content-type", b"application/json")]
        await send({"type": "http.response.start", "status": 200, "headers": headers})
        await send({"type": "http.response.body", "body": json.dumps(answer).encode()})

    gate = SecureGatehouse(
        app,
        auth_verify_url=os.environ["SHARED_GATE_VERIFY_URL"],
        store=os.environ["SHARED_GATE_STORE"],
        public_paths=["/healthz", "/stats"],
        **json.loads(os.environ.get("SHARED_GATE_OPTIONS", "{}")),
    )
    return gate
