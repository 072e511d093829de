// tervik.mcp.gatehouse: the API-key gate in front of the MCP server's HTTP/SSE transport.
//
// The module body binds, in order: logging, urllib, Any, the four starlette.types names,
// _logger, ApiKeyGatehouse, FixedApiKeyAuthProvider.  Each method below sits in one section:
// its texts, its body, then its declaration (parameters, annotations, docstring).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "asyncio_interop.hpp"
#include "function.hpp"
#include "method.hpp"
#include "gate/gate_common.hpp"
#include "gate/spine.hpp"
#include "gate/texts.hpp"
#include "module.hpp"
#include "native_type.hpp"
#include "wire/query_fields.hpp"

using namespace py;
using namespace texts::plain;
using texts::log_verify_failed;
using gate_common::check_sendable, gate_common::closing, gate_common::confirmed_identity,
    gate_common::forgive_expected_asgi_message, gate_common::loggable_error, gate_common::same_key,
    gate_common::shows_key;

namespace {

constexpr const char* module_name = "tervik.mcp.gatehouse";

constexpr const char* module_doc =
    "MCP Server API Key 鉴权中间件。\n"
    "\n"
    "服务端不保存任何用户 OAuth 凭证（无状态模式），但在 SSE 连接层通过 API Key\n"
    "做第一道访问控制，防止未授权调用方接入。\n"
    "\n"
    "两种工作模式：\n"
    "    1. 固定 API Key 模式（单用户，向后兼容）：与本地保存的 api_key 比对。\n"
    "    2. 远程校验模式（多用户）：请求由 --auth-verify-url 配置的校验后端判定。\n"
    "\n"
    "支持两种传递方式：\n"
    "    - HTTP Header：Authorization: Bearer <api_key>\n"
    "    - URL Query：?api_key=<api_key>（适用于只能设置 Query 的客户端）\n"
    "\n"
    "由于 FastMCP 自带的 AuthProvider 中间件在 Starlette 栈中注册得很早，无法在它之前\n"
    "把 Query 参数转成 Header，因此全部鉴权都在本模块的中间件中完成，不使用 FastMCP\n"
    "内置的 AuthProvider。\n";

// ---- names and constants, made once at module exec ---------------------------------------------

namespace str {
Name app{"app"}, _api_key{"_api_key"}, _auth_verify_url{"_auth_verify_url"};
Name _logger{"_logger"}, urllib{"urllib"}, parse{"parse"}, parse_qs{"parse_qs"};
Name info{"info"}, warning{"warning"}, get{"get"}, type{"type"}, http{"http"}, headers{"headers"};
Name query_string{"query_string"}, api_key{"api_key"};
Name user_id{"user_id"}, email{"email"}, reason{"reason"};
Name mcp_api_key{"mcp_api_key"}, mcp_user_id{"mcp_user_id"}, mcp_user_email{"mcp_user_email"};
Name invalid_api_key{"invalid_api_key"};
Name decode{"decode"}, lower{"lower"}, startswith{"startswith"}, strip{"strip"};
Name utf_8{"utf-8"}, replace{"replace"}, errors{"errors"}, bearer_prefix{"bearer "};
Name AsyncClient{"AsyncClient"}, timeout{"timeout"}, plus{"+"}, space{" "};
Name token{"token"}, client_id{"client_id"}, scopes{"scopes"}, __module__{"__module__"};
Name default_client{"default"}, tervik_mcp_scope{"tervik:mcp"}, AccessToken{"AccessToken"};
}  // namespace str

Constant empty_bytes;           // b""
Constant authorization_header;  // b"authorization"
Constant unauthorized_headers;  // ((b"content-type", ...), (b"www-authenticate", ...))
Constant invalid_api_key_body;  // the 90-byte body for "invalid_api_key"
Constant int_401;
Constant standard_parse_qs;  // urllib.parse.parse_qs as loaded
Constant unquote;

void gatehouse_body(Object module);
ModuleDefinition gatehouse("gatehouse", module_name, module_doc, "tervik/mcp/gatehouse.cpp",
                           gatehouse_body);

const Param self_param{.name = "self"};

// ---- class ApiKeyGatehouse -----------------------------------------------------------------------

constexpr const char* gatehouse_doc =
    "统一校验 API Key 的 ASGI 中间件（支持 Header 或 Query Param）。\n"
    "\n"
    "两种工作模式：\n"
    "    - 固定 API Key 模式：与本地 api_key 参数比对。\n"
    "    - 远程校验模式：通过 auth_verify_url 请求校验后端判定。\n"
    "\n"
    "优先读取 Query Param，其次读取 Authorization Header；校验失败返回 401，\n"
    "不再向下游转发请求。\n"
    "    ";


// ---- ApiKeyGatehouse.__init__ -----------------------------------------------------------------

constexpr const char* init_doc =
    "\n"
    "        Args:\n"
    "            app: ASGI 应用。\n"
    "            api_key: 固定 API Key（单用户模式，向后兼容）。\n"
    "            auth_verify_url: 远程校验后端地址（多用户模式）。\n"
    "        ";

void gatehouse_init(Object self, Object app, Object api_key, Object auth_verify_url) {
    self.set_attr(str::app, app);
    self.set_attr(str::_api_key, api_key);
    self.set_attr(str::_auth_verify_url, auth_verify_url);

    Object logger = gatehouse.global(str::_logger);
    if (auth_verify_url.truthy()) {
        logger.call_method(str::info, text(log_remote_mode), auth_verify_url);
    } else if (api_key.truthy()) {
        logger.call_method(str::info, text(log_fixed_mode));
    } else {
        logger.call_method(str::warning, text(log_unconfigured));
    }
}

const FunctionDef gatehouse_init_def{
    .name = "__init__",
    .qualname = "ApiKeyGatehouse.__init__",
    .doc = init_doc,
    .params = {self_param,
               {.name = "app", .annotation = "ASGIApp"},
               keyword("api_key", "str | None", Check::str_or_none, Default::None()),
               keyword("auth_verify_url", "str | None", Check::str_or_none, Default::None())},
    .body = fn<&gatehouse_init>,
};

// ---- ApiKeyGatehouse._extract_token -----------------------------------------------------------

// (name, value) = entry, with the interpreter's unpacking errors.
void unpack_pair(const Object& entry, Object& name, Object& value) {
    auto too_few = [](Py_ssize_t got) {
        raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                     got == 1 ? "" : "s");
    };
    auto too_many = [] { raise(PyExc_ValueError, "too many values to unpack (expected 2)"); };
    PyObject* e = entry.get();
    if (PyTuple_CheckExact(e) || PyList_CheckExact(e)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(e);
        if (n != 2) n < 2 ? too_few(n) : too_many();
        name = Object::borrow(PySequence_Fast_GET_ITEM(e, 0));
        value = Object::borrow(PySequence_Fast_GET_ITEM(e, 1));
        return;
    }
    Py_ssize_t got = 0;
    Object items[2];
    for_each(entry, [&](Object item) {
        if (got == 2) too_many();
        items[got++] = std::move(item);
        return false;
    });
    if (got < 2) too_few(got);
    name = std::move(items[0]);
    value = std::move(items[1]);
}

