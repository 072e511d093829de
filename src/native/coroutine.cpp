// The Python side of the bridge: the coroutine object that owns a C++ frame, and its
// `__await__` iterator.  Send, throw and close follow the generator rules of CPython
// (the body's frame stands where a Python frame would, the inner iterator is `yield from`).
#include "coroutine.hpp"

#include <stdexcept>

namespace py {

enum class CoroState : int { created, suspended, running, finished };

struct CoroObject {
    PyObject_VAR_HEAD PromiseBase* promise;  // NULL once the frame is gone
    std::coroutine_handle<> frame;
    PyObject* name;
    PyObject* qualname;
    PyObject* weakreflist;
    CoroState state;
};

// The frame lives in the tail of the object, suitably aligned.
constexpr Py_ssize_t frame_offset = (sizeof(CoroObject) + alignof(std::max_align_t) - 1) /
                                    alignof(std::max_align_t) * alignof(std::max_align_t);

static PyTypeObject CoroType = {PyVarObject_HEAD_INIT(nullptr, 0)};
static PyTypeObject CoroWrapperType = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace {
thread_local CoroObject* just_allocated = nullptr;
thread_local PromiseBase* running_promise = nullptr;
}  // namespace

// ---- promise ----------------------------------------------------------------------------

void* PromiseBase::operator new(std::size_t size) {
    auto* coro = PyObject_GC_NewVar(CoroObject, &CoroType, static_cast<Py_ssize_t>(size));
    if (coro == nullptr) throw Error{};
    coro->promise = nullptr;
    new (&coro->frame) std::coroutine_handle<>();
    coro->name = coro->qualname = coro->weakreflist = nullptr;
    coro->state = CoroState::created;
    just_allocated = coro;
    return reinterpret_cast<char*>(coro) + frame_offset;
}

PromiseBase::PromiseBase() noexcept : coro_(just_allocated) {
    just_allocated = nullptr;
    coro_->promise = this;
}

Object PromiseBase::adopt_coroutine(std::coroutine_handle<> frame) noexcept {
    coro_->frame = frame;
    PyObject_GC_Track(coro_);
    // The object was created with the one reference that the caller now owns.
    return Object::steal(reinterpret_cast<PyObject*>(coro_));
}

PromiseBase* PromiseBase::running() noexcept { return running_promise; }

void PromiseBase::add_root(Object* root) {
    if (nroots_ == roots_.size()) throw std::length_error("too many coroutine locals");
    roots_[nroots_++] = root;
}

void PromiseBase::remove_root(Object* root) noexcept {
    for (std::size_t i = nroots_; i-- > 0;) {
        if (roots_[i] == root) {
            roots_[i] = roots_[--nroots_];
            return;
        }
    }
}

void PromiseBase::unhandled_exception() noexcept {
    translate_current_exception();
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        // A StopIteration must not leak out of a coroutine (it would end the awaiting
        // frame's iteration silently).
        Object stop = fetch_error();
        PyObject* replacement =
            PyObject_CallFunction(PyExc_RuntimeError, "s", "coroutine raised StopIteration");
        if (replacement != nullptr) {
            Py_INCREF(stop.get());
            PyException_SetCause(replacement, stop.get());
            PyException_SetContext(replacement, stop.release());
            PyErr_SetObject(PyExc_RuntimeError, replacement);
            Py_DECREF(replacement);
        }
    }
    failed_ = true;
}

// ---- co_await -----------------------------------------------------------------------------

// The iterator that `await obj` would drive, as the interpreter finds it.
static Object awaitable_iter(const Object& obj) {
    if (is_native_coroutine(obj.get()) || PyCoro_CheckExact(obj.get())) return obj;
    PyTypeObject* type = obj.type();
    unaryfunc getter = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (getter == nullptr) {
        raise_format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                     type->tp_name);
    }
    Object iter = Object::steal(getter(obj.get()));
    if (PyCoro_CheckExact(iter.get()) || is_native_coroutine(iter.get())) {
        raise(PyExc_TypeError, "__await__() returned a coroutine");
    }
    if (!PyIter_Check(iter.get())) {
        raise_format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     iter.type()->tp_name);
    }
    return iter;
}

