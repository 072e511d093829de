#include "object.hpp"

#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace py {

// ---- errors -------------------------------------------------------------------------------

Error Error::fetch() noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) {
        // A failure reported without an exception: make the bug visible, never pass silently.
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        PyErr_Fetch(&type, &value, &tb);
    }
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    if (value == nullptr) {  // normalisation itself failed hard; keep what it left
        PyErr_Fetch(&type, &value, &tb);
        Py_XDECREF(type);
        Py_XDECREF(tb);
    }
    return Error(value);
}

void Error::restore() && noexcept {
    PyObject* value = std::exchange(exc_, nullptr);
    if (value == nullptr) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        return;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
}

void raise(const Object& exc) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    fail();
}

void raise_from(const Object& exc, PyObject* cause) {
    Py_XINCREF(cause);
    PyException_SetCause(exc.get(), cause);  // also suppresses the implicit context
    raise(exc);
}

Object traceback_of(PyObject* exc) {
    PyObject* tb = PyException_GetTraceback(exc);
    return tb ? Object::steal(tb) : none();
}

Handling::Handling(PyObject* exc) noexcept : active_(exc != nullptr) {
    if (!active_) return;
    PyErr_GetExcInfo(&type_, &value_, &tb_);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    Py_INCREF(exc);
    PyErr_SetExcInfo(type, exc, PyException_GetTraceback(exc));
}

Handling::~Handling() {
    if (active_) PyErr_SetExcInfo(type_, value_, tb_);
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (Error& e) {
        std::move(e).restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "unexpected native error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected native error");
    }
}

Error current_error() noexcept {
    try {
        throw;
    } catch (Error& e) {
        return std::move(e);
    } catch (...) {
        translate_current_exception();
        return Error::fetch();
    }
}

Name detail::enter_name{"__enter__"}, detail::exit_name{"__exit__"}, detail::get_name{"get"};
Name detail::name_name{"__name__"}, detail::import_name{"__import__"};
Name detail::spec_name{"__spec__"}, detail::initializing_name{"_initializing"};

// ---- references ------------------------------------------------------------------------------

PyObject* detail::get_attribute(PyObject* obj, PyObject* name) noexcept {
#if PY_VERSION_HEX < 0x030B0000  // from 3.11 on, instances of classes keep their values inline
    // PyObject_GenericGetAttr's steps, in its order, where they end in the instance's dict: no
    // data descriptor of the type shadows the name, and the dict has it.  Only a dict with a
    // split table (the keys its class's instances share, all of them exact strs) is read
    // here, where a lookup runs no code and cannot fail.  A miss, and any other case, is left
    // to the full lookup.
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro == PyObject_GenericGetAttr && type->tp_dictoffset > 0 &&
        PyUnicode_CheckExact(name)) {
        PyObject* dict =
            *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + type->tp_dictoffset);
        if (dict != nullptr && PyDict_CheckExact(dict) &&
            reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr) {
            PyObject* descr = _PyType_Lookup(type, name);
            if (descr == nullptr || Py_TYPE(descr)->tp_descr_get == nullptr ||
                Py_TYPE(descr)->tp_descr_set == nullptr) {
                if (PyObject* value = PyDict_GetItemWithError(dict, name)) {
                    Py_INCREF(value);
                    return value;
                }
            }
        }
    }
#endif
    return PyObject_GetAttr(obj, name);
}

Object Object::attr_or_null(PyObject* name) const {
    PyObject* value = PyObject_GetAttr(p_, name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
        PyErr_Clear();
    }
    return Object(value, 0);
}

PyObject* detail::keyword_names(PyObject* const* names, std::size_t n) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(n));
    if (tuple == nullptr) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        Py_INCREF(names[i]);
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), names[i]);
    }
    return tuple;
}