// name.lower() == b"authorization" for a bytes name, without the copy.
bool is_authorization_bytes(PyObject* name) {
    return equals_folded_letters(spine::bytes_view(name), "authorization");
}

bool is_authorization(const Object& name) {
    if (PyBytes_CheckExact(name.get())) return is_authorization_bytes(name.get());
    return name.call_method(str::lower).equals(authorization_header);
}

// value[7:] of an ASCII Authorization value, stripped as str.strip() strips ASCII text.
Object ascii_token(std::string_view rest) {
    auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f'); };
    while (!rest.empty() && space(rest.front())) rest.remove_prefix(1);
    while (!rest.empty() && space(rest.back())) rest.remove_suffix(1);
    Object token = Object::steal(PyUnicode_New(static_cast<Py_ssize_t>(rest.size()), 127));
    std::memcpy(PyUnicode_DATA(token.get()), rest.data(), rest.size());  // ASCII: as it is
    return token;
}

// The bearer token of one Authorization value, or NULL when it has another scheme:
// auth = value.decode("utf-8", errors="replace"); auth[7:].strip() if
// auth.lower().startswith("bearer ").  Only ASCII letters lower-case into "bearer ", so the
// scheme is compared case-insensitively on the first seven characters.
Object bearer_token(const Object& value) {
    constexpr std::string_view scheme = "bearer ";
    auto is_scheme = [&](auto at) {
        for (size_t i = 0; i < scheme.size(); ++i) {
            auto c = at(i);
            if (c >= 'A' && c <= 'Z') c += 32;
            if (c != static_cast<decltype(c)>(scheme[i])) return false;
        }
        return true;
    };
    if (PyBytes_CheckExact(value.get())) {
        std::string_view raw(PyBytes_AS_STRING(value.get()), PyBytes_GET_SIZE(value.get()));
        // Fewer bytes decode to fewer characters; non-ASCII bytes never decode to the scheme.
        if (raw.size() < scheme.size() || raw[6] != ' ' ||
            !equals_folded_letters(raw.substr(0, 6), "bearer"))
            return {};
        std::string_view rest = raw.substr(scheme.size());
        if (is_ascii(rest)) return ascii_token(rest);
        return Object::steal(PyUnicode_DecodeUTF8(rest.data(), static_cast<Py_ssize_t>(rest.size()),
                                                  "replace"))
            .call_method(str::strip);
    }
    Object auth = value.attr(str::decode)(str::utf_8, kw(str::errors, str::replace));
    if (PyUnicode_CheckExact(auth.get())) {
        if (PyUnicode_GET_LENGTH(auth.get()) < static_cast<Py_ssize_t>(scheme.size()) ||
            !is_scheme([&](size_t i) {
                return PyUnicode_READ_CHAR(auth.get(), static_cast<Py_ssize_t>(i));
            }))
            return {};
    } else if (!auth.call_method(str::lower)
                    .call_method(str::startswith, str::bearer_prefix)
                    .truthy()) {
        return {};
    }
    return Object::steal(PySequence_GetSlice(auth.get(), 7, PY_SSIZE_T_MAX))
        .call_method(str::strip);
}

