"""A real MCP server behind the API-key gate, to try it with: ``make demo``.

``python -m tervik.mcp.demo`` (console script ``tervik-mcp-demo``) serves an MCP server made
with the MCP Python SDK, with a few small tools, over its streamable HTTP transport (SSE with
``--sse``) under uvicorn, wrapped in ``ApiKeyGatehouse``:

- fixed-key mode by default, the key taken from ``TERVIK_MCP_API_KEY`` or generated;
- remote mode with ``--auth-verify-url URL``, or with ``--demo-backend FILE``, which starts
  the bundled verification backend (``tervik.mcp.demo_backend``) on a free local port;
- ``--secure`` serves through ``SecureGatehouse`` (``tervik.mcp.secure``) instead, and
  ``--redis URL`` gives it a shared store there (``store=URL``);
- ``--workers N`` serves from N uvicorn worker processes, each building the app and its gate
  from ``worker_app()``; MCP is then served statelessly (each request stands alone), since a
  session would live in one worker only.

Start-up writes ``MCP endpoint: http://HOST:PORT/PATH`` and, only when the key was generated,
``API key: KEY`` to standard output, each on a line of its own, followed by client
examples; logs go to standard error, with every ``api_key`` query value masked. No key is
ever written except the one the demo generated. Ctrl-C stops it.
"""

from __future__ import annotations

import argparse
import errno
import json
import logging
import os
import secrets
import socket
import sys
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any
from urllib.parse import urlsplit

from tervik.mcp.context import mcp_request_ctx
from tervik.mcp.demo_backend import DemoBackend, DemoBackendError, load_identities
from tervik.mcp.redaction import ApiKeyRedactingFilter, redact, redact_api_key_logs

if TYPE_CHECKING:
    from mcp.server.mcpserver import MCPServer
    from starlette.types import ASGIApp

__all__ = ["ENV_KEY", "main", "make_app", "make_gate", "make_mcp_server", "worker_app"]

PROG = "tervik-mcp-demo"
ENV_KEY = "TERVIK_MCP_API_KEY"
# What the workers of --workers N build from: the parent's options, as JSON (never the key,
# which they take from ENV_KEY like the parent).
ENV_WORKER_OPTIONS = "TERVIK_MCP_DEMO_OPTIONS"
WORKER_OPTIONS = (
    "host", "path", "sse", "secure", "workers", "redis", "auth_verify_url", "keys_file"
)  # fmt: skip
REDIS_SCHEMES = ("redis", "rediss", "unix")
# A protocol revision every SDK of this generation accepts, for the curl examples.
CURL_PROTOCOL_VERSION = "2025-06-18"


