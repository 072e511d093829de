// Refused requests counted per client (a key of client_address): the one that reaches the
// limit within a window blocks the client for a window.
//
// At most `capacity` clients are tracked.  To make room for a new one, the least recently
// counted client that is not blocked goes; a blocked client is never dropped for one that is
// not, and when every tracked client is blocked, the one whose block ends first makes room.
#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>

namespace failure_limit {

class FailureLimit {
  public:
    FailureLimit(long limit, double window, std::size_t capacity)
        : limit_(limit), window_(window), capacity_(capacity) {}

    // Seconds the client must still wait (> 0) while it is blocked, else 0.
    double blocked_for(std::string_view client, double now) const;
    // One more refused request from the client: true when it is the one that blocks it.
    bool count(std::string_view client, double now);

    bool empty() const noexcept { return clients_.empty(); }
    std::size_t size() const noexcept { return clients_.size(); }
    std::size_t blocked(double now) const;

  private:
    struct Client;
    using Recent = std::list<const std::string*>;             // not blocked, most recent first
    using Blocks = std::multimap<double, const std::string*>;  // blocked, by when it ends
    struct Client {
        double window_start;
        long count;
        bool is_blocked;
        Recent::iterator recent;  // while not blocked
        Blocks::iterator block;   // while blocked
    };
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept {
            return std::hash<std::string_view>{}(s);
        }
    };
    using Clients = std::unordered_map<std::string, Client, TextHash, std::equal_to<>>;

    Clients::iterator make_room_and_add(std::string_view client, double now);
    void unblock(Clients::iterator c, double now);
    void drop(Clients::iterator c);

    long limit_;
    double window_;
    std::size_t capacity_;
    Clients clients_;
    Recent recent_;
    Blocks blocks_;
};

}  // namespace failure_limit
