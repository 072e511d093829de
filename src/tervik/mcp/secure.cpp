// tervik.mcp.secure: SecureGatehouse, the stricter gate for multi-user MCP servers.
//
// A subclass of ApiKeyGatehouse with the same identity contract (scope entries, the
// published mcp_request_ctx), which also binds MCP sessions to the caller that opened them,
// verifies each key once per cache period with one shared backend request and one pooled
// client, limits refused requests per client address, logs every refusal without the key,
// answers refusals with JSON-RPC errors, and lets CORS preflights and public paths through.
//
// This file is the glue: the request's way through the gate spine (gate/spine.hpp) and the
// methods, read in call order.  What the gate remembers is behind the store (state/store.hpp;
// the in-memory store by default), the verification client and the verifications in flight
// are in state/, the readers of the wire (query, SSE, client addresses) in wire/.
//
// The module body binds, in order: logging, Any, the four starlette.types names,
// ApiKeyGatehouse, _logger, SecureGatehouse.  After the gate's state and its helpers, each
// method sits in one section: its texts, its body, then its declaration.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "asyncio_interop.hpp"
#include "function.hpp"
#include "method.hpp"
#include "gate/fingerprint.hpp"
#include "gate/gate_common.hpp"
#include "gate/spine.hpp"
#include "gate/texts.hpp"
#include "module.hpp"
#include "native_type.hpp"
#include "state/budget.hpp"
#include "state/keys_file.hpp"
#include "state/memory_store.hpp"
#include "state/loop_client.hpp"
#include "state/redis_store.hpp"
#include "state/verdicts.hpp"
#include "wire/client_address.hpp"
#include "wire/query_fields.hpp"
#include "wire/sse_events.hpp"

using namespace py;
using namespace texts::secure;
using fingerprint::Fingerprint;
using gate_common::check_sendable, gate_common::confirming_answer, gate_common::loggable_error, gate_common::same_key,
    gate_common::shows_key;
using spine::bytes_view, spine::Decision, spine::for_each_header, spine::header_is;
using texts::log_verify_failed;
using verdicts::CallerObjects, verdicts::Confirmed;

namespace {

constexpr const char* module_name = "tervik.mcp.secure";

constexpr const char* module_doc =
    "The stricter API-key gate for multi-user MCP servers.\n"
    "\n"
    "SecureGatehouse is an ApiKeyGatehouse (same construction, same identity in the scope\n"
    "and in mcp_request_ctx) that also binds each MCP session to the caller that opened it,\n"
    "caches verifications and shares one backend request among concurrent requests for the\n"
    "same key, keeps one verification client, limits refused requests per client address,\n"
    "logs every refusal without the key, answers refusals with JSON-RPC errors, and lets CORS\n"
    "preflights and public paths through.\n";

// Causes of refusal, as the refusal log names them.  (An OAuth discovery request is refused
// with its own answer and not logged.)
namespace cause {
Name missing_key{"missing key"}, wrong_key{"wrong key"}, backend_refused{"backend refused"};
Name backend_error{"backend error"}, rate_limited{"rate-limited"};
Name verification_busy{"verification busy"};
Name session_mismatch{"session mismatch"}, unknown_session{"unknown session"};
Name several_sessions{"several sessions"}, not_oauth{"not OAuth"};
}  // namespace cause

// ---- names and constants, made once at module exec ---------------------------------------------

namespace str {
Name _api_key{"_api_key"}, _auth_verify_url{"_auth_verify_url"};
Name _gate_state{"_gate_state"}, _extract_token{"_extract_token"};
Name _verify_remote{"_verify_remote"}, __init__{"__init__"};
Name auth_verify_url{"auth_verify_url"};
Name _logger{"_logger"}, warning{"warning"}, debug{"debug"}, isEnabledFor{"isEnabledFor"};
Name set{"set"}, reset{"reset"}, type{"type"}, http{"http"}, lifespan{"lifespan"};
Name lifespan_shutdown{"lifespan.shutdown"}, status{"status"}, headers{"headers"};
Name body{"body"}, query_string{"query_string"}, path{"path"};
Name method{"method"}, client{"client"}, api_key{"api_key"}, user_id{"user_id"}, email{"email"};
Name reason{"reason"}, mcp_api_key{"mcp_api_key"}, mcp_user_id{"mcp_user_id"};
Name mcp_user_email{"mcp_user_email"};
Name AsyncClient{"AsyncClient"}, timeout{"timeout"};
Name empty{""};
Name get_loop{"get_loop"}, done{"done"};
Name sleep{"sleep"}, token_bytes{"token_bytes"}, gather{"gather"}, __module__{"__module__"};
Name time{"time"}, expires{"expires"}, fspath{"fspath"}, info{"info"}, app{"app"};
Name GET{"GET"}, DELETE{"DELETE"}, OPTIONS{"OPTIONS"};
Name user{"user"}, auth{"auth"}, token{"token"}, client_id{"client_id"}, scopes{"scopes"};
Name subject{"subject"}, stream{"stream"}, aiter_bytes{"aiter_bytes"}, __anext__{"__anext__"};
Name loads{"loads"}, status_code{"status_code"}, root_path{"root_path"};
}  // namespace str

Constant empty_bytes;
Constant json_headers;                          // ((b"content-type", b"application/json"),)
Constant realm_headers, invalid_token_headers;  // the 401's two header pairs, either form
Constant missing_key_body, invalid_key_body, unverified_body;  // the 401 bodies of the reasons
Constant not_found_body, too_many_body, busy_body, no_oauth_bytes;
Constant int_32, int_401, int_404, int_429, int_503, debug_level;
Constant unquote;
Constant asyncio_module, secrets_module, json_module;
Constant pass_through;  // what a pending decision comes to for a request passed through
Constant unusable_key;  // what admission read of a key that cannot be used (not UTF-8)
Constant gatehouse_class, secure_class;

void secure_body(Object module);
ModuleDefinition secure("secure", module_name, module_doc, "tervik/mcp/secure.cpp", secure_body);

const Param self_param{.name = "self"};

// ---- small helpers ----------------------------------------------------------------------------

Object real(double v) { return Object::steal(PyFloat_FromDouble(v)); }

// The UTF-8 bytes of a str (surrogates passed through); `keep` holds a copy if one was made.
std::string_view text_bytes(const Object& s, Object& keep) {
    if (PyUnicode_Check(s.get())) return utf8_bytes(s, keep);
    keep = s.str();
    return utf8_bytes(keep, keep);
}

Object unauthorized_body_for(std::string_view message) {
    std::string body(unauthorized_prefix);
    spine::append_json_text(body, message);
    body += unauthorized_suffix;
    return bytes(body);
}

Object logger() { return secure.global(str::_logger); }

// ---- the gate's state --------------------------------------------------------------------------

double monotonic() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Options {
    bool bind_sessions;
    bool allow_preflight;
    long failure_limit;        // 0: no limit
    double failure_window;
    double verification_rate;  // backend requests per second, on average; 0: no budget
    store::MemoryOptions memory;
};

// How long a verification beyond the budget may wait for its turn.
constexpr double longest_verification_wait = 2.0;
// How much of an SSE stream is read for its endpoint event, and of a backend's answer.
constexpr std::size_t endpoint_search_limit = 64 * 1024;
constexpr Py_ssize_t longest_answer = 64 * 1024;

struct Gate {
    Options options;
    fingerprint::Hmac hmac;         // names callers and sessions
    fingerprint::KeyHash key_hash;  // finds a presented key in the store
    Object clock;                   // NULL: time.monotonic
    Object public_paths;            // frozenset of str, NULL when empty
    std::vector<std::string> message_paths;  // the SSE message paths seen announced (UTF-8)
    bool warned_no_endpoint = false;
    std::unique_ptr<store::Store> store;
    verdicts::Flights flights;  // verifications in flight, in this process
    loop_client::LoopClient client{make_verification_client, nullptr, client_closed_error};
    std::unique_ptr<keys_file::KeysFile> keys;  // keys-file mode: the file
    bounded::Bounded<Fingerprint, Confirmed, fingerprint::FingerprintHash> file_keys;  // its
        // keys presented lately, with their line's identity and expiry (0: none)
    Object fixed_key;  // the fixed key whose fingerprint `fixed_owner` is
    Fingerprint fixed_owner{};
    CallerObjects fixed_caller;
    double latest = 0;      // the last time read
    budget::Budget budget;  // backend requests per second

    Gate(const Options& o, std::unique_ptr<store::Store> chosen)
        : options(o),
          store(std::move(chosen)),
          file_keys(o.memory.max_cached_keys),
          budget(o.verification_rate, longest_verification_wait) {}

    static Object make_verification_client(const void*) {
        return import("httpx").attr(str::AsyncClient)();
    }

    // Closes the verification client and what the store made: what comes back (NULL when
    // nothing) is to be awaited on the running loop.
    Object close() {
        Object closing = client.close(), store_closing = store->close();
        if (closing.null()) return store_closing;
        if (store_closing.null()) return closing;
        return Object::borrow(asyncio_module).call_method(str::gather, closing, store_closing);
    }

    double now() {
        if (clock.null()) return latest = monotonic();
        Object value = clock();
        double t = PyFloat_AsDouble(value.get());
        if (t == -1.0 && PyErr_Occurred()) fail();
        return latest = t;
    }
    // A backend request's turn in the budget (see budget::Budget::turn).
    double verification_turn() {
        return options.verification_rate <= 0 ? 0 : budget.turn(now_or_latest());
    }

    // For clean-up, which must not fail: a clock that raises leaves the last time read.
    double now_or_latest() {
        try {
            return now();
        } catch (const Error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            return latest;
        }
    }

