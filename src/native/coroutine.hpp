// Async method bodies as C++20 coroutines behind a Python coroutine object.
//
// A body returns `Task` (its result is None) or `ValueTask` (`co_return obj;`); calling it
// makes a coroutine object whose memory also holds the C++ frame.  `co_await x` delegates to
// x's iterator exactly like `yield from`, and owns x while it does; `co_await attempt(...)`
// runs a protected region ("try") whose error comes back as an `Outcome` instead of being
// thrown.  Parameters and `Local`s are what the garbage collector sees of a suspended body.
#pragma once

#include <array>
#include <coroutine>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "object.hpp"

namespace py {

struct CoroObject;
class PromiseBase;

// ---- what the collector sees --------------------------------------------------------------

// An Object in a coroutine frame that the garbage collector can see while the body is
// suspended.  Outside a coroutine body it is a plain Object.
class Local : public Object {
  public:
    Local(Object o = {}) noexcept;
    Local(const Local& o) noexcept : Local(Object(o)) {}
    ~Local();
    Local& operator=(Object o) noexcept {
        Object::operator=(std::move(o));
        return *this;
    }
    Local& operator=(const Local& o) noexcept { return *this = Object(o); }

  private:
    friend class PromiseBase;
    friend struct CoroDriver;
    PromiseBase* owner_;
    Local* next_ = nullptr;
};

// What a protected region came to: its value, or the error it raised.  Like a Local, it is
// visible to the collector.
class Outcome {
  public:
    static Outcome value(Object v) noexcept { return Outcome(std::move(v), false); }
    static Outcome error(Error e) noexcept;
    Outcome(Outcome&& o) noexcept : result_(Object(std::move(o.result_))), failed_(o.failed_) {}

    bool failed() const noexcept { return failed_; }
    // Failed with an instance of `type` (or of a tuple of types).
    bool failed_with(PyObject* type) const noexcept {
        return failed_ && PyErr_GivenExceptionMatches(result_.get(), type) != 0;
    }
    // The exception (failed only), borrowed.
    PyObject* exception() const noexcept { return failed_ ? result_.get() : nullptr; }
    // `except`: the error is handled; the outcome becomes the value None.
    void recover() noexcept;
    // An error raised while handling takes the place of what was there.
    void fail(const Error& e) noexcept;
    // The value; a failure is raised again here.
    Object get() &&;
    // While the guard lives, the failure (if any) is the exception being handled, as in a
    // `finally` block entered by an exception: errors raised meanwhile chain to it.
    Handling handling() const noexcept { return Handling(exception()); }

  private:
    Outcome(Object v, bool failed) noexcept : result_(std::move(v)), failed_(failed) {}
    Local result_;
    bool failed_;
};

// ---- awaiting -------------------------------------------------------------------------------

// co_await of an awaitable: the first send happens at once, so an awaitable that is done
// immediately never suspends the body.
// (Awaiters find their body's promise as the running one: one pointer less in every frame.)
class Await {
  public:
    explicit Await(Object awaitable) noexcept : awaitable_(std::move(awaitable)) {}
    bool await_ready();
    void await_suspend(std::coroutine_handle<>) const noexcept {}
    Object await_resume();

  protected:
    Object awaitable_;  // held only until the first send; then the frame's promise owns it
};

// `co_await attempt(make)`: `make()` returns the awaitable; an error from making it or from
// awaiting it is caught into the Outcome (try: ... except BaseException).
template <class F>
struct Attempt {
    F make;
};
template <class F>
Attempt<std::decay_t<F>> attempt(F&& make) {
    return {std::forward<F>(make)};
}

template <class T>
concept NativeTask = requires(T t) { std::move(t).into_object(); };

// An awaiter made elsewhere (one derived from Await, say), used by co_await as it is.
template <class T>
concept Awaiter = requires(T& a) {
    a.await_ready();
    a.await_resume();
};

// The handle types that own a reference (a lambda's own closure type may be incomplete where
// this is asked, so no is_base_of).
template <class T>
inline constexpr bool is_handle =
    std::is_same_v<std::remove_cvref_t<T>, Object> || std::is_same_v<std::remove_cvref_t<T>, Local>;

// ---- the promise ----------------------------------------------------------------------------

class PromiseBase {
  public:
    static constexpr std::size_t max_params = 8;

    static void* operator new(std::size_t size);
    static void operator delete(void*) noexcept {}  // the memory belongs to the Python object

    // Sees the parameter copies in the frame, and registers the Objects among them.
    template <class... A>
    explicit PromiseBase(A&... params) noexcept : PromiseBase(Adopt{}) {
        static_assert((0 + ... + (is_handle<A> ? 1 : 0)) <= max_params,
                      "too many Object parameters for a coroutine body");
        (add_param(params), ...);
    }

