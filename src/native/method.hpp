// A class's own method, as a handle: its declaration and the function object made from it.
//
// `Method own_send_401{send_401_def};` makes the function when the module is executed (put it
// in the class namespace with `own_send_401.object()`); `own_send_401.call(self, own, args...)`
// is `self._send_401(args...)` that runs `own()` (our body, directly) when the lookup finds
// that very function unreplaced, and calls whatever it found otherwise.
#pragma once

#include <type_traits>
#include <utility>

#include "function.hpp"
#include "module.hpp"

namespace py {

class Method : public Static {
  public:
    // `def` is the declaration of a method of the module being executed; the class holds it
    // under its own name, `def.name`.
    explicit Method(const FunctionDef& def) noexcept : Static(nullptr, &made), def_(def) {}

    // The function object (borrowed), for named_after and comparisons.
    PyObject* function() const noexcept { return obj_; }
    // A reference to it, for the class namespace.
    Object object() const noexcept { return Object::borrow(obj_); }

    // `self.<name>(args...)`: `own()` when the lookup finds this function unreplaced (on the
    // class, nothing on the instance or a subclass in its place), else whatever it found,
    // called with `args` (keywords as `kw(...)`).  `own` returns an Object, nothing (None), or
    // a Task/ValueTask whose coroutine is named as a call through the function names it.
    template <class Own, class... A>
    Object call(const Object& self, Own&& own, A&&... args) const {
        MethodLookup found(self, name_);
        if (found.finds(obj_)) return own_result(std::forward<Own>(own));
        return found(std::forward<A>(args)...);
    }
    // The same, where our body may run only when `own_fits` (say, the arguments pass the
    // checks the declaration makes, which the call through the function would report).
    template <class Own, class... A>
    Object call_if(bool own_fits, const Object& self, Own&& own, A&&... args) const {
        MethodLookup found(self, name_);
        if (own_fits && found.finds(obj_)) return own_result(std::forward<Own>(own));
        return found(std::forward<A>(args)...);
    }

  private:
    static void made(Static& s) {
        auto& m = static_cast<Method&>(s);
        m.name_ = Object::steal(PyUnicode_InternFromString(m.def_.name));
        m.obj_ = detail::executing_module().function(m.def_).release();
    }

    template <class Own>
    Object own_result(Own&& own) const {
        using R = std::invoke_result_t<Own>;
        if constexpr (std::is_void_v<R>) {
            own();
            return none();
        } else if constexpr (NativeTask<R>) {
            return named_after(obj_, own().into_object());
        } else {
            return own();
        }
    }

    const FunctionDef& def_;
    Constant name_;  // def.name, interned
};

}  // namespace py
