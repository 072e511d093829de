"""Loaded by every Python process of the sanitizer run (make sanitize puts this directory on
PYTHONPATH, and tests hand it on to the interpreters they start).

One allocation of another package is made at import and never freed: cryptography's cffi
FFI object (the MCP SDK imports cryptography).  Its stack ends in the interpreter's
allocator, where no suppression rule can tell it from ours, so it is marked as not leaked
just before the interpreter finalises.
"""

import atexit
import ctypes
import sys


def _ignore_known_leaks() -> None:
    rust = sys.modules.get("cryptography.hazmat.bindings._rust")
    openssl = getattr(rust, "_openssl", None)
    if openssl is not None:
        ctypes.CDLL(None).__lsan_ignore_object(ctypes.c_void_p(id(openssl.ffi)))


atexit.register(_ignore_known_leaks)
