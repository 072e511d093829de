// The request spine both gates are built on: an HTTP request is decided (admitted, refused,
// passed through, or pending on an awaitable that comes to one of those), then answered or
// handed to the application with a send that watches the response, and cleaned up on every
// way out.  A gate supplies what differs as a policy type (see `http_request`); its module
// compiles this header in, so each gate's requests run its own instantiation.
#pragma once

#include <source_location>
#include <string>
#include <string_view>
#include <utility>

#include "coroutine.hpp"
#include "function.hpp"
#include "gate/gate_common.hpp"
#include "object.hpp"

namespace spine {

using py::Object;

// ---- reading what servers send --------------------------------------------------------------

inline std::string_view bytes_view(PyObject* b) {
    return {PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b))};
}

// Case-insensitive comparison of an ASCII header name with a lower-case one.
inline bool header_is(std::string_view name, std::string_view lower) {
    if (name.size() != lower.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if ((c >= 'A' && c <= 'Z' ? c + 32 : c) != lower[i]) return false;
    }
    return true;
}

// seen(name, value) for each pair of bytes in an ASGI header list (`headers` may be NULL or
// None: no headers), in order; other entries are passed over.
template <class Seen>
void for_each_header(const Object& headers, Seen&& seen) {
    auto look = [&](PyObject* e) {
        if (!PyTuple_Check(e) || PyTuple_GET_SIZE(e) != 2) return;
        PyObject* name = PyTuple_GET_ITEM(e, 0);
        PyObject* value = PyTuple_GET_ITEM(e, 1);
        if (PyBytes_Check(name) && PyBytes_Check(value)) seen(bytes_view(name), value);
    };
    if (headers.null() || headers.is_none()) return;
    if (PyList_CheckExact(headers.get())) {  // what servers send: walked in place
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(headers.get()); ++i)
            look(PyList_GET_ITEM(headers.get(), i));
    } else {
        py::for_each(headers, [&](const Object& entry) {
            look(entry.get());
            return false;
        });
    }
}

// ---- answering -------------------------------------------------------------------------------

// A JSON string's content for `utf8`, as json.dumps(ensure_ascii=False) escapes it.
void append_json_text(std::string& out, std::string_view utf8);

// {"type": "http.response.start", "status": status, "headers": [*header_pairs]}
Object response_start(PyObject* status, PyObject* header_pairs);
// {"type": "http.response.body", "body": body}
Object response_body(const Object& body);
// await send(start); await send(body)
py::Task send_response(Object send, Object start, Object body);

// ---- the verification request ----------------------------------------------------------------

// What both gates ask the backend: GET `url` with the key joined to its own query as
// `api_key` (a tenant parameter, say, stays) and sent again as the X-MCP-API-Key header,
// with a 10 s timeout.
struct VerificationRequest {
    Object url;      // httpx.URL
    Object headers;  // dict
};
VerificationRequest verification_request(const Object& httpx, const Object& url,
                                         const Object& api_key);
// The timeout, 10 (seconds).
PyObject* verification_timeout();

// ---- the request and its send ------------------------------------------------------------------

// What an admitted request holds while the application runs: the server's send, the
// published identity's context variable and what its set() returned, and the response's
// progress.  A gate's request state (a closure function that is the request's tracking send)
// holds one.
struct Request {
    Object send;
    Object context;        // mcp_request_ctx, as the request found it
    Object context_token;  // what its set() returned
    bool response_started = false;
    bool response_complete = false;

    template <class V>
    void visit(V& v) {
        v(send, context, context_token);
    }
};

// The identity an admitted request publishes: `from tervik.mcp.context import
// mcp_request_ctx` (as the gate's module would run it, with its `globals`), set to
// {"api_key": token, "user_id": scope.get("mcp_user_id"), "email": ...}.  Fills `request`
// (send, context, token); nothing is set when it fails.
void publish_identity(Request& request, const Object& scope, const Object& send,
                      const Object& token, PyObject* globals);

// The identity published for the request reset, with the application's failure (if any)
// being handled.  False when the collector took the request apart already.
bool reset_identity(Request& request);

// Whether the response was started and left open (no last body sent).
inline bool left_open(const Request& r) { return r.response_started && !r.response_complete; }

// What a message the application sends says of the response's progress.
enum class Sent { start, body, other };
Sent note_progress(Request& request, const Object& message);

// ---- the decision ---------------------------------------------------------------------------

// What a gate decides about one HTTP request.
struct Decision {
    enum class Kind { admitted, refused, passed, pending };
    Kind kind;
    // admitted: the request's tracking send; refused: the cause; pending: the awaitable,
    // whose result the gate's `settled` turns into one of the others.
    Object value;

    static Decision admitted(Object tracking_send) { return {Kind::admitted, std::move(tracking_send)}; }
    static Decision refused(Object cause) { return {Kind::refused, std::move(cause)}; }
    static Decision passed() { return {Kind::passed, {}}; }
    static Decision pending(Object awaitable) { return {Kind::pending, std::move(awaitable)}; }
};

// self.app(scope, receive, send), to be awaited.
Object application(const Object& self, const Object& scope, const Object& receive,
                   const Object& send);

// An HTTP request through a gate.  `Gate` supplies, for its `self` and `state` (the gate's
// own state object, or NULL):
//   static Decision admission(self, state, scope, send);
//   static Decision settled(Object result);          // what a pending decision came to
//   static Object refusal(self, state, scope, send, cause);   // the answer, to be awaited
//   static bool end_request(tracking_send, const Outcome&);  // true: a response left open
// Only a pending decision is awaited; an admitted request runs the application with its
// tracking send, and on every way out is cleaned up (and a response it left open closed).
template <class Gate>
py::Task http_request(Object self, Object state, Object scope, Object receive, Object send) {
    Decision decision = Gate::admission(self, state, scope, send);
    py::Local value = std::move(decision.value);
    if (decision.kind == Decision::Kind::pending) {
        decision = Gate::settled(co_await std::move(value));
        value = std::move(decision.value);
    }
    switch (decision.kind) {
        case Decision::Kind::passed:
            co_await application(self, scope, receive, send);
            co_return;
        case Decision::Kind::refused:
            co_await Gate::refusal(self, state, scope, send, value);
            co_return;
        default:
            break;
    }

    // try: await self.app(scope, receive, tracking_send)
    py::Outcome outcome =
        co_await py::attempt([&] { return application(self, scope, receive, value); });
    gate_common::forgive_expected_asgi_message(outcome);
    // finally: on every way out
    if (Gate::end_request(value, outcome)) co_await gate_common::closing(send, outcome);
    std::move(outcome).get();
}

// ---- the declarations both gates' methods share, but for their names and bodies ----------

using Here = std::source_location;

// async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None
py::FunctionDef call_def(const char* qualname, py::ForwardingStep step, Here where = Here::current());
// async def tracking_send(message: Any) -> None
py::FunctionDef tracking_send_def(const char* qualname, py::ForwardingStep step,
                                  Here where = Here::current());
// async def _verify_remote(self, api_key: str | None) -> dict | None
py::FunctionDef verify_remote_def(const char* qualname, const char* doc, py::SyncBody body,
                                  Here where = Here::current());
// async def _send_401(self, _scope: Scope, send: Send, reason: str = "invalid_api_key") -> None
py::FunctionDef send_401_def(const char* qualname, py::SyncBody body, Here where = Here::current());

// ---- the module ------------------------------------------------------------------------------

// The annotation names both gates' modules bind: Any, then ASGIApp, Receive, Scope, Send
// from starlette.types.
void bind_annotation_names(const Object& module);

}  // namespace spine
