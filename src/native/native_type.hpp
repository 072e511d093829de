// Python types whose objects hold a C++ struct.
//
// `NativeType<T>`: an object is a Python header followed by a `T`, constructed in place by
// `make(args...)` and destroyed with the object.  T names its references once, in
// `template <class V> void visit(V& v)`: `v(a, b, ...)` for its `Object` and `PyObject*`
// members (NULL allowed) and `v.each(items, [&](auto& item) { v(item.x); })` for a container
// whose elements hold Objects.  From that one visit come the collector's traverse and clear;
// the dealloc runs ~T, and a `void finalize()` member becomes the type's tp_finalize.
// `ClosureType<T>` is the same for closure functions (function.hpp) whose state T is.
#pragma once

#include <cstddef>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "clean_up.hpp"
#include "function.hpp"
#include "object.hpp"

namespace py {

namespace detail {

// tp_traverse: every reference visited, until the visit function asks to stop.
class TraverseVisitor {
  public:
    TraverseVisitor(visitproc visit, void* arg) noexcept : visit_(visit), arg_(arg) {}
    template <class... M>
    void operator()(const M&... members) {
        (see(members), ...);
    }
    template <class C, class F>
    void each(C& items, F&& visit_item) {
        for (auto& item : items) {
            if (result_ != 0) return;
            visit_item(item);
        }
    }
    int result() const noexcept { return result_; }

  private:
    void see(const Object& o) { see(o.get()); }
    void see(PyObject* p) {
        if (result_ == 0 && p != nullptr) result_ = visit_(p, arg_);
    }
    visitproc visit_;
    void* arg_;
    int result_ = 0;
};

// tp_clear: every reference taken out of the object (and every container emptied) before
// any of them is released, when the visitor ends: releasing one may run code that looks at
// the object again, which then finds it cleared.
class ClearVisitor {
  public:
    ClearVisitor() noexcept = default;
    ClearVisitor(const ClearVisitor&) = delete;
    ClearVisitor& operator=(const ClearVisitor&) = delete;
    ~ClearVisitor() {
        for (std::size_t i = 0; i < count_; ++i) Py_DECREF(refs_[i]);
        if (rest_ == nullptr) return;
        for (PyObject* p : rest_->refs) Py_DECREF(p);
        rest_->containers.clear();  // their elements released in turn
    }

    template <class... M>
    void operator()(M&... members) noexcept {
        (take(members), ...);
    }
    // The container is emptied now; what it held is released with the rest.
    template <class C, class F>
    void each(C& items, F&&) noexcept {
        std::unique_ptr<Held> held;
        try {
            rest().containers.reserve(rest().containers.size() + 1);
            held = std::make_unique<HeldItems<C>>(std::move(items));
        } catch (const std::bad_alloc&) {
            C gone(std::move(items));  // no memory to keep them: released now, the object empty
            items.clear();
            return;
        }
        items.clear();
        rest_->containers.push_back(std::move(held));
    }

  private:
    struct Held {
        virtual ~Held() = default;
    };
    template <class C>
    struct HeldItems final : Held {
        explicit HeldItems(C&& c) : items(std::move(c)) {}
        C items;
    };
    struct Rest {
        std::vector<PyObject*> refs;
        std::vector<std::unique_ptr<Held>> containers;
    };

    void take(Object& o) noexcept { keep(o.release()); }
    void take(PyObject*& p) noexcept { keep(std::exchange(p, nullptr)); }
    void keep(PyObject* p) noexcept {
        if (p == nullptr) return;
        if (count_ < std::size(refs_)) {
            refs_[count_++] = p;
            return;
        }
        try {
            rest().refs.push_back(p);
        } catch (const std::bad_alloc&) {
            Py_DECREF(p);  // no memory to keep it: released now, already taken out
        }
    }
    Rest& rest() {
        if (rest_ == nullptr) rest_ = std::make_unique<Rest>();
        return *rest_;
    }