bool Awaiter::await_ready() {
    Object iter = awaitable_iter(awaitable_);
    awaitable_ = nullptr;  // the iterator keeps what it needs; nothing hidden in the frame
    PyObject* value = nullptr;
    switch (PyIter_Send(iter.get(), Py_None, &value)) {
        case PYGEN_NEXT:
            promise_.inner_ = std::move(iter);
            promise_.yielded_ = Object::steal(value);
            return false;
        case PYGEN_RETURN:
            promise_.resume_value_ = Object::steal(value);
            return true;
        default:
            promise_.resume_error_ = true;
            return true;
    }
}

Object Awaiter::await_resume() {
    if (promise_.resume_error_) {
        promise_.resume_error_ = false;
        throw Error{};
    }
    return std::move(promise_.resume_value_);
}

// ---- driving the frame --------------------------------------------------------------------

struct CoroDriver {
    // Destroys the frame (its destructors release what it holds), keeping any set error.
    static void destroy_frame(CoroObject* c) {
        if (c->promise == nullptr) return;
        ErrorStash stash;
        std::coroutine_handle<> frame = c->frame;
        c->promise = nullptr;
        c->frame = {};
        frame.destroy();
    }

    // Resumes the body (with a pending error when `resume_error_` is set) until it
    // suspends on an inner iterator or finishes.
    static PySendResult resume(CoroObject* c, PyObject** out) {
        PromiseBase* p = c->promise;
        c->state = CoroState::running;
        PromiseBase* outer = running_promise;
        running_promise = p;
        c->frame.resume();
        running_promise = outer;
        if (!c->frame.done()) {
            c->state = CoroState::suspended;
            *out = p->yielded_.release();
            return PYGEN_NEXT;
        }
        bool failed = p->failed_;
        Object result = std::move(p->result_);
        destroy_frame(c);
        c->state = CoroState::finished;
        if (failed) return PYGEN_ERROR;
        *out = result.null() ? none().release() : result.release();
        return PYGEN_RETURN;
    }

    // Throws the set error into the body.
    static PySendResult resume_with_error(CoroObject* c, PyObject** out) {
        c->promise->resume_error_ = true;
        return resume(c, out);
    }

    static bool refuse_running(CoroObject* c) {
        if (c->state != CoroState::running) return false;
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return true;
    }

