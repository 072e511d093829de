// Async method bodies as C++20 coroutines behind a Python coroutine object.
//
// A body returns `Task` (its result is None) or `ValueTask` (`co_return obj;`).  Calling it
// makes a Python coroutine object whose memory also holds the C++ frame.  Inside the body,
// `co_await awaitable` delegates to the awaitable's iterator exactly like `yield from`: sends
// and throws (cancellation) go to it, its return value comes back from `co_await`, and its
// exception is thrown there as `Error`.  Parameters are registered with the garbage collector
// automatically; a local that lives across an await must be a `Local`.
#pragma once

#include <array>
#include <coroutine>

#include "object.hpp"

namespace py {

struct CoroObject;
class PromiseBase;

// The awaiter made for `co_await obj` inside a body.
class Awaiter {
  public:
    Awaiter(PromiseBase& promise, Object awaitable) noexcept
        : promise_(promise), awaitable_(std::move(awaitable)) {}
    bool await_ready();
    void await_suspend(std::coroutine_handle<>) noexcept {}
    Object await_resume();

  private:
    PromiseBase& promise_;
    Object awaitable_;
};

class PromiseBase {
  public:
    static void* operator new(std::size_t size);
    static void operator delete(void*) noexcept {}  // the memory belongs to the Python object

    PromiseBase() noexcept;
    // Sees the parameter copies in the frame, and registers the Objects among them.
    template <class... A>
    explicit PromiseBase(A&... params) noexcept : PromiseBase() {
        (add_param(params), ...);
    }

    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept;
    Awaiter await_transform(Object awaitable) noexcept { return {*this, std::move(awaitable)}; }
    // Another body's Task or ValueTask: awaited through its coroutine object.
    template <class T>
    requires requires(T t) { t.into_object(); }
    Awaiter await_transform(T&& task) noexcept { return {*this, task.into_object()}; }

    // The promise of the body that is running on this thread, if any.
    static PromiseBase* running() noexcept;
    void add_root(Object* root);
    void remove_root(Object* root) noexcept;

  protected:
    Object adopt_coroutine(std::coroutine_handle<> frame) noexcept;
    Object result_;

  private:
    friend class Awaiter;
    friend struct CoroDriver;
    template <class T>
    void add_param(T&) noexcept {}
    void add_param(Object& o) noexcept { roots_[nroots_++] = &o; }

    CoroObject* coro_;
    Object inner_;         // the iterator being delegated to while suspended
    Object yielded_;       // what the inner iterator yielded, to hand out
    Object resume_value_;  // what `co_await` returns
    bool resume_error_ = false;
    bool failed_ = false;
    std::array<Object*, 24> roots_{};
    std::size_t nroots_ = 0;
};

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
    Object into_object() noexcept { return std::move(coro_); }

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
        void return_value(Object value) noexcept { result_ = std::move(value); }
    };
    Object into_object() noexcept { return std::move(coro_); }

  private:
    explicit ValueTask(Object coro) noexcept : coro_(std::move(coro)) {}
    Object coro_;
};

// An Object in a coroutine frame that the garbage collector can see while the body is
// suspended.  Outside a coroutine body it is a plain Object.
class Local : public Object {
  public:
    Local(Object o = {}) : Object(std::move(o)), owner_(PromiseBase::running()) {
        if (owner_) owner_->add_root(this);
    }
    ~Local() {
        if (owner_) owner_->remove_root(this);
    }
    Local(const Local&) = delete;
    Local& operator=(const Local&) = delete;
    Local& operator=(Object o) {
        Object::operator=(std::move(o));
        return *this;
    }

  private:
    PromiseBase* owner_;
};

// Names the coroutine object (for its repr and the "never awaited" warning).
void set_coroutine_names(PyObject* coro, PyObject* name, PyObject* qualname);
// Whether `obj` is one of our coroutine objects.
bool is_native_coroutine(PyObject* obj) noexcept;
// Readies the coroutine types and registers them as collections.abc.Coroutine.
void ready_coroutine_types();

}  // namespace py
