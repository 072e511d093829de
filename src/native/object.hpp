// Owned references and Python errors as C++ types.
//
// `Object` owns one reference; an rvalue Object is consumed by whatever uses it (a call, an
// attribute lookup), so a temporary never keeps a reference beyond its use.  A CPython call
// that fails throws `Error`, which carries the Python exception out of the thread state;
// `guard` puts it back wherever CPython called into us, so no C++ exception crosses into it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

namespace py {

class Object;

// ---- errors -------------------------------------------------------------------------------

// A Python exception on its way through C++ code.  It owns the exception instance (with its
// traceback); while it travels, the thread's error indicator is clear.
class Error {
  public:
    // Takes the error that is set out of the thread state (a SystemError if none is).
    static Error fetch() noexcept;
    explicit Error(PyObject* exception) noexcept : exc_(exception) {}  // steals
    Error(Error&& e) noexcept : exc_(std::exchange(e.exc_, nullptr)) {}
    Error(const Error& e) noexcept : exc_(e.exc_) { Py_XINCREF(exc_); }
    Error& operator=(Error e) noexcept {
        std::swap(exc_, e.exc_);
        return *this;
    }
    ~Error() { Py_XDECREF(exc_); }

    // The exception instance (borrowed).
    PyObject* exception() const noexcept { return exc_; }
    // isinstance(exception, type); `type` may be a tuple of types.
    bool matches(PyObject* type) const noexcept {
        return PyErr_GivenExceptionMatches(exc_, type) != 0;
    }
    // Puts the exception back into the thread state (at a boundary into CPython).
    void restore() && noexcept;

  private:
    PyObject* exc_;
};

// Throws the error that a failed CPython call has set.
[[noreturn]] inline void fail() { throw Error::fetch(); }
inline PyObject* check(PyObject* p) {
    if (p == nullptr) fail();
    return p;
}
inline int check(int status) {
    if (status < 0) fail();
    return status;
}

// Raises `type(message)`; the exception being handled, if any, becomes its context, as with
// the interpreter's own `raise`.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    fail();
}
template <class... A>
[[noreturn]] void raise_format(PyObject* type, const char* format, A... args) {
    PyErr_Format(type, format, args...);
    fail();
}

// ---- owned references -----------------------------------------------------------------------

// In checking builds (TERVIK_CHECK_ROOTS, on under the sanitizers) every Object made while a
// coroutine body runs is noted, and a body that suspends while one of them still holds a
// reference that the collector cannot see stops the process with a message saying where.
namespace detail {
#ifdef TERVIK_CHECK_ROOTS
void note_born(const Object* o) noexcept;
void note_gone(const Object* o) noexcept;
#else
inline void note_born(const Object*) noexcept {}
inline void note_gone(const Object*) noexcept {}
#endif

// getattr(obj, name) as a new reference, NULL with the error set: PyObject_GetAttr, with the
// generic lookup's most common answer (an instance's own attribute) read directly.
PyObject* get_attribute(PyObject* obj, PyObject* name) noexcept;
}  // namespace detail