    std::suspend_always initial_suspend() const noexcept { return {}; }
    std::suspend_always final_suspend() const noexcept { return {}; }
    void unhandled_exception() noexcept;

    Await await_transform(Object awaitable) noexcept { return Await(std::move(awaitable)); }
    template <NativeTask T>
    Await await_transform(T&& task) noexcept {
        return Await(std::move(task).into_object());
    }
    template <class F>
    auto await_transform(Attempt<F>&& a) noexcept;
    template <Awaiter A>
    A await_transform(A&& awaiter) noexcept {
        return std::forward<A>(awaiter);
    }

    // The promise of the body running on this thread, if any.
    static PromiseBase* running() noexcept;

    // Whether `seen(exc)` holds for an exception thrown into the body while its current await
    // was in progress (oldest first; each went on to what the await delegates to, which may
    // have handled it).  For awaiters, at await_resume.
    template <class Seen>
    bool thrown_in(Seen&& seen) const;

  protected:
    struct Adopt {};
    explicit PromiseBase(Adopt) noexcept;
    Object adopt_coroutine(std::coroutine_handle<> frame) noexcept;
    void set_result(Object value) noexcept { transfer_ = std::move(value); }

  private:
    friend class Await;
    friend class Local;
    friend struct CoroDriver;
    template <class F>
    friend class AttemptAwait;

    template <class T>
    void add_param(T&) noexcept {}
    template <class T>
        requires is_handle<T>
    void add_param(T& o) noexcept {
        // The parameter copies lie in the same frame: a short offset says where.
        param_offsets_[nparams_++] = static_cast<std::int16_t>(reinterpret_cast<char*>(&o) -
                                                               reinterpret_cast<char*>(this));
    }
    Object& param(std::size_t i) noexcept {
        return *reinterpret_cast<Object*>(reinterpret_cast<char*>(this) + param_offsets_[i]);
    }

    // Starts delegating to `awaitable` (the first send).  True when it finished at once.
    bool start(Object awaitable);
    // What an await came to: a value, or an error.
    void deliver(Object value) noexcept {
        transfer_ = std::move(value);
        error_ = false;
    }
    void deliver(Error error) noexcept;
    // What the last await came to, for the awaiter.
    Object take_value();
    Outcome take_outcome() noexcept;
    // Adds `exc` to what was thrown in during the current await.
    void note_thrown(PyObject* exc) noexcept;

    CoroObject* coro_;
    Object inner_;     // the iterator delegated to while suspended
    Object transfer_;  // yielded value out; sent, returned or raised value in; the body's result
    Object thrown_;    // thrown in during the current await: NULL, an exception, or a list of them
    Local* locals_ = nullptr;
    std::array<std::int16_t, max_params> param_offsets_{};
    std::uint8_t nparams_ = 0;
    bool error_ = false;  // transfer_ holds an exception
#ifdef TERVIK_CHECK_ROOTS
  public:
    std::vector<const Object*> unregistered_;  // Objects made in the frame by the body
    void check_roots_before_suspending() const noexcept;
    CoroObject* coro() const noexcept { return coro_; }
#endif
};

template <class F>
class AttemptAwait {
  public:
    explicit AttemptAwait(F&& make) noexcept : make_(std::move(make)) {}
    bool await_ready() noexcept {
        PromiseBase& promise = *PromiseBase::running();
        try {
            auto made = make_();
            if constexpr (NativeTask<decltype(made)>)
                return promise.start(std::move(made).into_object());
            else
                return promise.start(Object(std::move(made)));
        } catch (...) {
            promise.deliver(current_error());
            return true;
        }
    }
    void await_suspend(std::coroutine_handle<>) const noexcept {}
    Outcome await_resume() noexcept { return PromiseBase::running()->take_outcome(); }

  private:
    F make_;
};

template <class F>
auto PromiseBase::await_transform(Attempt<F>&& a) noexcept {
    return AttemptAwait<F>(std::move(a.make));
}

template <class Seen>
bool PromiseBase::thrown_in(Seen&& seen) const {
    PyObject* thrown = thrown_.get();
    if (thrown == nullptr) return false;
    if (!PyList_CheckExact(thrown)) return seen(thrown);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(thrown); ++i) {
        if (seen(PyList_GET_ITEM(thrown, i))) return true;
    }
    return false;
}

// ---- body types -------------------------------------------------------------------------------

// A body whose coroutine returns None.
class Task {
  public:
    struct promise_type : PromiseBase {
        using PromiseBase::PromiseBase;
        Task get_return_object() noexcept {
            return Task(adopt_coroutine(std::coroutine_handle<promise_type>::from_promise(*this)));
        }
        void return_void() noexcept {}
    };
    Object into_object() && noexcept { return std::move(coro_); }