    int traverse(visitproc visit, void* arg) {
        for (PyObject* o : {clock.get(), public_paths.get(), fixed_key.get(),
                            fixed_caller.user.get(), fixed_caller.auth.get()})
            Py_VISIT(o);
        if (int found = store->traverse(visit, arg)) return found;
        if (keys)
            if (int found = keys->traverse(visit, arg)) return found;
        for (auto& [tag, c] : file_keys) {
            Py_VISIT(c.identity.get());
            Py_VISIT(c.caller.user.get());
            Py_VISIT(c.caller.auth.get());
        }
        if (int found = flights.traverse(visit, arg)) return found;
        return client.traverse(visit, arg);
    }
    void clear() {
        // Moved out first: releasing them may run code that looks at the gate.
        Object held[] = {std::move(clock), std::move(public_paths), std::move(fixed_key),
                         std::move(fixed_caller.user), std::move(fixed_caller.auth)};
        store->clear();
        if (keys) keys->clear();
        auto presented = std::move(file_keys);
        file_keys.clear();
        flights.clear();
        client.clear();
    }
};

// Reads the clock once per request, when first needed.
class RequestClock {
  public:
    explicit RequestClock(Gate& g) : gate_(g) {}
    double operator()() {
        if (!read_) {
            value_ = gate_.now();
            read_ = true;
        }
        return value_;
    }

  private:
    Gate& gate_;
    double value_ = 0;
    bool read_ = false;
};

// The Python object that holds a gate's state, as its `_gate_state` attribute.
struct GateObject {
    PyObject_HEAD Gate* gate;
};
PyTypeObject GateType = {PyVarObject_HEAD_INIT(nullptr, 0)};

Gate& gate_of(const Object& state) {
    if (Py_TYPE(state.get()) != &GateType ||
        reinterpret_cast<GateObject*>(state.get())->gate == nullptr)
        raise_format(PyExc_TypeError, "_gate_state is not a gate's state (got %.200s)",
                     state.type()->tp_name);
    return *reinterpret_cast<GateObject*>(state.get())->gate;
}

Object state_of(const Object& self) { return self.attr(str::_gate_state); }

// A key's tag in the store and among the flights: taken on every request.
Fingerprint key_fingerprint(Gate& g, const Object& token) {
    Object keep;
    return g.key_hash(text_bytes(token, keep));
}

// The caller a key names where no user id does.
Fingerprint key_owner(Gate& g, const Object& token) {
    Object keep;
    return g.hmac('k', text_bytes(token, keep));
}

// The caller a confirmed identity names: its user id where the backend gives one, else the key.
Fingerprint owner_of(Gate& g, const Object& identity, const Object& token) {
    Object user = get(identity, str::user_id);
    if (user.null() || user.is_none()) return key_owner(g, token);
    Object shown = Object::steal(PyObject_Repr(user.get())), keep;
    return g.hmac('u', utf8_bytes(shown, keep));
}

std::string hex_text(const Fingerprint& f) {
    auto h = fingerprint::hex(f);
    return std::string(h.data(), h.size());
}

// ---- the caller, in Starlette's and the MCP SDK's terms ------------------------------------

// Where the MCP SDK is installed, its AuthenticatedUser and AccessToken (its session-owner
// checks read scope["user"], and get_access_token() its context variable); else Starlette's
// SimpleUser.  Looked up when the first gate is made.
Constant access_token_type, authenticated_user_type, auth_context_var;  // NULL: no MCP SDK
Constant simple_user_type, auth_credentials_type;

void look_up_caller_types() {
    if (auth_credentials_type.get() != nullptr) return;
    try {
        Object context_var = import("mcp.server.auth.middleware.auth_context").attr("auth_context_var");
        Object user_type = import("mcp.server.auth.middleware.bearer_auth").attr("AuthenticatedUser");
        access_token_type = import("mcp.server.auth.provider").attr("AccessToken");
        authenticated_user_type = std::move(user_type);
        auth_context_var = std::move(context_var);
    } catch (const Error& e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
    Object authentication = import("starlette.authentication");
    simple_user_type = authentication.attr("SimpleUser");
    auth_credentials_type = authentication.attr("AuthCredentials");
}

// The caller named by the verified user id where there is one, else by the key's
// fingerprint; the access token's `token` is that fingerprint, never the key.
CallerObjects caller_objects(Gate& g, const Object& identity, const Object& token) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string tag;
    for (std::uint8_t byte : key_owner(g, token)) tag.append({digits[byte >> 4], digits[byte & 15]});
    Object tag_text = text(tag);
    Object user_id = identity.null() ? none() : get(identity, str::user_id);
    Object subject = user_id.is_none() || PyUnicode_CheckExact(user_id.get()) ? user_id
                                                                               : user_id.str();
    Object client_id = subject.is_none() ? tag_text : subject;
    CallerObjects caller;
    caller.auth = Object::borrow(auth_credentials_type)(new_list());
    if (access_token_type.get() != nullptr) {
        Object access = Object::borrow(access_token_type)(
            kw(str::token, tag_text), kw(str::client_id, client_id), kw(str::scopes, new_list()),
            kw(str::subject, subject));
        caller.user = Object::borrow(authenticated_user_type)(access);
    } else {
        caller.user = Object::borrow(simple_user_type)(client_id);
    }
    return caller;
}

// The confirmation the store keeps for a key the backend confirmed.
Confirmed confirmation(Gate& g, const Object& identity, const Object& token) {
    return Confirmed{identity, owner_of(g, identity, token), 0, caller_objects(g, identity, token)};
}

// ---- class SecureGatehouse ---------------------------------------------------------------------

constexpr const char* secure_doc =
    "An ApiKeyGatehouse for multi-user MCP servers.\n"
    "\n"
    "    Same construction, modes and identity contract as ApiKeyGatehouse, and also:\n"
    "    binds each MCP session to the caller that opened it (another caller gets 404);\n"
    "    caches verifications for cache_seconds and shares one backend request among\n"
    "    concurrent requests for one key, over one long-lived client; answers 429 to a client\n"
    "    address after failure_limit refused requests within failure_window_seconds; logs\n"
    "    every refusal at DEBUG without the key; answers 401 with a JSON-RPC error; lets CORS\n"
    "    preflights and public_paths through without a key.\n"
    "    ";

// ---- SecureGatehouse.__init__ -----------------------------------------------------------------

constexpr const char* init_doc =
    "\n"
    "        Args:\n"
    "            app: the ASGI application.\n"
    "            api_key: fixed API key (single-user mode).\n"
    "            auth_verify_url: verification backend (multi-user mode).\n"
    "            keys_file: a file of per-user keys, kept as SHA-256 digests (multi-user mode\n"
    "                without a backend; see tervik.mcp.keys), read again when it changes.\n"
    "            bind_sessions: bind each MCP session to the caller that opened it.\n"
    "            session_idle_seconds: forget a session unused for this long.\n"
    "            max_sessions: sessions remembered at most (least recently used go first).\n"
    "            max_sessions_per_caller: sessions of one caller remembered at most (its own\n"
    "                least recently used go first; sessions in use are kept beyond both).\n"
    "            cache_seconds: admit a confirmed key without asking again for this long.\n"
    "            negative_cache_seconds: refuse a refused key without asking again for this long.\n"
    "            max_cached_keys: confirmed keys remembered at most, and as many refused ones.\n"
    "            failure_limit: refused requests per client address and window before 429 (0: no "
    "limit).\n"
    "            failure_window_seconds: the window, and how long a client gets 429.\n"
    "            max_tracked_clients: client addresses whose refusals are counted at most.\n"
    "            allow_cors_preflight: pass CORS preflights to the application without a key.\n"
    "            max_verifications_per_second: backend requests per second at most, on average\n"
    "                (0: no budget); one beyond waits up to 2 s for its turn, else gets 503.\n"
    "            public_paths: exact paths passed to the application without a key.\n"
    "            clock: seconds, monotonic (time.monotonic when None).\n"
    "            store: where limits and verdicts are kept: this process (None), or Redis, shared\n"
    "                by every process given the same one (a redis://, rediss:// or unix:// URL,\n"
    "                or a redis.asyncio.Redis client, which the host closes).\n"
    "            store_prefix: the start of every Redis entry's name.\n"
    "            store_hash_key: the key entries are named under (16 to 64 bytes); None: one\n"
    "                made once and kept in Redis.\n"
    "            store_timeout_seconds: how long a Redis command may take before the gate goes\n"
    "                on without Redis.\n"
    "        ";

double seconds_option(const Object& value, const char* name, bool positive) {
    double v = PyFloat_AS_DOUBLE(value.get());
    if (!std::isfinite(v) || v < 0 || (positive && v == 0))
        raise_format(PyExc_ValueError, "%s must be a finite number %s 0, got %R", name,
                     positive ? ">" : ">=", value.get());
    return v;
}

std::size_t count_option(const Object& value, const char* name, long long least) {
    long long v = PyLong_AsLongLong(value.get());
    if (v == -1 && PyErr_Occurred()) fail();
    if (v < least) raise_format(PyExc_ValueError, "%s must be >= %lld, got %lld", name, least, v);
    return static_cast<std::size_t>(v);
}

// A frozenset of the paths, NULL when there are none.
Object paths_option(const Object& paths) {
    if (PyUnicode_Check(paths.get()) || PyBytes_Check(paths.get()))
        raise(PyExc_TypeError, "public_paths must be a collection of str paths, not a single path");
    Object set = Object::steal(PyFrozenSet_New(paths.get()));
    Object keep;
    for_each(set, [&](Object path) {
        if (!PyUnicode_CheckExact(path.get()))
            raise_format(PyExc_TypeError, "public_paths must hold str paths, got %.200s",
                         path.type()->tp_name);
        return false;
    });
    return PySet_GET_SIZE(set.get()) == 0 ? Object() : set;
}

Object new_gate_state(const Options& options, std::unique_ptr<store::Store> chosen,
                      const Object& key, Object clock, Object paths) {
    auto* state = PyObject_GC_New(GateObject, &GateType);
    if (state == nullptr) fail();
    state->gate = nullptr;
    Object owned = Object::steal(reinterpret_cast<PyObject*>(state));
    Gate* gate = new Gate(options, std::move(chosen));
    gate->hmac = fingerprint::Hmac(bytes_view(key.get()));
    fingerprint::Digest derived = gate->hmac.digest('h', {});  // a key of its own for SipHash
    gate->key_hash = fingerprint::KeyHash(derived.data());
    if (!clock.is_none()) gate->clock = std::move(clock);
    gate->public_paths = std::move(paths);
    state->gate = gate;
    PyObject_GC_Track(state);
    return owned;
}

// A client of redis-py's redis.asyncio or valkey-py's valkey.asyncio (or of a class derived
// from one): a blocking client would hold the event loop up.
bool is_asyncio_client(const Object& target) {
    PyObject* mro = Py_TYPE(target.get())->tp_mro;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        Object module = Object::borrow(PyTuple_GET_ITEM(mro, i)).attr_or_null(str::__module__);
        if (module.null() || !PyUnicode_Check(module.get())) continue;
        Object keep;
        std::string_view name = utf8_bytes(module, keep);
        if (name.starts_with("redis.asyncio.") || name.starts_with("valkey.asyncio.")) return true;
    }
    return false;
}

