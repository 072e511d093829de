// The Python side of the bridge: the coroutine object that owns a C++ frame, and its
// `__await__` iterator.  Send, throw and close follow the generator rules of CPython
// (Objects/genobject.c): the body's frame stands where a Python frame would, the inner
// iterator is what `yield from` delegates to, and the object has its own "exception being
// handled", swapped into the thread state on every resume and out on every suspension.
#include "coroutine.hpp"

#include <frameobject.h>

#include "coroutine_parts.hpp"
#include "free_list.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace py {

using parts::CoroState;

// The C++ frame lives in the object's tail, where its address (and its promise's, at a fixed
// place in every frame) is known without storing it: the header stays small enough that a
// small body's whole object fits pymalloc's 512 bytes.
struct CoroObject {
    PyObject_VAR_HEAD PyObject* weakreflist;
    _PyErr_StackItem exc_state;
    parts::Identity id;  // id.has_frame: the frame is alive
};

constexpr Py_ssize_t frame_offset = (sizeof(CoroObject) + alignof(std::max_align_t) - 1) /
                                    alignof(std::max_align_t) * alignof(std::max_align_t);
// Where a frame keeps its promise (the same for every body; learnt from the first one).
Py_ssize_t promise_offset = -1;

static std::coroutine_handle<> frame_of(CoroObject* c) noexcept {
    return std::coroutine_handle<>::from_address(reinterpret_cast<char*>(c) + frame_offset);
}
static PromiseBase* promise_of(CoroObject* c) noexcept {
    if (!c->id.has_frame) return nullptr;
    return reinterpret_cast<PromiseBase*>(reinterpret_cast<char*>(c) + frame_offset +
                                          promise_offset);
}

static PyTypeObject CoroType = {PyVarObject_HEAD_INIT(nullptr, 0)};
static FreeList<16> recycled_coroutines;  // matched by frame size
static PyTypeObject CoroWrapperType = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace detail {
Name aenter_name{"__aenter__"}, aexit_name{"__aexit__"};
}

namespace {
thread_local CoroObject* just_allocated = nullptr;
thread_local PromiseBase* running_promise = nullptr;

Name throw_name{"throw"}, close_name{"close"}, cr_await_name{"cr_await"};
Name gi_code_name{"gi_code"}, warn_unawaited_name{"_warn_unawaited_coroutine"};
std::string coroutine_type_name, wrapper_type_name;

// Pushes the coroutine's exception state onto the thread's stack for the scope's lifetime:
// while its body (or what it delegates to) runs, `sys.exc_info()` and implicit exception
// context see the coroutine's own state, as for a Python coroutine.
class ExceptionStateScope {
  public:
    explicit ExceptionStateScope(CoroObject* c) noexcept
        : thread_(PyThreadState_Get()), item_(&c->exc_state) {
        if (thread_->exc_info == item_) {  // already entered further up this call
            item_ = nullptr;
            return;
        }
        item_->previous_item = thread_->exc_info;
        thread_->exc_info = item_;
    }
    ~ExceptionStateScope() {
        if (item_ == nullptr) return;
        thread_->exc_info = item_->previous_item;
        item_->previous_item = nullptr;
    }

  private:
    PyThreadState* thread_;
    _PyErr_StackItem* item_;
};

void clear_exception_state(_PyErr_StackItem& s) noexcept {
#if PY_VERSION_HEX < 0x030B0000
    Py_CLEAR(s.exc_type);
    Py_CLEAR(s.exc_traceback);
#endif
    Py_CLEAR(s.exc_value);
}

int visit_exception_state(_PyErr_StackItem& s, visitproc visit, void* arg) {
#if PY_VERSION_HEX < 0x030B0000
    Py_VISIT(s.exc_type);
    Py_VISIT(s.exc_traceback);
#endif
    Py_VISIT(s.exc_value);
    return 0;
}

// An exception thrown into a frame is chained to the one being handled there, as raising it
// at that point would (CPython does the same for generators).
Error chained_to_handled(Error exc) {
    PyObject* value = exc.exception();
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value)), value);
    return Error::fetch();
}

// While a body runs, Locals made on this thread belong to it.
class RunningScope {
  public:
    explicit RunningScope(PromiseBase* p) noexcept : outer_(running_promise) {
        running_promise = p;
    }
    ~RunningScope() { running_promise = outer_; }

  private:
    PromiseBase* outer_;
};
}  // namespace

// ---- locals and outcomes ---------------------------------------------------------------------

Local::Local(Object o) noexcept : Object(std::move(o)), owner_(running_promise) {
    detail::note_gone(this);  // seen by the collector from here on
    if (owner_ != nullptr) {
        next_ = owner_->locals_;
        owner_->locals_ = this;
    }
}

