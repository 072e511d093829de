// What both gates (gatehouse and secure) do the same way: compare a key with another in
// constant time, keep keys out of the text they log, read the verification backend's
// answer, and end a request the application left in a state the server must not see.
#pragma once

#include "coroutine.hpp"
#include "object.hpp"

namespace gate_common {

// At module exec, after the module's names are interned.
void prepare();

// The same answer as `a == b`; for two strs the comparison takes the same time wherever
// they differ, so response timing does not reveal how much of a key was right.
bool same_key(const py::Object& a, const py::Object& b);

// Whether `message` shows the key in any form: as is, escaped as repr shows a str or its
// bytes, or URL-encoded.
bool shows_key(const py::Object& message, const py::Object& api_key);

// A failed verification's warning argument, always a text: the error's own text where no
// form of the key can appear in it, else only its type name.  An encoding error's text
// quotes a character of the key and where it stands; the error object itself would hand a
// log handler the whole key (UnicodeError.object, an httpx error's request URL).
py::Object loggable_error(PyObject* exc, const py::Object& api_key);

// Raises ValueError, with a text that holds no form of the key, when the key cannot be an
// HTTP header value: h11 refuses a NUL, CR, LF, VT or FF anywhere and whitespace at either
// end, and its error (logged by httpcore) would quote the key.  Nothing is sent then.
void check_sendable(const py::Object& api_key);

// The parsed answer when it confirms the key: a JSON object whose "valid" is truthy; else
// None.  ("valid" truthy in something other than a dict raises TypeError.)
py::Object confirming_answer(const py::Object& data);

// The backend's answer, when it confirms the key: status 200 and a JSON object whose
// "valid" is truthy; else None.
py::Object confirmed_identity(const py::Object& response);

// except RuntimeError as exc: if "Expected ASGI message" not in str(exc): raise
// (the server's complaint about a message sent after the response ended, which the gates
// let pass).  An error while reading the text takes the place of the application's.
void forgive_expected_asgi_message(py::Outcome& outcome);

// Closes a response the application left open (an empty last body), with its failure (if
// any) being handled, to be awaited; the client being gone is no error, but a cancellation
// is never swallowed.
py::Object closing(const py::Object& send, const py::Outcome& outcome);

}  // namespace gate_common