std::string_view utf8_bytes(const Object& s, Object& keep) {
    if (PyUnicode_CheckExact(s.get()) && PyUnicode_IS_COMPACT_ASCII(s.get()))  // as it is
        return {static_cast<const char*>(PyUnicode_DATA(s.get())),
                static_cast<size_t>(PyUnicode_GET_LENGTH(s.get()))};
    Py_ssize_t size;
    if (const char* data = PyUnicode_AsUTF8AndSize(s.get(), &size))
        return {data, static_cast<size_t>(size)};  // kept by the str itself; ASCII: no copy
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) fail();
    PyErr_Clear();
    keep = Object::steal(PyUnicode_AsEncodedString(s.get(), "utf-8", "surrogatepass"));
    return {PyBytes_AS_STRING(keep.get()), static_cast<size_t>(PyBytes_GET_SIZE(keep.get()))};
}

Object get(const Object& mapping, PyObject* key, PyObject* fallback) {
    if (PyDict_CheckExact(mapping.get())) {
        PyObject* value = PyDict_GetItemWithError(mapping.get(), key);
        if (value == nullptr && PyErr_Occurred()) fail();
        return Object::borrow_or_null(value ? value : fallback);
    }
    if (fallback == nullptr) return mapping.call_method(detail::get_name, key);
    return mapping.call_method(detail::get_name, key, fallback);
}

Name detail::set_method_name{"set"}, detail::reset_method_name{"reset"};

Object context_set(const Object& var, const Object& value) {
    if (PyContextVar_CheckExact(var.get()))
        return Object::steal(PyContextVar_Set(var.get(), value.get()));
    return var.call_method(detail::set_method_name, value);
}

void context_reset(const Object& var, const Object& token) {
    // ContextVar.reset refuses a token of another type with its own message: left to it.
    if (PyContextVar_CheckExact(var.get()) && PyContextToken_CheckExact(token.get())) {
        check(PyContextVar_Reset(var.get(), token.get()));
        return;
    }
    var.call_method(detail::reset_method_name, token);
}

Object import_from(const Object& module, PyObject* name) {
    Object value = module.attr_or_null(name);
    if (!value.null()) return value;
    // As the interpreter's IMPORT_FROM: a submodule of that name may be in sys.modules.
    Object package = module.attr_or_null(detail::name_name);
    if (!package.null() && PyUnicode_Check(package.get())) {
        Object full = Object::steal(PyUnicode_FromFormat("%U.%U", package.get(), name));
        Object submodule = Object::steal_or_null(PyImport_GetModule(full.get()));
        if (PyErr_Occurred()) fail();
        if (!submodule.null()) return submodule;
    }
    if (package.null()) package = text("<unknown module name>");
    PyObject* file = PyModule_Check(module.get()) ? PyModule_GetFilenameObject(module.get())
                                                  : nullptr;
    if (file == nullptr) {
        PyErr_Clear();
        Object message = Object::steal(PyUnicode_FromFormat(
            "cannot import name %R from %R (unknown location)", name, package.get()));
        PyErr_SetImportError(message.get(), package.get(), nullptr);
    } else {
        Object path = Object::steal(file);
        Object message = Object::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)",
                                                            name, package.get(), path.get()));
        PyErr_SetImportError(message.get(), package.get(), path.get());
    }
    fail();
}

// Whether `f` is the interpreter's own builtins.__import__ (not a replacement).
static bool is_interpreter_import(PyObject* f) {
    static PyObject* seen = nullptr;  // only compared, never used
    if (f == seen) return true;
    if (!PyCFunction_Check(f)) return false;
    auto* function = reinterpret_cast<PyCFunctionObject*>(f);
    PyObject* owner = function->m_self;
    if (std::string_view(function->m_ml->ml_name) != "__import__" || owner == nullptr ||
        !PyModule_Check(owner))
        return false;
    const char* owner_name = PyModule_GetName(owner);
    if (owner_name == nullptr) {
        PyErr_Clear();
        return false;
    }
    if (std::string_view(owner_name) != "builtins") return false;
    seen = f;
    return true;
}

// getattr(module, name), or NULL when missing.  A plain module keeps its attributes in its
// dict and its type defines none of the names asked for here, so the dict answers directly.
// `direct` says whether the dict answered (no code of anyone else's ran).
static Object module_attribute(const Object& module, PyObject* name, bool* direct = nullptr) {
    if (direct != nullptr) *direct = false;
    if (PyModule_CheckExact(module.get())) {
        PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module.get()), name);
        if (value != nullptr) {
            if (direct != nullptr) *direct = true;
            return Object::borrow(value);
        }
        if (PyErr_Occurred()) fail();
    }
    return module.attr_or_null(name);  // a module __getattr__, a subclass: the full lookup
}