    PyObject* refs_[8];
    std::size_t count_ = 0;
    std::unique_ptr<Rest> rest_;  // more references, and containers
};

template <class T>
concept Finalizable = requires(T& t) { t.finalize(); };

// Where a T lies in an object whose header takes `header` bytes, and the checked cast.
template <class T, std::size_t header>
struct Placed {
    static_assert(alignof(T) <= alignof(std::max_align_t), "over-aligned state");
    static constexpr std::size_t offset = (header + alignof(T) - 1) / alignof(T) * alignof(T);
    static constexpr Py_ssize_t basicsize = static_cast<Py_ssize_t>(offset + sizeof(T));

    static void* storage(PyObject* op) noexcept { return reinterpret_cast<char*>(op) + offset; }
    static T& at(PyObject* op) noexcept { return *std::launder(static_cast<T*>(storage(op))); }
    static PyObject* object_at(const T& value) noexcept {
        return reinterpret_cast<PyObject*>(
            const_cast<char*>(reinterpret_cast<const char*>(&value)) - offset);
    }
    [[noreturn]] static void refuse(PyTypeObject* type, PyObject* obj, const char* what) {
        std::string_view name = type->tp_name;  // shown as type.__name__ shows it
        if (std::size_t dot = name.rfind('.'); dot != std::string_view::npos)
            name.remove_prefix(dot + 1);
        raise_format(PyExc_TypeError, "%s is not a %s (got %.200s)", what,
                     std::string(name).c_str(), Py_TYPE(obj)->tp_name);
    }
};

}  // namespace detail

// A Python type (not subclassable, not instantiable from Python) whose objects hold a T.
template <class T>
class NativeType {
    using Place = detail::Placed<T, sizeof(PyObject)>;

  public:
    // Readies the type (at module exec; idempotent).  `name` is the dotted tp_name and both
    // texts must live for the process.
    static void ready(const char* name, const char* doc = nullptr) {
        if (type_.tp_flags & Py_TPFLAGS_READY) return;
        type_.tp_name = name;
        type_.tp_doc = doc;
        type_.tp_basicsize = Place::basicsize;
        type_.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
        type_.tp_traverse = traverse;
        type_.tp_clear = clear;
        type_.tp_dealloc = dealloc;
        if constexpr (detail::Finalizable<T>) type_.tp_finalize = finalize;
        check(PyType_Ready(&type_));
    }

    // A new object holding T(args...), tracked by the collector.  If T's constructor throws,
    // the memory is given back and the error goes on.
    template <class... A>
    static Object make(A&&... args) {
        PyObject* op = _PyObject_GC_New(&type_);
        if (op == nullptr) fail();
        try {
            ::new (Place::storage(op)) T(std::forward<A>(args)...);
        } catch (...) {
#ifdef Py_TRACE_REFS
            _Py_ForgetReference(op);
#endif
            PyObject_GC_Del(op);
            throw;
        }
        PyObject_GC_Track(op);
        return Object::steal(op);
    }

    // The T of `obj`; TypeError "<what> is not a <type name> (got <obj's type>)" for an
    // object of another type.
    static T& of(PyObject* obj, const char* what) {
        if (!is(obj)) Place::refuse(&type_, obj, what);
        return Place::at(obj);
    }
    static T& of(const Object& obj, const char* what) { return of(obj.get(), what); }
    // The T of `obj`, or NULL when it is of another type.
    static T* try_of(PyObject* obj) noexcept { return is(obj) ? &Place::at(obj) : nullptr; }
    // The T of an object known to be of this type.
    static T& unchecked(PyObject* obj) noexcept { return Place::at(obj); }
    // The object that holds `value` (borrowed).
    static PyObject* object_of(const T& value) noexcept { return Place::object_at(value); }
    static bool is(PyObject* obj) noexcept { return Py_IS_TYPE(obj, &type_); }
    static PyTypeObject* type() noexcept { return &type_; }

