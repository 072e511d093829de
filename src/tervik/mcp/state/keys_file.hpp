// The secure gate's keys file: per-user keys kept as SHA-256 digests, one line each
// (tervik.mcp.keys reads and writes the file).  A key has a form that tells a look-alike at
// once: `tvk_`, an id of 8 characters [0-9a-z], `_`, 22 base62 characters and 6 more that
// are the CRC32 of what comes before them, in base62.
//
// The file is read again when it changes, noticed on a request at most once a second (no
// thread), and swapped in whole; a file that cannot be read or parsed keeps the keys in
// force, with one ERROR naming the line (never a key or a digest).
#pragma once

#include <cstdint>
#include <string_view>

#include "object.hpp"

namespace keys_file {

// The key's id when its prefix, lengths and checksum hold; else empty.
std::string_view key_id(std::string_view key) noexcept;

class KeysFile {
  public:
    // Reads the file now: one that cannot be read or parsed raises (tervik.mcp.keys's
    // KeysFileError, a ValueError).
    KeysFile(py::Object path, py::Object (*logger)());

    // At `now` (the gate's clock): the file read again if a second has passed since it was
    // last looked at and it changed; true when other keys are in force from now on.
    bool refresh(double now);
    // The line of the key with this text, if its digest is a line's; else NULL.  Its
    // expiry is not looked at.
    py::Object line_of(std::string_view key) const;
    std::size_t size() const;

    int traverse(visitproc visit, void* arg);
    void clear();

  private:
    py::Object path_, entries_;
    py::Object (*logger_)();
    double looked_at_ = 0;
    std::int64_t seen_[3] = {0, 0, 0};    // mtime_ns, size, inode of the file in force
    std::int64_t failed_[3] = {0, 0, 0};  // of the last file that could not be taken
};

}  // namespace keys_file
