// A query string's fields read as Starlette's `request.query_params` reads them
// (urllib.parse.parse_qsl over the latin-1 text, blank values kept): fields split at "&",
// empty ones skipped, name and value split at the first "=", "+" read as a space and %XX
// decoded in both.  What an application reads there is what the gate must check.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace query {

// seen(name, value) for each non-empty "&"-separated field, raw, in order: the name and
// value split at the first "=" (the value empty without one).  `seen` returning true
// stops the walk.
template <class Seen>
void for_each_field(std::string_view query, Seen&& seen) {
    for (bool more = true; more;) {
        std::size_t end = query.find('&');
        std::string_view field = query.substr(0, end);
        more = end != std::string_view::npos;
        if (more) query.remove_prefix(end + 1);
        if (field.empty()) continue;
        std::size_t equals = field.find('=');
        std::string_view value =
            equals == std::string_view::npos ? std::string_view{} : field.substr(equals + 1);
        if (seen(field.substr(0, equals), value)) return;
    }
}

// A component with "+" as space and every %XX (two hex digits) decoded; other "%" kept.
std::string decoded(std::string_view component);

struct Named {
    std::size_t count = 0;  // fields whose decoded name is the one asked for
    std::string last;       // the last one's decoded value: the one the application reads
    bool last_is_ascii = true;  // then its text is these bytes, read the same either way
};

Named fields_named(std::string_view query, std::string_view name);

}  // namespace query
