// A client bound to the event loop it was made on, and its lifecycle: made on first need for
// the running loop, replaced when the gate is used from another loop (the old one closed on
// its own loop if that still runs), closed by aclose() and the lifespan's shutdown.  Work
// that began before a close fails rather than make a client after it.  The secure gate keeps
// its verification client (httpx.AsyncClient) and the shared store's Redis client in one.
#pragma once

#include <cstdint>

#include "coroutine.hpp"
#include "object.hpp"

namespace loop_client {

class LoopClient {
  public:
    // `make()` builds a client for the running loop; `closed_error` is what work that began
    // before a close fails with.
    LoopClient(py::Object (*make)(const void* context), const void* context,
               const char* closed_error)
        : make_(make), context_(context), closed_error_(closed_error) {}

    // The client for `loop`, for work that began when the client had been closed `closes`
    // times (see closes()).
    py::Object for_loop(const py::Object& loop, std::uint64_t closes);
    // The client, if one is made for `loop`; else NULL.
    py::Object made_for(const py::Object& loop) const {
        return !client_.null() && loop_.is(loop) ? client_ : py::Object();
    }
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

    py::Object (*make_)(const void*);
    const void* context_;
    const char* closed_error_;
    py::Object client_, loop_;
    long long built_ = 0;
    std::uint64_t closes_ = 0;
};

}  // namespace loop_client