    static PySendResult send(CoroObject* c, PyObject* arg, PyObject** out) {
        *out = nullptr;
        if (refuse_running(c)) return PYGEN_ERROR;
        if (c->state == CoroState::finished) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        }
        if (c->state == CoroState::created && arg != Py_None) {
            PyErr_SetString(PyExc_TypeError,
                            "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        if (Py_EnterRecursiveCall(" in coroutine")) return PYGEN_ERROR;
        Py_INCREF(c);  // the body may drop the last outside reference
        PySendResult r = step(c, arg, out);
        Py_DECREF(c);
        Py_LeaveRecursiveCall();
        return r;
    }

    static PySendResult step(CoroObject* c, PyObject* arg, PyObject** out) {
        PromiseBase* p = c->promise;
        if (!p->inner_.null()) {
            c->state = CoroState::running;
            PyObject* value = nullptr;
            PySendResult r = PyIter_Send(p->inner_.get(), arg, &value);
            if (r == PYGEN_NEXT) {
                c->state = CoroState::suspended;
                *out = value;
                return PYGEN_NEXT;
            }
            p->inner_ = nullptr;
            if (r == PYGEN_ERROR) return resume_with_error(c, out);
            p->resume_value_ = Object::steal(value);
        }
        return resume(c, out);
    }

    // `exc` is a normalized exception instance.
    static PySendResult throw_exc(CoroObject* c, const Object& exc, PyObject** out) {
        *out = nullptr;
        if (refuse_running(c)) return PYGEN_ERROR;
        if (c->state != CoroState::suspended) {
            // A coroutine that never started, or has finished, just raises it.
            destroy_frame(c);
            c->state = CoroState::finished;
            try {
                rethrow(exc);
            } catch (const Error&) {
            }
            return PYGEN_ERROR;
        }
        if (Py_EnterRecursiveCall(" in coroutine")) return PYGEN_ERROR;
        Py_INCREF(c);
        PySendResult r = guard(PYGEN_ERROR, [&] { return throw_into(c, exc, out); });
        Py_DECREF(c);
        Py_LeaveRecursiveCall();
        return r;
    }

    static PySendResult throw_into(CoroObject* c, const Object& exc, PyObject** out) {
        PromiseBase* p = c->promise;
        Object inner = std::move(p->inner_);
        if (!inner.null()) {
            c->state = CoroState::running;
            if (error_matches(exc, PyExc_GeneratorExit)) {
                // Close the inner iterator first; a failure there is thrown in instead.
                bool closed = close_iterator(inner);
                if (!closed) return resume_with_error(c, out);
            } else {
                Object thrower;
                try {
                    thrower = inner.attr_or_null(throw_name());
                } catch (const Error&) {
                    return resume_with_error(c, out);
                }
                if (!thrower.null()) {
                    PyObject* value = PyObject_CallOneArg(thrower.get(), exc.get());
                    if (value != nullptr) {
                        p->inner_ = std::move(inner);
                        c->state = CoroState::suspended;
                        *out = value;
                        return PYGEN_NEXT;
                    }
                    if (!PyErr_ExceptionMatches(PyExc_StopIteration))
                        return resume_with_error(c, out);
                    p->resume_value_ = stop_iteration_value();
                    return resume(c, out);
                }
            }
        }
        rethrow_into(exc);
        return resume_with_error(c, out);
    }

    static void rethrow_into(const Object& exc) {
        try {
            rethrow(exc);
        } catch (const Error&) {
        }
    }

    // The value carried by the set StopIteration (cleared).
    static Object stop_iteration_value() {
        Object stop = fetch_error();
        return stop.attr("value");
    }

    static bool close_iterator(const Object& iter) {
        try {
            Object closer = iter.attr_or_null(close_name());
            if (!closer.null()) closer();
            return true;
        } catch (const Error&) {
            return false;
        }
    }

    static PyObject* close(CoroObject* c) {
        if (refuse_running(c)) return nullptr;
        if (c->state != CoroState::suspended) {
            destroy_frame(c);
            c->state = CoroState::finished;
            Py_RETURN_NONE;
        }
        Object exit;
        try {
            exit = Object::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
        } catch (const Error&) {
            return nullptr;
        }
        PyObject* value = nullptr;
        PySendResult r = throw_exc(c, exit, &value);
        if (r == PYGEN_NEXT) {
            Py_DECREF(value);
            PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
            return nullptr;
        }
        if (r == PYGEN_RETURN) {
            Py_DECREF(value);
            Py_RETURN_NONE;
        }
        if (PyErr_ExceptionMatches(PyExc_GeneratorExit) ||
            PyErr_ExceptionMatches(PyExc_StopIteration)) {
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        return nullptr;
    }

    static int visit(PromiseBase& p, visitproc visit, void* arg) {
        Py_VISIT(p.inner_.get());
        Py_VISIT(p.yielded_.get());
        Py_VISIT(p.resume_value_.get());
        Py_VISIT(p.result_.get());
        for (std::size_t i = 0; i < p.nroots_; ++i) Py_VISIT(p.roots_[i]->get());
        return 0;
    }

    static PyObject* throw_name() {
        static PyObject* name = PyUnicode_InternFromString("throw");
        return name;
    }
    static PyObject* close_name() {
        static PyObject* name = PyUnicode_InternFromString("close");
        return name;
    }
};

// ---- Python-level methods -------------------------------------------------------------------

static CoroObject* as_coro(PyObject* self) { return reinterpret_cast<CoroObject*>(self); }

// Turns a send result into the iterator protocol: a value, or NULL with StopIteration set.
static PyObject* as_iteration(PySendResult r, PyObject* value) {
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

static PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** out) {
    return CoroDriver::send(as_coro(self), arg, out);
}

static PyObject* coro_send(PyObject* self, PyObject* arg) {
    PyObject* value = nullptr;
    PySendResult r = CoroDriver::send(as_coro(self), arg, &value);
    return as_iteration(r, value);
}

// throw(value) or throw(type[, value[, traceback]]), checked as the interpreter does.
static PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
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
    PyObject* exc = nullptr;
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
        exc = v;
    } else if (PyExceptionInstance_Check(type)) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        Py_INCREF(type);
        exc = type;
        if (tb != nullptr) PyException_SetTraceback(exc, tb);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    Object instance = Object::steal(exc);
    PyObject* out = nullptr;
    PySendResult r = CoroDriver::throw_exc(as_coro(self), instance, &out);
    return as_iteration(r, out);
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
    CoroObject* c = as_coro(self);
    return PyUnicode_FromFormat("<coroutine object %S at %p>", c->qualname ? c->qualname : Py_None,
                                self);
}