Local::~Local() {
    if (owner_ == nullptr) return;
    for (Local** link = &owner_->locals_; *link != nullptr; link = &(*link)->next_) {
        if (*link == this) {
            *link = next_;
            return;
        }
    }
}

Outcome Outcome::error(Error e) noexcept {
    PyObject* exc = e.exception();
    return Outcome(Object::borrow(exc), true);
}

void Outcome::recover() noexcept {
    result_ = none();
    failed_ = false;
}

void Outcome::fail(const Error& e) noexcept {
    result_ = Object::borrow(e.exception());
    failed_ = true;
}

Object Outcome::get() && {
    Object result(std::move(result_));
    if (!failed_) return result;
    throw Error(result.release());
}

// ---- promise ----------------------------------------------------------------------------

void* PromiseBase::operator new(std::size_t size) {
    auto* coro = reinterpret_cast<CoroObject*>(
        recycled_coroutines.take(&CoroType, static_cast<Py_ssize_t>(size)));
    if (coro == nullptr)
        coro = PyObject_GC_NewVar(CoroObject, &CoroType, static_cast<Py_ssize_t>(size));
    if (coro == nullptr) fail();
    coro->weakreflist = nullptr;
    coro->exc_state = {};
    coro->id.init();
#ifdef TERVIK_REPORT_FRAME_SIZES  // a development aid: which bodies outgrow pymalloc's 512 bytes
    std::fprintf(stderr, "coroutine object: %zu-byte frame, %zu bytes with its header\n", size,
                 size + static_cast<std::size_t>(frame_offset) + 2 * sizeof(void*));
#endif
    just_allocated = coro;
    return reinterpret_cast<char*>(coro) + frame_offset;
}

PromiseBase::PromiseBase(Adopt) noexcept : coro_(just_allocated) {
    just_allocated = nullptr;
    Py_ssize_t offset = reinterpret_cast<char*>(this) - (reinterpret_cast<char*>(coro_) + frame_offset);
    if (promise_offset < 0) promise_offset = offset;
    if (offset != promise_offset) std::abort();  // every frame must keep its promise alike
    // A coroutine that one body makes for its own work (a helper, an `async with` block)
    // carries that body's method name until a function call names it otherwise.
    if (running_promise != nullptr) coro_->id.code = running_promise->coro_->id.code;
}

Object PromiseBase::adopt_coroutine(std::coroutine_handle<> frame) noexcept {
    (void)frame;
    coro_->id.has_frame = true;
    PyObject_GC_Track(coro_);
    // The object was created with the one reference that the caller now owns.
    return Object::steal_or_null(reinterpret_cast<PyObject*>(coro_));
}

PromiseBase* PromiseBase::running() noexcept { return running_promise; }

void PromiseBase::deliver(Error error) noexcept {
    transfer_ = Object::borrow(error.exception());
    error_ = true;
}

void PromiseBase::unhandled_exception() noexcept {
    Error error = current_error();
    if (error.matches(PyExc_StopIteration)) {
        // A StopIteration must not leak out of a coroutine (it would end the awaiting
        // frame's iteration silently).
        Handling handling(error);
        PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
        Error replacement = Error::fetch();
        Py_INCREF(error.exception());
        PyException_SetCause(replacement.exception(), error.exception());
        error = std::move(replacement);
    }
    deliver(std::move(error));
}

Object PromiseBase::take_value() {
    Object value(std::move(transfer_));
    if (!error_) return value;
    error_ = false;
    throw Error(value.release());
}

Outcome PromiseBase::take_outcome() noexcept {
    Object value(std::move(transfer_));
    if (!error_) return Outcome::value(std::move(value));
    error_ = false;
    return Outcome::error(Error(value.release()));
}

// ---- co_await -----------------------------------------------------------------------------

static CoroObject* as_coro(PyObject* o) { return reinterpret_cast<CoroObject*>(o); }

// Whether a Python coroutine is suspended inside an await of its own.  A coroutine that has
// not started (the usual case: the application's, a send's) awaits nothing: the struct says
// so without the attribute lookup.
static bool python_coroutine_is_awaiting(PyObject* coro) {
#if PY_VERSION_HEX < 0x030B0000
    PyFrameObject* frame = reinterpret_cast<PyCoroObject*>(coro)->cr_frame;
    if (frame == nullptr || frame->f_lasti == -1) return false;
#elif PY_VERSION_HEX < 0x030E0000
    constexpr int created = PY_VERSION_HEX < 0x030D0000 ? -2 : -3;  // FRAME_CREATED
    if (reinterpret_cast<PyCoroObject*>(coro)->cr_frame_state == created) return false;
#endif
    Object awaited = Object(Object::borrow(coro)).attr(cr_await_name);
    return !awaited.is_none();
}

