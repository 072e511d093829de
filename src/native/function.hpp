// Python-function-like methods implemented in C++.
//
// A method is declared once, as data (`FunctionDef`: name, parameters with annotations,
// defaults and argument checks, docstring, body).  `make_function` turns it into a function
// object that binds to instances like a Python function, is called through vectorcall,
// checks its arguments with the interpreter's own messages and hands the body owned values.
#pragma once

#include <array>
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
};

// A parameter default, written as a literal.
struct Default {
    enum Kind { absent, none_value, text_value, int_value, bool_value } kind = absent;
    const char* text = nullptr;
    long long number = 0;

    static constexpr Default None() { return {none_value}; }
    static constexpr Default Text(const char* s) { return {text_value, s}; }
    static constexpr Default Int(long long v) { return {int_value, nullptr, v}; }
    static constexpr Default Bool(bool b) { return {bool_value, nullptr, b ? 1 : 0}; }
    bool present() const { return kind != absent; }
};

struct Param {
    const char* name;
    const char* annotation = nullptr;  // stored as text, never evaluated
    Check check = Check::any;
    Default default_value = {};
    bool keyword_only = false;
};

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
};

// ---- adapters from ordinary C++ functions to bodies ----------------------------------------
//
//   Object extract_token(Object self, Object scope);            -> fn<&extract_token>
//   void   init(Object self, Object app, ...);                  -> fn<&init>
//   Task   call(Object self, Object scope, ...);                -> fn<&call>
//   Task   tracking_send(Object state, Object message);         -> closure_fn<&tracking_send>

namespace detail {
template <class F>
struct arity;
template <class R, class... A>
struct arity<R (*)(A...)> {
    static constexpr size_t value = sizeof...(A);
    using result = R;
};

template <auto F, bool WithClosure, size_t... I>
Object invoke(PyObject* closure, Object* args, std::index_sequence<I...>) {
    using R = typename arity<decltype(F)>::result;
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
    constexpr size_t n = arity<decltype(F)>::value - (WithClosure ? 1 : 0);
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

// What a declaration compiles to once, at module exec: the interned parameter names and the
// literal defaults as objects.  Lives for the whole process.
struct FunctionProto;

// Compiles `def` for functions whose `__module__` is `module_name`.
FunctionProto* compile(const FunctionDef& def, const char* module_name);

// A new function object for `proto`; `closure` (may be NULL) is handed to the body.
Object make_function(FunctionProto* proto, PyObject* closure = nullptr);

// `type(name, (), namespace)` with `__module__`, `__qualname__`, `__doc__` first, then the
// given members in order.
Object make_class(const char* name, const char* module_name, const char* doc,
                  std::initializer_list<std::pair<const char*, Object>> members);

// Ready the function and coroutine types (idempotent).
void ready_types();

}  // namespace py