class DemoError(Exception):
    """A problem the user can fix, told in one line; ``status`` is the exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Serve a small MCP server behind the tervik API-key gate.",
        epilog=f"Fixed-key mode takes its key from ${ENV_KEY}, or generates one and prints it.",
    )
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on")
    parser.add_argument("--port", type=int, default=8000, help="port; 0 picks a free one")
    parser.add_argument("--path", help="endpoint path (default /mcp, or /sse with --sse)")
    parser.add_argument("--sse", action="store_true", help="serve the SSE transport")
    parser.add_argument(
        "--secure",
        action="store_true",
        help="serve through SecureGatehouse (sessions bound to their caller, cached "
        "verification, a failure limit, JSON-RPC refusals) instead of ApiKeyGatehouse",
    )
    parser.add_argument(
        "--redis", metavar="URL", help="with --secure: share failure counts, verdicts and "
        "verifications in flight with other processes through Redis at URL (redis://, "
        "rediss:// or unix://)",
    )  # fmt: skip
    parser.add_argument(
        "--workers", type=int, default=1, metavar="N", help="uvicorn worker processes "
        "(default 1); with more, MCP is served statelessly: each request stands alone",
    )  # fmt: skip
    remote = parser.add_mutually_exclusive_group()
    remote.add_argument("--auth-verify-url", metavar="URL", help="remote mode: verify keys here")
    remote.add_argument(
        "--demo-backend", metavar="FILE", help="remote mode against the bundled backend, "
        'keys and identities from FILE: {"KEY": {"user_id": ..., "email": ...}}'
    )  # fmt: skip
    remote.add_argument(
        "--keys-file", metavar="FILE", help="with --secure: per-user keys from FILE, kept "
        "as digests (python -m tervik.mcp.keys new makes them)"
    )  # fmt: skip
    args = parser.parse_args(argv)
    args.path = args.path or ("/sse" if args.sse else "/mcp")
    if not args.path.startswith("/"):
        parser.error("--path must start with /")
    if args.auth_verify_url and urlsplit(args.auth_verify_url).scheme not in ("http", "https"):
        parser.error("--auth-verify-url must be an http:// or https:// URL")
    return args


# --- the server ------------------------------------------------------------------------


def make_mcp_server() -> MCPServer:
    """The MCP server: ``whoami`` reports the caller's identity (never the key)."""
    from mcp.server.mcpserver import MCPServer

    server = MCPServer("tervik-demo", log_level="WARNING")

    @server.tool()
    async def whoami() -> dict[str, Any]:
        """Who the gate says is calling: user id and email (remote mode); never the key."""
        identity = mcp_request_ctx.get() or {}
        return {
            "authenticated": identity.get("api_key") is not None,
            "user_id": identity.get("user_id"),
            "email": identity.get("email"),
        }

    @server.tool()
    async def echo(text: str) -> str:
        """Return the text unchanged."""
        return text

    @server.tool()
    async def add(a: float, b: float) -> float:
        """Add two numbers."""
        return a + b

    return server


def make_app(args: argparse.Namespace) -> ASGIApp:
    """The MCP server's ASGI app for the chosen transport, endpoint at ``args.path``;
    stateless streamable HTTP under several workers (a session would live in one)."""
    server = make_mcp_server()
    if args.sse:
        return server.sse_app(sse_path=args.path, host=args.host)
    stateless = getattr(args, "workers", 1) > 1
    return server.streamable_http_app(
        streamable_http_path=args.path, host=args.host, stateless_http=stateless
    )


def make_gate(app: ASGIApp, args: argparse.Namespace) -> ASGIApp:
    """The gate in front of the app: the one place that chooses the gate class."""
    from tervik.mcp.gatehouse import ApiKeyGatehouse
    from tervik.mcp.secure import SecureGatehouse

    if not getattr(args, "secure", False):
        return ApiKeyGatehouse(app, api_key=args.api_key, auth_verify_url=args.auth_verify_url)
    options: dict[str, Any] = {}
    if getattr(args, "redis", None):
        options["store"] = args.redis
    if getattr(args, "keys_file", None):
        return SecureGatehouse(app, keys_file=args.keys_file, **options)
    return SecureGatehouse(
        app, api_key=args.api_key, auth_verify_url=args.auth_verify_url, **options
    )


def worker_app() -> ASGIApp:
    """The gated app of one worker under ``--workers N``: uvicorn imports this factory in
    every worker process and calls it there, with the options the parent parsed (from
    ``ENV_WORKER_OPTIONS``) and the parent's key, if any (from ``ENV_KEY``)."""
    configure_logging()
    args = argparse.Namespace(**json.loads(os.environ[ENV_WORKER_OPTIONS]))
    args.api_key = None if args.auth_verify_url or args.keys_file else os.environ[ENV_KEY]
    return make_gate(make_app(args), args)


# --- start-up --------------------------------------------------------------------------


def configure_logging() -> None:
    """Everything to standard error, keys masked on the way; the SDK's chatter kept down."""
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
    handler.addFilter(ApiKeyRedactingFilter())
    logging.basicConfig(level=logging.INFO, handlers=[handler], force=True)
    redact_api_key_logs()
    logging.getLogger("mcp").setLevel(logging.WARNING)