// A generator made a coroutine by types.coroutine: `await` accepts it as it is.
static bool is_iterable_coroutine(PyObject* obj) {
    if (!PyGen_CheckExact(obj)) return false;
    Object code = Object::borrow(obj).attr(gi_code_name);
    return PyCode_Check(code.get()) &&
           (reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_ITERABLE_COROUTINE) != 0;
}

Object parts::awaitable_iter(Object obj) {
    PyObject* o = obj.get();
    if (is_native_coroutine(o)) {
        if (as_coro(o)->id.state == CoroState::suspended)
            raise(PyExc_RuntimeError, "coroutine is being awaited already");
        return obj;
    }
    if (PyCoro_CheckExact(o)) {
        if (python_coroutine_is_awaiting(o))
            raise(PyExc_RuntimeError, "coroutine is being awaited already");
        return obj;
    }
    if (bool suspended; parts::is_forwarding_and_suspended(o, suspended)) {
        if (suspended) raise(PyExc_RuntimeError, "coroutine is being awaited already");
        return obj;
    }
    if (is_iterable_coroutine(o)) return obj;
    PyTypeObject* type = Py_TYPE(o);
    unaryfunc getter = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (getter == nullptr) {
        raise_format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                     type->tp_name);
    }
    Object iter = Object::steal(getter(o));
    if (PyCoro_CheckExact(iter.get()) || is_native_coroutine(iter.get()))
        raise(PyExc_TypeError, "__await__() returned a coroutine");
    if (!PyIter_Check(iter.get())) {
        raise_format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     iter.type()->tp_name);
    }
    return iter;
}

void PromiseBase::note_thrown(PyObject* exc) noexcept {
    if (thrown_.null()) {
        thrown_ = Object::borrow(exc);
        return;
    }
    if (!PyList_CheckExact(thrown_.get())) {
        PyObject* list = PyList_New(1);
        if (list == nullptr) {  // out of memory: the newest is kept
            PyErr_Clear();
            thrown_ = Object::borrow(exc);
            return;
        }
        PyList_SET_ITEM(list, 0, thrown_.release());
        thrown_ = Object::steal_or_null(list);
    }
    if (PyList_Append(thrown_.get(), exc) < 0) PyErr_Clear();
}

bool PromiseBase::start(Object awaitable) {
    if (!thrown_.null()) thrown_ = Object();  // a new await: nothing thrown in yet
    Object iter = parts::awaitable_iter(std::move(awaitable));
    PyObject* value = nullptr;
    switch (PyIter_Send(iter.get(), Py_None, &value)) {
        case PYGEN_NEXT:
            inner_ = std::move(iter);
            transfer_ = Object::steal_or_null(value);
#ifdef TERVIK_CHECK_ROOTS
            check_roots_before_suspending();
#endif
            return false;
        case PYGEN_RETURN:
            deliver(Object::steal_or_null(value));
            return true;
        default:
            deliver(Error::fetch());
            return true;
    }
}

#ifdef TERVIK_CHECK_ROOTS
void detail::note_born(const Object* o) noexcept {
    PromiseBase* p = running_promise;
    if (p == nullptr) return;
    const char* frame = reinterpret_cast<const char*>(p->coro()) + frame_offset;
    auto* at = reinterpret_cast<const char*>(o);
    if (at >= frame && at < frame + Py_SIZE(p->coro())) p->unregistered_.push_back(o);
}

