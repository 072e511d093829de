#include "state/redis_store.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "asyncio_interop.hpp"
#include "gate/texts.hpp"

using namespace py;

namespace store {

namespace {
namespace str {
Name eval{"eval"}, ensure_future{"ensure_future"}, wait{"wait"}, done{"done"};
Name cancel{"cancel"}, cancelled{"cancelled"}, exception{"exception"}, result{"result"};
Name TimeoutError{"TimeoutError"}, CancelledError{"CancelledError"};
Name dumps{"dumps"}, loads{"loads"}, get{"get"};
Name from_url{"from_url"}, from_pool{"from_pool"}, timeout{"timeout"};
Name socket_timeout{"socket_timeout"}, max_connections{"max_connections"};
Name socket_connect_timeout{"socket_connect_timeout"}, token_hex{"token_hex"};
Name warning{"warning"}, info{"info"}, user_id{"user_id"}, email{"email"};
}  // namespace str

// Every command is this one script, so that each is one round trip and atomic.  KEYS[1] is
// the hash key's entry, KEYS[2] and KEYS[3] the command's two entries; ARGV[1] is the
// operation and ARGV[2] the hash key the process names entries with ("" when the operator
// gave it: nothing to check).  A process whose hash key is not Redis's (Redis lost it, or
// another process put its own first) is told 'rekey' and names nothing until it has Redis's.
constexpr const char* script = R"lua(
local op = ARGV[1]
if op == 'hash-key' then
  local held = redis.call('GET', KEYS[1])
  if held then return held end
  redis.call('SET', KEYS[1], ARGV[2])
  return ARGV[2]
end
if ARGV[2] ~= '' and redis.call('GET', KEYS[1]) ~= ARGV[2] then return 'rekey' end
if op == 'count' then
  local left = redis.call('PTTL', KEYS[3])
  if left > 0 then return {2, left} end
  local n = redis.call('INCR', KEYS[2])
  if n == 1 then redis.call('PEXPIRE', KEYS[2], ARGV[4]) end
  if n < tonumber(ARGV[3]) then return {0, 0} end
  redis.call('DEL', KEYS[2])
  redis.call('SET', KEYS[3], '1', 'PX', ARGV[4])
  return {1, tonumber(ARGV[4])}
elseif op == 'look' then
  return {redis.call('GET', KEYS[2]) or '', redis.call('PTTL', KEYS[2]), redis.call('PTTL', KEYS[3])}
elseif op == 'claim' then
  local held = redis.call('GET', KEYS[2])
  if held then return {2, held, redis.call('PTTL', KEYS[2])} end
  if redis.call('SET', KEYS[3], ARGV[4], 'NX', 'PX', ARGV[3]) then return {1, '', 0} end
  if redis.call('GET', KEYS[3]) == ARGV[4] then return {1, '', 0} end
  return {0, '', 0}
elseif op == 'keep' then
  if tonumber(ARGV[4]) > 0 then redis.call('SET', KEYS[2], ARGV[3], 'PX', ARGV[4]) end
  if redis.call('GET', KEYS[3]) == ARGV[5] then redis.call('DEL', KEYS[3]) end
  return 1
elseif op == 'release' then
  if redis.call('GET', KEYS[3]) == ARGV[3] then redis.call('DEL', KEYS[3]) end
  return 1
end
return redis.error_reply('unknown operation')
)lua";

// How long a verifying process holds a key's flight at most: the backend's 10 s timeout and
// the budget's 2 s wait.
constexpr long long flight_ms = 12000;

// Connections per process and loop at most.  A burst beyond waits for one (within the
// command's bound): a few connections reused cost far less than many made at once (each new
// one takes about a millisecond of the event loop).
constexpr long long pooled_connections = 16;
// How many bounds the first commands of a store may wait for Redis's first answer.
constexpr double first_contact = 10;
// A slice of waiting that took this many bounds ended late.
constexpr double late_slice = 1.5;

// How long a command queued behind others may wait while Redis answers them.
double patience_for(double bound) { return std::max(1.0, bound); }

// What a later answer came to: (phase, reply or error, attempt, when it was sent).
enum Phase : long { hash_key_phase, reply_phase, failed_phase };

double monotonic() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// bytes or str (a client made with decode_responses=True), as bytes; else empty.
std::string_view reply_text(const Object& reply, Object& keep) {
    if (PyBytes_Check(reply.get()))
        return {PyBytes_AS_STRING(reply.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(reply.get()))};
    if (PyUnicode_Check(reply.get())) return utf8_bytes(reply, keep);
    return {};
}

bool is_text(const Object& reply) {
    return PyBytes_Check(reply.get()) || PyUnicode_Check(reply.get());
}

// Whether a reply is a list of `n` items.
bool is_list_of(const Object& reply, Py_ssize_t n) {
    return PyList_Check(reply.get()) && PyList_GET_SIZE(reply.get()) == n;
}
Object at(const Object& list, Py_ssize_t i) { return Object::borrow(PyList_GET_ITEM(list.get(), i)); }

long long as_integer(const Object& o) {
    if (!PyLong_Check(o.get())) return -1;
    long long v = PyLong_AsLongLong(o.get());
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return -1;
    }
    return v;
}

