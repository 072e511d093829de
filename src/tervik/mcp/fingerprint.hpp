// Fingerprints for tervik.mcp.secure: HMAC-SHA256 under a key of the gate's own, cut to 16
// bytes.  The gate keys its maps and names callers and sessions in its log by fingerprint,
// so no API key is ever kept or written.  SHA-256 is computed here (with the CPU's SHA
// instructions where it has them) because a fingerprint is taken on every request: the
// inner and outer pads are hashed once per gate, so a short text costs two compressions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace fingerprint {

using Digest = std::array<std::uint8_t, 32>;
using Fingerprint = std::array<std::uint8_t, 16>;

struct FingerprintHash {
    std::size_t operator()(const Fingerprint& f) const noexcept {
        std::size_t h;
        std::memcpy(&h, f.data(), sizeof h);  // already uniformly distributed
        return h;
    }
};

// Which compression function is in use: the CPU's SHA extensions or portable C++.
enum class Engine { portable, sha_extensions };

// Picks the fastest engine that computes RFC 4231's test vector correctly; false when none
// does (the module then refuses to load).
bool select_engine() noexcept;
Engine engine() noexcept;

class Hmac {
  public:
    Hmac() noexcept = default;
    // `key` of at most 64 bytes (the gate uses 32 random ones).
    explicit Hmac(std::string_view key) noexcept;
    // HMAC-SHA256(key, kind || text).  `kind` keeps the fingerprints of keys, users and
    // sessions apart even for equal texts.
    Digest digest(char kind, std::string_view text) const noexcept;
    Fingerprint operator()(char kind, std::string_view text) const noexcept {
        Digest d = digest(kind, text);
        Fingerprint f;
        std::memcpy(f.data(), d.data(), f.size());
        return f;
    }

  private:
    std::uint32_t inner_[8] = {}, outer_[8] = {};  // the state after the padded key block
};

// The first eight bytes as 16 lower-case hex digits: what log lines show.
std::array<char, 16> hex(const Fingerprint& f) noexcept;

}  // namespace fingerprint
