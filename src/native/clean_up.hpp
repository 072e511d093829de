// Clean-up that must run on every way out, and errors that have nowhere to go.
//
// `finally(body, cleanup)` is Python's `try: body() finally: cleanup()` for synchronous code:
// an error from the cleanup takes the place of the body's, with the body's as its context.
// `report_unraisable(obj)`, inside a `catch (...)`, reports the C++ exception being handled as
// the interpreter reports an error in a finalizer or a callback (sys.unraisablehook).
#pragma once

#include <type_traits>
#include <utility>

#include "object.hpp"

namespace py {

namespace detail {
template <class Body, class Cleanup>
decltype(auto) run_or_clean_up(Body& body, Cleanup& cleanup) {
    try {
        return body();
    } catch (...) {
        Error error = current_error();
        {
            Handling handling(error);  // what the cleanup raises chains to the body's error
            cleanup();
        }
        throw std::move(error);
    }
}
}  // namespace detail

// Runs `body`, then `cleanup`, and gives body's result.  When the body raises, the cleanup
// runs with that error being handled and the error goes on; when the cleanup raises too, its
// error goes on instead, with the body's as its __context__.
template <class Body, class Cleanup>
auto finally(Body&& body, Cleanup&& cleanup) -> std::invoke_result_t<Body> {
    using R = std::invoke_result_t<Body>;
    if constexpr (std::is_void_v<R>) {
        detail::run_or_clean_up(body, cleanup);
        cleanup();
    } else {
        R result = detail::run_or_clean_up(body, cleanup);
        cleanup();
        return result;
    }
}

// Inside a `catch (...)` block: the C++ exception being handled, as a Python error, goes to
// PyErr_WriteUnraisable(obj) (`obj` names where it happened; may be NULL).  An error already
// set in the thread state stays set.
inline void report_unraisable(PyObject* obj) noexcept {
    ErrorStash stash;
    translate_current_exception();
    PyErr_WriteUnraisable(obj);
}

// Runs `body` where no error can be raised to anyone (a finalizer, a callback from a C
// library): an error it raises is reported as unraisable for `obj`.
template <class Body>
void reporting_unraisable(PyObject* obj, Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        report_unraisable(obj);
    }
}

}  // namespace py