// One command, `client.eval(*argv)`: its reply, or the error it failed with (a cancellation
// goes on, and the command is cancelled; the client drops a connection whose command was).
// Its bound is `bound` while Redis answers nothing else meanwhile (it hangs, or is gone);
// while it answers other commands, this one is only queued behind them on the event loop or
// in the pool, and may wait up to `patience`.  Whatever the command ends with is read, even
// once abandoned.  It touches nothing of the store but its pulse: the store reads the
// outcome when asked again.
ValueTask command(Object client, Object argv, std::shared_ptr<Pulse> pulse, double bound,
                  double patience, long phase, long tries) {
    double sent = monotonic();
    auto outcome_of = [&](long kind, Object value) {
        return tuple(integer(kind), value, integer(tries), Object::steal(PyFloat_FromDouble(sent)));
    };
    Local asyncio = import("asyncio"), task, refused;
    try {
        task = asyncio.call_method(
            str::ensure_future,
            Object::steal(PyObject_Call(client.attr(str::eval).get(), argv.get(), nullptr)));
    } catch (const Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        refused = Object::borrow(e.exception());
    }
    if (!refused.null()) co_return outcome_of(failed_phase, refused);
    read_outcome_when_done(task);
    Local slice = Object::steal(PyFloat_FromDouble(bound)), waiting = tuple(task);
    for (double slice_began = sent;;) {
        Outcome waited = co_await attempt(
            [&] { return asyncio.call_method(str::wait, waiting, kw(str::timeout, slice)); });
        if (waited.failed()) {  // this request's cancellation: the command's too
            task.call_method(str::cancel);
            co_return std::move(waited).get();
        }
        if (task.call_method(str::done).truthy()) break;
        double now = monotonic();
        // Before Redis first answers, a few slices may pass in silence: a store's first
        // connections, made all at once by its first requests, take their time.  A slice
        // that ended late tells of this process (its loop held up, or the process not run),
        // not of Redis: the replies that came meanwhile are still to be read.
        bool on_time = now - slice_began < late_slice * bound;
        bool silent = pulse->last_answer < slice_began && on_time &&
                      (pulse->last_answer > 0 || now - sent >= first_contact * bound);
        if (silent || now - sent >= patience) {
            task.call_method(str::cancel);
            Object late = asyncio.attr(str::TimeoutError)(text("Redis did not answer in time"));
            co_return outcome_of(failed_phase, late);
        }
        slice_began = now;
    }
    if (task.call_method(str::cancelled).truthy())
        co_return outcome_of(failed_phase, asyncio.attr(str::CancelledError)());
    if (Local error = task.call_method(str::exception); !error.is_none())
        co_return outcome_of(failed_phase, error);
    pulse->last_answer = monotonic();
    co_return outcome_of(phase, task.call_method(str::result));
}

// What an error or a reply tells of the trouble, for the log: its type and text, cut short.
std::string describe(const Object& detail) {
    std::string out;
    if (PyExceptionInstance_Check(detail.get())) {
        out = Py_TYPE(detail.get())->tp_name;
        Object shown = Object::steal(PyObject_Str(detail.get())), keep;
        if (std::string_view said = utf8_bytes(shown, keep); !said.empty()) {
            out += ": ";
            out += said.substr(0, 160);
        }
    } else {
        out = "an answer it cannot read";
    }
    return out;
}

// The gate's own client for a URL: a blocking pool (a command waits for a connection rather
// than fail; the command's bounds cover the wait), closed with the client.  Its sockets' own
// timeouts are the longest a command may wait.
Object make_client(const void* context) {
    const auto* o = static_cast<const RedisOptions*>(context);
    Object seconds = Object::steal(PyFloat_FromDouble(patience_for(o->timeout)));
    Object redis = import("redis.asyncio");
    Object pool = redis.attr("BlockingConnectionPool")
                      .call_method(str::from_url, o->target, kw(str::socket_timeout, seconds),
                                   kw(str::socket_connect_timeout, seconds),
                                   kw(str::max_connections, integer(pooled_connections)),
                                   kw(str::timeout, none()));
    return redis.attr("Redis").call_method(str::from_pool, pool);
}