  private:
    static int traverse(PyObject* op, visitproc visit, void* arg) {
        detail::TraverseVisitor v(visit, arg);
        Place::at(op).visit(v);
        return v.result();
    }
    static int clear(PyObject* op) {
        detail::ClearVisitor v;
        Place::at(op).visit(v);
        return 0;
    }
    // The finalizer runs with any set error saved; an error it raises is unraisable.
    static void finalize(PyObject* op) {
        ErrorStash stash;
        reporting_unraisable(op, [&] { Place::at(op).finalize(); });
    }
    // Once no reference is left, nothing can look at the object while ~T releases what it
    // holds: no clearing first.
    static void dealloc(PyObject* op) {
        if constexpr (detail::Finalizable<T>) {
            if (PyObject_CallFinalizerFromDealloc(op) < 0) return;  // resurrected
        }
        PyObject_GC_UnTrack(op);
        Place::at(op).~T();
        PyObject_GC_Del(op);
    }

    static inline PyTypeObject type_ = {PyVarObject_HEAD_INIT(nullptr, 0)};
};

// The type of closure functions (see ClosureFunction in function.hpp) whose closure state is
// a T, laid after the function's header.  T's construction must not throw (build what it
// holds first); the objects' memory is recycled, as for every closure function.
template <class T>
class ClosureType {
    using Place = detail::Placed<T, sizeof(ClosureFunction)>;

  public:
    // Readies the type (at module exec; idempotent); `name` must live for the process.
    static void ready(const char* name) {
        ready_closure_function_type(&type_, name, Place::basicsize, traverse, clear, dealloc);
    }

    // A new closure function of `proto` holding T(args...), tracked by the collector.
    template <class... A>
    static Object make(FunctionProto* proto, A&&... args) {
        static_assert(std::is_nothrow_constructible_v<T, A&&...>,
                      "a closure's state is built from what is already made");
        PyObject* op = new_closure_function(&type_);
        init_closure_function(reinterpret_cast<ClosureFunction*>(op), proto);
        ::new (Place::storage(op)) T(std::forward<A>(args)...);
        PyObject_GC_Track(op);
        return Object::steal(op);
    }

    static T& of(PyObject* obj, const char* what) {
        if (!is(obj)) Place::refuse(&type_, obj, what);
        return Place::at(obj);
    }
    static T& of(const Object& obj, const char* what) { return of(obj.get(), what); }
    static T* try_of(PyObject* obj) noexcept { return is(obj) ? &Place::at(obj) : nullptr; }
    static T& unchecked(PyObject* obj) noexcept { return Place::at(obj); }
    static PyObject* object_of(const T& value) noexcept { return Place::object_at(value); }
    static bool is(PyObject* obj) noexcept { return Py_IS_TYPE(obj, &type_); }
    static PyTypeObject* type() noexcept { return &type_; }

  private:
    static ClosureFunction* header(PyObject* op) noexcept {
        return reinterpret_cast<ClosureFunction*>(op);
    }
    static int traverse(PyObject* op, visitproc visit, void* arg) {
        detail::TraverseVisitor v(visit, arg);
        Place::at(op).visit(v);
        if (int r = v.result()) return r;
        return closure_function_traverse(header(op), visit, arg);
    }
    static int clear(PyObject* op) {
        {
            detail::ClearVisitor v;
            Place::at(op).visit(v);
        }
        closure_function_clear(header(op));
        return 0;
    }
    static int destroy(PyObject* op) {  // as NativeType's dealloc does
        Place::at(op).~T();
        closure_function_clear(header(op));
        return 0;
    }
    static void dealloc(PyObject* op) { dealloc_closure_function(op, destroy); }

    static inline PyTypeObject type_ = {PyVarObject_HEAD_INIT(nullptr, 0)};
};

}  // namespace py
