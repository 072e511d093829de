#include "query_fields.hpp"

namespace query {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string decoded(std::string_view component) {
    std::string out;
    out.reserve(component.size());
    for (std::size_t i = 0; i < component.size(); ++i) {
        char c = component[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < component.size() && hex_digit(component[i + 1]) >= 0 && hex_digit(component[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(component[i + 1]) * 16 + hex_digit(component[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

Named fields_named(std::string_view query, std::string_view name) {
    Named named;
    for_each_field(query, [&](std::string_view raw_name, std::string_view value) {
        bool plain = raw_name.find_first_of("%+") == std::string_view::npos;
        if (plain ? raw_name == name : decoded(raw_name) == name) {
            ++named.count;
            named.last = decoded(value);
            named.last_is_ascii = true;
            for (char c : named.last) named.last_is_ascii &= static_cast<unsigned char>(c) < 0x80;
        }
        return false;
    });
    return named;
}

}  // namespace query
