// What native bodies need to know of asyncio, and of anyio (which httpx runs on) inside it.
//
// A task's cancellation is thrown into the body at the await in progress.  Awaitables below
// us may swallow it (on Python < 3.11 an anyio cancel scope cannot tell its own cancellation
// from one meant for the task), so `honouring_cancellation` raises it anyway, and `run_apart`
// gives work that runs cancel scopes a task of its own.  For work shared by several requests:
// `start_task` and `shared`.
#pragma once

#include "coroutine.hpp"
#include "object.hpp"

namespace py {

namespace detail {
// A cancellation of the task itself: asyncio.CancelledError, and not one an anyio cancel
// scope made to stop its own work (which it takes back itself).
bool is_task_cancellation(PyObject* exc);

class CancellationAwait : public Await {
  public:
    using Await::Await;
    Object await_resume();
};
}  // namespace detail

// `co_await honouring_cancellation(awaitable)`: if the task's cancellation is thrown in while
// the body awaits it, and the awaitable then returns or raises anything but a cancellation,
// the cancellation is raised here anyway (chained to what came back): it is never lost below
// us.
inline detail::CancellationAwait honouring_cancellation(Object awaitable) noexcept {
    return detail::CancellationAwait(std::move(awaitable));
}

// `await awaitable`, run as an asyncio task of its own when an asyncio loop runs (through
// asyncio.shield, so the task's cancellations stay its own); with no running loop, awaited
// as it is.  When the awaiting task is cancelled meanwhile, the apart task is cancelled and
// waited for (its outcome read, so nothing warns that it was never retrieved) before the
// cancellation goes on; cancelled again while waiting, it stops waiting and the outcome is
// read when the task ends.
ValueTask run_apart(Object awaitable);

// However the task ends, its outcome is read then, so asyncio never reports its exception as
// never retrieved (for work abandoned while it runs on).
void read_outcome_when_done(const Object& task);

// The running asyncio loop, or None (asyncio._get_running_loop()).
Object running_loop();
// `loop.create_task(awaitable)`: the awaitable starts running on its own.
Object start_task(const Object& loop, Object awaitable);
// `asyncio.shield(task)`, to be awaited: the task's result, where the awaiting task's
// cancellation stops only this await and leaves the task running for the others.
Object shared(const Object& task);

}  // namespace py