// Whether the error's type, or one it derives from, is named `name` (a class's tp_name is its
// bare name: redis-py's, valkey-py's and asyncio's errors alike).
bool is_named(const Object& error, std::string_view name) {
    PyObject* mro = Py_TYPE(error.get())->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        std::string_view type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_name;
        if (type == name) return true;
    }
    return false;
}

std::string hex32(const fingerprint::Digest& d) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < 16; ++i) out.append({digits[d[i] >> 4], digits[d[i] & 15]});
    return out;
}

Object milliseconds(double seconds) {
    return integer(std::max(1LL, static_cast<long long>(std::llround(seconds * 1000))));
}
}  // namespace

RedisStore::RedisStore(const MemoryOptions& memory, RedisOptions options)
    : local_(memory),
      cache_ttl_(memory.cache_ttl),
      negative_ttl_(memory.negative_ttl),
      limit_(memory.failure_limit),
      window_(memory.failure_window),
      options_(std::move(options)),
      made_(make_client, &options_, texts::secure::client_closed_error),
      blocks_(memory.max_tracked_clients) {
    Object secrets = import("secrets"), keep;
    holder_ = std::string(utf8_bytes(secrets.call_method(str::token_hex, integer(8)), keep));
    if (!options_.hash_key.empty()) {
        names_ = fingerprint::Hmac(options_.hash_key);
    } else {
        candidate_ = std::string(utf8_bytes(secrets.call_method(str::token_hex, integer(32)), keep));
    }
}

// ---- commands ----------------------------------------------------------------------------

Object RedisStore::client_for_running_loop() {
    Object loop = running_loop();
    if (loop.is_none() || options_.target.null()) return {};
    if (!PyUnicode_Check(options_.target.get())) return options_.target;  // the host's
    return made_.for_loop(loop, made_.closes());
}

std::string RedisStore::entry(char kind, char sort, std::string_view subject) const {
    std::string name = options_.prefix;
    name += ':';
    name += sort;
    name += ':';
    name += hex32(names_.digest(kind, subject));
    return name;
}

double RedisStore::patience() const { return patience_for(options_.timeout); }

bool RedisStore::may_ask() {
    if (!outage_) return true;
    double now = monotonic();
    if (now < ask_again_) return false;
    ask_again_ = now + 1.0;  // one request tries; the others go on alone meanwhile
    return true;
}

void RedisStore::trouble(const Object& detail) {
    ask_again_ = monotonic() + 1.0;
    if (outage_) return;
    outage_ = true;
    ++outages_;
    served_alone_now_ = 0;
    std::string shown = describe(detail);
    options_.logger().call_method(str::warning, text(texts::secure::log_store_outage), text(shown));
}

void RedisStore::failed(const Object& error, double sent) {
    // A busy moment is not an outage: a burst beyond a host's pool, or a command that waited
    // too long while Redis answered others.
    if (is_named(error, "MaxConnectionsError")) return;
    if (is_named(error, "TimeoutError") && pulse_->last_answer > sent) return;
    trouble(error);
}

void RedisStore::answered() {
    if (!outage_) return;
    outage_ = false;
    options_.logger().call_method(str::info, text(texts::secure::log_store_back),
                                  integer(served_alone_now_));
}

template <class NamesOf>
Answer<Object> RedisStore::run(const char* op, NamesOf names, Object args, const Object& fetched) {
    long tries = 0;
    if (!fetched.null()) {
        long phase = PyLong_AsLong(PyTuple_GET_ITEM(fetched.get(), 0));
        Object reply = Object::borrow(PyTuple_GET_ITEM(fetched.get(), 1));
        tries = PyLong_AsLong(PyTuple_GET_ITEM(fetched.get(), 2)) + 1;
        Object keep;
        if (phase == failed_phase) {
            failed(reply, PyFloat_AsDouble(PyTuple_GET_ITEM(fetched.get(), 3)));
            return Answer<Object>::now({});
        }
        if (phase == hash_key_phase) {
            if (!take_hash_key(reply)) return Answer<Object>::now({});
        } else if (is_text(reply) && reply_text(reply, keep) == "rekey") {
            hash_key_.clear();
            if (tries > 3) {  // the hash key keeps changing under us
                trouble(reply);
                return Answer<Object>::now({});
            }
        } else {
            answered();
            return Answer<Object>::now(std::move(reply));
        }
    } else if (!may_ask()) {
        return Answer<Object>::now({});
    }
    Object client = client_for_running_loop();
    if (client.null()) return Answer<Object>::now({});  // no event loop: nothing to await on
    std::string hash_entry = options_.prefix + ":hash-key";
    bool given = !options_.hash_key.empty();
    Object argv = new_list();
    auto add = [&](const Object& item) { check(PyList_Append(argv.get(), item.get())); };
    add(text(script));
    add(integer(3));
    long phase = reply_phase;
    if (!given && hash_key_.empty()) {
        for (int i = 0; i < 3; ++i) add(text(hash_entry));
        add(text("hash-key"));
        add(text(candidate_));
        phase = hash_key_phase;
    } else {
        Names named = names();
        for (const std::string& name : {hash_entry, named.first, named.second}) add(text(name));
        add(text(op));
        add(text(given ? "" : hash_key_));
        for_each(args, [&](Object a) { return add(a), false; });
    }
    Object call = Object::steal(PyList_AsTuple(argv.get()));
    return {{}, command(client, call, pulse_, options_.timeout, patience(), phase, tries)
                    .into_object()};
}

