// The secure gate's one verification client (an httpx.AsyncClient) and its lifecycle: made
// on first need for the running event loop, replaced when the gate is used from another loop
// (the old one closed on its own loop if that still runs), closed by aclose() and the
// lifespan's shutdown.  An exchange that began before a close fails rather than make a
// client after it.
#pragma once

#include <cstdint>

#include "coroutine.hpp"
#include "object.hpp"

namespace verification_client {

class VerificationClient {
  public:
    // The client for `loop`, for an exchange that began when the client had been closed
    // `closes` times (see closes()).
    py::Object for_loop(const py::Object& loop, std::uint64_t closes);
    // How often the client was closed so far.
    std::uint64_t closes() const noexcept { return closes_; }
    long long built() const noexcept { return built_; }
    // Closes the client: what comes back (NULL when nothing) is to be awaited on the running
    // loop; a client of another loop is closed there if that loop still runs.
    py::Object close();
    // A gate collected with its client open: the client is closed on its loop if that runs.
    void close_when_collected();

    int traverse(visitproc visit, void* arg);
    void clear();

  private:
    // Takes the client off the gate: one of the running loop (or of no loop) comes back to
    // be closed by the caller; one of another loop is closed there if that loop still runs.
    py::Object retire();

    py::Object client_, loop_;
    long long built_ = 0;
    std::uint64_t closes_ = 0;
};

}  // namespace verification_client