def listen_socket(host: str, port: int) -> socket.socket:
    """The bound server socket; a port in use or a bad address is a DemoError."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    # IPPROTO_TCP, as asyncio's own listening sockets have it: only then does it turn Nagle's
    # algorithm off for the connections, without which a response written in two parts waits
    # for the client's delayed ACK (about 40 ms a request on a kept-alive connection).
    sock = socket.socket(family, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((host, port))
    except OSError as error:
        sock.close()
        if error.errno == errno.EADDRINUSE:
            raise DemoError(
                f"port {port} on {host} is in use; choose another with --port (0 picks a free one)"
            ) from None
        raise DemoError(f"cannot listen on {host} port {port}: {error.strerror}") from None
    return sock


def unreachable(url: str) -> str | None:
    """Why nothing answers at the URL's host and port (no request is sent), or None."""
    parts = urlsplit(url)
    try:
        port = parts.port or (443 if parts.scheme == "https" else 80)
        with socket.create_connection((parts.hostname or "", port), timeout=3):
            return None
    except (OSError, ValueError) as error:
        return getattr(error, "strerror", None) or str(error) or type(error).__name__


def endpoint_url(host: str, port: int, path: str) -> str:
    return f"http://{f'[{host}]' if ':' in host else host}:{port}{path}"


def banner(
    args: argparse.Namespace, url: str, generated_key: str | None, backend: DemoBackend | None
) -> list[str]:
    """The start-up text: the stable lines first, then ready-to-paste examples."""
    lines = [f"MCP endpoint: {url}"]
    if generated_key is not None:
        lines.append(f"API key: {generated_key}")
    if backend is not None:
        count = len(backend.identities)
        lines.append(f"Verification backend: {backend.url} ({count} keys from {args.demo_backend})")
    if getattr(args, "keys_file", None):
        lines.append(f"Keys file: {args.keys_file}")
    if args.workers > 1:
        lines.append(f"Workers: {args.workers}, serving MCP statelessly (no sessions)")
    if generated_key is not None:
        key = generated_key
    elif args.auth_verify_url is None and not getattr(args, "keys_file", None):
        key = f"${ENV_KEY}"
    else:
        key = "YOUR_KEY"
    quote = "'" if generated_key is not None else '"'  # let the shell expand $TERVIK_...
    header = f"Authorization: Bearer {key}"
    if args.sse:
        # The message endpoint the stream announces carries no key, so on SSE a client that
        # puts the key only in the query string cannot post: the header is the one way.
        lines += [
            "",
            "Clients present the key in a header:",
            f"  {header}",
            "",
            "Try it (an SSE stream):",
            f"  curl -N -H {quote}{header}{quote} {url}",
        ]
    else:
        initialize = (
            '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":'
            f'"{CURL_PROTOCOL_VERSION}","capabilities":{{}},'
            '"clientInfo":{"name":"curl","version":"1"}}}'
        )
        common = (
            "-H 'Content-Type: application/json' -H 'Accept: application/json, text/event-stream'"
            f" -d '{initialize}'"
        )
        lines += [
            "",
            "Clients present the key in a header or in the query:",
            f"  {header}",
            f"  {url}?api_key={key}",
            "",
            "Try it:",
            f"  curl -sS -X POST -H {quote}{header}{quote} {common} {url}",
            f"  curl -sS -X POST {common} {quote}{url}?api_key={key}{quote}",
        ]
    lines += ["", "Stop with Ctrl-C."]
    return lines


def run(args: argparse.Namespace, sock: socket.socket, on_started: Callable[[], None]) -> None:
    import uvicorn

    if args.workers > 1:
        run_workers(args, sock, on_started)
        return

    class Server(uvicorn.Server):
        async def startup(self, sockets: list[socket.socket] | None = None) -> None:
            await super().startup(sockets=sockets)
            if self.started:
                on_started()

    config = uvicorn.Config(
        make_gate(make_app(args), args),
        lifespan="on",
        log_config=None,
        timeout_graceful_shutdown=3,
    )
    Server(config).run(sockets=[sock])