bool RedisStore::take_hash_key(const Object& reply) {
    Object keep;
    std::string_view held = reply_text(reply, keep);
    if (held.size() < 16 || held.size() > 64) {
        trouble(reply);
        return false;
    }
    hash_key_ = std::string(held);
    candidate_ = hash_key_;  // offered again if Redis loses it
    names_ = fingerprint::Hmac(hash_key_);
    return true;
}

void RedisStore::settle(const Object& fetched) {
    if (fetched.null() || !PyTuple_Check(fetched.get())) return;
    Object reply = Object::borrow(PyTuple_GET_ITEM(fetched.get(), 1));
    switch (PyLong_AsLong(PyTuple_GET_ITEM(fetched.get(), 0))) {
        case failed_phase:
            failed(reply, PyFloat_AsDouble(PyTuple_GET_ITEM(fetched.get(), 3)));
            break;
        case hash_key_phase:  // what was to be kept is kept here only
            if (take_hash_key(reply)) answered();
            break;
        default:
            answered();
    }
}

// ---- verdicts ------------------------------------------------------------------------------

Verdict RedisStore::read_verdict(const Fingerprint& key, const Object& value, const Object& ttl,
                                 double now) {
    Object keep;
    std::string_view held = reply_text(value, keep);
    long long left_ms = as_integer(ttl);
    if (held.empty() || left_ms <= 0) return {};
    double until = now + left_ms / 1000.0;
    if (held == "r") {
        local_.refuse_until(key, now, until);
        return {nullptr, true};
    }
    if (held[0] != 'c') return {};
    Object identity;
    try {
        identity = import("json").call_method(str::loads, text(held.substr(1)));
    } catch (const Error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return {};
    }
    if (!PyDict_CheckExact(identity.get())) return {};
    return {nullptr, false, identity, std::min(until, now + cache_ttl_)};
}

Answer<Verdict> RedisStore::look_shared(const Fingerprint& key, std::string_view key_text,
                                        std::string_view client, double now,
                                        const Object& fetched) {
    auto reply = run(
        "look",
        [&] {
            return Names{entry('k', 'v', key_text),
                         client.empty() ? options_.prefix + ":b:-" : entry('a', 'b', client)};
        },
        tuple(), fetched);
    if (!reply.ready()) return {{}, std::move(reply.later)};
    if (reply.value.null()) {
        ++served_alone_, ++served_alone_now_;
        return Answer<Verdict>::now({});
    }
    if (!is_list_of(reply.value, 3)) {
        trouble(reply.value);
        return Answer<Verdict>::now({});
    }
    if (!client.empty()) learn_block(client, now, at(reply.value, 2));
    return Answer<Verdict>::now(read_verdict(key, at(reply.value, 0), at(reply.value, 1), now));
}

Answer<Flight> RedisStore::claim_flight(const Fingerprint& key, std::string_view key_text,
                                        double now, const Object& fetched) {
    auto names = [&] { return Names{entry('k', 'v', key_text), entry('k', 'f', key_text)}; };
    auto reply = run("claim", names, tuple(integer(flight_ms), text(holder_)), fetched);
    if (!reply.ready()) return {{}, std::move(reply.later)};
    if (reply.value.null()) return Answer<Flight>::now({});
    if (!is_list_of(reply.value, 3)) {
        trouble(reply.value);
        return Answer<Flight>::now({});
    }
    switch (as_integer(at(reply.value, 0))) {
        case 1:
            return Answer<Flight>::now({Flight::Kind::verify, {}});
        case 0:
            return Answer<Flight>::now({Flight::Kind::wait, {}});
        default: {
            Verdict v = read_verdict(key, at(reply.value, 1), at(reply.value, 2), now);
            return Answer<Flight>::now(
                {v.known() ? Flight::Kind::decided : Flight::Kind::verify, std::move(v)});
        }
    }
}

