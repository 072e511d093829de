// Verdicts on keys as the secure gate keeps them: a confirmed key's identity with the caller
// objects made for it once, and the verifications in flight, one per key, shared by every
// request that asks for the key meanwhile.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "gate/fingerprint.hpp"
#include "object.hpp"

namespace verdicts {

using fingerprint::Fingerprint;

// The caller as Starlette and the MCP SDK see it: scope["user"] and scope["auth"].
struct CallerObjects {
    py::Object user, auth;
};

// A key the backend confirmed: its answer (never handed out, only read), the caller it
// names, until when it holds.
struct Confirmed {
    py::Object identity;
    Fingerprint owner;
    double expires;
    CallerObjects caller;
};

// The verifications in flight: a task per key, and a ticket that tells it from a later one
// for the same key.
class Flights {
  public:
    // The key's task, NULL when there is none.
    const py::Object* find(const Fingerprint& key) const;
    // The ticket of the next flight, for its task to end it with.
    std::uint64_t next_ticket() noexcept { return ++tickets_; }
    // A new flight for the key, replacing one that ended without saying so.
    void start(const Fingerprint& key, std::uint64_t ticket, py::Object task);
    // Ends the key's flight, if it is still the one with `ticket`.  The task is released
    // after the map is whole again: releasing it may run code that looks at the map.
    void end(const Fingerprint& key, std::uint64_t ticket);
    // Ends the key's flight whatever its ticket.
    void drop(const Fingerprint& key);
    std::size_t size() const noexcept { return flights_.size(); }

    int traverse(visitproc visit, void* arg);
    void clear();

  private:
    struct Flight {
        py::Object task;
        std::uint64_t ticket;
    };
    std::unordered_map<Fingerprint, Flight, fingerprint::FingerprintHash> flights_;
    std::uint64_t tickets_ = 0;
};

}  // namespace verdicts
