#include "keys.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

using namespace py;

namespace keys {

namespace {

namespace str {
Name safe{"safe"}, empty{""}, status_code{"status_code"}, json{"json"}, get{"get"};
Name valid{"valid"};
}  // namespace str

Constant int_200, quote, quote_plus;

}  // namespace

void prepare() {
    int_200 = integer(200);
    Object parse = import("urllib.parse");
    quote = parse.attr("quote");
    quote_plus = parse.attr("quote_plus");
}

bool same_key(const Object& a, const Object& b) {
    if (!PyUnicode_CheckExact(a.get()) || !PyUnicode_CheckExact(b.get())) return a.equals(b);
    Object keep_a, keep_b;
    std::string_view x = utf8_bytes(a, keep_a), y = utf8_bytes(b, keep_b);
    // Every byte of the longer one is looked at, eight at a time where both have them.
    size_t n = std::max(x.size(), y.size());
    std::uint64_t diff = x.size() == y.size() ? 0u : 1u;
    size_t i = 0;
    for (; i + 8 <= x.size() && i + 8 <= y.size(); i += 8) {
        std::uint64_t wx, wy;
        std::memcpy(&wx, x.data() + i, 8);
        std::memcpy(&wy, y.data() + i, 8);
        diff |= wx ^ wy;
    }
    for (; i < n; ++i) {
        unsigned char cx = i < x.size() ? static_cast<unsigned char>(x[i]) : 0;
        unsigned char cy = i < y.size() ? static_cast<unsigned char>(y[i]) : 0;
        diff |= static_cast<unsigned>(cx ^ cy);
    }
    return diff == 0;
}

bool shows_key(const Object& message, const Object& api_key) {
    auto shows = [&](const Object& needle) {
        return PyUnicode_Check(needle.get()) && PyUnicode_GET_LENGTH(needle.get()) > 0 &&
               message.contains(needle.get());
    };
    auto inner = [](const Object& r, Py_ssize_t skip) {
        return Object::steal(PyUnicode_Substring(r.get(), skip, PyUnicode_GET_LENGTH(r.get()) - 1));
    };
    Object str_repr = Object::steal(PyObject_Repr(api_key.get()));
    Object bytes_repr = Object::steal(PyObject_Repr(
        Object::steal(PyUnicode_AsEncodedString(api_key.get(), "utf-8", "surrogatepass")).get()));
    return shows(api_key) || shows(inner(str_repr, 1)) || shows(inner(bytes_repr, 2)) ||
           shows(Object::borrow(quote)(api_key, kw(str::safe, str::empty))) ||
           shows(Object::borrow(quote_plus)(api_key));
}

Object loggable_error(PyObject* exc, const Object& api_key) {
    Object type_name = text(Py_TYPE(exc)->tp_name);
    if (PyErr_GivenExceptionMatches(exc, PyExc_UnicodeError)) return type_name;
    try {
        Object message = Object::borrow(exc).str();
        return shows_key(message, api_key) ? type_name : message;
    } catch (const Error&) {
        return type_name;
    }
}

Object confirmed_identity(const Object& response) {
    if (!response.attr(str::status_code).equals(int_200)) return none();
    Object data = response.call_method(str::json);
    if (!data.call_method(str::get, str::valid).truthy()) return none();
    if (!PyDict_CheckExact(data.get()))
        raise_format(PyExc_TypeError, "Expected %s, got %.200s", "dict", data.type()->tp_name);
    return data;
}

}  // namespace keys