void detail::note_gone(const Object* o) noexcept {
    PromiseBase* p = running_promise;
    if (p == nullptr) return;
    auto& list = p->unregistered_;
    for (std::size_t i = list.size(); i-- > 0;) {
        if (list[i] == o) {
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

void PromiseBase::check_roots_before_suspending() const noexcept {
    for (const Object* o : unregistered_) {
        if (o->get() == nullptr) continue;
        PyObject* name = coro_->id.code != nullptr ? coro_->id.code->qualname : nullptr;
        std::fprintf(stderr,
                     "tervik: a body of %s suspends while an Object in its frame (a plain local "
                     "or a temporary, holding a %s) keeps a reference the garbage collector "
                     "cannot see; make it a Local or end its life before the co_await\n",
                     name != nullptr ? PyUnicode_AsUTF8(name) : "a native coroutine",
                     Py_TYPE(o->get())->tp_name);
        std::abort();
    }
}
#endif

bool Await::await_ready() { return running_promise->start(std::move(awaitable_)); }

Object Await::await_resume() { return running_promise->take_value(); }

// ---- driving the frame --------------------------------------------------------------------

struct CoroDriver {
    // Destroys the frame (its destructors release what it holds), keeping any set error.
    static void destroy_frame(CoroObject* c) noexcept {
        PromiseBase* p = promise_of(c);
        if (p == nullptr) return;
        ErrorStash stash;
        ExceptionStateScope exception_state(c);
        RunningScope running(p);
        c->id.has_frame = false;
        frame_of(c).destroy();
    }

    static void finish(CoroObject* c) noexcept {
        destroy_frame(c);
        c->id.state = CoroState::finished;
        clear_exception_state(c->exc_state);
    }

    // Resumes the body until it suspends on an inner iterator or finishes.  What the body
    // sees at its `co_await` has been delivered to the promise beforehand.
    static PySendResult resume(CoroObject* c, PyObject** out) noexcept {
        PromiseBase* p = promise_of(c);
        c->id.state = CoroState::running;
        {
            RunningScope running(p);
            frame_of(c).resume();
        }
        if (!frame_of(c).done()) {
            c->id.state = CoroState::suspended;
            *out = p->transfer_.release();
            return PYGEN_NEXT;
        }
        Object result(std::move(p->transfer_));
        bool failed = p->error_;
        finish(c);
        if (failed) {
            Error(result.release()).restore();
            return PYGEN_ERROR;
        }
        *out = result.null() ? none().release() : result.release();
        return PYGEN_RETURN;
    }

    static bool refuse_running(CoroObject* c) noexcept {
        if (c->id.state != CoroState::running) return false;
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return true;
    }

    static PySendResult send(CoroObject* c, PyObject* arg, PyObject** out) noexcept {
        *out = nullptr;
        if (refuse_running(c)) return PYGEN_ERROR;
        if (c->id.state == CoroState::finished) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        }
        if (c->id.state == CoroState::created && arg != Py_None) {
            PyErr_SetString(PyExc_TypeError,
                            "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        if (Py_EnterRecursiveCall(" in coroutine")) return PYGEN_ERROR;
        Py_INCREF(c);  // the body may drop the last outside reference
        PySendResult r;
        {
            ExceptionStateScope exception_state(c);
            r = step(c, arg, out);
        }
        Py_DECREF(c);
        Py_LeaveRecursiveCall();
        return r;
    }

    static PySendResult step(CoroObject* c, PyObject* arg, PyObject** out) noexcept {
        PromiseBase* p = promise_of(c);
        if (!p->inner_.null()) {
            c->id.state = CoroState::running;
            PyObject* value = nullptr;
            PySendResult r = PyIter_Send(p->inner_.get(), arg, &value);
            if (r == PYGEN_NEXT) {
                c->id.state = CoroState::suspended;
                *out = value;
                return PYGEN_NEXT;
            }
            p->inner_ = nullptr;
            if (r == PYGEN_ERROR)
                p->deliver(Error::fetch());
            else
                p->deliver(Object::steal_or_null(value));
        }
        return resume(c, out);
    }

    // throw() with a normalised exception instance.
    static PySendResult throw_exc(CoroObject* c, Error exc, PyObject** out) noexcept {
        *out = nullptr;
        if (refuse_running(c)) return PYGEN_ERROR;
        if (c->id.state == CoroState::finished) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        }
        if (c->id.state == CoroState::created) {
            // A coroutine that never started raises it at its first line, and is done.
            finish(c);
            std::move(exc).restore();
            return PYGEN_ERROR;
        }
        if (Py_EnterRecursiveCall(" in coroutine")) return PYGEN_ERROR;
        Py_INCREF(c);
        PySendResult r;
        {
            ExceptionStateScope exception_state(c);
            r = throw_into(c, std::move(exc), out);
        }
        Py_DECREF(c);
        Py_LeaveRecursiveCall();
        return r;
    }

    static PySendResult throw_into(CoroObject* c, Error exc, PyObject** out) noexcept {
        PromiseBase* p = promise_of(c);
        Object inner = p->inner_;
        if (inner.null()) return resume_with(c, chained_to_handled(std::move(exc)), out);

        if (exc.matches(PyExc_GeneratorExit)) {
            // Close the inner iterator first; a failure there is thrown in instead.
            c->id.state = CoroState::running;
            bool closed = parts::close_iterator(inner.get());
            c->id.state = CoroState::suspended;
            p->inner_ = nullptr;
            return resume_with(c, closed ? chained_to_handled(std::move(exc)) : Error::fetch(), out);
        }
        p->note_thrown(exc.exception());

        PyObject* value;
        c->id.state = CoroState::running;
        if (is_native_coroutine(inner.get())) {
            PySendResult r = throw_exc(as_coro(inner.get()), std::move(exc), &value);
            c->id.state = CoroState::suspended;
            if (r == PYGEN_NEXT) {
                *out = value;
                return PYGEN_NEXT;
            }
            p->inner_ = nullptr;
            if (r == PYGEN_RETURN) return resume_with(c, Object::steal_or_null(value), out);
            return resume_with(c, Error::fetch(), out);
        }
        PyObject* thrower = nullptr;
        if (parts::lookup_optional(inner.get(), throw_name, &thrower) < 0) {
            // The lookup itself failed: that goes back to the caller; the body stays
            // suspended where it was.
            c->id.state = CoroState::suspended;
            return PYGEN_ERROR;
        }
        if (thrower == nullptr) {
            c->id.state = CoroState::suspended;
            p->inner_ = nullptr;
            return resume_with(c, chained_to_handled(std::move(exc)), out);
        }
        value = PyObject_CallOneArg(thrower, exc.exception());
        Py_DECREF(thrower);
        c->id.state = CoroState::suspended;
        if (value != nullptr) {
            *out = value;
            return PYGEN_NEXT;
        }
        p->inner_ = nullptr;
        if (!PyErr_ExceptionMatches(PyExc_StopIteration))
            return resume_with(c, Error::fetch(), out);
        try {
            return resume_with(c, parts::stop_iteration_value(), out);
        } catch (...) {
            return resume_with(c, current_error(), out);
        }
    }

    template <class V>
    static PySendResult resume_with(CoroObject* c, V&& delivered, PyObject** out) noexcept {
        promise_of(c)->deliver(std::forward<V>(delivered));
        return resume(c, out);
    }

    static PyObject* close(CoroObject* c) noexcept {
        if (refuse_running(c)) return nullptr;
        if (c->id.state != CoroState::suspended) {
            finish(c);
            Py_RETURN_NONE;
        }
        return parts::close_by_throwing(
            [&](Error exit, PyObject** value) { return throw_exc(c, std::move(exit), value); });
    }

    static PyObject* awaited(CoroObject* c) noexcept {
        PromiseBase* p = promise_of(c);
        if (p == nullptr || c->id.state == CoroState::created) return nullptr;
        return p->inner_.get();
    }

    static int visit(PromiseBase& p, visitproc visit, void* arg) {
        Py_VISIT(p.inner_.get());
        Py_VISIT(p.transfer_.get());
        Py_VISIT(p.thrown_.get());
        for (std::size_t i = 0; i < p.nparams_; ++i) Py_VISIT(p.param(i).get());
        for (Local* l = p.locals_; l != nullptr; l = l->next_) Py_VISIT(l->get());
        return 0;
    }
};

// ---- Python-level methods -------------------------------------------------------------------

static PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** out) {
    return CoroDriver::send(as_coro(self), arg, out);
}

static PyObject* coro_send(PyObject* self, PyObject* arg) {
    PyObject* value = nullptr;
    PySendResult r = CoroDriver::send(as_coro(self), arg, &value);
    return parts::as_iteration(r, value);
}

static PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* exc = parts::thrown_exception(args, nargs);
    if (exc == nullptr) return nullptr;
    PyObject* out = nullptr;
    PySendResult r = CoroDriver::throw_exc(as_coro(self), Error(exc), &out);
    return parts::as_iteration(r, out);
}

static PyObject* coro_close(PyObject* self, PyObject*) { return CoroDriver::close(as_coro(self)); }

struct CoroWrapper {
    PyObject_HEAD PyObject* coro;
};

static PyObject* coro_await(PyObject* self) {
    auto* w = PyObject_GC_New(CoroWrapper, &CoroWrapperType);
    if (w == nullptr) return nullptr;
    Py_INCREF(self);
    w->coro = self;
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject*>(w);
}

static PyObject* coro_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %S at %p>", as_coro(self)->id.shown_qualname(),
                                self);
}

