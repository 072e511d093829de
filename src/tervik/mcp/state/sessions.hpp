// The MCP sessions a gate saw opened, each bound to the caller that opened it.
//
// Bounded twice: at most `capacity` sessions in all and `per_caller` of one caller.  To make
// room, the caller's own least recently used session goes first, then the least recently
// used of all; a session in use (a request running on it, an open SSE stream) is never
// dropped: when nothing else can go, the new one is kept beyond the bound.  One caller
// opening sessions without end thus only ever pushes out its own.
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

#include "gate/fingerprint.hpp"

namespace sessions {

using fingerprint::Fingerprint;

struct Session {
    Fingerprint owner;
    double last_used;
    int active;   // requests running on it, and its stream while that is open
    bool stream;  // announced on an SSE stream: lives exactly as long as that stream
};

class Sessions {
  public:
    Sessions(std::size_t capacity, std::size_t per_caller, double idle)
        : capacity_(capacity), per_caller_(per_caller), idle_(idle) {}

    Session* find(std::string_view id);
    // find, made the most recently used; NULL (and forgotten) when unused for too long.
    Session* use(std::string_view id, double now);
    // A session not known yet is bound to `owner` (in use from the start when it is a
    // stream's); a known one stays its opener's, touched if `owner` is that.
    void bind(std::string_view id, const Fingerprint& owner, double now, bool stream);
    void forget(std::string_view id);

    std::size_t size() const noexcept { return order_.size(); }
    std::size_t streams() const noexcept { return streams_; }

  private:
    struct Entry;
    using Order = std::list<Entry>;  // most recently used first
    using Owned = std::list<Order::iterator>;
    struct Entry {
        std::string id;
        Session session;
        Owned::iterator in_owner;
    };

    void touch(Order::iterator entry);
    void drop(Order::iterator entry);
    // Drops the least recently used session of `order` (all, or one caller's) not in use.
    template <class List, class Entry_of>
    void drop_oldest_idle(List& order, Entry_of entry_of);

    std::size_t capacity_, per_caller_;
    double idle_;
    std::size_t streams_ = 0;
    Order order_;
    std::unordered_map<std::string_view, Order::iterator> index_;
    std::unordered_map<Fingerprint, Owned, fingerprint::FingerprintHash> owners_;
};

}  // namespace sessions