// parse_qs(query).get("api_key", [None])[0], without building the whole mapping: the first
// "&"-separated field with "=" and a non-empty value whose name, with "+" as space and
// percent escapes decoded, is "api_key"; its value decoded the same way.  Fields that need
// decoding go through urllib.parse.unquote, so the text is exactly what parse_qs gives.
// `query` is valid UTF-8.
Object first_api_key(std::string_view query) {
    auto escaped = [](std::string_view part) {
        for (char c : part) {
            if (c == '+' || c == '%') return true;
        }
        return false;
    };
    auto decoded = [&](std::string_view part) {
        Object text = Object::steal(
            PyUnicode_DecodeUTF8(part.data(), static_cast<Py_ssize_t>(part.size()), nullptr));
        if (!escaped(part)) return text;
        return Object::borrow(unquote)(text.call_method(str::replace, str::plus, str::space),
                                       str::utf_8, str::replace);
    };
    Object found;
    query::for_each_field(query, [&](std::string_view name, std::string_view value) {
        if (value.empty()) return false;  // parse_qs drops blank values
        if (name == "api_key" || (escaped(name) && decoded(name).equals(str::api_key)))
            found = decoded(value);
        return !found.null();
    });
    return found;
}

// The method promises "str | None"; a replaced parser or an odd header value that yields
// anything else is refused rather than handed on.
Object str_or_none(Object value) {
    if (!PyUnicode_CheckExact(value.get()) && !value.is_none()) {
        raise_format(PyExc_TypeError, "Expected %s, got %.200s", "str", value.type()->tp_name);
    }
    return value;
}

// urllib.parse.parse_qs, looked up as the module names it now.
Object module_parse_qs() {
    return gatehouse.global(str::urllib).attr(str::parse).attr(str::parse_qs);
}