Object RedisStore::keep(std::string_view key_text, const Object& value, double ttl) {
    auto names = [&] { return Names{entry('k', 'v', key_text), entry('k', 'f', key_text)}; };
    // Only the flight's release when there is nothing to keep.
    Answer<Object> reply = value.null() || ttl <= 0
                               ? run("release", names, tuple(text(holder_)), {})
                               : run("keep", names, tuple(value, milliseconds(ttl), text(holder_)), {});
    return std::move(reply.later);
}

Object RedisStore::release_flight(std::string_view key_text) { return keep(key_text, {}, 0); }

Object RedisStore::confirm(const Fingerprint& key, std::string_view key_text,
                           verdicts::Confirmed confirmed, double now) {
    // Only what the backend said of who the caller is goes to Redis.
    Object shared = new_dict();
    for (PyObject* field : {str::user_id.get(), str::email.get()}) {
        if (PyDict_Check(confirmed.identity.get()))
            if (PyObject* v = PyDict_GetItemWithError(confirmed.identity.get(), field))
                check(PyDict_SetItem(shared.get(), field, v));
    }
    Object value;
    try {
        Object json = import("json").call_method(str::dumps, shared);
        Object keep_text;
        value = text("c" + std::string(utf8_bytes(json, keep_text)));
    } catch (const Error& e) {
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
    }
    local_.confirm(key, key_text, std::move(confirmed), now);
    return keep(key_text, value, cache_ttl_);
}

Object RedisStore::refuse(const Fingerprint& key, std::string_view key_text, double now) {
    local_.refuse(key, key_text, now);
    return keep(key_text, text("r"), negative_ttl_);
}

// ---- refusals per client -------------------------------------------------------------------

void RedisStore::learn_block(std::string_view client, double now, const Object& ms) {
    long long left = as_integer(ms);
    if (left <= 0) return;
    blocks_.prune([&](double until) { return until <= now; });
    blocks_.put(std::string(client), now + left / 1000.0);
}

Answer<double> RedisStore::blocked_for(std::string_view client, double now, const Object&) {
    double local = local_.blocked_for(client, now, {}).value;
    if (blocks_.empty()) return Answer<double>::now(local);
    std::string name(client);
    const double* until = blocks_.find(name);
    if (until == nullptr) return Answer<double>::now(local);
    if (*until <= now) {
        blocks_.erase(name);
        return Answer<double>::now(local);
    }
    return Answer<double>::now(std::max(local, *until - now));
}

Answer<Count> RedisStore::count_refusal(std::string_view client, double now, const Object& fetched) {
    if (fetched.null() && blocked_for(client, now, {}).value > 0)
        return Answer<Count>::now(Count::blocked);
    auto names = [&] { return Names{entry('a', 'n', client), entry('a', 'b', client)}; };
    auto reply = run("count", names,
                     tuple(integer(limit_), milliseconds(window_)), fetched);
    if (!reply.ready()) return {{}, std::move(reply.later)};
    if (!reply.value.null() && is_list_of(reply.value, 2)) {
        long long code = as_integer(at(reply.value, 0));
        if (code == 1 || code == 2) {
            learn_block(client, now, at(reply.value, 1));
            return Answer<Count>::now(code == 1 ? Count::tripped : Count::blocked);
        }
        if (code == 0) return Answer<Count>::now(Count::counted);
    }
    if (!reply.value.null()) trouble(reply.value);
    ++served_alone_, ++served_alone_now_;
    return local_.count_refusal(client, now, {});  // counted here for the outage
}

// ---- the rest ------------------------------------------------------------------------------

Sizes RedisStore::sizes(double now) {
    Sizes s = local_.sizes(now);
    s.blocked_clients += static_cast<std::size_t>(std::count_if(
        blocks_.begin(), blocks_.end(), [&](const auto& b) { return b.second > now; }));
    return s;
}

Object RedisStore::close() { return made_.close(); }

int RedisStore::traverse(visitproc visit, void* arg) {
    Py_VISIT(options_.target.get());
    if (int found = local_.traverse(visit, arg)) return found;
    return made_.traverse(visit, arg);
}

void RedisStore::clear() {
    Object target = std::move(options_.target);
    options_.target = Object();
    local_.clear();
    made_.clear();
}

}  // namespace store
