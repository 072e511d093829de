// The frameless coroutine object: for async bodies of the shape
//
//     <a synchronous step>; await <what the step made>; return None
//
// (a send wrapper, called for every message of every response), a coroutine object with no
// C++ frame, no promise and no wrapper for `await`: it is its own iterator.  It follows the
// same generator rules as the framed one; the step runs at the first send, as a Python body
// would, not at the call.
#include "coroutine.hpp"
#include "coroutine_parts.hpp"
#include "free_list.hpp"

#include <string>

namespace py {

using parts::CoroState;

namespace {

struct ForwardObject {
    PyObject_HEAD ForwardingStep step;
    PyObject* arguments[max_forwarded];  // what the step works on; dropped once it ran
    std::uint8_t count;
    PyObject* inner;  // the iterator delegated to while suspended
    PyObject* weakreflist;
    parts::Identity id;
};

PyTypeObject ForwardType = {PyVarObject_HEAD_INIT(nullptr, 0)};
FreeList<32> recycled;
std::string forward_type_name;
Name throw_name{"throw"};

ForwardObject* as_forward(PyObject* o) { return reinterpret_cast<ForwardObject*>(o); }

void drop_arguments(ForwardObject* f) noexcept {
    for (std::uint8_t i = f->count; i-- > 0;) Py_CLEAR(f->arguments[i]);
    f->count = 0;
}

void finish(ForwardObject* f) noexcept {
    f->id.state = CoroState::finished;
    Py_CLEAR(f->inner);
    drop_arguments(f);
}

bool refuse(ForwardObject* f) noexcept {
    if (f->id.state == CoroState::running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return true;
    }
    if (f->id.state == CoroState::finished) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return true;
    }
    return false;
}

// After the inner iterator has answered: suspended again, or done (the result is None).
PySendResult settle(ForwardObject* f, PySendResult r, PyObject* value, PyObject** out) noexcept {
    if (r == PYGEN_NEXT) {
        f->id.state = CoroState::suspended;
        *out = value;
        return PYGEN_NEXT;
    }
    Py_XDECREF(value);  // the awaited result is discarded
    finish(f);
    if (r == PYGEN_ERROR) return PYGEN_ERROR;
    *out = Object::borrow(Py_None).release();
    return PYGEN_RETURN;
}

PySendResult start(ForwardObject* f, PyObject** out) noexcept {
    Object iter;
    try {
        Object awaitable = f->step(f->arguments);
        drop_arguments(f);
        iter = parts::awaitable_iter(std::move(awaitable));
    } catch (...) {
        translate_current_exception();
        finish(f);
        return PYGEN_ERROR;
    }
    PyObject* value = nullptr;
    PySendResult r = PyIter_Send(iter.get(), Py_None, &value);
    if (r == PYGEN_NEXT) f->inner = iter.release();
    return settle(f, r, value, out);
}

PySendResult send(ForwardObject* f, PyObject* arg, PyObject** out) noexcept {
    *out = nullptr;
    if (refuse(f)) return PYGEN_ERROR;
    if (f->id.state == CoroState::created && arg != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return PYGEN_ERROR;
    }
    if (Py_EnterRecursiveCall(" in coroutine")) return PYGEN_ERROR;
    Object keep = Object::borrow(reinterpret_cast<PyObject*>(f));
    PySendResult r;
    bool starting = f->id.state == CoroState::created;
    f->id.state = CoroState::running;
    if (starting) {
        r = start(f, out);
    } else {
        PyObject* value = nullptr;
        PySendResult sent = PyIter_Send(f->inner, arg, &value);
        r = settle(f, sent, value, out);
    }
    Py_LeaveRecursiveCall();
    return r;
}

// throw(): there is no body to handle anything, so what the inner iterator does not handle
// ends the coroutine with it.
PySendResult throw_exc(ForwardObject* f, Error exc, PyObject** out) noexcept {
    *out = nullptr;
    if (refuse(f)) return PYGEN_ERROR;
    if (f->id.state == CoroState::created) {
        finish(f);
        std::move(exc).restore();
        return PYGEN_ERROR;
    }
    Object keep = Object::borrow(reinterpret_cast<PyObject*>(f));
    Object inner = Object::borrow(f->inner);
    f->id.state = CoroState::running;
    if (exc.matches(PyExc_GeneratorExit)) {
        bool closed = parts::close_iterator(inner.get());
        finish(f);
        if (closed) std::move(exc).restore();
        return PYGEN_ERROR;
    }
    PyObject* thrower = nullptr;
    if (parts::lookup_optional(inner.get(), throw_name, &thrower) < 0) {
        f->id.state = CoroState::suspended;  // back to the caller; still where it was
        return PYGEN_ERROR;
    }
    if (thrower == nullptr) {
        finish(f);
        std::move(exc).restore();
        return PYGEN_ERROR;
    }
    PyObject* value = PyObject_CallOneArg(thrower, exc.exception());
    Py_DECREF(thrower);
    if (value != nullptr) return settle(f, PYGEN_NEXT, value, out);
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        return settle(f, PYGEN_RETURN, nullptr, out);
    }
    return settle(f, PYGEN_ERROR, nullptr, out);
}

