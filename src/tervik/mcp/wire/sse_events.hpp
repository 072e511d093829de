// Reading a text/event-stream as the format defines it, until one event of a given type.
//
// Lines end with CRLF, LF or CR (a CRLF split between two chunks is one line end); a line is
// a field and its value split at the first colon, one space after the colon dropped; lines
// that start with a colon are comments; a blank line ends an event, whose fields may come in
// any order.  Chunks may be cut anywhere; at most `limit` bytes of stream are looked at.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sse {

class EventFinder {
  public:
    enum class Result { more, found, gave_up };

    EventFinder(std::string_view type, std::size_t limit) : type_(type), limit_(limit) {}

    // The next chunk of the stream.  found: data() is the event's data (its data lines
    // joined by "\n"); gave_up: the limit passed first.  Either is final.
    Result feed(std::string_view chunk);
    const std::string& data() const noexcept { return data_; }

  private:
    bool line_ended();  // true: the event looked for is complete

    std::string type_;
    std::size_t limit_, seen_ = 0;
    std::string line_, event_, data_;
    bool has_data_ = false, after_cr_ = false, first_line_ = true;
    Result result_ = Result::more;
};

}  // namespace sse
