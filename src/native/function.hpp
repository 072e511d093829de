// Python-function-like methods implemented in C++.
//
// A method is declared once, as data (`FunctionDef`: name, parameters with annotations,
// defaults and argument checks, docstring, body).  `make_function` turns it into a function
// object that binds to instances like a Python function, is called through vectorcall,
// checks its arguments with the messages the modules' contract fixes and hands the body
// owned values.
#pragma once

#include <source_location>
#include <utility>
#include <vector>

#include "coroutine.hpp"
#include "object.hpp"

namespace py {

// How an argument is checked and converted before the body runs.
enum class Check {
    any,          // anything, unchecked
    str,          // exactly str
    str_or_none,  // exactly str, or None
    integer,      // int unchanged; another number converted by int() (truncation)
    boolean,      // anything; the body receives its truth value (True/False)
    real,         // float unchanged; another real number converted by float() (int, Fraction)
};

// A parameter default, written as a literal.
struct Default {
    enum Kind { absent, none_value, text_value, int_value, bool_value, float_value, empty_tuple } kind =
        absent;
    const char* text = nullptr;
    long long number = 0;
    double real = 0.0;

    static constexpr Default None() { return {none_value}; }
    static constexpr Default Text(const char* s) { return {text_value, s}; }
    static constexpr Default Int(long long v) { return {int_value, nullptr, v}; }
    static constexpr Default Bool(bool b) { return {bool_value, nullptr, b ? 1 : 0}; }
    static constexpr Default Float(double v) { return {float_value, nullptr, 0, v}; }
    static constexpr Default EmptyTuple() { return {empty_tuple}; }
    bool present() const { return kind != absent; }
};

struct Param {
    const char* name;
    const char* annotation = nullptr;  // stored as text, never evaluated
    Check check = Check::any;
    Default default_value = {};
    bool keyword_only = false;
};

// A keyword-only parameter.
inline Param keyword(const char* name, const char* annotation, Check check = Check::any,
                     Default value = {}) {
    return {.name = name,
            .annotation = annotation,
            .check = check,
            .default_value = value,
            .keyword_only = true};
}

// The body receives the function's closure (NULL for plain methods) and the bound,
// checked arguments, one owned Object per parameter, `self` first.
// For coroutine bodies the result is the (not yet started) coroutine object.
using SyncBody = Object (*)(PyObject* closure, Object* args);

struct FunctionDef {
    const char* name;
    const char* qualname;
    const char* doc = nullptr;      // NULL: no docstring
    const char* returns = nullptr;  // return annotation text; NULL: none
    std::vector<Param> params;
    SyncBody body = nullptr;
    bool is_async = false;
    // For an async function of one parameter whose body is `<step>; await <what it made>`:
    // the step, run by a frameless coroutine (see forwarding_coroutine); no `body` then.
    ForwardingStep forwarding = nullptr;
    // Where the declaration stands: the line of the method's cr_code.
    std::source_location where = std::source_location::current();
};

// ---- adapters from ordinary C++ functions to bodies ----------------------------------------
//
//   Object extract_token(Object self, Object scope);            -> fn<&extract_token>
//   void   init(Object self, Object app, ...);                  -> fn<&init>
//   Task   call(Object self, Object scope, ...);                -> fn<&call>
//   Task   tracking_send(Object state, Object message);         -> closure_fn<&tracking_send>

namespace detail {
template <class F>
struct signature;
template <class R, class... A>
struct signature<R (*)(A...)> {
    static constexpr std::size_t arity = sizeof...(A);
    using result = R;
};

template <auto F, bool WithClosure, std::size_t... I>
Object invoke(PyObject* closure, Object* args, std::index_sequence<I...>) {
    using R = typename signature<decltype(F)>::result;
    auto call = [&]() -> decltype(auto) {
        if constexpr (WithClosure)
            return F(Object::borrow(closure), std::move(args[I])...);
        else
            return F(std::move(args[I])...);
    };
    if constexpr (std::is_void_v<R>) {
        call();
        return none();
    } else if constexpr (std::is_same_v<R, Object>) {
        return call();
    } else {
        return call().into_object();  // a coroutine task
    }
}

template <auto F, bool WithClosure>
Object adapt(PyObject* closure, Object* args) {
    constexpr std::size_t n = signature<decltype(F)>::arity - (WithClosure ? 1 : 0);
    return invoke<F, WithClosure>(closure, args, std::make_index_sequence<n>{});
}
}  // namespace detail

// The body for a method implemented by F (plain or coroutine), and for a nested function
// whose closure object comes first.
template <auto F>
inline constexpr SyncBody fn = &detail::adapt<F, false>;
template <auto F>
inline constexpr SyncBody closure_fn = &detail::adapt<F, true>;

// ---- function objects ----------------------------------------------------------------------

// What a declaration compiles to once, at module exec: the interned parameter names, the
// literal defaults as objects, and its coroutines' code.  Lives for the interpreter's life.
struct FunctionProto;

// The module that functions are defined in.
struct ModuleInfo {
    const char* name;         // dotted name, the functions' __module__
    const char* source_file;  // shown as their coroutines' code file
    PyObject* globals;        // the module's namespace
};

// Compiles `def` for functions of `module`.
FunctionProto* compile(const FunctionDef& def, const ModuleInfo& module);

// A new function object for `proto`; `closure` (may be NULL) is handed to the body.
Object make_function(FunctionProto* proto, PyObject* closure = nullptr);
// The closure a function object made by make_function holds (borrowed).
PyObject* closure_of(PyObject* function) noexcept;

// ---- closures that are their own function ---------------------------------------------------
//
// A nested function made on every call of its outer method (a send wrapper per request) as
// one object that holds its own closure state: it calls like the declared function (`def`,
// which has a forwarding step), and shows that function's attributes through a full function
// object made the first time someone looks at or sets one.  A type of such objects starts
// with a ClosureFunction and adds its own fields.

struct ClosureFunction {
    PyObject_HEAD vectorcallfunc vectorcall;
    FunctionProto* proto;
    PyObject* function;  // the full function object, once asked for
    PyObject* weakreflist;
};

// Readies `type` for objects of `basicsize` bytes that start with a ClosureFunction;
// `traverse` and `clear` cover the type's own fields and call the two below.
void ready_closure_function_type(PyTypeObject* type, const char* name, Py_ssize_t basicsize,
                                 traverseproc traverse, inquiry clear, destructor dealloc);
void init_closure_function(ClosureFunction* f, FunctionProto* proto) noexcept;
// A new object of such a type (reference count one, untracked, fields to fill), and the
// type's dealloc (with its own `clear`): their memory is recycled.
PyObject* new_closure_function(PyTypeObject* type);
void dealloc_closure_function(PyObject* op, inquiry clear) noexcept;
int closure_function_traverse(ClosureFunction* f, visitproc visit, void* arg);
void closure_function_clear(ClosureFunction* f) noexcept;

// A coroutine made by running the body of `function` directly (the function found unreplaced
// by a MethodLookup): named as a call through the function would name it.
Object named_after(PyObject* function, Object coroutine);

// `self.<name>` as a method call looks it up (the interpreter's LOAD_METHOD).  `finds(fn)`
// says whether that is the class's own function `fn`, with nothing on the instance, a
// subclass or a custom attribute lookup in its place, so that the caller may run its body
// directly; calling the lookup calls whatever it found.
class MethodLookup {
  public:
    MethodLookup(const Object& self, PyObject* name);
    bool finds(PyObject* function) const noexcept { return unbound_ && method_.is(function); }
    template <class... A>
    Object operator()(A&&... args) const {
        if (unbound_) return method_(self_, std::forward<A>(args)...);
        return method_(std::forward<A>(args)...);
    }

  private:
    const Object& self_;
    Object method_;
    bool unbound_;
};

// `type(name, (), namespace)` with `__module__`, `__qualname__`, `__doc__` first, then the
// given members in order.
Object make_class(const char* name, const char* module_name, const char* doc,
                  std::initializer_list<std::pair<const char*, Object>> members);
// The same with base classes: `type(name, bases, namespace)`, `bases` a tuple.  The metaclass
// is the bases' (`type` for plain classes), as a class statement would pick it.
Object make_class(const char* name, const char* module_name, const char* doc, const Object& bases,
                  std::initializer_list<std::pair<const char*, Object>> members);

// Readies the function and coroutine types, named after the extension module that holds this
// copy of the layer (idempotent).
void ready_types(const char* module_name);

}  // namespace py