// What the coroutine is suspended on (so task reprs and debuggers can follow the chain).
static PyObject* coro_get_await(PyObject* self, void*) {
    PyObject* inner = CoroDriver::awaited(as_coro(self));
    return Object::borrow(inner != nullptr ? inner : Py_None).release();
}

static int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroObject* c = as_coro(self);
    if (int r = c->id.traverse(visit, arg)) return r;
    if (int r = visit_exception_state(c->exc_state, visit, arg)) return r;
    if (PromiseBase* p = promise_of(c)) {
        if (c->id.state == CoroState::running) return 0;  // its references are in use
        return CoroDriver::visit(*p, visit, arg);
    }
    return 0;
}

static void coro_finalize(PyObject* self) {
    CoroObject* c = as_coro(self);
    if (!c->id.has_frame || c->id.state == CoroState::finished) return;
    ErrorStash stash;
    if (c->id.state == CoroState::created) {
        parts::warn_never_awaited(self, c->id);
        CoroDriver::finish(c);
        return;
    }
    PyObject* r = CoroDriver::close(c);
    if (r == nullptr)
        PyErr_WriteUnraisable(self);
    else
        Py_DECREF(r);
}

static int coro_clear(PyObject* self) {
    CoroObject* c = as_coro(self);
    // Last resort for a cycle through a suspended coroutine that finalisation did not end:
    // drop the frame without running its clean-up.
    if (c->id.state != CoroState::running) CoroDriver::finish(c);
    c->id.clear();
    clear_exception_state(c->exc_state);
    return 0;
}

