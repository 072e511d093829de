// What both gates (gatehouse and secure) do with an API key beyond reading it: compare it
// with another in constant time, keep it out of the text they log, and read the
// verification backend's answer about it.
#pragma once

#include "object.hpp"

namespace keys {

// At module exec, after the module's names are interned: the urllib.parse functions that
// show_key() asks how a key looks once URL-encoded.
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

// The backend's answer, when it confirms the key: status 200 and a JSON object whose
// "valid" is truthy; else None.
py::Object confirmed_identity(const py::Object& response);

}  // namespace keys