Object key_from_query(const Object& scope) {
    Object raw = get(scope, str::query_string, empty_bytes);
    if (PyBytes_CheckExact(raw.get())) {
        std::string_view bytes(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()));
        if (bytes.empty()) return {};
        // ASCII is valid UTF-8, and the standard parser needs no str: read the bytes as they are.
        if (is_ascii(bytes)) {
            if (module_parse_qs().is(standard_parse_qs)) return first_api_key(bytes);
        }
    }
    Object query_string =
        PyBytes_CheckExact(raw.get())
            ? Object::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()),
                                                 PyBytes_GET_SIZE(raw.get()), nullptr))
            : std::move(raw).call_method(str::decode, str::utf_8);
    if (!query_string.truthy()) return {};
    Object parse_qs = module_parse_qs();
    if (parse_qs.is(standard_parse_qs) && PyUnicode_CheckExact(query_string.get())) {
        Object keep;  // set only for text with lone surrogates: parse_qs itself handles those
        std::string_view utf8 = utf8_bytes(query_string, keep);
        if (keep.null()) return first_api_key(utf8);
    }
    // Someone replaced the parser: use theirs.
    Object api_keys = get(std::move(parse_qs)(query_string), str::api_key, new_list().get());
    if (!api_keys.truthy()) return {};
    return str_or_none(api_keys.item(Py_ssize_t{0}));
}

Object key_from_headers(const Object& scope) {
    Object token;
    auto first_bearer = [&](const Object& entry) {
        Object name, value;
        unpack_pair(entry, name, value);
        if (is_authorization(name)) token = bearer_token(value);
        return !token.null();
    };
    // Without the entry, nothing is iterated: the default list is made only for a mapping
    // that may want to see it.
    Object headers = PyDict_CheckExact(scope.get()) ? get(scope, str::headers, nullptr)
                                                    : get(scope, str::headers, new_list().get());
    PyObject* sequence = headers.get();
    // What servers send: a list of (bytes, bytes) pairs; those not named authorization are
    // passed over at once.
    auto other_header = [](PyObject* entry) {
        if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2) return false;
        PyObject* name = PyTuple_GET_ITEM(entry, 0);
        return PyBytes_CheckExact(name) && !is_authorization_bytes(name);
    };
    if (sequence != nullptr && PyList_CheckExact(sequence)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sequence); ++i) {
            PyObject* entry = PyList_GET_ITEM(sequence, i);
            if (!other_header(entry) && first_bearer(Object::borrow(entry))) break;
        }
    } else if (sequence != nullptr) {
        for_each(headers, first_bearer);
    }
    return token.null() ? none() : str_or_none(token);
}

Object extract_token(Object /*self*/, Object scope) {
    if (Object key = key_from_query(scope); !key.null()) return key;
    return key_from_headers(scope);
}

const FunctionDef extract_token_def{
    .name = "_extract_token",
    .qualname = "ApiKeyGatehouse._extract_token",
    .doc = "从 Query Param 或 Header 中提取 API Key。",
    .returns = "str | None",
    .params = {self_param, {.name = "scope", .annotation = "Scope"}},
    .body = fn<&extract_token>,
};

// ---- ApiKeyGatehouse.__call__ -----------------------------------------------------------------

// One admitted request, as its tracking send: the function and its closure in one object.
struct RequestState {
    spine::Request request;

    template <class V>
    void visit(V& v) {
        request.visit(v);
    }
};
using RequestStateType = ClosureType<RequestState>;
FunctionProto* tracking_send_proto;

RequestState* request_of(PyObject* tracking_send) { return &RequestStateType::unchecked(tracking_send); }

// The send the application gets: records the response's progress, then forwards the message
// (the server's send result is discarded).  A frameless coroutine runs it when awaited.
Object track_and_forward(PyObject* const* closure_and_message) {
    RequestState* state = request_of(closure_and_message[0]);
    Object message = Object::borrow(closure_and_message[1]);
    spine::note_progress(state->request, message);
    return state->request.send(message);
}