// The store the gate keeps its state in: its own process's (None), or Redis, shared with every
// process that names the same Redis and prefix (a URL, or a redis.asyncio.Redis the host made
// and closes itself).
std::unique_ptr<store::Store> store_option(const Options& options, const Object& target,
                                           const Object& prefix, const Object& hash_key,
                                           const Object& timeout) {
    double bound = seconds_option(timeout, "store_timeout_seconds", true);
    Object keep;
    std::string_view named = utf8_bytes(prefix, keep);
    if (named.empty()) raise(PyExc_ValueError, "store_prefix must not be empty");
    std::string given;
    if (!hash_key.is_none()) {
        if (PyBytes_Check(hash_key.get()))
            given = std::string(bytes_view(hash_key.get()));
        else if (PyUnicode_Check(hash_key.get()))
            given = std::string(utf8_bytes(hash_key, keep));
        else
            raise_format(PyExc_TypeError, "store_hash_key must be bytes, str or None, got %.200s",
                         hash_key.type()->tp_name);
        if (given.size() < 16 || given.size() > 64)
            raise_format(PyExc_ValueError, "store_hash_key must be 16 to 64 bytes long, got %zu",
                         given.size());
    }
    if (target.is_none()) return std::make_unique<store::MemoryStore>(options.memory);
    if (PyUnicode_Check(target.get())) {
        std::string_view url = utf8_bytes(target, keep);
        if (!url.starts_with("redis://") && !url.starts_with("rediss://") &&
            !url.starts_with("unix://"))  // the URL is not shown: it may carry a password
            raise(PyExc_ValueError, "store must be a redis://, rediss:// or unix:// URL");
        try {
            import("redis.asyncio");
        } catch (const Error& e) {
            if (!e.matches(PyExc_ImportError)) throw;
            raise(PyExc_ImportError, "a Redis store needs redis-py: pip install 'tervik[redis]'");
        }
    } else if (!is_asyncio_client(target)) {
        raise_format(PyExc_TypeError,
                     "store must be None, a Redis URL or a redis.asyncio.Redis client, got %.200s",
                     target.type()->tp_name);
    }
    return std::make_unique<store::RedisStore>(
        options.memory, store::RedisOptions{target, std::string(named), given, bound, logger});
}

void secure_init(Object self, Object app, Object api_key, Object auth_verify_url,
                 Object keys_file, Object bind_sessions, Object session_idle_seconds, Object max_sessions,
                 Object max_sessions_per_caller, Object cache_seconds, Object negative_cache_seconds, Object max_cached_keys,
                 Object failure_limit, Object failure_window_seconds, Object max_tracked_clients,
                 Object allow_cors_preflight, Object max_verifications_per_second,
                 Object public_paths, Object clock, Object store, Object store_prefix,
                 Object store_hash_key, Object store_timeout_seconds) {
    // Everything is checked before anything is set or logged, in the parameters' order.
    double session_idle = seconds_option(session_idle_seconds, "session_idle_seconds", true);
    std::size_t sessions = count_option(max_sessions, "max_sessions", 1);
    std::size_t per_caller = count_option(max_sessions_per_caller, "max_sessions_per_caller", 1);
    double cache_ttl = seconds_option(cache_seconds, "cache_seconds", false);
    double negative_ttl = seconds_option(negative_cache_seconds, "negative_cache_seconds", false);
    std::size_t cached_keys = count_option(max_cached_keys, "max_cached_keys", 0);
    long limit = static_cast<long>(count_option(failure_limit, "failure_limit", 0));
    double window = seconds_option(failure_window_seconds, "failure_window_seconds", true);
    std::size_t clients = count_option(max_tracked_clients, "max_tracked_clients", 1);
    double rate =
        seconds_option(max_verifications_per_second, "max_verifications_per_second", false);
    Options options{
        .bind_sessions = bind_sessions.is(Py_True),
        .allow_preflight = allow_cors_preflight.is(Py_True),
        .failure_limit = limit,
        .failure_window = window,
        .verification_rate = rate,
        .memory = {.max_sessions = sessions,
                   .max_sessions_per_caller = per_caller,
                   .session_idle = session_idle,
                   .max_cached_keys = cached_keys,
                   .cache_ttl = cache_ttl,
                   .negative_ttl = negative_ttl,
                   .failure_limit = limit,
                   .failure_window = window,
                   .max_tracked_clients = clients},
    };
    Object paths = paths_option(public_paths);
    if (!clock.is_none() && !PyCallable_Check(clock.get()))
        raise_format(PyExc_TypeError, "clock must be callable or None, got %.200s",
                     clock.type()->tp_name);
    std::unique_ptr<store::Store> chosen =
        store_option(options, store, store_prefix, store_hash_key, store_timeout_seconds);
    if (!keys_file.is_none()) {
        if (api_key.truthy() || auth_verify_url.truthy())
            raise(PyExc_ValueError, keys_file_conflict);
        keys_file = import("os").call_method(str::fspath, keys_file);  // str, bytes: TypeError
        if (!PyUnicode_Check(keys_file.get()))
            raise_format(PyExc_TypeError, "keys_file must be a str path, got %.200s",
                         keys_file.type()->tp_name);
    }
    look_up_caller_types();
    Object key = Object::borrow(secrets_module).call_method(str::token_bytes, int_32);
    if (!PyBytes_CheckExact(key.get()))
        raise(PyExc_TypeError, "secrets.token_bytes() must return bytes");
    Object state =
        new_gate_state(options, std::move(chosen), key, std::move(clock), std::move(paths));
    if (!keys_file.is_none()) {
        // Keys-file mode: the file is read now (one that cannot be read or parsed raises), and
        // the mode line names the file.
        gate_of(state).keys = std::make_unique<keys_file::KeysFile>(keys_file, logger);
        self.set_attr(str::app, app);
        self.set_attr(str::_api_key, none());
        self.set_attr(str::_auth_verify_url, none());
        logger().call_method(str::info, text(log_keys_file_mode), keys_file);
        self.set_attr(str::_gate_state, state);
        return;
    }

    // super().__init__(...): the mode line and the attributes, as ApiKeyGatehouse sets them.
    Object super_type = Object::borrow(reinterpret_cast<PyObject*>(&PySuper_Type));
    super_type(secure_class, self)
        .attr(str::__init__)(app, kw(str::api_key, api_key),
                             kw(str::auth_verify_url, auth_verify_url));
    self.set_attr(str::_gate_state, state);
}

const FunctionDef secure_init_def{
    .name = "__init__",
    .qualname = "SecureGatehouse.__init__",
    .doc = init_doc,
    .params = {self_param,
               {.name = "app", .annotation = "ASGIApp"},
               keyword("api_key", "str | None", Check::str_or_none, Default::None()),
               keyword("auth_verify_url", "str | None", Check::str_or_none, Default::None()),
               keyword("keys_file", "str | PathLike[str] | None", Check::any, Default::None()),
               keyword("bind_sessions", "bool", Check::boolean, Default::Bool(true)),
               keyword("session_idle_seconds", "float", Check::real, Default::Float(1800.0)),
               keyword("max_sessions", "int", Check::integer, Default::Int(10000)),
               keyword("max_sessions_per_caller", "int", Check::integer, Default::Int(100)),
               keyword("cache_seconds", "float", Check::real, Default::Float(30.0)),
               keyword("negative_cache_seconds", "float", Check::real, Default::Float(5.0)),
               keyword("max_cached_keys", "int", Check::integer, Default::Int(10000)),
               keyword("failure_limit", "int", Check::integer, Default::Int(100)),
               keyword("failure_window_seconds", "float", Check::real, Default::Float(60.0)),
               keyword("max_tracked_clients", "int", Check::integer, Default::Int(10000)),
               keyword("allow_cors_preflight", "bool", Check::boolean, Default::Bool(true)),
               keyword("max_verifications_per_second", "float", Check::real, Default::Float(50.0)),
               keyword("public_paths", "Collection[str]", Check::any, Default::EmptyTuple()),
               keyword("clock", "Callable[[], float] | None", Check::any, Default::None()),
               keyword("store", "str | Redis | None", Check::any, Default::None()),
               keyword("store_prefix", "str", Check::str, Default::Text("tervik:secure-gate")),
               keyword("store_hash_key", "bytes | str | None", Check::any, Default::None()),
               keyword("store_timeout_seconds", "float", Check::real, Default::Float(0.05))},
    .body = fn<&secure_init>,
};


// ---- SecureGatehouse.__call__ -----------------------------------------------------------------

// One admitted request, as its tracking send (the function and its closure in one object):
// the spine's request, the MCP SDK's published caller, and what the gate watches of the
// response for the request's session.
struct RequestState {
    spine::Request request;
    Object auth_token;      // what the MCP SDK's auth_context_var.set() returned, or NULL
    Object gate;            // the gate's state, when sessions are bound; else NULL
    Object session;         // the session id the request presented (bytes), or NULL
    Object stream_session;  // the session announced on this response's SSE stream, or NULL
    std::unique_ptr<sse::EventFinder> endpoint;  // reading this response's SSE stream for its
                                                 // endpoint event
    Fingerprint owner{};  // the caller
    long status = 0;
    bool is_delete = false;
    bool may_announce = false;  // a GET without a session header: an SSE stream answering it
                                // may announce a session

    template <class V>
    void visit(V& v) {
        request.visit(v);
        v(auth_token, gate, session, stream_session);
    }
};
using RequestStateType = ClosureType<RequestState>;
FunctionProto* tracking_send_proto;

