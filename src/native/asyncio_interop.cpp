#include "asyncio_interop.hpp"

#include <string_view>

#include "method.hpp"

namespace py {

namespace {

Name get_running_loop_name{"_get_running_loop"}, ensure_future_name{"ensure_future"};
Name shield_name{"shield"}, wait_name{"wait"}, cancel_name{"cancel"}, done_name{"done"};
Name cancelled_name{"cancelled"}, exception_name{"exception"};
Name add_done_callback_name{"add_done_callback"}, cancelled_error_name{"CancelledError"};
Name create_task_name{"create_task"};

Constant asyncio_module{[] { return import("asyncio"); }};
Constant cancelled_error{[] { return Object::borrow(asyncio_module).attr(cancelled_error_name); }};

// Whether a cancellation is one that a cancel scope made to stop its own work: on Python
// < 3.11 anyio's scopes know their own cancellations by this message, and so do we.
bool is_cancel_scope_own(PyObject* exc) {
    PyObject* args = PyObject_GetAttrString(exc, "args");
    if (args == nullptr) PyErr_Clear();
    bool own = false;
    if (args != nullptr && PyTuple_Check(args) && PyTuple_GET_SIZE(args) > 0) {
        PyObject* first = PyTuple_GET_ITEM(args, 0);
        if (PyUnicode_Check(first)) {
            static constexpr char prefix[] = "Cancelled via cancel scope ";
            Py_ssize_t n = sizeof prefix - 1;
            const char* utf8 = PyUnicode_AsUTF8(first);
            own = utf8 != nullptr && std::string_view(utf8).substr(0, n) == prefix;
            if (utf8 == nullptr) PyErr_Clear();
        }
    }
    Py_XDECREF(args);
    return own;
}

// A finished task's outcome, read so that asyncio does not report it as never retrieved.
void read_outcome(Object task) {
    if (!task.call_method(cancelled_name).truthy()) task.call_method(exception_name);
}

const FunctionDef read_outcome_def{
    .name = "read_outcome",
    .qualname = "run_apart.<locals>.read_outcome",
    .returns = "None",
    .params = {{.name = "task", .annotation = "Any"}},
    .body = fn<&read_outcome>,
};
Method outcome_reader{read_outcome_def};  // a done callback

}  // namespace

bool detail::is_task_cancellation(PyObject* exc) {
    return PyErr_GivenExceptionMatches(exc, cancelled_error) && !is_cancel_scope_own(exc);
}

Object detail::CancellationAwait::await_resume() {
    if (!PromiseBase::running()->thrown_in(is_task_cancellation)) return Await::await_resume();
    Outcome outcome = [&] {
        try {
            return Outcome::value(Await::await_resume());
        } catch (...) {
            return Outcome::error(current_error());
        }
    }();
    if (outcome.failed_with(cancelled_error)) return std::move(outcome).get();
    // The cancellation was lost below us: raise it here, chained to what came back.
    Handling handling = outcome.handling();
    raise(Object::steal(PyObject_CallNoArgs(cancelled_error)));
}

// httpx's transport (anyio) cancels the task it runs in to end work of its own (the race
// between connection attempts, a timeout) and takes that cancellation back; in the awaiting
// task, a cancellation of that task arriving meanwhile can merge into it and be lost (Python
// 3.10 has no Task.uncancel to tell them apart).  Apart, the awaiting task's cancellation
// always arrives here.
ValueTask run_apart(Object awaitable) {
    Local asyncio = Object::borrow(asyncio_module);
    if (asyncio.call_method(get_running_loop_name).is_none())
        co_return co_await std::move(awaitable);
    Local task = asyncio.call_method(ensure_future_name, std::move(awaitable));
    Outcome outcome = co_await attempt([&] { return asyncio.call_method(shield_name, task); });
    if (outcome.failed_with(asyncio.attr(cancelled_error_name).get()) &&
        !task.call_method(done_name).truthy()) {
        task.call_method(cancel_name);
        Outcome finished =
            co_await attempt([&] { return asyncio.call_method(wait_name, tuple(task)); });
        if (finished.failed())  // cancelled again: stop waiting, read its outcome when it ends
            task.call_method(add_done_callback_name, outcome_reader);
        else
            read_outcome(task);
    }
    co_return std::move(outcome).get();
}

void read_outcome_when_done(const Object& task) {
    task.call_method(add_done_callback_name, outcome_reader);
}

Object running_loop() { return Object::borrow(asyncio_module).call_method(get_running_loop_name); }

Object start_task(const Object& loop, Object awaitable) {
    return loop.call_method(create_task_name, std::move(awaitable));
}

Object shared(const Object& task) {
    return Object::borrow(asyncio_module).call_method(shield_name, task);
}

}  // namespace py
