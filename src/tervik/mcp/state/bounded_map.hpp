// A map that keeps at most `capacity` entries, dropping the least recently used one to make
// room (capacity 0: it keeps nothing).  The in-memory store keeps its confirmed and refused
// keys in two of them.
#pragma once

#include <cstddef>
#include <list>
#include <unordered_map>
#include <utility>

namespace bounded {

template <class Key, class Value, class Hash>
class Bounded {
    using Item = std::pair<Key, Value>;
    using Items = std::list<Item>;

  public:
    explicit Bounded(std::size_t capacity = 0) : capacity_(capacity) {}

    Value* find(const Key& key) {
        auto it = index_.find(key);
        return it == index_.end() ? nullptr : &it->second->second;
    }
    // find, and the entry becomes the most recently used.
    Value* use(const Key& key) {
        auto it = index_.find(key);
        if (it == index_.end()) return nullptr;
        items_.splice(items_.begin(), items_, it->second);
        return &it->second->second;
    }
    // Inserts or replaces; NULL when the map keeps nothing.
    Value* put(Key key, Value value) {
        if (capacity_ == 0) return nullptr;
        erase(key);
        items_.emplace_front(std::move(key), std::move(value));
        index_.emplace(items_.front().first, items_.begin());
        while (items_.size() > capacity_) pop_oldest();
        return &items_.front().second;
    }
    void erase(const Key& key) {
        auto it = index_.find(key);
        if (it == index_.end()) return;
        auto item = it->second;
        index_.erase(it);
        items_.erase(item);
    }
    Item* oldest() { return items_.empty() ? nullptr : &items_.back(); }
    void pop_oldest() {
        index_.erase(items_.back().first);
        items_.pop_back();
    }
    // Drops up to `n` least recently used entries for which `stale(value)` holds.
    template <class Stale>
    void prune(Stale stale, int n = 2) {
        while (n-- > 0 && !items_.empty() && stale(items_.back().second)) pop_oldest();
    }
    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    void clear() {
        index_.clear();
        items_.clear();
    }
    typename Items::iterator begin() { return items_.begin(); }
    typename Items::iterator end() { return items_.end(); }

  private:
    std::size_t capacity_;
    Items items_;  // most recently used first
    std::unordered_map<Key, typename Items::iterator, Hash> index_;
};

}  // namespace bounded
