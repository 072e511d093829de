#include "gate/spine.hpp"

using namespace py;

namespace spine {

namespace {
namespace str {
Name type{"type"}, status{"status"}, headers{"headers"}, body{"body"}, more_body{"more_body"};
Name http_response_start{"http.response.start"}, http_response_body{"http.response.body"};
Name api_key{"api_key"}, user_id{"user_id"}, email{"email"};
Name mcp_user_id{"mcp_user_id"}, mcp_user_email{"mcp_user_email"};
Name mcp_request_ctx{"mcp_request_ctx"}, tervik_mcp_context{"tervik.mcp.context"};
Name set{"set"}, reset{"reset"}, app{"app"};
Name URL{"URL"}, copy_merge_params{"copy_merge_params"}, x_mcp_api_key{"X-MCP-API-Key"};
}  // namespace str

Constant ten;

Object request_identity(const Object& token, const Object& scope) {
    Object identity = new_dict(3);
    identity.set_item(str::api_key, token);
    identity.set_item(str::user_id, get(scope, str::mcp_user_id));
    identity.set_item(str::email, get(scope, str::mcp_user_email));
    return identity;
}
}  // namespace

void append_json_text(std::string& out, std::string_view utf8) {
    for (char ch : utf8) {
        unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (c < 0x20) {
                    char escaped[7];
                    PyOS_snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += ch;
                }
        }
    }
}

Object response_start(PyObject* status, PyObject* header_pairs) {
    Object start = new_dict(3);
    start.set_item(str::type, str::http_response_start);
    start.set_item(str::status, status);
    start.set_item(str::headers, Object::steal(PySequence_List(header_pairs)));
    return start;
}

Object response_body(const Object& body) {
    Object message = new_dict(2);
    message.set_item(str::type, str::http_response_body);
    message.set_item(str::body, body);
    return message;
}

Task send_response(Object send, Object start, Object body) {
    co_await send(start);
    co_await send(body);
}

VerificationRequest verification_request(const Object& httpx, const Object& url,
                                         const Object& api_key) {
    Object params = new_dict(1), headers = new_dict(1);
    params.set_item(str::api_key, api_key);
    headers.set_item(str::x_mcp_api_key, api_key);
    return {httpx.attr(str::URL)(url).call_method(str::copy_merge_params, params), headers};
}

PyObject* verification_timeout() {
    if (ten.get() == nullptr) ten = integer(10);
    return ten;
}

void publish_identity(Request& request, const Object& scope, const Object& send,
                      const Object& token, PyObject* globals) {
    Object context = import_statement(str::tervik_mcp_context, str::mcp_request_ctx, globals);
    Object context_token = context_set(context, request_identity(token, scope));
    request.send = send;
    request.context = std::move(context);
    request.context_token = std::move(context_token);
    request.response_started = request.response_complete = false;
}

bool reset_identity(Request& request) {
    if (request.context.null()) return false;  // taken apart by the collector already
    context_reset(request.context, request.context_token);
    return true;
}

Sent note_progress(Request& request, const Object& message) {
    Object type = message.item(str::type);
    if (type.equals(str::http_response_start)) {
        request.response_started = true;
        return Sent::start;
    }
    if (type.equals(str::http_response_body)) {
        if (!get(message, str::more_body, Py_False).truthy()) request.response_complete = true;
        return Sent::body;
    }
    return Sent::other;
}

Object application(const Object& self, const Object& scope, const Object& receive,
                   const Object& send) {
    return self.attr(str::app)(scope, receive, send);
}

FunctionDef call_def(const char* qualname, ForwardingStep step, Here where) {
    return {.name = "__call__",
            .qualname = qualname,
            .returns = "None",
            .params = {{.name = "self"},
                       {.name = "scope", .annotation = "Scope"},
                       {.name = "receive", .annotation = "Receive"},
                       {.name = "send", .annotation = "Send"}},
            .is_async = true,
            .forwarding = step,
            .where = where};
}

FunctionDef tracking_send_def(const char* qualname, ForwardingStep step, Here where) {
    return {.name = "tracking_send",
            .qualname = qualname,
            .returns = "None",
            .params = {{.name = "message", .annotation = "Any"}},
            .is_async = true,
            .forwarding = step,
            .where = where};
}

FunctionDef verify_remote_def(const char* qualname, const char* doc, SyncBody body, Here where) {
    return {.name = "_verify_remote",
            .qualname = qualname,
            .doc = doc,
            .returns = "dict | None",
            .params = {{.name = "self"},
                       {.name = "api_key", .annotation = "str | None", .check = Check::str_or_none}},
            .body = body,
            .is_async = true,
            .where = where};
}

FunctionDef send_401_def(const char* qualname, SyncBody body, Here where) {
    return {.name = "_send_401",
            .qualname = qualname,
            .returns = "None",
            .params = {{.name = "self"},
                       {.name = "_scope", .annotation = "Scope"},
                       {.name = "send", .annotation = "Send"},
                       {.name = "reason",
                        .annotation = "str",
                        .check = Check::str,
                        .default_value = Default::Text("invalid_api_key")}},
            .body = body,
            .is_async = true,
            .where = where};
}

void bind_annotation_names(const Object& module) {
    module.set_attr(text("Any").get(), import_from("typing", text("Any").get()));
    for (const char* name : {"ASGIApp", "Receive", "Scope", "Send"}) {
        Object key = text(name);
        module.set_attr(key.get(), import_from("starlette.types", key.get()));
    }
}

}  // namespace spine
