// A query string's fields read as Starlette's `request.query_params` reads them
// (urllib.parse.parse_qsl over the latin-1 text, blank values kept): fields split at "&",
// empty ones skipped, name and value split at the first "=", "+" read as a space and %XX
// decoded in both.  What an application reads there is what the gate must check.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace query {

// A component with "+" as space and every %XX (two hex digits) decoded; other "%" kept.
std::string decoded(std::string_view component);

struct Named {
    std::size_t count = 0;  // fields whose decoded name is the one asked for
    std::string last;       // the last one's decoded value: the one the application reads
    bool last_is_ascii = true;  // then its text is these bytes, read the same either way
};

Named fields_named(std::string_view query, std::string_view name);

}  // namespace query