#if PY_VERSION_HEX < 0x030C0000  // dict versions (PEP 509), deprecated from 3.12 on
#define TERVIK_IMPORT_MEMO 1
#endif

namespace {
// What an import statement's answer depended on: the dicts it read (builtins, sys.modules, the
// module's namespace, the ModuleSpec's attributes) at their versions, and the ModuleSpec's
// type at its version tag.  A dict's version changes with every change of its contents and is never
// reused, and so is a type's tag (also on a change of its bases): while all are as they were,
// the statement finds the same object again.  Pointers are only compared: each unchanged
// dict keeps alive what the next one is reached through.
struct ImportMemo {
    PyObject* module_name = nullptr;
    PyObject* name = nullptr;
    PyObject* builtins = nullptr;
    PyObject* modules = nullptr;
    PyObject* module = nullptr;
    PyObject* module_dict = nullptr;
    PyObject* spec = nullptr;  // module.__spec__, or NULL when the module has none
    PyTypeObject* spec_type = nullptr;
    PyObject* spec_dict = nullptr;  // may be NULL
    std::uint64_t builtins_version = 0, modules_version = 0, module_version = 0;
    std::uint64_t spec_version = 0;
    unsigned int spec_type_tag = 0;
    bool pure = true;  // every read answered by a dict, no code of anyone else's run
};

#ifdef TERVIK_IMPORT_MEMO
std::uint64_t version_of(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// The ModuleSpec's own attribute dict, as a generic attribute lookup finds it (NULL: none).
PyObject* instance_dict(PyObject* obj) {
    PyObject** slot = _PyObject_GetDictPtr(obj);
    return slot != nullptr ? *slot : nullptr;
}

ImportMemo import_memo;       // the last statement that found its name in sys.modules' module
Constant import_memo_value;   // what it found; NULL while nothing is remembered

// The versions `memo` holds are still the ones of the objects it names.
bool unchanged(const ImportMemo& m) {
    if (!PyDict_CheckExact(m.builtins) || version_of(m.builtins) != m.builtins_version) return false;
    if (!PyDict_CheckExact(m.modules) || version_of(m.modules) != m.modules_version) return false;
    if (!PyModule_CheckExact(m.module) || version_of(m.module_dict) != m.module_version) return false;
    if (m.spec == nullptr) return true;
    PyTypeObject* type = Py_TYPE(m.spec);
    if (type != m.spec_type || !PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ||
        type->tp_version_tag != m.spec_type_tag)
        return false;
    PyObject* dict = instance_dict(m.spec);
    return dict == m.spec_dict && (dict == nullptr || version_of(dict) == m.spec_version);
}
#endif
}  // namespace

// Whether a module in sys.modules is still running its body (its __spec__ says so).  `memo`
// learns the ModuleSpec and what reading its flag depended on.
static bool initializing(const Object& module, ImportMemo& memo) {
    bool direct;
    Object spec = module_attribute(module, detail::spec_name, &direct);
    memo.pure = memo.pure && direct;
    if (spec.null()) return false;
#ifdef TERVIK_IMPORT_MEMO
    // The flag is read from the ModuleSpec's dict alone when its type neither defines the name
    // nor looks attributes up its own way.
    PyTypeObject* type = spec.type();
    PyObject* dict = instance_dict(spec.get());
    if (type->tp_getattro != PyObject_GenericGetAttr || (dict != nullptr && !PyDict_CheckExact(dict)) ||
        _PyType_Lookup(type, detail::initializing_name) != nullptr ||
        !PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
        memo.pure = false;
    } else {
        memo.spec = spec.get();
        memo.spec_type = type;
        memo.spec_type_tag = type->tp_version_tag;
        memo.spec_dict = dict;
        memo.spec_version = dict != nullptr ? version_of(dict) : 0;
    }
#endif
    Object flag = spec.attr_or_null(detail::initializing_name);
    if (!flag.null() && !flag.is(Py_False)) memo.pure = false;
    return !flag.null() && flag.truthy();
}

Object import_statement(PyObject* module_name, PyObject* name, PyObject* globals) {
    PyObject* builtins = PyEval_GetBuiltins();
    ImportMemo memo;
#ifdef TERVIK_IMPORT_MEMO
    if (PyObject* value = import_memo_value.get(); value != nullptr &&
        import_memo.module_name == module_name && import_memo.name == name &&
        import_memo.builtins == builtins && unchanged(import_memo))
        return Object::borrow(value);
    memo.module_name = module_name;
    memo.name = name;
    memo.builtins = builtins;
    memo.pure = PyDict_CheckExact(builtins);
    if (memo.pure) memo.builtins_version = version_of(builtins);
#endif
    PyObject* import_function = PyDict_GetItemWithError(builtins, detail::import_name);
    if (import_function == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        fail();
    }
    if (is_interpreter_import(import_function)) {
        // The statement's own lookup: sys.modules, and a module that another thread is still
        // initialising is waited for (PyImport_GetModule does the waiting).
        PyObject* modules = PyImport_GetModuleDict();
        PyObject* found = PyDict_CheckExact(modules)
                              ? PyDict_GetItemWithError(modules, module_name)
                              : nullptr;
        if (found == nullptr && PyErr_Occurred()) fail();
        Object module = Object::borrow_or_null(found);
        if (!module.null() && !module.is_none()) {
#ifdef TERVIK_IMPORT_MEMO
            memo.modules = modules;
            memo.modules_version = version_of(modules);
            memo.module = module.get();
            memo.pure = memo.pure && PyModule_CheckExact(module.get());
            if (memo.pure) {
                memo.module_dict = PyModule_GetDict(module.get());
                memo.module_version = version_of(memo.module_dict);
            }
#endif
            if (initializing(module, memo)) {
                memo.pure = false;
                module = Object::steal_or_null(PyImport_GetModule(module_name));
                if (PyErr_Occurred()) fail();
            }
        }
        if (!module.null() && !module.is_none()) {
            bool direct;
            if (Object value = module_attribute(module, name, &direct); !value.null()) {
#ifdef TERVIK_IMPORT_MEMO
                // Remembered only when nothing changed while it was read.
                if (memo.pure && direct && unchanged(memo)) {
                    import_memo_value = value;
                    import_memo = memo;
                }
#endif
                return value;
            }
        }
        Object fromlist = tuple(Object::borrow(name));
        return import_from(Object::steal(PyImport_ImportModuleLevelObject(
                               module_name, globals, Py_None, fromlist.get(), 0)),
                           name);
    }
    Object module = Object::borrow(import_function)(module_name, globals, Py_None,
                                                    tuple(Object::borrow(name)), integer(0));
    return import_from(module, name);
}

Object import_from(const char* module_name, PyObject* name) {
    return import_from(import(module_name), name);
}


// ---- process-lifetime objects -------------------------------------------------------------------

namespace {
Static*& all_statics() {
    static Static* head = nullptr;
    return head;
}
}  // namespace

Static::Static(const char* name_text, Initialiser init) noexcept
    : name_text_(name_text), init_(init), next_(all_statics()) {
    all_statics() = this;
}

void Static::forget_all() noexcept {
    // Parked, not released: the interpreter that owned them is gone, so no reference count
    // may be touched; they stay allocated (and visibly so, for leak checkers) until exit.
    static auto* parked = new std::vector<PyObject*>();  // never destroyed
    for (Static* s = all_statics(); s != nullptr; s = s->next_) {
        if (s->obj_ != nullptr) parked->push_back(s->obj_);
        s->obj_ = nullptr;
    }
}

void Static::initialise_all() {
    // The list holds the last constructed first.
    std::vector<Static*> pending;
    for (Static* s = all_statics(); s != nullptr; s = s->next_) {
        if (s->init_ != nullptr && s->obj_ == nullptr) pending.push_back(s);
    }
    for (auto s = pending.rbegin(); s != pending.rend(); ++s) (*s)->init_(**s);
}

void Static::intern_all() {
    for (Static* s = all_statics(); s != nullptr; s = s->next_) {
        if (s->name_text_ != nullptr && s->obj_ == nullptr)
            s->obj_ = check(PyUnicode_InternFromString(s->name_text_));
    }
}

}  // namespace py
