// What the secure gate remembers between requests, behind one interface: the verdicts on
// keys, the refusals counted per client address, and the MCP sessions bound to their
// callers.  A store answers at once (the in-memory store always does) or later: then the
// answer carries an awaitable, and the same question asked again with what that awaitable
// came to is answered at once.  The gate asks only where it needs an answer, so a request
// whose every answer is at hand never awaits anything for its state.
#pragma once

#include <cstddef>
#include <string_view>

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
// next changed), a live refusal, or nothing.
struct Verdict {
    const verdicts::Confirmed* confirmed = nullptr;
    bool refused = false;
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

    // -- verdicts on keys --
    virtual Answer<Verdict> verdict(const Fingerprint& key, double now,
                                    const py::Object& fetched = {}) = 0;
    // A key the backend confirmed (for cache_seconds) or refused (negative_cache_seconds).
    // NULL, or an awaitable to await before the verdict counts as kept.
    virtual py::Object confirm(const Fingerprint& key, verdicts::Confirmed confirmed,
                               double now) = 0;
    virtual py::Object refuse(const Fingerprint& key, double now) = 0;

    // -- refusals per client address --
    // False when no client can be blocked now (no refusal counted anywhere the store knows
    // of): the gate need not name the client.
    virtual bool may_block() const noexcept = 0;
    // Seconds the client must still wait (> 0), else 0.
    virtual Answer<double> blocked_for(std::string_view client, double now,
                                       const py::Object& fetched = {}) = 0;
    // One more refused request from the client: true when it is the one that blocks it.
    virtual Answer<bool> count_refusal(std::string_view client, double now,
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

    // -- the collector: the Python objects the store holds --
    virtual int traverse(visitproc visit, void* arg) = 0;
    virtual void clear() = 0;
};

}  // namespace store