PyObject* close(ForwardObject* f) noexcept {
    if (f->id.state == CoroState::running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (f->id.state != CoroState::suspended) {
        finish(f);
        Py_RETURN_NONE;
    }
    return parts::close_by_throwing(
        [&](Error exit, PyObject** value) { return throw_exc(f, std::move(exit), value); });
}

// ---- Python-level methods -----------------------------------------------------------------

PySendResult forward_am_send(PyObject* self, PyObject* arg, PyObject** out) {
    return send(as_forward(self), arg, out);
}
PyObject* forward_send(PyObject* self, PyObject* arg) {
    PyObject* value = nullptr;
    PySendResult r = send(as_forward(self), arg, &value);
    return parts::as_iteration(r, value);
}
PyObject* forward_iternext(PyObject* self) { return forward_send(self, Py_None); }
PyObject* forward_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* exc = parts::thrown_exception(args, nargs);
    if (exc == nullptr) return nullptr;
    PyObject* out = nullptr;
    PySendResult r = throw_exc(as_forward(self), Error(exc), &out);
    return parts::as_iteration(r, out);
}
PyObject* forward_close(PyObject* self, PyObject*) { return close(as_forward(self)); }
PyObject* forward_await(PyObject* self) { return Object::borrow(self).release(); }
PyObject* forward_await_method(PyObject* self, PyObject*) { return forward_await(self); }

PyObject* forward_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %S at %p>",
                                as_forward(self)->id.shown_qualname(), self);
}

PyObject* forward_get_await(PyObject* self, void*) {
    PyObject* inner = as_forward(self)->inner;
    return Object::borrow(inner != nullptr ? inner : Py_None).release();
}

int forward_traverse(PyObject* self, visitproc visit, void* arg) {
    ForwardObject* f = as_forward(self);
    for (std::uint8_t i = 0; i < f->count; ++i) Py_VISIT(f->arguments[i]);
    Py_VISIT(f->inner);
    return f->id.traverse(visit, arg);
}

int forward_clear(PyObject* self) {
    ForwardObject* f = as_forward(self);
    if (f->id.state != CoroState::running) finish(f);
    f->id.clear();
    return 0;
}

void forward_finalize(PyObject* self) {
    ForwardObject* f = as_forward(self);
    if (f->id.state == CoroState::finished) return;
    ErrorStash stash;
    if (f->id.state == CoroState::created) {
        parts::warn_never_awaited(self, f->id);
        finish(f);
        return;
    }
    PyObject* r = close(f);
    if (r == nullptr)
        PyErr_WriteUnraisable(self);
    else
        Py_DECREF(r);
}

