#include "state/memory_store.hpp"

#include <utility>

namespace store {

MemoryStore::MemoryStore(const MemoryOptions& o)
    : cache_ttl_(o.cache_ttl),
      negative_ttl_(o.negative_ttl),
      confirmed_(o.max_cached_keys),
      refused_(o.max_cached_keys),
      failures_(o.failure_limit, o.failure_window, o.max_tracked_clients),
      sessions_(o.max_sessions, o.max_sessions_per_caller, o.session_idle) {}

Verdict MemoryStore::verdict(const Fingerprint& key, double now) {
    if (const verdicts::Confirmed* c = confirmed_.use(key); c != nullptr && c->expires > now)
        return {c, false};
    if (const double* until = refused_.find(key); until != nullptr && *until > now)
        return {nullptr, true};
    return {};
}

py::Object MemoryStore::confirm(const Fingerprint& key, std::string_view,
                                verdicts::Confirmed confirmed, double now) {
    if (cache_ttl_ <= 0) {
        refused_.erase(key);
        return {};
    }
    adopt(key, std::move(confirmed), now, now + cache_ttl_);
    return {};
}

void MemoryStore::adopt(const Fingerprint& key, verdicts::Confirmed confirmed, double now,
                        double until) {
    refused_.erase(key);
    confirmed_.prune([&](const verdicts::Confirmed& c) { return c.expires <= now; });
    confirmed.expires = until;
    confirmed_.put(key, std::move(confirmed));
}

py::Object MemoryStore::refuse(const Fingerprint& key, std::string_view, double now) {
    if (negative_ttl_ > 0) refuse_until(key, now, now + negative_ttl_);
    return {};
}

void MemoryStore::refuse_until(const Fingerprint& key, double now, double until) {
    refused_.prune([&](double ends) { return ends <= now; });
    refused_.put(key, until);
}

Answer<double> MemoryStore::blocked_for(std::string_view client, double now, const py::Object&) {
    return Answer<double>::now(failures_.blocked_for(client, now));
}

Answer<Count> MemoryStore::count_refusal(std::string_view client, double now, const py::Object&) {
    if (failures_.blocked_for(client, now) > 0) return Answer<Count>::now(Count::blocked);
    return Answer<Count>::now(failures_.count(client, now) ? Count::tripped : Count::counted);
}

SessionUse MemoryStore::use_session(std::string_view id, const Fingerprint& caller, double now) {
    sessions::Session* s = sessions_.use(id, now);
    if (s == nullptr) return {SessionUse::Kind::unknown, {}};
    if (s->owner != caller) return {SessionUse::Kind::others, s->owner};
    ++s->active;
    s->last_used = now;
    return {SessionUse::Kind::mine, s->owner};
}

void MemoryStore::release_session(std::string_view id, double now, bool ended) {
    sessions::Session* s = sessions_.find(id);
    if (s == nullptr) return;
    if (s->active > 0) --s->active;
    s->last_used = now;
    if (ended) sessions_.forget(id);
}

bool MemoryStore::knows_session(std::string_view id) { return sessions_.find(id) != nullptr; }

void MemoryStore::bind_session(std::string_view id, const Fingerprint& owner, double now,
                               bool stream) {
    sessions_.bind(id, owner, now, stream);
}

void MemoryStore::forget_session(std::string_view id) { sessions_.forget(id); }

Sizes MemoryStore::sizes(double now) {
    return {sessions_.size(),  sessions_.streams(), confirmed_.size(),
            refused_.size(),   failures_.size(),    failures_.blocked(now)};
}

int MemoryStore::traverse(visitproc visit, void* arg) {
    for (auto& [key, c] : confirmed_) {
        Py_VISIT(c.identity.get());
        Py_VISIT(c.caller.user.get());
        Py_VISIT(c.caller.auth.get());
    }
    return 0;
}

void MemoryStore::clear() {
    // Moved out first: releasing them may run code that looks at the gate.
    auto confirmed = std::move(confirmed_);
    confirmed_.clear();
}

}  // namespace store