RequestState* request_of(PyObject* tracking_send) { return &RequestStateType::unchecked(tracking_send); }
bool is_request_state(PyObject* o) { return RequestStateType::is(o); }
Gate& gate_of(RequestState* state) { return *reinterpret_cast<GateObject*>(state->gate.get())->gate; }

// -- what the gate reads of a request --

// What the gate reads of a request's method and headers, in one pass over the headers.
struct RequestFacts {
    Object method;           // NULL when the scope names none
    Object session_id;       // the mcp-session-id header (bytes), NULL when absent
    bool preflight = false;  // a CORS preflight: OPTIONS with Origin and
                             // Access-Control-Request-Method
};

RequestFacts read_request(const Object& scope) {
    RequestFacts facts;
    facts.method = get(scope, str::method);
    bool options = !facts.method.null() && PyUnicode_CheckExact(facts.method.get()) &&
                   facts.method.equals(str::OPTIONS);
    bool origin = false, asks_method = false;
    for_each_header(get(scope, str::headers, nullptr), [&](std::string_view name, PyObject* value) {
        if (facts.session_id.null() && header_is(name, "mcp-session-id")) {
            facts.session_id = Object::borrow(value);
        } else if (options) {
            origin = origin || header_is(name, "origin");
            asks_method = asks_method || header_is(name, "access-control-request-method");
        }
    });
    facts.preflight = options && origin && asks_method;
    return facts;
}

// The request's path as UTF-8; empty when the scope has no str path.
std::string_view path_bytes(const Object& scope, Object& keep) {
    keep = get(scope, str::path);
    if (keep.null() || !PyUnicode_Check(keep.get())) return {};
    return utf8_bytes(keep, keep);
}

bool passes_unauthenticated(Gate& g, const Object& scope, const RequestFacts& facts) {
    if (!g.public_paths.null()) {
        Object path = get(scope, str::path);
        if (!path.null() && PyUnicode_CheckExact(path.get()) && g.public_paths.contains(path.get()))
            return true;
    }
    return g.options.allow_preflight && facts.preflight;
}

// The documents OAuth clients look for before they try a key (RFC 9728, RFC 8414 and OpenID
// discovery, each also for a resource's or issuer's path after it; OpenID's also after the
// issuer's path): this server has none of them.
bool is_oauth_discovery(const Object& scope) {
    Object keep;
    std::string_view path = path_bytes(scope, keep);
    constexpr std::string_view well_known = "/.well-known/";
    std::size_t at = path.find(well_known);
    if (at == std::string_view::npos) return false;
    std::string_view rest = path.substr(at + well_known.size());
    if (at > 0) return rest == "openid-configuration";
    for (std::string_view document :
         {"oauth-protected-resource", "oauth-authorization-server", "openid-configuration"}) {
        if (rest.substr(0, document.size()) != document) continue;
        if (rest.size() == document.size() || rest[document.size()] == '/') return true;
    }
    return false;
}

// The client's address (host), "" when the server names none.
Object client_host(const Object& scope) {
    Object client = get(scope, str::client);
    if (!client.null() && PyTuple_Check(client.get()) && PyTuple_GET_SIZE(client.get()) > 0) {
        Object host = Object::borrow(PyTuple_GET_ITEM(client.get(), 0));
        if (host.is_none()) return Object::borrow(str::empty);
        return PyUnicode_Check(host.get()) ? host : host.str();
    }
    return Object::borrow(str::empty);
}

Object client_text(const Object& scope) {
    Object host = client_host(scope);
    return PyUnicode_GET_LENGTH(host.get()) == 0 ? text("-") : host;
}

// What the failure limit counts the client by; empty when the server names no address (a
// unix socket): such requests are not limited per address.
std::string limited_client(const Object& scope) {
    Object host = client_host(scope), keep;
    if (PyUnicode_GET_LENGTH(host.get()) == 0) return {};
    return client_address::key(utf8_bytes(host, keep));
}

// -- sessions --

// The request's path from the server's root, as the SSE transport announces its message path
// (root_path and the endpoint): `path` itself where it holds its root_path (Starlette's own
// mounts keep it there), else the two joined (older mounts leave only the rest in `path`).
std::string full_path(const Object& scope) {
    Object keep_path, keep_root = get(scope, str::root_path, str::empty);
    std::string_view path = path_bytes(scope, keep_path), root;
    if (PyUnicode_Check(keep_root.get())) root = utf8_bytes(keep_root, keep_root);
    if (root.empty() || path.substr(0, root.size()) == root) return std::string(path);
    return std::string(root).append(path);
}

// Whether `path` is an announced SSE message path or lies below it, as the application's
// mount of that path routes it.
bool under_message_path(const Gate& g, std::string_view path) {
    for (const std::string& announced : g.message_paths) {
        if (path.substr(0, announced.size()) != announced) continue;
        if (path.size() == announced.size() || announced.back() == '/' ||
            path[announced.size()] == '/')
            return true;
    }
    return false;
}

// The session a request presents, read where the application reads it.  At or below an SSE
// message path: the session_id query field as Starlette decodes it (the last one), and the
// mcp-session-id header means nothing there; a query naming more than one session is
// `several`.  Elsewhere: the mcp-session-id header.  NULL: none.
Object presented_session(Gate& g, const Object& scope, const Object& header, bool& several) {
    if (g.message_paths.empty()) return header;
    if (!under_message_path(g, full_path(scope))) return header;
    Object query = get(scope, str::query_string, empty_bytes);
    if (!PyBytes_Check(query.get())) {  // not what a server sends: nothing to tell apart
        several = true;
        return {};
    }
    query::Named named = query::fields_named(bytes_view(query.get()), "session_id");
    several = named.count > 1;
    if (named.count != 1) return {};
    // A value that is not ASCII reads differently as bytes and as text: never a bound session.
    return bytes(named.last_is_ascii ? std::string_view(named.last) : std::string_view("\x80"));
}

void warn_session_mismatch(Gate& g, const Object& scope, std::string_view id,
                           const Fingerprint& opener, const Fingerprint& caller) {
    logger().call_method(str::warning, text(log_session_mismatch), text(hex_text(g.hmac('s', id))),
                         text(hex_text(opener)), text(hex_text(caller)), client_text(scope));
}

// A request that presents a session must be its opener's: NULL when it may go on (the
// session, if any, is then in `presented` and counted as in use), else the cause of refusal.
Object check_session(Gate& g, const Object& scope, const Object& header, const Fingerprint& owner,
                     RequestClock& now, Object& presented) {
    bool several = false;
    Object id = presented_session(g, scope, header, several);
    if (several) return Object::borrow(cause::several_sessions);
    if (id.null()) return {};
    std::string_view key = bytes_view(id.get());
    store::SessionUse use = g.store->use_session(key, owner, now());
    if (use.kind == store::SessionUse::Kind::unknown) return Object::borrow(cause::unknown_session);
    if (use.kind == store::SessionUse::Kind::others) {
        warn_session_mismatch(g, scope, key, use.opener, owner);
        return Object::borrow(cause::session_mismatch);
    }
    presented = std::move(id);
    return {};
}

// The end of a request's use of its session, and of a stream's session with the stream.  A
// successful DELETE ends the session.
void release_sessions(RequestState* state) {
    if (state->gate.null()) return;
    Gate& g = gate_of(state);
    double now = g.now_or_latest();
    if (!state->session.null()) {
        bool ended = state->is_delete && state->status >= 200 && state->status < 300;
        g.store->release_session(bytes_view(state->session.get()), now, ended);
    }
    if (!state->stream_session.null())
        g.store->forget_session(bytes_view(state->stream_session.get()));
}

// -- the response, as the gate watches it --

// The response starts: a session id it carries is bound to the caller; an SSE stream
// answering a GET without a session header may announce one in an endpoint event.
void noticed_start(RequestState* state, const Object& message) {
    Gate& g = gate_of(state);
    Object status = get(message, str::status);
    state->status = PyLong_Check(status.get()) ? PyLong_AsLong(status.get()) : 0;
    if (state->status == -1 && PyErr_Occurred()) fail();
    Object id, type;
    for_each_header(get(message, str::headers, nullptr),
                    [&](std::string_view name, PyObject* value) {
                        if (id.null() && header_is(name, "mcp-session-id"))
                            id = Object::borrow(value);
                        if (state->may_announce && type.null() && header_is(name, "content-type"))
                            type = Object::borrow(value);
                    });
    if (!id.null()) {
        // A session already known is touched when the request ends; a new one is bound now.
        if (!g.store->knows_session(bytes_view(id.get())))
            g.store->bind_session(bytes_view(id.get()), state->owner, g.now(), false);
    } else if (!type.null() && header_is(bytes_view(type.get()).substr(0, 17), "text/event-stream")) {
        state->endpoint = std::make_unique<sse::EventFinder>("endpoint", endpoint_search_limit);
    }
}

void stop_reading_stream(RequestState* state) {
    state->endpoint.reset();
}

// The endpoint event's data, "PATH?session_id=ID" or a URL ending so: the message path is
// remembered and the session bound to the stream's caller for as long as the stream lasts.
void announced(RequestState* state, std::string_view data) {
    Gate& g = gate_of(state);
    if (std::size_t scheme = data.find("://"); scheme != std::string_view::npos) {
        std::size_t slash = data.find('/', scheme + 3);
        data = slash == std::string_view::npos ? std::string_view{} : data.substr(slash);
    }
    std::size_t mark = data.find('?');
    if (mark == std::string_view::npos) return;
    query::Named named = query::fields_named(data.substr(mark + 1), "session_id");
    if (named.count != 1 || named.last.empty() || !named.last_is_ascii) return;
    constexpr std::size_t most_message_paths = 16;
    Object path = Object::borrow(unquote)(text(data.substr(0, mark))), keep;
    std::string_view path_text = utf8_bytes(path, keep);
    if (std::find(g.message_paths.begin(), g.message_paths.end(), path_text) ==
            g.message_paths.end() &&
        g.message_paths.size() < most_message_paths)
        g.message_paths.emplace_back(path_text);
    g.store->bind_session(named.last, state->owner, g.now(), true);
    Object id = bytes(named.last);
    state->stream_session = std::move(id);
}

