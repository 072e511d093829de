#include "state/keys_file.hpp"

#include <algorithm>
#include <array>

#include "gate/texts.hpp"

using namespace py;

namespace keys_file {

namespace {
namespace str {
Name load{"load"}, get{"get"}, stat{"stat"}, st_mtime_ns{"st_mtime_ns"}, st_size{"st_size"};
Name st_ino{"st_ino"}, sha256{"sha256"}, digest{"digest"}, error{"error"};
Name compare_digest{"compare_digest"};
}  // namespace str

constexpr std::string_view prefix = "tvk_";
constexpr std::size_t id_length = 8, body_length = 22, check_length = 6;
constexpr std::size_t key_length = prefix.size() + id_length + 1 + body_length + check_length;

// CRC-32 (IEEE 802.3, as zlib.crc32), by a table made at compile time.
constexpr std::array<std::uint32_t, 256> crc_table = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}();

std::uint32_t crc32(std::string_view text) noexcept {
    std::uint32_t c = 0xFFFFFFFFu;
    for (unsigned char byte : text) c = crc_table[(c ^ byte) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

// A base62 digit's value (0-9, A-Z, a-z), or -1.
int base62(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    if (c >= 'a' && c <= 'z') return c - 'a' + 36;
    return -1;
}

bool is_id_character(char c) noexcept { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'); }

Object keys_module() { return import("tervik.mcp.keys"); }

// What identifies the file as it is on disk now.
void signature(const Object& path, std::int64_t out[3]) {
    Object st = import("os").call_method(str::stat, path);
    PyObject* names[] = {str::st_mtime_ns.get(), str::st_size.get(), str::st_ino.get()};
    for (int i = 0; i < 3; ++i) {
        out[i] = PyLong_AsLongLong(st.attr(names[i]).get());
        if (out[i] == -1 && PyErr_Occurred()) fail();
    }
}
}  // namespace

std::string_view key_id(std::string_view key) noexcept {
    if (key.size() != key_length || !key.starts_with(prefix)) return {};
    std::string_view id = key.substr(prefix.size(), id_length);
    for (char c : id)
        if (!is_id_character(c)) return {};
    if (key[prefix.size() + id_length] != '_') return {};
    std::size_t body_end = key_length - check_length;
    for (char c : key.substr(prefix.size() + id_length + 1, body_length))
        if (base62(c) < 0) return {};
    std::uint64_t check = 0;
    for (char c : key.substr(body_end)) {
        int digit = base62(c);
        if (digit < 0) return {};
        check = check * 62 + static_cast<std::uint64_t>(digit);
    }
    return check == crc32(key.substr(0, body_end)) ? id : std::string_view();
}

KeysFile::KeysFile(Object path, Object (*logger)()) : path_(std::move(path)), logger_(logger) {
    signature(path_, seen_);
    entries_ = keys_module().call_method(str::load, path_);
}

bool KeysFile::refresh(double now) {
    if (now - looked_at_ < 1.0) return false;
    looked_at_ = now;
    auto same = [](const std::int64_t* a, const std::int64_t* b) { return std::equal(a, a + 3, b); };
    std::int64_t on_disk[3] = {-1, -1, -1};  // a file that cannot be looked at
    Object entries, problem;
    try {
        signature(path_, on_disk);
        if (same(on_disk, seen_) || same(on_disk, failed_)) return false;
        entries = keys_module().call_method(str::load, path_);
    } catch (const Error& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_OSError)) throw;
        // In the loader's words (the line and what is wrong, never a key or a digest), or
        // what the system said of the path.
        problem = Object::steal(PyObject_Str(e.exception()));
    }
    if (!problem.null()) {
        if (!same(on_disk, failed_))  // told once for each state of the file
            logger_().call_method(str::error, text(texts::secure::log_keys_file_kept), path_,
                                  problem);
        std::copy(on_disk, on_disk + 3, failed_);
        return false;
    }
    entries_ = std::move(entries);
    std::copy(on_disk, on_disk + 3, seen_);
    std::fill(failed_, failed_ + 3, 0);
    return true;
}

Object KeysFile::line_of(std::string_view key) const {
    std::string_view id = key_id(key);
    if (id.empty() || entries_.null()) return {};
    Object line = get(entries_, text(id).get(), nullptr);
    if (line.null()) return {};
    Object digest =
        import("hashlib").call_method(str::sha256, bytes(key)).call_method(str::digest);
    Object kept = line.attr(str::digest);
    if (!import("hmac").call_method(str::compare_digest, digest, kept).truthy()) return {};
    return line;
}

std::size_t KeysFile::size() const {
    return entries_.null() ? 0 : static_cast<std::size_t>(PyObject_Length(entries_.get()));
}

int KeysFile::traverse(visitproc visit, void* arg) {
    Py_VISIT(path_.get());
    Py_VISIT(entries_.get());
    return 0;
}

void KeysFile::clear() {
    Object path = std::move(path_), entries = std::move(entries_);
    path_ = Object();
    entries_ = Object();
}

}  // namespace keys_file