class Object {
  public:
    Object() noexcept { detail::note_born(this); }
    Object(std::nullptr_t) noexcept { detail::note_born(this); }
    Object(const Object& o) noexcept : p_(o.p_) {
        Py_XINCREF(p_);
        detail::note_born(this);
    }
    Object(Object&& o) noexcept : p_(o.p_) {
        o.p_ = nullptr;
        detail::note_born(this);
    }
    Object& operator=(const Object& o) noexcept {
        Object copy(o);
        std::swap(p_, copy.p_);
        return *this;
    }
    Object& operator=(Object&& o) noexcept {
        Object taken(std::move(o));
        std::swap(p_, taken.p_);
        return *this;
    }
    ~Object() {
        detail::note_gone(this);
        Py_XDECREF(p_);
    }

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
    // Like steal, but NULL stays NULL and throws nothing.
    static Object steal_or_null(PyObject* p) noexcept { return Object(p, 0); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    bool null() const noexcept { return p_ == nullptr; }
    bool is(PyObject* o) const noexcept { return p_ == o; }
    bool is(const Object& o) const noexcept { return p_ == o.p_; }
    bool is_none() const noexcept { return p_ == Py_None; }
    PyTypeObject* type() const noexcept { return Py_TYPE(p_); }
    // type(obj), as an object.
    Object type_object() const noexcept {
        return borrow(reinterpret_cast<PyObject*>(Py_TYPE(p_)));
    }

    bool truthy() const { return check(PyObject_IsTrue(p_)) != 0; }
    bool equals(PyObject* other) const {
        if (PyUnicode_CheckExact(p_) && PyUnicode_CheckExact(other)) {  // what == does for strs
            return p_ == other ||
                   (PyUnicode_GET_LENGTH(p_) == PyUnicode_GET_LENGTH(other) &&
                    PyUnicode_KIND(p_) == PyUnicode_KIND(other) &&
                    std::memcmp(PyUnicode_DATA(p_), PyUnicode_DATA(other),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(p_)) *
                                    PyUnicode_KIND(p_)) == 0);
        }
        return check(PyObject_RichCompareBool(p_, other, Py_EQ)) != 0;
    }
    bool equals(const Object& other) const { return equals(other.p_); }
    // `item in obj`
    bool contains(PyObject* item) const { return check(PySequence_Contains(p_, item)) != 0; }
    // str(obj)
    Object str() const { return steal(PyObject_Str(p_)); }

    Object attr(PyObject* name) const& { return steal(detail::get_attribute(p_, name)); }
    Object attr(PyObject* name) && {
        Object self = consumed();
        return self.attr(name);
    }
    Object attr(const char* name) const& { return steal(PyObject_GetAttrString(p_, name)); }
    // The attribute, or NULL when it is missing (AttributeError cleared, any other raised).
    Object attr_or_null(PyObject* name) const;
    void set_attr(PyObject* name, PyObject* value) const {
        check(PyObject_SetAttr(p_, name, value));
    }
    void set_attr(PyObject* name, const Object& value) const { set_attr(name, value.p_); }

    // obj[key]; a plain dict answers directly (a missing key is left to obj[key], for its
    // KeyError).
    Object item(PyObject* key) const& {
        if (PyDict_CheckExact(p_)) {
            if (PyObject* value = PyDict_GetItemWithError(p_, key)) return borrow(value);
            if (PyErr_Occurred()) fail();
        }
        return steal(PyObject_GetItem(p_, key));
    }
    Object item(PyObject* key) && {
        Object self = consumed();
        return self.item(key);
    }
    Object item(Py_ssize_t index) const& { return steal(PySequence_GetItem(p_, index)); }
    void set_item(PyObject* key, PyObject* value) const {
        check(PyDict_CheckExact(p_) ? PyDict_SetItem(p_, key, value)
                                    : PyObject_SetItem(p_, key, value));
    }
    void set_item(PyObject* key, const Object& value) const { set_item(key, value.p_); }

    // Calls with positional arguments and, after them, keyword arguments `kw(name, value)`.
    // Arguments given as rvalue Objects are consumed by the call, and so is the callee.
    template <class... A>
    Object operator()(A&&... args) const&;
    template <class... A>
    Object operator()(A&&... args) &&;

    // Calls method `name` with the given arguments (vectorcall, no bound method).
    template <class... A>
    Object call_method(PyObject* name, A&&... args) const&;
    template <class... A>
    Object call_method(PyObject* name, A&&... args) &&;

  private:
    Object(PyObject* p, int) noexcept : p_(p) { detail::note_born(this); }
    Object consumed() noexcept { return Object(std::exchange(p_, nullptr), 0); }
    PyObject* p_ = nullptr;
};

// A keyword argument in a call: fn(a, b, kw(str::timeout, ten)).  It owns its value.
struct Kw {
    PyObject* name;
    Object value;
};
inline Kw kw(PyObject* name, PyObject* value) { return {name, Object::borrow(value)}; }
inline Kw kw(PyObject* name, Object value) { return {name, std::move(value)}; }

