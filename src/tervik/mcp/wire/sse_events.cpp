#include "sse_events.hpp"

namespace sse {

EventFinder::Result EventFinder::feed(std::string_view chunk) {
    if (result_ != Result::more) return result_;
    for (char c : chunk) {
        if (seen_++ == limit_) return result_ = Result::gave_up;
        if (after_cr_) {
            after_cr_ = false;
            if (c == '\n') continue;  // the LF of a CRLF
        }
        if (c == '\r' || c == '\n') {
            after_cr_ = c == '\r';
            if (line_ended()) return result_ = Result::found;
        } else {
            line_ += c;
        }
    }
    return result_;
}

bool EventFinder::line_ended() {
    std::string_view line = line_;
    if (first_line_ && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);  // a BOM
    first_line_ = false;
    bool complete = false;
    if (line.empty()) {  // the event ends
        complete = has_data_ && (event_.empty() ? type_ == "message" : event_ == type_);
        if (complete) {
            data_.pop_back();  // the last data line's "\n"
        } else {
            data_.clear();
            has_data_ = false;
        }
        event_.clear();
    } else if (line.front() != ':') {
        std::size_t colon = line.find(':');
        std::string_view field = line.substr(0, colon), value;
        if (colon != std::string_view::npos) {
            value = line.substr(colon + 1);
            if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        }
        if (field == "event") {
            event_.assign(value);
        } else if (field == "data") {
            data_.append(value).push_back('\n');
            has_data_ = true;
        }
    }
    line_.clear();
    return complete;
}

}  // namespace sse
