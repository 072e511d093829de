#include "gate_common.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

using namespace py;

namespace gate_common {

namespace {

namespace str {
Name safe{"safe"}, empty{""}, status_code{"status_code"}, json{"json"}, get{"get"};
Name valid{"valid"}, type{"type"}, http_response_body{"http.response.body"}, body{"body"};
Name more_body{"more_body"}, expected_asgi_message{"Expected ASGI message"};
}  // namespace str

Constant int_200, empty_bytes, quote, quote_plus;

Object closing_body_message() {
    Object message = new_dict();
    message.set_item(str::type, str::http_response_body);
    message.set_item(str::body, empty_bytes);
    message.set_item(str::more_body, Py_False);
    return message;
}

Task close_response(Object send, Object failure) {
    Handling handling(failure.get());
    Outcome closed = co_await attempt([&] { return send(closing_body_message()); });
    if (!closed.failed_with(PyExc_Exception)) std::move(closed).get();
}

}  // namespace

void prepare() {
    int_200 = integer(200);
    empty_bytes = bytes("");
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

void check_sendable(const Object& api_key) {
    if (!PyUnicode_Check(api_key.get())) return;
    Object keep;
    std::string_view key = utf8_bytes(api_key, keep);
    bool sendable = key.find_first_of(std::string_view("\0\r\n\v\f", 5)) == std::string_view::npos;
    if (sendable && !key.empty()) {
        auto blank = [](char c) { return c == ' ' || c == '\t'; };
        sendable = !blank(key.front()) && !blank(key.back());
    }
    if (!sendable) raise(PyExc_ValueError, "the API key cannot be sent as an HTTP header value");
}

Object confirming_answer(const Object& data) {
    if (!data.call_method(str::get, str::valid).truthy()) return none();
    if (!PyDict_CheckExact(data.get()))
        raise_format(PyExc_TypeError, "Expected %s, got %.200s", "dict", data.type()->tp_name);
    return data;
}

Object confirmed_identity(const Object& response) {
    if (!response.attr(str::status_code).equals(int_200)) return none();
    return confirming_answer(response.call_method(str::json));
}

void forgive_expected_asgi_message(Outcome& outcome) {
    if (!outcome.failed_with(PyExc_RuntimeError)) return;
    Handling handling = outcome.handling();
    try {
        if (Object::borrow(outcome.exception()).str().contains(str::expected_asgi_message))
            outcome.recover();
    } catch (const Error& e) {
        outcome.fail(e);
    }
}

Object closing(const Object& send, const Outcome& outcome) {
    return close_response(send, Object::borrow_or_null(outcome.exception())).into_object();
}

}  // namespace gate_common