// A body message of an SSE stream still read for its endpoint event.
void noticed_stream_body(RequestState* state, const Object& message) {
    Object chunk = get(message, str::body, empty_bytes);
    if (!PyBytes_Check(chunk.get())) return;
    switch (state->endpoint->feed(bytes_view(chunk.get()))) {
        case sse::EventFinder::Result::more:
            return;
        case sse::EventFinder::Result::found: {
            std::string data = state->endpoint->data();
            stop_reading_stream(state);
            announced(state, data);
            return;
        }
        case sse::EventFinder::Result::gave_up: {
            stop_reading_stream(state);
            Gate& g = gate_of(state);
            if (g.warned_no_endpoint) return;
            g.warned_no_endpoint = true;
            logger().call_method(str::warning, text(log_no_endpoint),
                                 integer(static_cast<long long>(endpoint_search_limit)));
        }
    }
}

// The send the application gets: records the response's progress (and for bound sessions,
// what it says of sessions), then forwards the message.  A frameless coroutine runs it.
Object track_and_forward(PyObject* const* closure_and_message) {
    RequestState* state = request_of(closure_and_message[0]);
    Object message = Object::borrow(closure_and_message[1]);
    switch (spine::note_progress(state->request, message)) {
        case spine::Sent::start:
            if (!state->gate.null()) noticed_start(state, message);
            break;
        case spine::Sent::body:
            if (state->endpoint != nullptr) noticed_stream_body(state, message);
            break;
        case spine::Sent::other:
            break;
    }
    return state->request.send(message);
}

const FunctionDef tracking_send_def =
    spine::tracking_send_def("SecureGatehouse.__call__.<locals>.tracking_send", track_and_forward);

// -- admission --

// An admitted request begins: the identity published (mcp_request_ctx, and the caller in
// the MCP SDK's auth_context_var), the response not started.  The result is the request's
// tracking send.  `session` is the session the request uses (counted as in use already).
Object begin_request(const Object& state, const Object& scope, const Object& send,
                     const Object& token, const Fingerprint& owner, const CallerObjects& caller,
                     const RequestFacts& facts, Object session) {
    Gate& g = gate_of(state);
    Object tracking_send = RequestStateType::make(tracking_send_proto);
    RequestState* request = request_of(tracking_send.get());
    if (g.options.bind_sessions) request->gate = state;
    request->session = std::move(session);
    request->owner = owner;
    const Object& method = facts.method;
    request->is_delete = !method.null() && method.equals(str::DELETE);
    // (A GET with an mcp-session-id header opens a stream of that session; any other GET
    // answered with an event stream may be an SSE transport's, which announces a new one.)
    request->may_announce = g.options.bind_sessions && facts.session_id.null() &&
                            !method.null() && method.equals(str::GET);
    try {
        spine::publish_identity(request->request, scope, send, token, secure.globals);
        if (auth_context_var.get() != nullptr) {
            request->auth_token = Object::borrow(auth_context_var).call_method(str::set, caller.user);
        }
    } catch (const Error&) {  // the request never began: its session is not used after all
        if (!request->request.context.null()) spine::reset_identity(request->request);
        release_sessions(request);
        throw;
    }
    return tracking_send;
}

// Past the key: the session check, the identity and the caller into the scope, the request
// begins.  `identity` is the backend's answer (remote mode) or NULL (fixed key).
Decision admit(const Object& state, const Object& scope, const Object& send, const Object& token,
               const Object& identity, const Fingerprint& owner, const CallerObjects& caller,
               RequestClock& now, const RequestFacts& facts) {
    Gate& g = gate_of(state);
    Object session;
    if (g.options.bind_sessions) {
        if (Object refused = check_session(g, scope, facts.session_id, owner, now, session);
            !refused.null())
            return Decision::refused(std::move(refused));
    }
    scope.set_item(str::mcp_api_key, token);
    if (!identity.null()) {
        scope.set_item(str::mcp_user_id, get(identity, str::user_id));
        scope.set_item(str::mcp_user_email, get(identity, str::email));
    }
    scope.set_item(str::user, caller.user);
    scope.set_item(str::auth, caller.auth);
    return Decision::admitted(
        begin_request(state, scope, send, token, owner, caller, facts, std::move(session)));
}

// The methods as the class defines them: calls through the instance that find one of these
// unreplaced run its body directly.
extern const FunctionDef verify_remote_def, send_401_def, call_def;
Method own_verify_remote{verify_remote_def}, own_send_401{send_401_def}, own_call{call_def};

// self._extract_token(scope); a query string that is not UTF-8 presents no usable key.
Object presented_key(const Object& self, const Object& scope) {
    try {
        return MethodLookup(self, str::_extract_token)(scope);
    } catch (const Error& e) {
        if (!e.matches(PyExc_UnicodeDecodeError)) throw;
        return Object::borrow(unusable_key);
    }
}

// A decision as a pending one comes to it: the tracking send, pass_through, or the cause.
Object as_result(Decision d) {
    return d.kind == Decision::Kind::passed ? Object::borrow(pass_through) : std::move(d.value);
}

// What admission learnt in an earlier pass: the presented key (NULL: not read yet) and what
// the store's later answers came to (NULL: not asked).
struct Asked {
    Object token, blocked, verdict;
};
enum class Stage { blocked, verdict };

Decision admission(const Object& self, const Object& state, const Object& scope,
                   const Object& send, Asked asked);

// Admission once the store's answer is here: asked again, with what it came to.
ValueTask admission_after(Object self, Object state, Object scope, Object send, Object token,
                          Object blocked, Object answer, int stage) {
    Local fetched = co_await honouring_cancellation(std::move(answer));
    bool on_block = stage == static_cast<int>(Stage::blocked);
    Decision d = admission(self, state, scope, send,
                           {token, on_block ? fetched : blocked, on_block ? Object() : fetched});
    if (d.kind == Decision::Kind::pending) co_return co_await std::move(d.value);
    co_return as_result(std::move(d));
}

Decision later(const Object& self, const Object& state, const Object& scope, const Object& send,
               const Asked& asked, Stage stage, Object answer) {
    return Decision::pending(admission_after(self, state, scope, send, asked.token, asked.blocked,
                                             std::move(answer), static_cast<int>(stage))
                                 .into_object());
}

ValueTask awaiting_verdict(Object state, Object scope, Object send, Object token, Object verdict);
Object shared_verdict(const Object& state, const Object& url, const Object& token,
                      const Fingerprint& key);

// Seconds since the epoch, as time.time() tells them now.
double wall_time() {
    Object t = import("time").attr(str::time)();
    double v = PyFloat_AsDouble(t.get());
    if (v == -1.0 && PyErr_Occurred()) fail();
    return v;
}

// Keys-file mode: a key of the file's form whose digest is a line's, until the line expires;
// the line's identity is the caller's, as the backend's is in remote mode.
Decision file_admission(const Object& state, const Object& scope, const Object& send,
                        const Object& token, RequestClock& now, const RequestFacts& facts) {
    Gate& g = gate_of(state);
    if (g.keys->refresh(now())) g.file_keys.clear();  // other keys are in force
    Fingerprint tag = key_fingerprint(g, token);
    Confirmed known;
    if (const Confirmed* seen = g.file_keys.use(tag)) {
        known = *seen;
    } else {
        Object keep;
        Object line = g.keys->line_of(text_bytes(token, keep));
        if (line.null()) return Decision::refused(Object::borrow(cause::wrong_key));
        Object identity = new_dict(2);
        identity.set_item(str::user_id, line.attr(str::user_id));
        identity.set_item(str::email, line.attr(str::email));
        known = confirmation(g, identity, token);
        Object expires = line.attr(str::expires);
        known.expires = expires.is_none() ? 0 : PyFloat_AsDouble(expires.get());
        if (known.expires == -1.0 && PyErr_Occurred()) fail();
        g.file_keys.put(tag, known);
    }
    if (known.expires > 0 && wall_time() >= known.expires)
        return Decision::refused(Object::borrow(cause::wrong_key));
    return admit(state, scope, send, token, known.identity, known.owner, known.caller, now, facts);
}

// What the request gets, in every mode: passed (public path, CORS preflight), refused (an
// OAuth discovery, a blocked client, a missing or wrong key, a session not the caller's) or
// admitted; pending while a verification or the store's answer is awaited.
Decision admission(const Object& self, const Object& state, const Object& scope,
                   const Object& send, Asked asked) {
    Gate& g = gate_of(state);
    RequestFacts facts = read_request(scope);
    if (passes_unauthenticated(g, scope, facts)) return Decision::passed();
    if (is_oauth_discovery(scope)) return Decision::refused(Object::borrow(cause::not_oauth));
    RequestClock now(g);
    if (g.store->may_block() || !asked.blocked.null()) {
        if (std::string client = limited_client(scope); !client.empty()) {
            auto blocked = g.store->blocked_for(client, now(), asked.blocked);
            if (!blocked.ready())
                return later(self, state, scope, send, asked, Stage::blocked,
                             std::move(blocked.later));
            if (blocked.value > 0) return Decision::refused(Object::borrow(cause::rate_limited));
        }
    }
    if (asked.token.null()) asked.token = presented_key(self, scope);
    const Object& token = asked.token;
    if (token.is(unusable_key)) return Decision::refused(Object::borrow(cause::wrong_key));
    if (!token.truthy()) return Decision::refused(Object::borrow(cause::missing_key));
    if (g.keys) return file_admission(state, scope, send, token, now, facts);
    if (Object url = self.attr(str::_auth_verify_url); url.truthy()) {
        MethodLookup verify(self, str::_verify_remote);
        if (!verify.finds(own_verify_remote.function())) {
            return Decision::pending(
                awaiting_verdict(state, scope, send, token, verify(token)).into_object());
        }
        Fingerprint key = key_fingerprint(g, token);
        store::Verdict known;
        if (asked.verdict.null()) known = g.store->verdict(key, now());
        // What other processes know, where the store is shared: asked unless this process
        // verifies the key already (a burst of one key asks once).
        if (!known.known() && (!asked.verdict.null() || g.flights.find(key) == nullptr)) {
            std::string client = limited_client(scope);
            Object keep;
            auto shared = g.store->look_shared(key, text_bytes(token, keep), client, now(),
                                               asked.verdict);
            if (!shared.ready())
                return later(self, state, scope, send, asked, Stage::verdict,
                             std::move(shared.later));
            known = std::move(shared.value);
            if (!asked.verdict.null() && !client.empty() &&
                g.store->blocked_for(client, now()).value > 0)  // blocked by another process
                return Decision::refused(Object::borrow(cause::rate_limited));
        }
        if (!known.shared.null()) {
            Confirmed c = confirmation(g, known.shared, token);
            g.store->adopt(key, c, now(), known.shared_until);
            return admit(state, scope, send, token, c.identity, c.owner, c.caller, now, facts);
        }
        if (const Confirmed* c = known.confirmed) {
            Object identity = c->identity;
            Fingerprint owner = c->owner;
            CallerObjects caller = c->caller;
            return admit(state, scope, send, token, identity, owner, caller, now, facts);
        }
        if (known.refused) return Decision::refused(Object::borrow(cause::backend_refused));
        return Decision::pending(
            awaiting_verdict(state, scope, send, token, shared_verdict(state, url, token, key))
                .into_object());
    }
    Object api_key = self.attr(str::_api_key);
    if (!api_key.truthy() || !same_key(token, api_key))
        return Decision::refused(Object::borrow(cause::wrong_key));
    if (!api_key.is(g.fixed_key)) {
        g.fixed_owner = key_owner(g, api_key);
        g.fixed_caller = caller_objects(g, Object(), api_key);
        g.fixed_key = api_key;
    }
    Fingerprint owner = g.fixed_owner;
    CallerObjects caller = g.fixed_caller;
    return admit(state, scope, send, token, Object(), owner, caller, now, facts);
}