void forward_dealloc(PyObject* self) {
    ForwardObject* f = as_forward(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    if (f->id.state != CoroState::finished) {
        PyObject_GC_Track(self);
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
        PyObject_GC_UnTrack(self);
    }
    finish(f);
    f->id.clear();
    if (!recycled.give(self)) PyObject_GC_Del(self);
}

PyMethodDef forward_methods[] = {
    {"send", forward_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(forward_throw)),
     METH_FASTCALL, nullptr},
    {"close", forward_close, METH_NOARGS, nullptr},
    {"__await__", forward_await_method, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef forward_getset[10];
PyAsyncMethods forward_async = {forward_await, nullptr, nullptr, forward_am_send};

}  // namespace

bool parts::close_if_forwarding(PyObject* iter, bool& closed) noexcept {
    if (!Py_IS_TYPE(iter, &ForwardType)) return false;
    PyObject* r = close(as_forward(iter));
    Py_XDECREF(r);
    closed = r != nullptr;
    return true;
}

bool parts::is_forwarding_and_suspended(PyObject* obj, bool& suspended) noexcept {
    if (!Py_IS_TYPE(obj, &ForwardType)) return false;
    suspended = as_forward(obj)->id.state == CoroState::suspended;
    return true;
}

void parts::name_forwarding(PyObject* coro, const CoroutineCode* code, PyObject* name,
                            PyObject* qualname) {
    if (Py_IS_TYPE(coro, &ForwardType)) as_forward(coro)->id.name_after(code, name, qualname);
}

Object forwarding_coroutine(ForwardingStep step, PyObject* const* arguments, std::size_t count) {
    if (count > max_forwarded) raise(PyExc_SystemError, "too many arguments to forward");
    auto* f = reinterpret_cast<ForwardObject*>(recycled.take(&ForwardType));
    if (f == nullptr) f = PyObject_GC_New(ForwardObject, &ForwardType);
    if (f == nullptr) fail();
    f->step = step;
    for (std::size_t i = 0; i < count; ++i) f->arguments[i] = Object::borrow(arguments[i]).release();
    f->count = static_cast<std::uint8_t>(count);
    f->inner = nullptr;
    f->weakreflist = nullptr;
    f->id.init();
    PyObject_GC_Track(f);
    return Object::steal(reinterpret_cast<PyObject*>(f));
}

void parts::ready_forwarding_type(const char* module_name) {
    if (ForwardType.tp_flags & Py_TPFLAGS_READY) return;
    forward_type_name = std::string(module_name) + ".native_forwarding_coroutine";
    PyGetSetDef* getset = identity_getset(forward_getset, offsetof(ForwardObject, id));
    while (getset->name != nullptr) ++getset;
    *getset++ = {"cr_await", forward_get_await, nullptr, nullptr, nullptr};
    *getset = {nullptr, nullptr, nullptr, nullptr, nullptr};

    ForwardType.tp_name = forward_type_name.c_str();
    ForwardType.tp_basicsize = sizeof(ForwardObject);
    ForwardType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    ForwardType.tp_as_async = &forward_async;
    ForwardType.tp_iter = PyObject_SelfIter;
    ForwardType.tp_iternext = forward_iternext;
    ForwardType.tp_repr = forward_repr;
    ForwardType.tp_traverse = forward_traverse;
    ForwardType.tp_clear = forward_clear;
    ForwardType.tp_dealloc = forward_dealloc;
    ForwardType.tp_finalize = forward_finalize;
    ForwardType.tp_weaklistoffset = offsetof(ForwardObject, weakreflist);
    ForwardType.tp_methods = forward_methods;
    ForwardType.tp_getset = forward_getset;
    check(PyType_Ready(&ForwardType));
    import("collections.abc")
        .attr("Coroutine")
        .attr("register")(Object::borrow(reinterpret_cast<PyObject*>(&ForwardType)));
}

}  // namespace py