namespace detail {
inline PyObject* borrowed(PyObject* p) noexcept { return p; }
inline PyObject* borrowed(const Object& o) noexcept { return o.get(); }
template <class T>
PyObject* borrowed(const T& t) noexcept
    requires requires { static_cast<PyObject*>(t); }
{
    return static_cast<PyObject*>(t);
}

template <class T>
constexpr bool is_kw = std::is_same_v<std::remove_cvref_t<T>, Kw>;

// After a call: an rvalue argument gives up its reference.
template <class A>
void consume(A&& arg) noexcept {
    if constexpr (!std::is_lvalue_reference_v<A>) {
        if constexpr (is_kw<A>) {
            Object gone(std::move(arg.value));
        } else if constexpr (std::is_base_of_v<Object, std::remove_cvref_t<A>>) {
            Object gone(std::move(static_cast<Object&>(arg)));
        }
    }
}

PyObject* keyword_names(PyObject* const* names, std::size_t n);

// Calls `target` (a callable, or with `self` given, the name of a method of `self`) with
// positional arguments followed by keyword ones, through vectorcall.
template <class... A>
Object vectorcall(PyObject* target, PyObject* self, A&&... args) {
    constexpr std::size_t nkw = (0 + ... + (is_kw<A> ? 1 : 0));
    constexpr std::size_t npos = sizeof...(A) - nkw;
    // Slot 0 holds self for a method call, else it is scratch space for the callee.
    PyObject* stack[1 + sizeof...(A)] = {self};
    Object names;
    if constexpr (nkw > 0) {
        PyObject* keys[nkw];
        std::size_t pos = 1, key = 1 + npos, k = 0;
        auto place = [&](const auto& a) {
            if constexpr (is_kw<decltype(a)>) {
                stack[key++] = a.value.get();
                keys[k++] = a.name;
            } else {
                stack[pos++] = borrowed(a);
            }
        };
        (place(args), ...);
        names = Object::steal(keyword_names(keys, nkw));
    } else {
        std::size_t pos = 1;
        ((stack[pos++] = borrowed(args)), ...);
    }
    PyObject* result =
        self != nullptr
            ? PyObject_VectorcallMethod(target, stack,
                                        (1 + npos) | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get())
            : PyObject_Vectorcall(target, stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                  names.get());
    (consume(std::forward<A>(args)), ...);
    return Object::steal(result);
}
}  // namespace detail

template <class... A>
Object Object::operator()(A&&... args) const& {
    return detail::vectorcall(p_, nullptr, std::forward<A>(args)...);
}
template <class... A>
Object Object::operator()(A&&... args) && {
    Object callee = consumed();
    return detail::vectorcall(callee.p_, nullptr, std::forward<A>(args)...);
}
template <class... A>
Object Object::call_method(PyObject* name, A&&... args) const& {
    return detail::vectorcall(name, p_, std::forward<A>(args)...);
}
template <class... A>
Object Object::call_method(PyObject* name, A&&... args) && {
    Object target = consumed();
    return detail::vectorcall(name, target.p_, std::forward<A>(args)...);
}

// ---- building values ------------------------------------------------------------------------

inline Object none() noexcept { return Object::borrow(Py_None); }
inline Object boolean(bool b) noexcept { return Object::borrow(b ? Py_True : Py_False); }
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
    ((Py_INCREF(detail::borrowed(items)), PyTuple_SET_ITEM(t.get(), i++, detail::borrowed(items))),
     ...);
    return t;
}
inline Object new_dict() { return Object::steal(PyDict_New()); }
// A dict made for `n` keys, as `{k1: v1, ...}` in source makes it (no resize while filled).
inline Object new_dict([[maybe_unused]] Py_ssize_t n) {
#if PY_VERSION_HEX < 0x030D0000
    return Object::steal(_PyDict_NewPresized(n));
#else
    return Object::steal(PyDict_New());  // the presizing call is internal from 3.13 on
#endif
}
inline Object new_list(Py_ssize_t n = 0) { return Object::steal(PyList_New(n)); }
inline Object import(const char* name) { return Object::steal(PyImport_ImportModule(name)); }
// `from module import name`, with the interpreter's "cannot import name" error.
Object import_from(const char* module, PyObject* name);
Object import_from(const Object& module, PyObject* name);
// `from <module_name> import <name>` as an import statement in a function of the module whose
// namespace is `globals` does it.  While builtins.__import__ is the interpreter's own, a module
// that sys.modules holds and that is not being initialised is used as it stands, which is
// what the statement finds too; otherwise the import machinery runs, through a replaced
// __import__ if there is one.  What it found last is kept with the versions of the dicts it
// read (Python < 3.12): while none has changed, that is the answer again, without the reads.
// `module_name` should be interned: it is a dict key.
Object import_statement(PyObject* module_name, PyObject* name, PyObject* globals);