// Remote mode: the verdict (the backend's answer, or a cause of refusal, or what a replaced
// _verify_remote returns) decides.
ValueTask awaiting_verdict(Object state, Object scope, Object send, Object token, Object verdict) {
    Local answer = co_await honouring_cancellation(std::move(verdict));
    if (PyUnicode_CheckExact(answer.get())) co_return answer;  // a cause
    if (!answer.truthy()) co_return Object::borrow(cause::backend_refused);
    Gate& g = gate_of(state);
    RequestClock now(g);
    co_return as_result(admit(state, scope, send, token, answer, owner_of(g, answer, token),
                              caller_objects(g, answer, token), now, read_request(scope)));
}

// -- refusals --

// The DEBUG line of a refusal: its cause, the client's address and the path (withheld when
// it shows the presented key).
void log_refusal(const Object& self, const Object& scope, const Object& cause) {
    Object log = logger();
    if (!log.call_method(str::isEnabledFor, debug_level).truthy()) return;
    Object path = get(scope, str::path);
    Object shown = path.null() || path.is_none() ? text("-") : path.str();
    if (Object token = cause.is(cause::missing_key) ? Object() : presented_key(self, scope);
        !token.null() && !token.is(unusable_key) && shows_key(shown, token))
        shown = text("(withheld: it shows the key)");
    log.call_method(str::debug, text(log_refused), cause, client_text(scope), shown);
}

// Only a presented key that is wrong counts towards the limit: a missing key guesses
// nothing, a session unknown here may be another worker's, and the backend's trouble is not
// the client's.
bool counts_as_failure(const Object& cause) {
    return cause.is(cause::wrong_key) || cause.is(cause::backend_refused);
}

// The one refusal that reaches the limit blocks the client for a window: one WARNING.
void warn_limit_tripped(Gate& g, const Object& scope) {
    Object window = real(g.options.failure_window);
    logger().call_method(str::warning, text(log_limit_tripped), client_text(scope),
                         integer(g.options.failure_limit), window, window);
}

Object too_many_requests(const Object& send, double wait) {
    long seconds = std::max(1L, static_cast<long>(std::ceil(wait)));
    Object retry_after = bytes(std::to_string(seconds));
    Object headers = tuple(tuple(bytes("content-type"), bytes("application/json")),
                           tuple(bytes("retry-after"), retry_after));
    return spine::send_response(send, spine::response_start(int_429, headers.get()),
                                spine::response_body(Object::borrow(too_many_body)))
        .into_object();
}

Task send_401(Object self, Object scope, Object send, Object reason);

// The answer to a refused request of this cause, to be awaited.
Object answer(const Object& self, const Object& state, const Object& scope, const Object& send,
              const Object& cause) {
    if (cause.is(cause::rate_limited)) {
        Gate& g = gate_of(state);
        std::string client = limited_client(scope);
        double wait = client.empty() ? 0 : g.store->blocked_for(client, g.now()).value;
        return too_many_requests(send, wait);
    }
    if (cause.is(cause::verification_busy)) {
        Object headers = tuple(tuple(bytes("content-type"), bytes("application/json")),
                               tuple(bytes("retry-after"), bytes("1")));
        return spine::send_response(send, spine::response_start(int_503, headers.get()),
                                    spine::response_body(Object::borrow(busy_body)))
            .into_object();
    }
    if (cause.is(cause::session_mismatch) || cause.is(cause::unknown_session) ||
        cause.is(cause::several_sessions)) {
        return spine::send_response(send, spine::response_start(int_404, json_headers),
                                    spine::response_body(Object::borrow(not_found_body)))
            .into_object();
    }
    Object reason = text(cause.is(cause::missing_key)     ? reason_missing
                         : cause.is(cause::backend_error) ? reason_unverified
                                                          : reason_invalid);
    return own_send_401.call(self, [&] { return send_401(self, scope, send, reason); }, scope, send,
                             kw(str::reason, reason));
}

// What a counted refusal gets: its own answer, or 429 when the client turned out to be blocked
// already (by a refusal another process counted); the one that blocks it is told in the log.
Object answer_counted(const Object& self, const Object& state, const Object& scope,
                      const Object& send, const Object& cause, store::Count count) {
    if (count == store::Count::tripped) warn_limit_tripped(gate_of(state), scope);
    if (count == store::Count::blocked)
        return answer(self, state, scope, send, Object::borrow(cause::rate_limited));
    return answer(self, state, scope, send, cause);
}

// A refusal the store counts later: the answer once it has.
ValueTask answer_once_counted(Object self, Object state, Object scope, Object send, Object cause,
                              Object count) {
    std::string client = limited_client(scope);
    Local fetched = co_await honouring_cancellation(std::move(count));
    auto counted = gate_of(state).store->count_refusal(client, gate_of(state).now(), fetched);
    while (!counted.ready()) {
        fetched = co_await honouring_cancellation(std::move(counted.later));
        counted = gate_of(state).store->count_refusal(client, gate_of(state).now(), fetched);
    }
    co_await answer_counted(self, state, scope, send, cause, counted.value);
    co_return none();
}

// -- the request, from admission to clean-up --

// What SecureGatehouse gives the spine.
struct SecureGate {
    static Decision admission(const Object& self, const Object& state, const Object& scope,
                              const Object& send) {
        return ::admission(self, state, scope, send, {});
    }

    static Decision settled(Object result) {
        if (is_request_state(result.get())) return Decision::admitted(std::move(result));
        if (result.is(pass_through)) return Decision::passed();
        return Decision::refused(std::move(result));
    }

    // What a refused request gets, to be awaited: logged and counted (the limit's own
    // refusals and OAuth discovery are not counted, the latter not logged) first.
    static Object refusal(const Object& self, const Object& state, const Object& scope,
                          const Object& send, const Object& cause) {
        if (cause.is(cause::not_oauth)) {
            return spine::send_response(send, spine::response_start(int_404, json_headers),
                                        spine::response_body(Object::borrow(no_oauth_bytes)))
                .into_object();
        }
        log_refusal(self, scope, cause);
        Gate& g = gate_of(state);
        if (counts_as_failure(cause) && g.options.failure_limit != 0) {
            if (std::string client = limited_client(scope); !client.empty()) {
                auto counted = g.store->count_refusal(client, g.now());
                if (!counted.ready()) {
                    return answer_once_counted(self, state, scope, send, cause,
                                               std::move(counted.later))
                        .into_object();
                }
                return answer_counted(self, state, scope, send, cause, counted.value);
            }
        }
        return answer(self, state, scope, send, cause);
    }

    // The request's clean-up that needs no await, with the application's failure (if any)
    // being handled: the identities reset, the session released, on every way out.
    static bool end_request(const Object& tracking_send, const Outcome& outcome) {
        RequestState* state = request_of(tracking_send.get());
        if (state->request.context.null()) return false;  // taken apart by the collector
        Handling handling = outcome.handling();
        stop_reading_stream(state);
        auto reset_identities = [&] {
            if (!state->auth_token.null()) {
                Object token = std::move(state->auth_token);
                state->auth_token = Object();
                try {
                    Object::borrow(auth_context_var).call_method(str::reset, token);
                } catch (const Error&) {  // the identity below is still reset
                    spine::reset_identity(state->request);
                    throw;
                }
            }
            spine::reset_identity(state->request);
        };
        try {
            reset_identities();
        } catch (const Error&) {  // the session is released all the same
            release_sessions(state);
            throw;
        }
        release_sessions(state);
        return spine::left_open(state->request);
    }
};

// A lifespan's receive, as the application gets it: "lifespan.shutdown" closes the
// verification client and the store's connections before the application hears of it.
bool is_shutdown(const Object& message) {
    if (!PyDict_Check(message.get())) return false;  // the application will say what it thinks
    Object type = get(message, str::type);
    return !type.null() && type.equals(str::lifespan_shutdown);
}

// receive(), to be awaited.
Object received(const Object& closure) {
    return Object::borrow(PyTuple_GET_ITEM(closure.get(), 1))();
}

ValueTask lifespan_receive(Object closure) {
    Local message = co_await received(closure);
    if (is_shutdown(message)) {
        Local closing = gate_of(Object::borrow(PyTuple_GET_ITEM(closure.get(), 0))).close();
        if (!closing.null()) co_await closing;
    }
    co_return message;
}

const FunctionDef lifespan_receive_def{
    .name = "lifespan_receive",
    .qualname = "SecureGatehouse.__call__.<locals>.lifespan_receive",
    .returns = "Any",
    .params = {},
    .body = closure_fn<&lifespan_receive>,
    .is_async = true,
};
FunctionProto* lifespan_receive_proto;