def run_workers(
    args: argparse.Namespace, sock: socket.socket, on_started: Callable[[], None]
) -> None:
    """uvicorn's worker processes on the bound socket, each serving ``worker_app()``. The
    socket listens before they start, so the endpoint is announced at once: connections
    made meanwhile wait in its backlog for the first worker."""
    import uvicorn

    os.environ[ENV_WORKER_OPTIONS] = json.dumps(
        {name: getattr(args, name) for name in WORKER_OPTIONS}
    )
    if args.api_key is not None:
        os.environ[ENV_KEY] = args.api_key  # the workers' copy of the parent's environment
    sock.listen(2048)
    on_started()
    uvicorn.run(
        "tervik.mcp.demo:worker_app",
        factory=True,
        fd=sock.fileno(),
        workers=args.workers,
        lifespan="on",
        log_config=None,
        timeout_graceful_shutdown=3,
    )


def check_options(args: argparse.Namespace) -> None:
    """The combinations that cannot work, each a DemoError of one line; and the warning for
    several secure workers that share nothing."""
    if args.workers < 1:
        raise DemoError("--workers must be at least 1", status=2)
    if args.sse and args.workers > 1:
        raise DemoError(
            "--sse needs one worker: an SSE session's stream and its messages must reach the "
            "same process (streamable HTTP serves from several, statelessly)",
            status=2,
        )
    if args.keys_file and not args.secure:
        raise DemoError("--keys-file needs --secure: SecureGatehouse reads the keys file", status=2)
    if args.redis is None:
        if args.secure and args.workers > 1:
            print(
                f"{PROG}: with --workers {args.workers} and no --redis, limits and caches are "
                "per worker (failure counts, verdicts and the verification budget)",
                file=sys.stderr,
                flush=True,
            )
        return
    if not args.secure:
        raise DemoError(
            "--redis needs --secure: only SecureGatehouse keeps state to share", status=2
        )
    if urlsplit(args.redis).scheme not in REDIS_SCHEMES:
        raise DemoError("--redis takes a redis://, rediss:// or unix:// URL", status=2)
    try:
        import redis.asyncio  # noqa: F401
    except ImportError as error:
        raise DemoError(f"--redis needs redis-py ({error}): pip install 'tervik[redis]'") from None


def serve(args: argparse.Namespace) -> None:
    check_options(args)
    try:
        import mcp.server.mcpserver  # noqa: F401
        import uvicorn  # noqa: F401
    except ImportError as error:
        raise DemoError(
            f"needs uvicorn and the MCP SDK ({error}): pip install 'tervik[demo]'"
        ) from None

    backend = None
    generated_key = None
    args.api_key = None
    if args.demo_backend:
        try:
            identities = load_identities(args.demo_backend)
        except DemoBackendError as error:
            raise DemoError(str(error), status=2) from None
        backend = DemoBackend(identities)
        args.auth_verify_url = backend.url
    elif args.keys_file:
        from tervik.mcp.keys import KeysFileError, load

        try:
            load(args.keys_file)
        except KeysFileError as error:
            raise DemoError(str(error), status=2) from None
    elif args.auth_verify_url:
        problem = unreachable(args.auth_verify_url)
        if problem is not None:
            print(
                f"{PROG}: the verification service at {redact(args.auth_verify_url)} cannot be "
                f"reached ({problem}); serving anyway, every request is refused until it answers",
                file=sys.stderr,
                flush=True,
            )
    else:
        args.api_key = os.environ.get(ENV_KEY) or None
        if args.api_key is None:
            generated_key = args.api_key = secrets.token_urlsafe(24)

    try:
        with listen_socket(args.host, args.port) as sock:
            url = endpoint_url(args.host, sock.getsockname()[1], args.path)

            def started() -> None:
                print("\n".join(banner(args, url, generated_key, backend)), flush=True)

            run(args, sock, started)
    finally:
        if backend is not None:
            backend.close()


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    configure_logging()
    try:
        serve(args)
    except DemoError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return error.status
    except KeyboardInterrupt:  # uvicorn re-raises Ctrl-C once it has shut down cleanly
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
