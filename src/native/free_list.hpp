// Recycled memory for the GC objects made and dropped on every request (a frameless
// coroutine, a request's state, a body's coroutine object): they skip the allocator and the
// collector's count of young objects, as CPython's own free lists do.  Objects in a list
// are untracked, hold no references and have a reference count of zero.
#pragma once

#include <cstddef>

#include "object.hpp"

namespace py {

template <std::size_t Capacity>
class FreeList {
  public:
    // An object of `type` (with `size` items, for a variable-size type) from the list, with
    // a reference count of one and untracked, or NULL when none is kept: the caller then
    // allocates as usual.
    PyObject* take(PyTypeObject* type, Py_ssize_t size = 0) noexcept {
#if PY_VERSION_HEX < 0x030D0000
        for (std::size_t i = count_; i-- > 0;) {
            PyObject* op = items_[i];
            if (Py_TYPE(op) != type || (type->tp_itemsize != 0 && Py_SIZE(op) != size)) continue;
            items_[i] = items_[--count_];
            _Py_NewReference(op);
            return op;
        }
#else
        (void)type;
        (void)size;
#endif
        return nullptr;
    }

    // At the end of a dealloc (the object untracked, its references dropped): true when the
    // list keeps the memory, false when the caller frees it with PyObject_GC_Del.  An object
    // whose finalizer has run is never kept: the collector would take a new object in its
    // place for finalized already and skip its finalizer.
    bool give(PyObject* op) noexcept {
#if PY_VERSION_HEX < 0x030D0000
        if (count_ == Capacity || PyObject_GC_IsFinalized(op)) return false;
#ifdef Py_TRACE_REFS
        _Py_ForgetReference(op);
#endif
        items_[count_++] = op;
        return true;
#else
        (void)op;
        return false;
#endif
    }

  private:
    PyObject* items_[Capacity];
    std::size_t count_ = 0;
};

}  // namespace py