  private:
    explicit Task(Object coro) noexcept : coro_(std::move(coro)) {}
    Object coro_;
};

// A body whose coroutine returns a value: `co_return obj;`.
class ValueTask {
  public:
    struct promise_type : PromiseBase {
        using PromiseBase::PromiseBase;
        ValueTask get_return_object() noexcept {
            return ValueTask(
                adopt_coroutine(std::coroutine_handle<promise_type>::from_promise(*this)));
        }
        void return_value(Object value) noexcept { set_result(std::move(value)); }
    };
    Object into_object() && noexcept { return std::move(coro_); }

  private:
    explicit ValueTask(Object coro) noexcept : coro_(std::move(coro)) {}
    Object coro_;
};

// ---- names and introspection ---------------------------------------------------------------------

// What a coroutine object shows of the method whose body it runs: its names (for repr and
// the "never awaited" warning) and a code object for cr_code/cr_frame.  Owned by the method's
// declaration, for the interpreter's life.
struct CoroutineCode {
    PyObject* name;
    PyObject* qualname;
    PyObject* code;
    PyObject* globals;
};

// Ties a coroutine object to its method; `name`/`qualname` (may be NULL) override the code's
// names, as a function whose __name__ was reassigned names its coroutines.
void set_coroutine_code(PyObject* coro, const CoroutineCode* code, PyObject* name = nullptr,
                        PyObject* qualname = nullptr);
// Whether `obj` is one of our coroutine objects (with a C++ frame).
bool is_native_coroutine(PyObject* obj) noexcept;

// A coroutine object without a frame, for async bodies of the shape
// `<synchronous step>; await <what the step made>; return None` that run on every request or
// message (a send wrapper, a dispatch): `step(arguments)` runs at the first send, as a Python
// body would, and its result is awaited.  Cheaper than a frame; it is its own `__await__`
// iterator.  It keeps up to `max_forwarded` arguments.
constexpr std::size_t max_forwarded = 4;
using ForwardingStep = Object (*)(PyObject* const* arguments);
Object forwarding_coroutine(ForwardingStep step, PyObject* const* arguments, std::size_t count);
// Readies the coroutine types (named `<module_name>.native_coroutine`) and registers them as
// collections.abc.Coroutine.
void ready_coroutine_types(const char* module_name);

// `async with manager as value: return await body(value)`, with the interpreter's semantics:
// __aexit__ runs on every way out, with the error being handled while it runs; a true answer
// swallows the error (and the block's result is None).
template <class Body>
ValueTask async_with(Object manager, Body body);

}  // namespace py

// Coroutine bodies take owned references: a reference or a borrowed pointer would dangle
// after the first suspension.
template <class... Args>
struct std::coroutine_traits<py::Task, Args...> {
    static_assert(((!std::is_reference_v<Args> || !py::is_handle<Args>) && ...),
                  "coroutine bodies take py::Object parameters by value");
    static_assert((!std::is_same_v<std::remove_cvref_t<Args>, PyObject*> && ...),
                  "coroutine bodies take owned py::Object parameters, not PyObject*");
    using promise_type = py::Task::promise_type;
};
template <class... Args>
struct std::coroutine_traits<py::ValueTask, Args...> {
    static_assert(((!std::is_reference_v<Args> || !py::is_handle<Args>) && ...),
                  "coroutine bodies take py::Object parameters by value");
    static_assert((!std::is_same_v<std::remove_cvref_t<Args>, PyObject*> && ...),
                  "coroutine bodies take owned py::Object parameters, not PyObject*");
    using promise_type = py::ValueTask::promise_type;
};

namespace py {

namespace detail {
extern Name aenter_name, aexit_name;
}

template <class Body>
ValueTask async_with(Object manager, Body body) {
    Local type = manager.type_object();
    Local enter = type.attr(detail::aenter_name);
    Local exit = type.attr(detail::aexit_name);
    Local value = co_await enter(manager);
    Outcome outcome = co_await attempt([&] { return body(value); });
    if (!outcome.failed()) {
        co_await exit(manager, Py_None, Py_None, Py_None);
        co_return std::move(outcome).get();
    }
    {
        Handling handling = outcome.handling();
        PyObject* exc = outcome.exception();
        Local suppress = co_await exit(manager, Object::borrow(reinterpret_cast<PyObject*>(
                                                    Py_TYPE(exc))),
                                       exc, traceback_of(exc));
        if (suppress.truthy()) co_return none();
    }
    co_return std::move(outcome).get();
}

}  // namespace py