// The UTF-8 bytes of a str (lone surrogates encoded as they are, "surrogatepass"); the view
// stays valid while `s` lives, and `keep` holds a copy when one had to be made.
std::string_view utf8_bytes(const Object& s, Object& keep);

// var.set(value) and var.reset(token).  A contextvars.ContextVar (a type nobody can subclass
// or change) is set and reset through the C API directly, as its methods do; anything else
// has its method called.
Object context_set(const Object& var, const Object& value);
void context_reset(const Object& var, const Object& token);

// Whether every byte is below 0x80, looked at eight at a time.
inline bool is_ascii(std::string_view s) noexcept {
    std::uint64_t seen = 0;
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, s.data() + i, 8);
        seen |= word;
    }
    for (; i < s.size(); ++i) seen |= static_cast<unsigned char>(s[i]);
    return (seen & 0x8080808080808080u) == 0;
}

// text.lower() == lower for bytes (ASCII case folding), where `lower` is lower-case ASCII
// letters only: a letter's bit 5 is the one bit that case flips, and setting it maps no byte
// but the upper-case letter onto the lower-case one, so the bytes are compared eight at a time.
inline bool equals_folded_letters(std::string_view text, std::string_view lower) noexcept {
    if (text.size() != lower.size()) return false;
    constexpr std::uint64_t bit5 = 0x2020202020202020u;
    std::size_t n = text.size();
    auto word = [](const char* p) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        return w;
    };
    if (n < 8) {
        for (std::size_t i = 0; i < n; ++i)
            if ((text[i] | 0x20) != lower[i]) return false;
        return true;
    }
    for (std::size_t i = 0; i + 8 <= n; i += 8)
        if ((word(text.data() + i) | bit5) != word(lower.data() + i)) return false;
    // The last eight bytes, overlapping the words already compared.
    return (word(text.data() + n - 8) | bit5) == word(lower.data() + n - 8);
}

// mapping.get(key, fallback), with a direct path for plain dicts (where a NULL fallback gives
// a NULL result for a missing key).
Object get(const Object& mapping, PyObject* key, PyObject* fallback = Py_None);

// `for item in iterable: body(item)`; `body` returns true to stop early ("break").  A list or
// tuple is walked in place (the list's length read again at every step, as its iterator does).
template <class Body>
void for_each(const Object& iterable, Body&& body) {
    PyObject* sequence = iterable.get();
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence); ++i) {
            if (body(Object::borrow(PySequence_Fast_GET_ITEM(sequence, i)))) return;
        }
        return;
    }
    Object it = Object::steal(PyObject_GetIter(sequence));
    while (PyObject* next = PyIter_Next(it.get())) {
        if (body(Object::steal_or_null(next))) return;
    }
    if (PyErr_Occurred()) fail();
}

// ---- process-lifetime objects -------------------------------------------------------------------

// An object made once per interpreter at module exec and kept for the interpreter's life:
// an interned name (`Name app{"app"};`) or a constant, made where it is declared
// (`Constant int_200{[] { return integer(200); }};`) or assigned by the module body
// (`Constant int_200;` then `int_200 = integer(200);`).  When the interpreter finalises, every
// one of them is forgotten (never touched again), so nothing points into a finished
// interpreter.
class Static {
  public:
    operator PyObject*() const noexcept { return obj_; }
    PyObject* get() const noexcept { return obj_; }
    // Interns every Name not yet made (at module exec, first).
    static void intern_all();
    // Makes every Static with an initialiser that is not made yet, in the order they were
    // constructed (within one source file, the order of declaration); at module exec, once
    // the layer's types are ready and before the module body.  Each extension module holds a
    // copy of the layer, so these are the Statics of the module being executed.
    static void initialise_all();
    static void forget_all() noexcept;