static PyObject* coro_get_name(PyObject* self, void* which) {
    CoroObject* c = as_coro(self);
    PyObject* v = which ? c->qualname : c->name;
    if (v == nullptr) v = Py_None;
    Py_INCREF(v);
    return v;
}

static PyObject* coro_get_running(PyObject* self, void*) {
    return PyBool_FromLong(as_coro(self)->state == CoroState::running);
}

static int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroObject* c = as_coro(self);
    Py_VISIT(c->name);
    Py_VISIT(c->qualname);
    if (PromiseBase* p = c->promise) {
        if (c->state == CoroState::running) return 0;  // its references are in use
        return CoroDriver::visit(*p, visit, arg);
    }
    return 0;
}

static void coro_finalize(PyObject* self) {
    CoroObject* c = as_coro(self);
    if (c->promise == nullptr || c->state == CoroState::finished) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (c->state == CoroState::created) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited",
                             c->qualname ? c->qualname : Py_None) < 0) {
            PyErr_WriteUnraisable(self);
        }
    }
    PyObject* r = CoroDriver::close(c);
    if (r == nullptr)
        PyErr_WriteUnraisable(self);
    else
        Py_DECREF(r);
    PyErr_Restore(type, value, tb);
}

static int coro_clear(PyObject* self) {
    CoroObject* c = as_coro(self);
    // Last resort for a cycle through a suspended coroutine that finalisation did not end:
    // drop the frame without running its clean-up.
    if (c->state != CoroState::running) {
        CoroDriver::destroy_frame(c);
        c->state = CoroState::finished;
    }
    Py_CLEAR(c->name);
    Py_CLEAR(c->qualname);
    return 0;
}

static void coro_dealloc(PyObject* self) {
    CoroObject* c = as_coro(self);
    PyObject_GC_UnTrack(self);
    if (c->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    CoroDriver::destroy_frame(c);
    Py_CLEAR(c->name);
    Py_CLEAR(c->qualname);
    PyObject_GC_Del(self);
}

// ---- the __await__ iterator -------------------------------------------------------------------

static CoroObject* wrapped(PyObject* self) {
    return as_coro(reinterpret_cast<CoroWrapper*>(self)->coro);
}
static PyObject* wrapper_iternext(PyObject* self) {
    PyObject* value = nullptr;
    PySendResult r = CoroDriver::send(wrapped(self), Py_None, &value);
    return as_iteration(r, value);
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

static PyGetSetDef coro_getset[] = {
    {"__name__", coro_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", coro_get_name, nullptr, nullptr, reinterpret_cast<void*>(1)},
    {"cr_running", coro_get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

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

void set_coroutine_names(PyObject* coro, PyObject* name, PyObject* qualname) {
    CoroObject* c = as_coro(coro);
    Py_XINCREF(name);
    Py_XSETREF(c->name, name);
    Py_XINCREF(qualname);
    Py_XSETREF(c->qualname, qualname);
}

void ready_coroutine_types() {
    if (CoroType.tp_flags & Py_TPFLAGS_READY) return;

    CoroType.tp_name = "coroutine";
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

    CoroWrapperType.tp_name = "coroutine_wrapper";
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
}

}  // namespace py
