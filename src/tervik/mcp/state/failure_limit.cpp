#include "failure_limit.hpp"

namespace failure_limit {

double FailureLimit::blocked_for(std::string_view client, double now) const {
    auto c = clients_.find(client);
    if (c == clients_.end() || !c->second.is_blocked) return 0;
    double left = c->second.block->first - now;
    return left > 0 ? left : 0;
}

bool FailureLimit::count(std::string_view client, double now) {
    auto c = clients_.find(client);
    if (c == clients_.end()) {
        c = make_room_and_add(client, now);
    } else if (c->second.is_blocked) {
        if (c->second.block->first > now) return false;  // still blocked: nothing more to count
        unblock(c, now);
    } else {
        recent_.splice(recent_.begin(), recent_, c->second.recent);
    }
    Client& counted = c->second;
    if (now - counted.window_start >= window_) counted = Client{now, 0, false, counted.recent, {}};
    if (++counted.count < limit_) return false;
    recent_.erase(counted.recent);
    counted.is_blocked = true;
    counted.block = blocks_.emplace(now + window_, &c->first);
    return true;
}

std::size_t FailureLimit::blocked(double now) const {
    std::size_t n = 0;
    for (auto b = blocks_.upper_bound(now); b != blocks_.end(); ++b) ++n;
    return n;
}

FailureLimit::Clients::iterator FailureLimit::make_room_and_add(std::string_view client,
                                                                double now) {
    while (!blocks_.empty() && blocks_.begin()->first <= now)  // blocks that ended
        drop(clients_.find(*blocks_.begin()->second));
    for (int n = 0; n < 2 && !recent_.empty(); ++n) {  // a little of the stale tail, each time
        auto oldest = clients_.find(*recent_.back());
        if (now - oldest->second.window_start < window_) break;
        drop(oldest);
    }
    if (clients_.size() >= capacity_) {
        if (!recent_.empty())
            drop(clients_.find(*recent_.back()));
        else
            drop(clients_.find(*blocks_.begin()->second));
    }
    auto [c, added] = clients_.emplace(std::string(client), Client{now, 0, false, {}, {}});
    recent_.push_front(&c->first);
    c->second.recent = recent_.begin();
    return c;
}

void FailureLimit::unblock(Clients::iterator c, double now) {
    blocks_.erase(c->second.block);
    recent_.push_front(&c->first);
    c->second = Client{now, 0, false, recent_.begin(), {}};
}

void FailureLimit::drop(Clients::iterator c) {
    if (c->second.is_blocked)
        blocks_.erase(c->second.block);
    else
        recent_.erase(c->second.recent);
    clients_.erase(c);
}

}  // namespace failure_limit