  protected:
    using Initialiser = void (*)(Static&);
    explicit Static(const char* name_text = nullptr, Initialiser init = nullptr) noexcept;
    ~Static() = default;
    PyObject* obj_ = nullptr;

  private:
    const char* name_text_;
    Initialiser init_;
    Static* next_;
};

class Name : public Static {
  public:
    explicit Name(const char* text) noexcept : Static(text) {}
};

class Constant : public Static {
  public:
    Constant() noexcept = default;
    // Made by `make` (a function, or a lambda without captures) at module exec.
    explicit Constant(Object (*make)()) noexcept : Static(nullptr, &made), make_(make) {}
    Constant& operator=(Object value) noexcept {
        Py_XSETREF(obj_, value.release());
        return *this;
    }

  private:
    static void made(Static& s) {
        auto& c = static_cast<Constant&>(s);
        c = c.make_();
    }
    Object (*make_)() = nullptr;
};

// ---- the exception being handled ------------------------------------------------------------

// Makes `exc` the exception being handled (what `sys.exc_info()` shows in an `except` or
// `finally` block, and the implicit context of errors raised meanwhile) for the guard's
// lifetime.  Inside a coroutine body the state belongs to that coroutine, so the guard may
// span `co_await`.  A NULL `exc` changes nothing.
class Handling {
  public:
    explicit Handling(PyObject* exc) noexcept;
    explicit Handling(const Error& e) noexcept : Handling(e.exception()) {}
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

  private:
    bool active_;
    PyObject *type_, *value_, *tb_;
};

// `raise exc`; the exception being handled, if any, becomes its context.
[[noreturn]] void raise(const Object& exc);
// `raise exc from cause`; a NULL cause is `from None`.
[[noreturn]] void raise_from(const Object& exc, PyObject* cause);
// The traceback attached to an exception instance, or None.
Object traceback_of(PyObject* exc);

// `with manager as value: return body(value)`.  The manager's __exit__ runs on every way
// out; an error from the block is being handled while it runs, and a true answer from it
// swallows the error (the block's result is then None).
namespace detail {
extern Name enter_name, exit_name, get_name, name_name, import_name, spec_name, initializing_name;
extern Name set_method_name, reset_method_name;
}
template <class Body>
Object with_block(const Object& manager, Body&& body) {
    Object type = manager.type_object();
    Object enter = type.attr(detail::enter_name);
    Object exit = type.attr(detail::exit_name);
    Object value = enter(manager);
    Object result;
    try {
        result = body(value);
    } catch (const Error& e) {
        Handling handling(e);
        PyObject* exc = e.exception();
        if (exit(manager, Object::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                 traceback_of(exc))
                .truthy())
            return none();
        throw;
    }
    exit(manager, Py_None, Py_None, Py_None);
    return result;
}

// ---- boundaries ------------------------------------------------------------------------------

// Turns the C++ exception being handled into a set Python error.
void translate_current_exception() noexcept;
// The C++ exception being handled, as an Error (inside a `catch (...)` block).
Error current_error() noexcept;

// Runs `body` where CPython called us; a thrown Error (or any C++ exception, turned into a
// Python error) becomes `failure` with the error set.  No C++ exception crosses into CPython.
template <class R, class F>
auto guard(R failure, F&& body) noexcept -> R {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
        return failure;
    }
}

// Saves the thread's error indicator for the guard's lifetime (for code that must call into
// Python while an error may be set, such as a finalizer) and restores it afterwards.
class ErrorStash {
  public:
    // (With no error set, there is nothing to take out; one left behind is dropped.)
    ErrorStash() noexcept {
        if (PyErr_Occurred() != nullptr) PyErr_Fetch(&type_, &value_, &tb_);
    }
    ~ErrorStash() {
        if (type_ != nullptr || PyErr_Occurred() != nullptr) PyErr_Restore(type_, value_, tb_);
    }
    ErrorStash(const ErrorStash&) = delete;
    ErrorStash& operator=(const ErrorStash&) = delete;

  private:
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
};

}  // namespace py
