// What the failure limit counts a client by: its address as an address.  An IPv4 address
// and its IPv4-mapped IPv6 forms are one client; IPv6 addresses count by their /64 (one
// host gets a /64 of its own to choose from); anything else that is not an address (a name
// a test client gives) counts by its text.
#pragma once

#include <string>
#include <string_view>

namespace client_address {

// A key in the limiter's map: distinct for distinct clients as counted above.
std::string key(std::string_view host);

}  // namespace client_address