const FunctionDef tracking_send_def =
    spine::tracking_send_def("ApiKeyGatehouse.__call__.<locals>.tracking_send", track_and_forward);

// An admitted request begins with its identity published; the result is its tracking send.
Object begin_request(const Object& scope, const Object& send, const Object& token) {
    Object tracking_send = RequestStateType::make(tracking_send_proto);
    spine::publish_identity(request_of(tracking_send.get())->request, scope, send, token,
                            gatehouse.globals);
    return tracking_send;
}

// The methods as the class defines them: calls through the instance that find one of these
// unreplaced run its body directly.
ValueTask verify_remote(Object self, Object api_key);
Task send_401(Object self, Object scope, Object send, Object reason);
extern const FunctionDef verify_remote_def, send_401_def, call_def;
Method own_extract_token{extract_token_def}, own_verify_remote{verify_remote_def};
Method own_send_401{send_401_def}, own_call{call_def};

// self._extract_token(scope); a query string that is not UTF-8 presents no usable key: NULL,
// refused like a wrong one.
Object presented_key(const Object& self, const Object& scope) {
    try {
        return own_extract_token.call(self, [&] { return extract_token(self, scope); }, scope);
    } catch (const Error& e) {
        if (!e.matches(PyExc_UnicodeDecodeError)) throw;
        return {};
    }
}

// self._verify_remote(token), to be awaited.
Object verification_of(const Object& self, const Object& token) {
    bool fits = token.is_none() || PyUnicode_CheckExact(token.get());
    return own_verify_remote.call_if(fits, self, [&] { return verify_remote(self, token); }, token);
}

// Remote-verification mode: the backend's identity goes into the scope and the request
// begins (its tracking send comes back), or None refuses the key.
ValueTask admitted_remotely(Object self, Object scope, Object send, Object token) {
    Local user_info = co_await honouring_cancellation(verification_of(self, token));
    if (!user_info.truthy()) co_return none();
    scope.set_item(str::mcp_api_key, token);
    scope.set_item(str::mcp_user_id, user_info.call_method(str::get, str::user_id));
    scope.set_item(str::mcp_user_email, user_info.call_method(str::get, str::email));
    co_return begin_request(scope, send, token);
}

// What ApiKeyGatehouse gives the spine: the presented key decides, against the fixed key or
// (remote-verification mode, pending) the backend; every refusal is _send_401's.
struct PlainGate {
    static spine::Decision admission(const Object& self, const Object& /*state*/,
                                     const Object& scope, const Object& send) {
        using spine::Decision;
        Object token = presented_key(self, scope);
        if (token.null()) return Decision::refused(Object::borrow(str::invalid_api_key));
        if (self.attr(str::_auth_verify_url).truthy())
            return Decision::pending(admitted_remotely(self, scope, send, token).into_object());
        Object api_key = self.attr(str::_api_key);
        if (!api_key.truthy() || !same_key(token, api_key))
            return Decision::refused(Object::borrow(str::invalid_api_key));
        scope.set_item(str::mcp_api_key, token);
        return Decision::admitted(begin_request(scope, send, token));
    }

    static spine::Decision settled(Object tracking_send) {
        if (tracking_send.is_none())
            return spine::Decision::refused(Object::borrow(str::invalid_api_key));
        return spine::Decision::admitted(std::move(tracking_send));
    }

    // self._send_401(scope, send, reason="invalid_api_key"), to be awaited.
    static Object refusal(const Object& self, const Object& /*state*/, const Object& scope,
                          const Object& send, const Object& reason) {
        return own_send_401.call(self, [&] { return send_401(self, scope, send, reason); }, scope,
                                 send, kw(str::reason, reason));
    }

    // The identity reset, with the application's failure (if any) being handled.
    static bool end_request(const Object& tracking_send, const Outcome& outcome) {
        spine::Request& request = request_of(tracking_send.get())->request;
        Handling handling = outcome.handling();
        return spine::reset_identity(request) && spine::left_open(request);
    }
};