static void coro_dealloc(PyObject* self) {
    CoroObject* c = as_coro(self);
    PyObject_GC_UnTrack(self);
    if (c->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    if (c->id.state != CoroState::finished) {  // else there is nothing to finalize
        PyObject_GC_Track(self);
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
        PyObject_GC_UnTrack(self);
    }
    CoroDriver::finish(c);
    c->id.clear();
    clear_exception_state(c->exc_state);
    if (!recycled_coroutines.give(self)) PyObject_GC_Del(self);
}

// ---- the __await__ iterator -------------------------------------------------------------------

static CoroObject* wrapped(PyObject* self) {
    return as_coro(reinterpret_cast<CoroWrapper*>(self)->coro);
}
static PyObject* wrapper_iternext(PyObject* self) {
    PyObject* value = nullptr;
    PySendResult r = CoroDriver::send(wrapped(self), Py_None, &value);
    return parts::as_iteration(r, value);
}
static PySendResult wrapper_am_send(PyObject* self, PyObject* arg, PyObject** out) {
    return CoroDriver::send(wrapped(self), arg, out);
}
static PyObject* wrapper_send(PyObject* self, PyObject* arg) {
    return coro_send(reinterpret_cast<PyObject*>(wrapped(self)), arg);
}
static PyObject* wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return coro_throw(reinterpret_cast<PyObject*>(wrapped(self)), args, nargs);
}
static PyObject* wrapper_close(PyObject* self, PyObject*) {
    return CoroDriver::close(wrapped(self));
}
static int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<CoroWrapper*>(self)->coro);
    return 0;
}
static int wrapper_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<CoroWrapper*>(self)->coro);
    return 0;
}
static void wrapper_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<CoroWrapper*>(self)->coro);
    PyObject_GC_Del(self);
}

// ---- type set-up -------------------------------------------------------------------------------

static PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)),
     METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next "
     "iterated value or raise\nStopIteration."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef coro_getset[10];

static PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper_throw)),
     METH_FASTCALL, nullptr},
    {"close", wrapper_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyAsyncMethods coro_async = {coro_await, nullptr, nullptr, coro_am_send};
static PyAsyncMethods wrapper_async = {nullptr, nullptr, nullptr, wrapper_am_send};

static PyObject* await_method(PyObject* self, PyObject*) { return coro_await(self); }
static PyMethodDef coro_await_method = {"__await__", await_method, METH_NOARGS,
                                        "Return an iterator to be used in await expression."};

bool is_native_coroutine(PyObject* obj) noexcept { return Py_IS_TYPE(obj, &CoroType); }

void set_coroutine_code(PyObject* coro, const CoroutineCode* code, PyObject* name,
                        PyObject* qualname) {
    if (is_native_coroutine(coro)) as_coro(coro)->id.name_after(code, name, qualname);
    else parts::name_forwarding(coro, code, name, qualname);
}

void ready_coroutine_types(const char* module_name) {
    if (CoroType.tp_flags & Py_TPFLAGS_READY) return;
    coroutine_type_name = std::string(module_name) + ".native_coroutine";
    wrapper_type_name = std::string(module_name) + ".native_coroutine_wrapper";

    PyGetSetDef* getset = parts::identity_getset(coro_getset, offsetof(CoroObject, id));
    while (getset->name != nullptr) ++getset;
    *getset++ = {"cr_await", coro_get_await, nullptr, nullptr, nullptr};
    *getset = {nullptr, nullptr, nullptr, nullptr, nullptr};

    CoroType.tp_name = coroutine_type_name.c_str();
    CoroType.tp_basicsize = frame_offset;
    CoroType.tp_itemsize = 1;
    CoroType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    CoroType.tp_as_async = &coro_async;
    CoroType.tp_repr = coro_repr;
    CoroType.tp_traverse = coro_traverse;
    CoroType.tp_clear = coro_clear;
    CoroType.tp_dealloc = coro_dealloc;
    CoroType.tp_finalize = coro_finalize;
    CoroType.tp_weaklistoffset = offsetof(CoroObject, weakreflist);
    CoroType.tp_methods = coro_methods;
    CoroType.tp_getset = coro_getset;
    check(PyType_Ready(&CoroType));
    // __await__ as a method too, so `coro.__await__()` works like a Python coroutine's.
    Object await_fn = Object::steal(PyDescr_NewMethod(&CoroType, &coro_await_method));
    check(PyDict_SetItemString(CoroType.tp_dict, "__await__", await_fn.get()));
    PyType_Modified(&CoroType);

    CoroWrapperType.tp_name = wrapper_type_name.c_str();
    CoroWrapperType.tp_basicsize = sizeof(CoroWrapper);
    CoroWrapperType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    CoroWrapperType.tp_as_async = &wrapper_async;
    CoroWrapperType.tp_iter = PyObject_SelfIter;
    CoroWrapperType.tp_iternext = wrapper_iternext;
    CoroWrapperType.tp_traverse = wrapper_traverse;
    CoroWrapperType.tp_clear = wrapper_clear;
    CoroWrapperType.tp_dealloc = wrapper_dealloc;
    CoroWrapperType.tp_methods = wrapper_methods;
    check(PyType_Ready(&CoroWrapperType));

    Object abc = import("collections.abc");
    abc.attr("Coroutine").attr("register")(Object::borrow(reinterpret_cast<PyObject*>(&CoroType)));
    parts::ready_forwarding_type(module_name);
}

// ---- what both coroutine objects share -------------------------------------------------------

PyObject* parts::Identity::shown_name() const noexcept {
    if (name != nullptr) return name;
    return code != nullptr ? code->name : Py_None;
}

PyObject* parts::Identity::shown_qualname() const noexcept {
    if (qualname != nullptr) return qualname;
    return code != nullptr ? code->qualname : Py_None;
}

void parts::Identity::name_after(const CoroutineCode* c, PyObject* new_name,
                                 PyObject* new_qualname) noexcept {
    code = c;
    if (new_name != nullptr && new_name != c->name) {
        Py_INCREF(new_name);
        Py_XSETREF(name, new_name);
    }
    if (new_qualname != nullptr && new_qualname != c->qualname) {
        Py_INCREF(new_qualname);
        Py_XSETREF(qualname, new_qualname);
    }
}

int parts::Identity::traverse(visitproc visit, void* arg) const {
    Py_VISIT(name);
    Py_VISIT(qualname);
    Py_VISIT(frame_object);
    return 0;
}

void parts::Identity::clear() noexcept {
    Py_CLEAR(name);
    Py_CLEAR(qualname);
    Py_CLEAR(frame_object);
}

namespace {
parts::Identity& identity_at(PyObject* self, void* offset) {
    return *reinterpret_cast<parts::Identity*>(reinterpret_cast<char*>(self) +
                                               reinterpret_cast<std::size_t>(offset));
}

PyObject* get_name(PyObject* self, void* offset) {
    return Object::borrow(identity_at(self, offset).shown_name()).release();
}
PyObject* get_qualname(PyObject* self, void* offset) {
    return Object::borrow(identity_at(self, offset).shown_qualname()).release();
}

int set_name_field(PyObject*& field, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(field, value);
    return 0;
}
int set_name(PyObject* self, PyObject* value, void* offset) {
    return set_name_field(identity_at(self, offset).name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void* offset) {
    return set_name_field(identity_at(self, offset).qualname, value, "__qualname__");
}

PyObject* get_running(PyObject* self, void* offset) {
    return PyBool_FromLong(identity_at(self, offset).state == CoroState::running);
}

#if PY_VERSION_HEX >= 0x030B0000
PyObject* get_suspended(PyObject* self, void* offset) {
    return PyBool_FromLong(identity_at(self, offset).state == CoroState::suspended);
}
#endif

PyObject* get_code(PyObject* self, void* offset) {
    const parts::Identity& id = identity_at(self, offset);
    return Object::borrow(id.code != nullptr ? id.code->code : Py_None).release();
}

// A frame object standing for the C++ frame: None once the coroutine is done; otherwise a
// frame of the method's code that says whether the body has started (f_lasti), which is
// what inspect.getcoroutinestate() reads.
PyObject* get_frame(PyObject* self, void* offset) {
    parts::Identity& id = identity_at(self, offset);
    if (id.state == CoroState::finished || id.code == nullptr) Py_RETURN_NONE;
    if (id.frame_object == nullptr) {
        PyFrameObject* frame =
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(id.code->code),
                        id.code->globals, nullptr);
        if (frame == nullptr) return nullptr;
        id.frame_object = reinterpret_cast<PyObject*>(frame);
    }
#if PY_VERSION_HEX < 0x030B0000
    auto* frame = reinterpret_cast<PyFrameObject*>(id.frame_object);
    frame->f_lasti = id.state == CoroState::created ? -1 : 0;
    frame->f_lineno = frame->f_code->co_firstlineno;
#endif
    return Object::borrow(id.frame_object).release();
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
}  // namespace

PyGetSetDef* parts::identity_getset(PyGetSetDef* table, std::size_t offset) {
    void* at = reinterpret_cast<void*>(offset);
    PyGetSetDef* entry = table;
    *entry++ = {"__name__", get_name, set_name, nullptr, at};
    *entry++ = {"__qualname__", get_qualname, set_qualname, nullptr, at};
    *entry++ = {"cr_running", get_running, nullptr, nullptr, at};
#if PY_VERSION_HEX >= 0x030B0000
    *entry++ = {"cr_suspended", get_suspended, nullptr, nullptr, at};
#endif
    *entry++ = {"cr_frame", get_frame, nullptr, nullptr, at};
    *entry++ = {"cr_code", get_code, nullptr, nullptr, at};
    *entry++ = {"cr_origin", get_none, nullptr, nullptr, at};
    *entry = {nullptr, nullptr, nullptr, nullptr, nullptr};
    return table;
}

PyObject* parts::as_iteration(PySendResult r, PyObject* value) {
    if (r == PYGEN_NEXT) return value;
    if (r == PYGEN_RETURN) {
        if (value == Py_None) {
            PyErr_SetNone(PyExc_StopIteration);
        } else {
            PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value);
            if (stop != nullptr) {
                PyErr_SetObject(PyExc_StopIteration, stop);
                Py_DECREF(stop);
            }
        }
        Py_DECREF(value);
    }
    return nullptr;
}

PyObject* parts::thrown_exception(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected %s %d argument%s, got %zd",
                     nargs < 1 ? "at least" : "at most", nargs < 1 ? 1 : 3, nargs < 1 ? "" : "s",
                     nargs);
        return nullptr;
    }
    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb == Py_None) {
        tb = nullptr;
    } else if (!PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    if (PyExceptionClass_Check(type)) {
        PyObject *t = type, *v = value, *b = tb;
        Py_INCREF(t);
        Py_INCREF(v);
        Py_XINCREF(b);
        PyErr_NormalizeException(&t, &v, &b);
        if (b != nullptr) PyException_SetTraceback(v, b);
        Py_XDECREF(t);
        Py_XDECREF(b);
        if (!PyExceptionInstance_Check(v)) {
            Py_XDECREF(v);
            return nullptr;
        }
        return v;
    }
    if (PyExceptionInstance_Check(type)) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        if (tb != nullptr) PyException_SetTraceback(type, tb);
        return Object::borrow(type).release();
    }
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(type)->tp_name);
    return nullptr;
}