// The gate's entry: a lifespan passes with its receive watched for the shutdown; another
// scope that is not HTTP goes to the application untouched; an HTTP request goes through the
// gate.
Object secure_call(PyObject* const* arguments) {
    Object self = Object::borrow(arguments[0]), scope = Object::borrow(arguments[1]);
    Object receive = Object::borrow(arguments[2]), send = Object::borrow(arguments[3]);
    Object type = scope.item(str::type);
    if (type.equals(str::http)) {
        return named_after(own_call.function(), spine::http_request<SecureGate>(self, state_of(self), scope,
                                                                     receive, send)
                                         .into_object());
    }
    if (type.equals(str::lifespan)) {
        Object watched =
            make_function(lifespan_receive_proto, tuple(state_of(self), receive).get());
        return spine::application(self, scope, watched, send);
    }
    return spine::application(self, scope, receive, send);
}

const FunctionDef call_def = spine::call_def("SecureGatehouse.__call__", secure_call);

// ---- SecureGatehouse._verify_remote -----------------------------------------------------------

constexpr const char* verify_remote_doc =
    "Verify an API key with the backend, at most once per cache period.\n"
    "\n"
    "        The request is ApiKeyGatehouse's (GET with the key as the api_key query parameter\n"
    "        and the X-MCP-API-Key header, 10 s timeout), sent over the gate's one client;\n"
    "        concurrent calls for one key share it.  A confirmation is kept for cache_seconds,\n"
    "        a refusal for negative_cache_seconds; a failure is logged and not kept.\n"
    "\n"
    "        Args:\n"
    "            api_key: the plain-text API key.\n"
    "\n"
    "        Returns:\n"
    "            A copy of the backend's answer when it confirms the key, else None.\n"
    "        ";

// client.stream("GET", url + ?api_key=key, headers={"X-MCP-API-Key": key}, timeout=10), to
// be entered.
Object verification_request(const Object& client, const Object& url, const Object& api_key) {
    auto request = spine::verification_request(import("httpx"), url, api_key);
    return client.attr(str::stream)(str::GET, request.url, kw(str::headers, request.headers),
                                    kw(str::timeout, spine::verification_timeout()));
}

// The answer's body as it arrives, at most `longest_answer` bytes of it (a longer one is a
// failed verification, read no further).
ValueTask read_bounded(Object response) {
    Local chunks = response.call_method(str::aiter_bytes);
    Local body = Object::steal(PyByteArray_FromStringAndSize(nullptr, 0));
    for (;;) {
        Outcome next = co_await attempt([&] { return chunks.call_method(str::__anext__); });
        if (next.failed_with(PyExc_StopAsyncIteration)) {
            next.recover();
            break;
        }
        Local chunk = std::move(next).get();
        if (!PyBytes_Check(chunk.get())) raise(PyExc_TypeError, "the answer's body is not bytes");
        if (PyByteArray_GET_SIZE(body.get()) + PyBytes_GET_SIZE(chunk.get()) > longest_answer)
            raise_format(PyExc_ValueError, answer_too_long_error, static_cast<int>(longest_answer));
        body = Object::steal(PyByteArray_Concat(body.get(), chunk.get()));
    }
    co_return Object::steal(PyBytes_FromObject(body.get()));
}

// The backend's trouble, not a verdict on the key: it is unwell (5xx), overloaded (429),
// out of time (408), or sends the gate elsewhere (3xx).
bool backend_trouble(long status) {
    return status >= 500 || status == 429 || status == 408 || (status >= 300 && status < 400);
}

// The answer to one verification request: the backend's answer when it confirms the key,
// None when it refuses it; its trouble and an answer too long to be one are failures.
ValueTask answer_of(Object client, Object url, Object token) {
    co_return co_await async_with(
        verification_request(client, url, token), [&](Object response) -> ValueTask {
            long status = PyLong_AsLong(response.attr(str::status_code).get());
            if (status == -1 && PyErr_Occurred()) fail();
            if (backend_trouble(status))
                raise_format(PyExc_RuntimeError, backend_trouble_error, status);
            if (status != 200) co_return none();
            Local body = co_await read_bounded(response);
            co_return confirming_answer(Object::borrow(json_module).call_method(str::loads, body));
        });
}

// One exchange with the backend over the gate's client for `loop` (one that began before a
// close of the client fails rather than make a client after it); with no asyncio loop
// running (None), over a client of its own for this one exchange.
ValueTask exchange(Object state, Object url, Object token, Object loop, std::uint64_t closes) {
    if (!loop.is_none())
        co_return co_await answer_of(gate_of(state).client.for_loop(loop, closes), url, token);
    Local httpx = import("httpx");
    co_return co_await async_with(httpx.attr(str::AsyncClient)(),
                                  [&](Object own) -> ValueTask {
                                      co_return co_await answer_of(own, url, token);
                                  });
}

// Waits for the exchange's turn in the verification budget, then makes it; the cause
// "verification busy" when its turn is too far off.  (Not budgeted with no asyncio loop.)
// A key that cannot be sent fails before anything is.
ValueTask budgeted_exchange(Object state, Object url, Object token, Object loop,
                            std::uint64_t closes) {
    check_sendable(token);
    double wait = loop.is_none() ? 0 : gate_of(state).verification_turn();
    if (wait < 0) co_return Object::borrow(cause::verification_busy);
    if (wait > 0) co_await Object::borrow(asyncio_module).call_method(str::sleep, real(wait));
    co_return co_await exchange(state, url, token, loop, closes);
}

// Keeps a verdict in the store: a confirmation, or a refusal (None).
Object remember_verdict(Gate& g, const Fingerprint& key, const Object& token,
                        const Object& identity) {
    double now = g.now_or_latest();
    Object keep;
    std::string_view key_text = text_bytes(token, keep);
    if (identity.is_none()) return g.store->refuse(key, key_text, now);
    return g.store->confirm(key, key_text, confirmation(g, identity, token), now);
}

// How long a process waits for the verdict of another that verifies the same key, before it
// verifies the key itself; and how often it looks meanwhile.
constexpr double longest_flight_wait = 2.0;
constexpr double first_look = 0.01, slowest_look = 0.1;

// Where the store is shared: whether another process verifies the key or has just done so.
// Its verdict (the identity, or the cause backend_refused), else None: this process is to
// verify the key.
ValueTask verdict_elsewhere(Object state, Object token, Fingerprint key) {
    Object keep;
    std::string key_text(text_bytes(token, keep));
    Gate* g = &gate_of(state);
    auto flight = g->store->claim_flight(key, key_text, g->now_or_latest(), {});
    while (!flight.ready()) {
        Local fetched = co_await honouring_cancellation(std::move(flight.later));
        g = &gate_of(state);
        flight = g->store->claim_flight(key, key_text, g->now_or_latest(), fetched);
    }
    store::Verdict verdict = std::move(flight.value.verdict);
    if (flight.value.kind == store::Flight::Kind::wait) {
        double deadline = monotonic() + longest_flight_wait, pause = first_look;
        while (!verdict.known() && monotonic() < deadline) {
            co_await Object::borrow(asyncio_module).call_method(str::sleep, real(pause));
            pause = std::min(slowest_look, pause * 2);
            g = &gate_of(state);
            auto look = g->store->look_shared(key, key_text, {}, g->now_or_latest(), {});
            while (!look.ready()) {
                Local fetched = co_await honouring_cancellation(std::move(look.later));
                g = &gate_of(state);
                look = g->store->look_shared(key, key_text, {}, g->now_or_latest(), fetched);
            }
            verdict = std::move(look.value);
            if (!g->store->sharing()) break;  // in an outage: nothing more will come
        }
    }
    g = &gate_of(state);
    if (verdict.refused) co_return Object::borrow(cause::backend_refused);
    if (!verdict.shared.null()) {
        double now = g->now_or_latest();
        g->store->adopt(key, confirmation(*g, verdict.shared, token), now, verdict.shared_until);
        co_return verdict.shared;
    }
    co_return none();
}

// The key's flight let go, for the others to verify it: NULL, or an awaitable for the store.
Object release_flight(Gate& g, const Object& token) {
    Object keep;
    return g.store->release_flight(text_bytes(token, keep));
}

// The verdict of another process where one made it; else this process's own exchange, kept
// (or, when it made none, the key's flight let go for the others).
ValueTask verify_here_or_there(Object state, Object url, Object token, Object loop,
                               Fingerprint key, std::uint64_t closes) {
    Local elsewhere = co_await verdict_elsewhere(state, token, key);
    if (!elsewhere.is_none()) co_return elsewhere;
    Outcome outcome =
        co_await attempt([&] { return budgeted_exchange(state, url, token, loop, closes); });
    bool failed = outcome.failed();
    Local identity = failed ? Local() : std::move(outcome).get();
    if (failed || identity.is(cause::verification_busy)) {  // nothing to keep: let others try
        if (Local released = release_flight(gate_of(state), token); !released.null()) {
            Outcome let_go = co_await attempt([&] { return released; });
            if (!let_go.failed()) gate_of(state).store->settle(std::move(let_go).get());
        }
        if (failed) co_return std::move(outcome).get();  // raises
        co_return identity;
    }
    if (Local kept = remember_verdict(gate_of(state), key, token, identity); !kept.null()) {
        Local fetched = co_await kept;
        gate_of(state).store->settle(fetched);
    }
    if (identity.is_none()) co_return Object::borrow(cause::backend_refused);
    co_return identity;
}

// One verification of a key, shared by every request that asks for it meanwhile (`ticket`:
// its flight, 0 for none).  The backend's answer, or the cause of refusal; a failure is
// logged once and not remembered; a cancellation goes on.
ValueTask verify_once(Object state, Object url, Object token, Object loop, Fingerprint key,
                      std::uint64_t ticket) {
    std::uint64_t closes = gate_of(state).client.closes();
    Outcome outcome =
        co_await attempt([&] { return verify_here_or_there(state, url, token, loop, key, closes); });
    if (ticket != 0) gate_of(state).flights.end(key, ticket);
    if (outcome.failed_with(PyExc_Exception)) {
        Handling handling = outcome.handling();
        logger().call_method(str::warning, text(log_verify_failed),
                             loggable_error(outcome.exception(), token));
        co_return Object::borrow(cause::backend_error);
    }
    co_return std::move(outcome).get();
}