// The gate's entry: a scope that is not HTTP goes to the application untouched (awaited with
// nothing of ours in between); an HTTP request goes through the gate.
Object gatehouse_call(PyObject* const* arguments) {
    Object self = Object::borrow(arguments[0]), scope = Object::borrow(arguments[1]);
    Object receive = Object::borrow(arguments[2]), send = Object::borrow(arguments[3]);
    if (!scope.item(str::type).equals(str::http))
        return spine::application(self, scope, receive, send);
    return named_after(own_call.function(), spine::http_request<PlainGate>(self, Object(), scope, receive, send)
                                     .into_object());
}
const FunctionDef call_def = spine::call_def("ApiKeyGatehouse.__call__", gatehouse_call);

// ---- ApiKeyGatehouse._verify_remote -----------------------------------------------------------

constexpr const char* verify_remote_doc =
    "通过校验后端远程校验 API Key。\n"
    "\n"
    "        同时以 Query 参数和 Header 两种方式传递 API Key，以适配校验后端不同的接收方式。\n"
    "\n"
    "        Args:\n"
    "            api_key: 待校验的明文 API Key。\n"
    "\n"
    "        Returns:\n"
    "            校验通过时返回校验后端应答中的用户信息 dict，校验失败时返回 None。\n"
    "        ";

// client.get(self._auth_verify_url + ?api_key=key, headers={"X-MCP-API-Key": key},
//            timeout=10), not yet awaited.
Object verification_request(const Object& httpx, const Object& client, const Object& self,
                            const Object& api_key) {
    auto request = spine::verification_request(httpx, self.attr(str::_auth_verify_url), api_key);
    return client.attr(str::get)(request.url, kw(str::headers, request.headers),
                                 kw(str::timeout, spine::verification_timeout()));
}

// async with httpx.AsyncClient() as client: one verification exchange.
ValueTask verification(Object self, Object api_key) {
    check_sendable(api_key);
    Local httpx = import("httpx");
    co_return co_await async_with(httpx.attr(str::AsyncClient)(), [&](Object client) -> ValueTask {
        Local response = co_await verification_request(httpx, client, self, api_key);
        co_return confirmed_identity(response);
    });
}

// The exchange runs apart from the request's task: a cancellation of the request that
// arrives while httpx's transport (anyio) cancels its own work is never merged into that.
ValueTask verify_remote(Object self, Object api_key) {
    if (!api_key.truthy() || !self.attr(str::_auth_verify_url).truthy()) co_return none();
    Outcome outcome =
        co_await attempt([&] { return run_apart(verification(self, api_key).into_object()); });
    if (outcome.failed_with(PyExc_Exception)) {
        Handling handling = outcome.handling();
        gatehouse.global(str::_logger)
            .call_method(str::warning, text(log_verify_failed),
                         loggable_error(outcome.exception(), api_key));
        co_return none();
    }
    co_return std::move(outcome).get();  // cancellation goes on
}

const FunctionDef verify_remote_def =
    spine::verify_remote_def("ApiKeyGatehouse._verify_remote", verify_remote_doc, fn<&verify_remote>);

// ---- ApiKeyGatehouse._send_401 --------------------------------------------------------------

// {"error":...,"reason":"<reason>"} with the reason escaped as json.dumps(ensure_ascii=False)
// would, encoded as UTF-8.  Built whole before anything is sent.
Object unauthorized_body(const Object& reason) {
    if (reason.is(str::invalid_api_key) || reason.equals(str::invalid_api_key))
        return Object::borrow(invalid_api_key_body);
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(reason.get(), &size);  // lone surrogates raise
    if (utf8 == nullptr) fail();
    std::string body(body_prefix);
    body.reserve(body_prefix.size() + size + body_suffix.size() + 8);
    spine::append_json_text(body, std::string_view(utf8, static_cast<std::size_t>(size)));
    body += body_suffix;
    return bytes(body);
}

Task send_401(Object /*self*/, Object /*scope*/, Object send, Object reason) {
    Local body = unauthorized_body(reason);
    co_await send(spine::response_start(int_401, unauthorized_headers));
    co_await send(spine::response_body(body));
}

