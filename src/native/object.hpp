// Owned references and Python errors as C++ types.
//
// `Object` owns one reference (move-only semantics are not needed: copies add a
// reference).  Any CPython call that fails throws `Error`, which only means "a Python
// error is set"; `guard` turns it back into NULL/-1 wherever CPython calls into us.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

namespace py {

// Thrown when a Python error is set.  Carries nothing: the error lives in the thread state.
struct Error {};

// Throws Error when `p` is NULL (a failed CPython call).
inline PyObject* check(PyObject* p) {
    if (p == nullptr) throw Error{};
    return p;
}
inline void check(int status) {
    if (status < 0) throw Error{};
}

// Raises `type(message)` as a Python error.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw Error{};
}
template <class... A>
[[noreturn]] void raise_format(PyObject* type, const char* format, A... args) {
    PyErr_Format(type, format, args...);
    throw Error{};
}

class Object;
struct Kw;

// An argument for a call: anything that can lend a PyObject*.
inline PyObject* borrowed(PyObject* p) { return p; }

class Object {
  public:
    Object() noexcept = default;
    Object(std::nullptr_t) noexcept {}
    Object(const Object& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Object(Object&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Object& operator=(Object o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Object() { Py_XDECREF(p_); }

    // Takes over a new reference returned by CPython; throws Error for NULL.
    static Object steal(PyObject* p) { return Object(check(p), 0); }
    // Adds a reference to a borrowed pointer (which must not be NULL).
    static Object borrow(PyObject* p) noexcept {
        Py_INCREF(p);
        return Object(p, 0);
    }
    // Like borrow, but NULL stays NULL.
    static Object borrow_or_null(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Object(p, 0);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    bool null() const noexcept { return p_ == nullptr; }
    bool is(PyObject* o) const noexcept { return p_ == o; }
    bool is(const Object& o) const noexcept { return p_ == o.p_; }
    bool is_none() const noexcept { return p_ == Py_None; }
    PyTypeObject* type() const noexcept { return Py_TYPE(p_); }

    bool truthy() const {
        int r = PyObject_IsTrue(p_);
        check(r);
        return r != 0;
    }
    bool equals(PyObject* other) const {
        int r = PyObject_RichCompareBool(p_, other, Py_EQ);
        check(r);
        return r != 0;
    }
    bool equals(const Object& other) const { return equals(other.get()); }

    Object attr(PyObject* name) const { return steal(PyObject_GetAttr(p_, name)); }
    Object attr(const char* name) const { return steal(PyObject_GetAttrString(p_, name)); }
    // The attribute, or NULL when it is missing (AttributeError cleared).
    Object attr_or_null(PyObject* name) const;
    void set_attr(PyObject* name, PyObject* value) const {
        check(PyObject_SetAttr(p_, name, value));
    }
    void set_attr(PyObject* name, const Object& value) const { set_attr(name, value.get()); }

    // obj[key]
    Object item(PyObject* key) const { return steal(PyObject_GetItem(p_, key)); }
    Object item(Py_ssize_t index) const { return steal(PySequence_GetItem(p_, index)); }
    void set_item(PyObject* key, PyObject* value) const { check(PyObject_SetItem(p_, key, value)); }
    void set_item(PyObject* key, const Object& value) const { set_item(key, value.get()); }

    // Calls with positional arguments and, after them, keyword arguments `kw(name, value)`.
    template <class... A>
    Object operator()(const A&... args) const;

    // Calls method `name` with positional arguments (vectorcall, no bound method).
    template <class... A>
    Object call_method(PyObject* name, const A&... args) const;

  private:
    Object(PyObject* p, int) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

inline PyObject* borrowed(const Object& o) { return o.get(); }

// A keyword argument in a call: fn(a, b, kw(str::timeout, ten)).
struct Kw {
    PyObject* name;
    PyObject* value;
};
inline Kw kw(PyObject* name, PyObject* value) { return {name, value}; }
inline Kw kw(PyObject* name, const Object& value) { return {name, value.get()}; }

namespace detail {
template <class T>
constexpr bool is_kw = std::is_same_v<T, Kw>;

// Calls `target` (a callable, or with `self` given, the name of a method of `self`) with
// positional arguments followed by keyword ones, through vectorcall.
template <class... A>
Object vectorcall(PyObject* target, PyObject* self, const A&... args) {
    constexpr size_t nkw = (0 + ... + (is_kw<A> ? 1 : 0));
    constexpr size_t npos = sizeof...(A) - nkw;
    // Slot 0 holds self for a method call, else it is scratch space for the callee.
    PyObject* stack[1 + sizeof...(A)] = {self};
    Object names;
    if constexpr (nkw > 0) {
        names = Object::steal(PyTuple_New(nkw));
        size_t pos = 1, key = 1 + npos, name_index = 0;
        auto place = [&](const auto& a) {
            if constexpr (is_kw<std::decay_t<decltype(a)>>) {
                stack[key++] = a.value;
                Py_INCREF(a.name);
                PyTuple_SET_ITEM(names.get(), name_index++, a.name);
            } else {
                stack[pos++] = borrowed(a);
            }
        };
        (place(args), ...);
    } else {
        size_t pos = 1;
        ((stack[pos++] = borrowed(args)), ...);
    }
    if (self != nullptr) {
        return Object::steal(PyObject_VectorcallMethod(
            target, stack, (1 + npos) | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
    }
    return Object::steal(
        PyObject_Vectorcall(target, stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}
}  // namespace detail

template <class... A>
Object Object::operator()(const A&... args) const {
    return detail::vectorcall(p_, nullptr, args...);
}
template <class... A>
Object Object::call_method(PyObject* name, const A&... args) const {
    return detail::vectorcall(name, p_, args...);
}

inline Object Object::attr_or_null(PyObject* name) const {
    PyObject* value = PyObject_GetAttr(p_, name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw Error{};
        PyErr_Clear();
    }
    return Object(value, 0);
}

// ---- building values -------------------------------------------------------------------

inline Object none() { return Object::borrow(Py_None); }
inline Object boolean(bool b) { return Object::borrow(b ? Py_True : Py_False); }
inline Object text(std::string_view s) {
    return Object::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Object integer(long long v) { return Object::steal(PyLong_FromLongLong(v)); }
inline Object bytes(std::string_view s) {
    return Object::steal(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
template <class... A>
Object tuple(const A&... items) {
    Object t = Object::steal(PyTuple_New(sizeof...(A)));
    Py_ssize_t i = 0;
    ((Py_INCREF(borrowed(items)), PyTuple_SET_ITEM(t.get(), i++, borrowed(items))), ...);
    return t;
}
inline Object new_dict() { return Object::steal(PyDict_New()); }
inline Object new_list(Py_ssize_t n = 0) { return Object::steal(PyList_New(n)); }
inline Object import(const char* name) { return Object::steal(PyImport_ImportModule(name)); }
// `from module import name`, with the interpreter's "cannot import name" error.
Object import_from(const char* module, PyObject* name);

// ---- interned names ----------------------------------------------------------------------

// An interned str made once for the whole process:  `Name app{"app"};` at namespace scope,
// then used wherever a PyObject* is expected.  All names are made by `Name::intern_all()`.
class Name {
  public:
    explicit Name(const char* text);
    operator PyObject*() const noexcept { return obj_; }
    PyObject* get() const noexcept { return obj_; }
    const char* c_str() const noexcept { return text_; }
    static void intern_all();

  private:
    const char* text_;
    PyObject* obj_ = nullptr;
};

// ---- errors ------------------------------------------------------------------------------

// Takes the set Python error out of the thread state as one exception instance (with its
// traceback attached); the error indicator is clear afterwards.
Object fetch_error();
// Sets `exc` (an exception instance) as the current error and throws Error.
[[noreturn]] void rethrow(const Object& exc);
// Whether the exception instance `exc` is an instance of `type` (or a tuple of types).
bool error_matches(const Object& exc, PyObject* type);
// Whether the set Python error matches `type`.
inline bool current_error_matches(PyObject* type) { return PyErr_ExceptionMatches(type) != 0; }
// `raise exc`: the exception being handled at this point (see Handling), if any, becomes
// its context, as with the interpreter's own raise.
[[noreturn]] void raise(const Object& exc);
// `raise exc from cause`; a NULL cause is `from None`.
[[noreturn]] void raise_from(const Object& exc, const Object& cause);
// The traceback attached to the exception instance `exc`, or None.
Object traceback_of(const Object& exc);
// A name in a module's namespace, looked up at the time of use as Python code would;
// NameError when it is missing.
Object lookup_global(PyObject* module_dict, PyObject* name);

// Saves the error indicator for the lifetime of the guard (for code that must call into
// Python while an error may be set, such as destructors) and restores it afterwards.
class ErrorStash {
  public:
    ErrorStash() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ~ErrorStash() { PyErr_Restore(type_, value_, tb_); }
    ErrorStash(const ErrorStash&) = delete;
    ErrorStash& operator=(const ErrorStash&) = delete;

  private:
    PyObject *type_, *value_, *tb_;
};

// Makes `exc` the exception being handled (what `sys.exc_info()` shows inside an `except`
// block) for the guard's lifetime, so errors raised meanwhile chain to it as context.
class Handling {
  public:
    explicit Handling(const Object& exc);
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

  private:
    PyObject *type_, *value_, *tb_;
};

// Runs `body` where CPython called us; a thrown Error (or any C++ exception, turned into a
// Python error) becomes `failure`.  No C++ exception crosses into CPython.
void translate_current_exception() noexcept;
template <class R, class F>
auto guard(R failure, F&& body) noexcept -> R {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
        return failure;
    }
}

}  // namespace py