bool parts::close_iterator(PyObject* iter) noexcept {
    if (is_native_coroutine(iter)) {
        PyObject* r = CoroDriver::close(as_coro(iter));
        Py_XDECREF(r);
        return r != nullptr;
    }
    if (bool closed; close_if_forwarding(iter, closed)) return closed;
    PyObject* closer = nullptr;
    if (lookup_optional(iter, close_name, &closer) < 0) PyErr_WriteUnraisable(iter);
    if (closer == nullptr) return true;
    PyObject* r = PyObject_CallNoArgs(closer);
    Py_DECREF(closer);
    Py_XDECREF(r);
    return r != nullptr;
}

int parts::lookup_optional(PyObject* obj, PyObject* name, PyObject** result) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

Object parts::stop_iteration_value() {
    Error stop = Error::fetch();
    return Object::borrow(stop.exception()).attr("value");
}

void parts::warn_never_awaited(PyObject* coro, const Identity& identity) noexcept {
    Object warnings = Object::steal_or_null(PyImport_ImportModule("warnings"));
    Object warn = warnings.null() ? Object() : Object::steal_or_null(PyObject_GetAttr(
                                                   warnings.get(), warn_unawaited_name));
    if (!warn.null()) {
        Object r = Object::steal_or_null(PyObject_CallOneArg(warn.get(), coro));
        if (r.null()) PyErr_WriteUnraisable(coro);
        return;
    }
    PyErr_Clear();
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited",
                         identity.shown_qualname()) < 0) {
        PyErr_WriteUnraisable(coro);
    }
}

}  // namespace py