const FunctionDef send_401_def = spine::send_401_def("ApiKeyGatehouse._send_401", fn<&send_401>);

// ---- class FixedApiKeyAuthProvider ----------------------------------------------------------

constexpr const char* provider_doc =
    "固定 API Key 鉴权提供者（已弃用，保留仅用于兼容旧导入）。\n"
    "\n"
    "    所有连接 MCP 服务器的用户共享同一个 API Key，仅用于 SSE 连接层的基础\n"
    "    访问控制，不涉及用户身份隔离。实际业务鉴权由调用方传入的 session_id/jwt\n"
    "    在后端完成。\n"
    "    ";

// ---- FixedApiKeyAuthProvider.__init__ ---------------------------------------------------------

void provider_init(Object self, Object api_key) { self.set_attr(str::_api_key, api_key); }

const FunctionDef provider_init_def{
    .name = "__init__",
    .qualname = "FixedApiKeyAuthProvider.__init__",
    .params = {self_param, {.name = "api_key", .annotation = "str", .check = Check::str}},
    .body = fn<&provider_init>,
};

// ---- FixedApiKeyAuthProvider.verify_token -----------------------------------------------------

ValueTask verify_token(Object self, Object token) {
    if (!same_key(token, self.attr(str::_api_key))) co_return none();
    Object members = new_dict();
    members.set_item(str::token, token);
    members.set_item(str::client_id, str::default_client);
    members.set_item(str::scopes, Object::steal(Py_BuildValue("[O]", str::tervik_mcp_scope.get())));
    members.set_item(str::__module__, text(module_name));
    Object type = Object::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
    co_return type(str::AccessToken, tuple(), members)();
}

const FunctionDef verify_token_def{
    .name = "verify_token",
    .qualname = "FixedApiKeyAuthProvider.verify_token",
    .doc = "校验 Bearer Token 是否与固定 API Key 匹配。",
    .returns = "Any",
    .params = {self_param, {.name = "token", .annotation = "str", .check = Check::str}},
    .body = fn<&verify_token>,
    .is_async = true,
};

// ---- module body ----------------------------------------------------------------------------

void ready_request_state_type() {
    RequestStateType::ready("tervik.mcp.gatehouse.tracking_send_function");
}

void build_constants() {
    empty_bytes = bytes("");
    authorization_header = bytes("authorization");
    unauthorized_headers =
        tuple(tuple(bytes("content-type"), bytes("application/json")),
              tuple(bytes("www-authenticate"), bytes(texts::realm)));
    invalid_api_key_body = bytes(std::string(body_prefix) + "invalid_api_key" +
                                 std::string(body_suffix));
    int_401 = integer(401);
    ready_request_state_type();
    tracking_send_proto = gatehouse.compile(tracking_send_def);
}

void gatehouse_body(Object module) {
    build_constants();

    module.set_attr(text("logging").get(), import("logging"));
    Object parse = import("urllib.parse");
    standard_parse_qs = parse.attr(str::parse_qs);
    unquote = parse.attr("unquote");
    gate_common::prepare();
    module.set_attr(str::urllib, import("urllib"));
    spine::bind_annotation_names(module);
    module.set_attr(str::_logger, import("logging").attr("getLogger")(text("tervik.mcp")));

    module.set_attr(text("ApiKeyGatehouse").get(),
                    make_class("ApiKeyGatehouse", module_name, gatehouse_doc,
                               {{"__init__", gatehouse.function(gatehouse_init_def)},
                                {"_extract_token", own_extract_token.object()},
                                {"__call__", own_call.object()},
                                {"_verify_remote", own_verify_remote.object()},
                                {"_send_401", own_send_401.object()}}));
    module.set_attr(text("FixedApiKeyAuthProvider").get(),
                    make_class("FixedApiKeyAuthProvider", module_name, provider_doc,
                               {{"__init__", gatehouse.function(provider_init_def)},
                                {"verify_token", gatehouse.function(verify_token_def)}}));
}

}  // namespace

PyMODINIT_FUNC PyInit_gatehouse() { return init_module<gatehouse>(); }
