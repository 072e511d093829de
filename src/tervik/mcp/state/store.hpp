// What the secure gate remembers between requests, behind one interface: the verdicts on
// keys, the refusals counted per client address, and the MCP sessions bound to their
// callers.  A store answers at once (the in-memory store always does) or later: then the
// answer carries an awaitable, and the same question asked again with what that awaitable
// came to is answered at once, or later again.  The gate asks only where it needs an answer,
// so a request whose every answer is at hand never awaits anything for its state.
//
// A store shared by several processes keeps a cache of its own in front: `verdict` answers
// from it, and the shared part is asked only on a miss (`look_shared`), by the process that
// verifies a key (`claim_flight`), and when a verdict is kept.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

#include "gate/fingerprint.hpp"
#include "object.hpp"
#include "state/verdicts.hpp"

namespace store {

using fingerprint::Fingerprint;

// An answer of the store: `value` when `later` is NULL; else await `later` and ask again
// with what it came to.
template <class T>
struct Answer {
    T value{};
    py::Object later;
    bool ready() const noexcept { return later.null(); }
    static Answer now(T v) { return {std::move(v), {}}; }
};

// What is known of a key: a live confirmation (owned by the store, valid until the store is
// next changed), a live refusal, an identity another process confirmed (`shared`, to be
// adopted until `shared_until`), or nothing.
struct Verdict {
    const verdicts::Confirmed* confirmed = nullptr;
    bool refused = false;
    py::Object shared;
    double shared_until = 0;
    bool known() const noexcept { return confirmed != nullptr || refused || !shared.null(); }
};

// What one more refusal did: counted, blocked the client (the one that reached the limit),
// or found the client blocked already.
enum class Count { counted, tripped, blocked };

// Whether this process is to verify a key: yes (no other is, or none can tell), not yet
// (another process is: wait for its verdict), or no (a verdict is there: `verdict`).
struct Flight {
    enum class Kind { verify, wait, decided } kind = Kind::verify;
    Verdict verdict;
};

// What a request that presents a session may do with it.
struct SessionUse {
    enum class Kind { mine, unknown, others } kind = Kind::unknown;
    Fingerprint opener{};  // others: who opened it
};

// The sizes the gate reports.
struct Sizes {
    std::size_t sessions, stream_sessions, confirmed_keys, refused_keys;
    std::size_t tracked_clients, blocked_clients;
};

class Store {
  public:
    virtual ~Store() = default;

    // -- verdicts on keys (`key` the key's fingerprint, `key_text` the key itself) --
    // What this process knows: answered at once.
    virtual Verdict verdict(const Fingerprint& key, double now) = 0;
    // On a miss: what the processes sharing the store know of the key, and whether `client`
    // (if not empty) is blocked there (blocked_for tells, once answered).
    virtual Answer<Verdict> look_shared(const Fingerprint&, std::string_view /*key_text*/,
                                        std::string_view /*client*/, double /*now*/,
                                        const py::Object& /*fetched*/) {
        return Answer<Verdict>::now({});
    }
    // Before a verification: whether this process is the one to make it.
    virtual Answer<Flight> claim_flight(const Fingerprint&, std::string_view /*key_text*/,
                                        double /*now*/, const py::Object& /*fetched*/) {
        return Answer<Flight>::now({});
    }
    // A verification claimed that kept no verdict (it failed): others may verify.  NULL, or
    // an awaitable to await and give to settle().
    virtual py::Object release_flight(std::string_view /*key_text*/) { return {}; }
    // A key the backend confirmed (for cache_seconds) or refused (negative_cache_seconds),
    // for this process and the others.  NULL, or an awaitable to await and give to settle()
    // before the verdict counts as kept.
    virtual py::Object confirm(const Fingerprint& key, std::string_view key_text,
                               verdicts::Confirmed confirmed, double now) = 0;
    virtual py::Object refuse(const Fingerprint& key, std::string_view key_text, double now) = 0;
    // A verdict another process made, kept in this one until it ends there.
    virtual void adopt(const Fingerprint&, verdicts::Confirmed, double /*now*/, double /*until*/) {}
    // What an awaitable of release_flight, confirm or refuse came to.
    virtual void settle(const py::Object& /*fetched*/) {}

    // -- refusals per client address --
    // False when no client can be blocked now (no refusal counted anywhere the store knows
    // of): the gate need not name the client.
    virtual bool may_block() const noexcept = 0;
    // Seconds the client must still wait (> 0), else 0.
    virtual Answer<double> blocked_for(std::string_view client, double now,
                                       const py::Object& fetched = {}) = 0;
    // One more refused request from the client.
    virtual Answer<Count> count_refusal(std::string_view client, double now,
                                        const py::Object& fetched = {}) = 0;

    // -- sessions (they live in one process of the application: answered at once) --
    // The request's use of a session begins when it is the caller's own.
    virtual SessionUse use_session(std::string_view id, const Fingerprint& caller,
                                   double now) = 0;
    // The request's use ends (`ended`: the session with it, a successful DELETE).
    virtual void release_session(std::string_view id, double now, bool ended) = 0;
    virtual bool knows_session(std::string_view id) = 0;
    // A new session is bound to its opener (in use while its stream is open, for a stream's).
    virtual void bind_session(std::string_view id, const Fingerprint& owner, double now,
                              bool stream) = 0;
    virtual void forget_session(std::string_view id) = 0;

    virtual Sizes sizes(double now) = 0;
    // Whether a shared store answers now (not in an outage; never for one not shared).
    virtual bool sharing() const noexcept { return false; }
    // Outages of a shared store so far, and the requests it could not help meanwhile.
    virtual std::pair<long long, long long> outages() const { return {0, 0}; }

    // -- its connections --
    // Closes what the store made: NULL, or an awaitable to await on the running loop.
    virtual py::Object close() { return {}; }
    // The gate is collected: connections still open are closed on their loop if it runs.
    virtual void close_when_collected() {}

    // -- the collector: the Python objects the store holds --
    virtual int traverse(visitproc visit, void* arg) = 0;
    virtual void clear() = 0;
};

}  // namespace store