// The verdict on a key not cached, to be awaited: the key's verification in progress, or a
// new one, run as a task of its own that every request asking meanwhile awaits through
// asyncio.shield (a request's cancellation leaves it running for the others).  A task that
// ended without coming back to say so (cancelled before it started) or that belongs to
// another loop is replaced.
Object shared_verdict(const Object& state, const Object& url, const Object& token,
                      const Fingerprint& key) {
    Gate& g = gate_of(state);
    Object loop = running_loop();
    if (loop.is_none()) return verify_once(state, url, token, loop, key, 0).into_object();
    Object task;
    if (const Object* running = g.flights.find(key)) {
        if (running->call_method(str::get_loop).is(loop) && !running->call_method(str::done).truthy())
            task = *running;
        else
            g.flights.drop(key);
    }
    if (task.null()) {
        std::uint64_t ticket = g.flights.next_ticket();
        task = start_task(loop, verify_once(state, url, token, loop, key, ticket).into_object());
        g.flights.start(key, ticket, task);
    }
    return shared(task);
}

ValueTask verify_remote(Object self, Object api_key) {
    if (!api_key.truthy()) co_return none();
    Local url = self.attr(str::_auth_verify_url);
    if (!url.truthy()) co_return none();
    Local state = state_of(self);
    Gate& g = gate_of(state);
    Fingerprint key = key_fingerprint(g, api_key);
    store::Verdict known = g.store->verdict(key, g.now());
    Local answer;
    if (known.confirmed != nullptr)
        answer = known.confirmed->identity;
    else if (!known.refused)
        answer = co_await honouring_cancellation(shared_verdict(state, url, api_key, key));
    if (answer.null() || !PyDict_CheckExact(answer.get())) co_return none();
    co_return Object::steal(PyDict_Copy(answer.get()));  // the cached answer stays the gate's
}

const FunctionDef verify_remote_def =
    spine::verify_remote_def("SecureGatehouse._verify_remote", verify_remote_doc, fn<&verify_remote>);

// ---- SecureGatehouse._send_401 --------------------------------------------------------------

// {"jsonrpc":"2.0","id":null,"error":{"code":-32001,"message":"Unauthorized: <reason>"}}, the
// reason told in words; WWW-Authenticate says error="invalid_token" when a key was presented.
Object unauthorized_start(const Object& reason) {
    bool missing = reason.equals(text(reason_missing));
    return spine::response_start(int_401, missing ? realm_headers : invalid_token_headers);
}

Object unauthorized_body(const Object& reason) {
    Object keep;
    std::string_view code = utf8_bytes(reason, keep);
    if (code == reason_missing) return Object::borrow(missing_key_body);
    if (code == reason_invalid) return Object::borrow(invalid_key_body);
    if (code == reason_unverified) return Object::borrow(unverified_body);
    return unauthorized_body_for(code);
}

Task send_401(Object /*self*/, Object /*scope*/, Object send, Object reason) {
    Local body = unauthorized_body(reason);
    co_await send(unauthorized_start(reason));
    co_await send(spine::response_body(body));
}

const FunctionDef send_401_def = spine::send_401_def("SecureGatehouse._send_401", fn<&send_401>);

// ---- SecureGatehouse.aclose -----------------------------------------------------------------

Task aclose(Object self) {
    Local closing = gate_of(state_of(self)).close();
    if (!closing.null()) co_await closing;
}

const FunctionDef aclose_def{
    .name = "aclose",
    .qualname = "SecureGatehouse.aclose",
    .doc = "Close the verification client and the shared store's connections the gate made (a "
           "lifespan shutdown through the gate does it too).",
    .returns = "None",
    .params = {self_param},
    .body = fn<&aclose>,
    .is_async = true,
};

// ---- SecureGatehouse._stats -------------------------------------------------------------------

Object stats(Object self) {
    Gate& g = gate_of(state_of(self));
    store::Sizes sizes = g.store->sizes(g.latest);
    Object out = new_dict();
    auto put = [&](const char* name, long long value) {
        check(PyDict_SetItemString(out.get(), name, integer(value).get()));
    };
    put("sessions", static_cast<long long>(sizes.sessions));
    put("stream_sessions", static_cast<long long>(sizes.stream_sessions));
    put("confirmed_keys", static_cast<long long>(sizes.confirmed_keys));
    put("refused_keys", static_cast<long long>(sizes.refused_keys));
    put("verifying", static_cast<long long>(g.flights.size()));
    put("tracked_clients", static_cast<long long>(sizes.tracked_clients));
    put("blocked_clients", static_cast<long long>(sizes.blocked_clients));
    put("clients_built", g.client.built());
    put("file_keys", static_cast<long long>(g.keys ? g.keys->size() : 0));
    auto [outages, served_alone] = g.store->outages();
    put("store_outages", outages);
    put("served_without_store", served_alone);
    return out;
}

const FunctionDef stats_def{
    .name = "stats",
    .qualname = "SecureGatehouse.stats",
    .doc = "What the gate holds and did, read now (also as _stats).\n"
           "\n"
           "        sessions, stream_sessions: MCP sessions bound (those with an open SSE stream);\n"
           "        confirmed_keys, refused_keys: verdicts cached in this process; verifying:\n"
           "        verifications in flight; tracked_clients, blocked_clients: client addresses\n"
           "        whose refusals are counted, and those answered 429; clients_built:\n"
           "        verification clients made; file_keys: keys in force from the keys file;\n"
           "        store_outages, served_without_store: outages of the shared store, and the\n"
           "        requests served without it meanwhile.\n"
           "        ",
    .returns = "dict[str, int]",
    .params = {self_param},
    .body = fn<&stats>,
};

// ---- the state objects' types -----------------------------------------------------------------

int gate_traverse(PyObject* self, visitproc visit, void* arg) {
    Gate* g = reinterpret_cast<GateObject*>(self)->gate;
    return g == nullptr ? 0 : g->traverse(visit, arg);
}

int gate_clear(PyObject* self) {
    if (Gate* g = reinterpret_cast<GateObject*>(self)->gate) g->clear();
    return 0;
}

// A gate collected with its client open: the client is closed on its loop if that still runs.
void gate_finalize(PyObject* self) {
    Gate* g = reinterpret_cast<GateObject*>(self)->gate;
    if (g == nullptr) return;
    ErrorStash stash;
    try {
        g->client.close_when_collected();
        g->store->close_when_collected();
    } catch (...) {
        translate_current_exception();
        PyErr_WriteUnraisable(self);
    }
}

void gate_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    delete reinterpret_cast<GateObject*>(self)->gate;
    PyObject_GC_Del(self);
}

void ready_gate_type() {
    GateType.tp_name = "tervik.mcp.secure.GateState";
    GateType.tp_doc = "The bounded state of one SecureGatehouse.";
    GateType.tp_basicsize = sizeof(GateObject);
    GateType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    GateType.tp_traverse = gate_traverse;
    GateType.tp_clear = gate_clear;
    GateType.tp_finalize = gate_finalize;
    GateType.tp_dealloc = gate_dealloc;
    check(PyType_Ready(&GateType));
}

// ---- module body ----------------------------------------------------------------------------

void build_constants() {
    if (!fingerprint::select_engine())
        raise(PyExc_ImportError, "SHA-256 or SipHash gives wrong results on this machine");
    empty_bytes = bytes("");
    Object content_type = tuple(bytes("content-type"), bytes("application/json"));
    json_headers = tuple(content_type);
    realm_headers = tuple(content_type, tuple(bytes("www-authenticate"), bytes(texts::realm)));
    invalid_token_headers =
        tuple(content_type, tuple(bytes("www-authenticate"), bytes(realm_invalid_token)));
    missing_key_body = unauthorized_body_for(message_missing);
    invalid_key_body = unauthorized_body_for(message_invalid);
    unverified_body = unauthorized_body_for(message_unverified);
    not_found_body = bytes(session_not_found_body);
    too_many_body = bytes(too_many_refusals_body);
    busy_body = bytes(verification_busy_body);
    no_oauth_bytes = bytes(no_oauth_body);
    int_32 = integer(32);
    int_401 = integer(401);
    int_404 = integer(404);
    int_429 = integer(429);
    int_503 = integer(503);
    debug_level = integer(10);
    pass_through =
        Object::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    unusable_key =
        Object::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    unquote = import("urllib.parse").attr("unquote");
    gate_common::prepare();
    asyncio_module = import("asyncio");
    secrets_module = import("secrets");
    json_module = import("json");
    ready_gate_type();
    RequestStateType::ready("tervik.mcp.secure.tracking_send_function");
    tracking_send_proto = secure.compile(tracking_send_def);
    lifespan_receive_proto = secure.compile(lifespan_receive_def);
}

void secure_body(Object module) {
    build_constants();

    module.set_attr(text("logging").get(), import("logging"));
    spine::bind_annotation_names(module);
    module.set_attr(text("PathLike").get(), import_from("os", text("PathLike").get()));
    gatehouse_class = import_from("tervik.mcp.gatehouse", text("ApiKeyGatehouse").get());
    module.set_attr(text("ApiKeyGatehouse").get(), Object::borrow(gatehouse_class));
    module.set_attr(str::_logger, import("logging").attr("getLogger")(text("tervik.mcp")));

    Object stats = secure.function(stats_def);
    secure_class = make_class("SecureGatehouse", module_name, secure_doc,
                              tuple(Object::borrow(gatehouse_class)),
                              {{"__init__", secure.function(secure_init_def)},
                               {"__call__", own_call.object()},
                               {"_verify_remote", own_verify_remote.object()},
                               {"_send_401", own_send_401.object()},
                               {"aclose", secure.function(aclose_def)},
                               {"stats", stats},
                               {"_stats", stats}});
    module.set_attr(text("SecureGatehouse").get(), Object::borrow(secure_class));
}

}  // namespace

PyMODINIT_FUNC PyInit_secure() { return init_module<secure>(); }
