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
    for (bool more = true; more;) {
        std::size_t end = query.find('&');
        std::string_view field = query.substr(0, end);
        more = end != std::string_view::npos;
        if (more) query.remove_prefix(end + 1);
        if (!field.empty()) {
            std::size_t equals = field.find('=');
            std::string_view raw_name = field.substr(0, equals);
            bool plain = raw_name.find_first_of("%+") == std::string_view::npos;
            if (plain ? raw_name == name : decoded(raw_name) == name) {
                ++named.count;
                named.last = equals == std::string_view::npos ? std::string()
                                                              : decoded(field.substr(equals + 1));
                named.last_is_ascii = true;
                for (char c : named.last) named.last_is_ascii &= static_cast<unsigned char>(c) < 0x80;
            }
        }
    }
    return named;
}

}  // namespace query
