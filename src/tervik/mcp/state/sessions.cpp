#include "sessions.hpp"

namespace sessions {

Session* Sessions::find(std::string_view id) {
    auto found = index_.find(id);
    return found == index_.end() ? nullptr : &found->second->session;
}

Session* Sessions::use(std::string_view id, double now) {
    auto found = index_.find(id);
    if (found == index_.end()) return nullptr;
    Order::iterator entry = found->second;
    if (entry->session.active == 0 && now - entry->session.last_used > idle_) {
        drop(entry);
        return nullptr;
    }
    touch(entry);
    return &entry->session;
}

void Sessions::bind(std::string_view id, const Fingerprint& owner, double now, bool stream) {
    if (auto found = index_.find(id); found != index_.end()) {
        if (found->second->session.owner == owner) {  // never handed to another caller
            found->second->session.last_used = now;
            touch(found->second);
        }
        return;
    }
    for (int n = 0; n < 2 && !order_.empty(); ++n) {  // a little of the idle tail, each time
        Order::iterator oldest = std::prev(order_.end());
        if (oldest->session.active != 0 || now - oldest->session.last_used <= idle_) break;
        drop(oldest);
    }
    if (auto mine = owners_.find(owner); mine != owners_.end() && mine->second.size() >= per_caller_)
        drop_oldest_idle(mine->second, [](Order::iterator entry) { return entry; });
    if (order_.size() >= capacity_)
        drop_oldest_idle(order_, [](Entry& entry) { return *entry.in_owner; });
    Owned& mine = owners_[owner];
    order_.push_front(Entry{std::string(id), Session{owner, now, stream ? 1 : 0, stream}, {}});
    mine.push_front(order_.begin());
    order_.front().in_owner = mine.begin();
    index_.emplace(std::string_view(order_.front().id), order_.begin());
    if (stream) ++streams_;
}

void Sessions::forget(std::string_view id) {
    if (auto found = index_.find(id); found != index_.end()) drop(found->second);
}

void Sessions::touch(Order::iterator entry) {
    order_.splice(order_.begin(), order_, entry);
    Owned& mine = owners_.find(entry->session.owner)->second;
    mine.splice(mine.begin(), mine, entry->in_owner);
}

void Sessions::drop(Order::iterator entry) {
    auto mine = owners_.find(entry->session.owner);
    mine->second.erase(entry->in_owner);
    if (mine->second.empty()) owners_.erase(mine);
    if (entry->session.stream) --streams_;
    index_.erase(std::string_view(entry->id));
    order_.erase(entry);
}

template <class List, class Entry_of>
void Sessions::drop_oldest_idle(List& order, Entry_of entry_of) {
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        Order::iterator entry = entry_of(*it);
        if (entry->session.active == 0) {
            drop(entry);
            return;
        }
    }
}

}  // namespace sessions
