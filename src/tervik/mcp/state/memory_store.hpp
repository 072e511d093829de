// The store in the gate's own process: bounded maps of confirmed and refused keys, the
// failure limit per client address and the session map.  Every answer is at hand.
#pragma once

#include "state/bounded_map.hpp"
#include "state/failure_limit.hpp"
#include "state/sessions.hpp"
#include "state/store.hpp"

namespace store {

struct MemoryOptions {
    std::size_t max_sessions, max_sessions_per_caller;
    double session_idle;
    std::size_t max_cached_keys;
    double cache_ttl, negative_ttl;
    long failure_limit;  // 0: no limit
    double failure_window;
    std::size_t max_tracked_clients;
};

class MemoryStore final : public Store {
  public:
    explicit MemoryStore(const MemoryOptions& o);

    Verdict verdict(const Fingerprint& key, double now) override;
    py::Object confirm(const Fingerprint& key, std::string_view, verdicts::Confirmed confirmed,
                       double now) override;
    py::Object refuse(const Fingerprint& key, std::string_view, double now) override;
    void adopt(const Fingerprint& key, verdicts::Confirmed confirmed, double now,
               double until) override;
    // A refusal kept until `until`.
    void refuse_until(const Fingerprint& key, double now, double until);

    bool may_block() const noexcept override { return !failures_.empty(); }
    Answer<double> blocked_for(std::string_view client, double now, const py::Object&) override;
    Answer<Count> count_refusal(std::string_view client, double now, const py::Object&) override;

    SessionUse use_session(std::string_view id, const Fingerprint& caller, double now) override;
    void release_session(std::string_view id, double now, bool ended) override;
    bool knows_session(std::string_view id) override;
    void bind_session(std::string_view id, const Fingerprint& owner, double now,
                      bool stream) override;
    void forget_session(std::string_view id) override;

    Sizes sizes(double now) override;
    int traverse(visitproc visit, void* arg) override;
    void clear() override;

  private:
    double cache_ttl_, negative_ttl_;
    bounded::Bounded<Fingerprint, verdicts::Confirmed, fingerprint::FingerprintHash> confirmed_;
    bounded::Bounded<Fingerprint, double, fingerprint::FingerprintHash> refused_;  // until when
    failure_limit::FailureLimit failures_;
    sessions::Sessions sessions_;
};

}  // namespace store
