#include "client_address.hpp"

#include <arpa/inet.h>

#include <cstring>

namespace client_address {

std::string key(std::string_view host) {
    if (!host.empty() && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    std::string address(host.substr(0, host.find('%')));  // without an IPv6 zone
    unsigned char raw[16];
    if (inet_pton(AF_INET, address.c_str(), raw) == 1)
        return std::string("4") + std::string(reinterpret_cast<char*>(raw), 4);
    if (inet_pton(AF_INET6, address.c_str(), raw) == 1) {
        static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if (std::memcmp(raw, mapped, sizeof mapped) == 0)
            return std::string("4") + std::string(reinterpret_cast<char*>(raw + 12), 4);
        return std::string("6") + std::string(reinterpret_cast<char*>(raw), 8);
    }
    return std::string("t").append(host);
}

}  // namespace client_address
