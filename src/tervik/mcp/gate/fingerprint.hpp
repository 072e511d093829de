// Fingerprints for tervik.mcp.secure, so that no API key is ever kept or written.
//
// - KeyHash, SipHash-2-4 with a 128-bit tag under a random key of the gate's own, finds a
//   presented key in the gate's maps.  It runs on every request, so it must cost little on
//   any CPU: about 300 instructions for a short key, where HMAC-SHA256 costs two SHA-256
//   compressions (some 5,000 instructions without the CPU's SHA extensions).  A tag of 128
//   bits under a secret key leaves no practical way to make two keys meet.
// - Hmac, HMAC-SHA256 under another key of the gate's own, cut to 16 bytes, names callers
//   and sessions in the gate's log and tells a caller from another in its session map; it is
//   taken once per verification, per session and per log line.  SHA-256 is computed here
//   (with the CPU's SHA instructions where it has them); the inner and outer pads are hashed
//   once per gate, so a short text costs two compressions.
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

// Picks the fastest SHA-256 engine that computes RFC 4231's test vector correctly, and
// checks SipHash against its authors' vectors; false when either fails (the module then
// refuses to load).
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

class KeyHash {
  public:
    KeyHash() noexcept = default;
    explicit KeyHash(const std::uint8_t key[16]) noexcept;
    Fingerprint operator()(std::string_view text) const noexcept;

  private:
    std::uint64_t k0_ = 0, k1_ = 0;
};

// The first eight bytes as 16 lower-case hex digits: what log lines show.
std::array<char, 16> hex(const Fingerprint& f) noexcept;

}  // namespace fingerprint
