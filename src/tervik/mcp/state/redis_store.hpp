// The store shared by every process of a deployment, in Redis (through redis-py's
// redis.asyncio, or a client like it), with the in-memory store of this process in front.
//
// - Verdicts are answered from this process's cache; Redis is asked on a miss (with the
//   client's block, in the same round trip) and told every verdict made here.  A verdict read
//   from Redis is kept here only for the time it has left there.
// - The process that verifies a key holds its flight (SET NX PX) until its verdict is kept,
//   so a burst over several processes makes one backend request.
// - A counted refusal is one script: the count, the block when it reaches the limit, and
//   whether the client was blocked already.  A block learnt is answered from memory until it
//   ends.
// - Sessions stay in this process: they live in one process of the application.
// - Entries are named by HMAC-SHA256 under a hash key every process shares (given, or made
//   once and kept in Redis): no key or address is ever written, nor a plain hash of one.
// - Redis trouble (an error, no answer within the bound, an answer it cannot read) starts an
//   outage: one WARNING; meanwhile the process counts and caches alone, asking Redis again
//   at most once a second; the first answer ends it, with one INFO.
#pragma once

#include <memory>
#include <string>

#include "gate/fingerprint.hpp"
#include "state/bounded_map.hpp"
#include "state/loop_client.hpp"
#include "state/memory_store.hpp"

namespace store {

// When Redis last answered a command of the store (monotonic): shared with the commands in
// flight, which may outlive the store.
struct Pulse {
    double last_answer = 0;
};

struct RedisOptions {
    py::Object target;      // a redis://, rediss:// or unix:// URL, or a client the host made
    std::string prefix;     // of every entry's name
    std::string hash_key;   // empty: the one kept in Redis
    double timeout;         // seconds, for every command
    py::Object (*logger)();  // where the outages are told
};

class RedisStore final : public Store {
  public:
    RedisStore(const MemoryOptions& memory, RedisOptions options);

    Verdict verdict(const Fingerprint& key, double now) override {
        return local_.verdict(key, now);
    }
    Answer<Verdict> look_shared(const Fingerprint& key, std::string_view key_text,
                                std::string_view client, double now,
                                const py::Object& fetched) override;
    Answer<Flight> claim_flight(const Fingerprint& key, std::string_view key_text, double now,
                                const py::Object& fetched) override;
    py::Object release_flight(std::string_view key_text) override;
    py::Object confirm(const Fingerprint& key, std::string_view key_text,
                       verdicts::Confirmed confirmed, double now) override;
    py::Object refuse(const Fingerprint& key, std::string_view key_text, double now) override;
    void adopt(const Fingerprint& key, verdicts::Confirmed confirmed, double now,
               double until) override {
        local_.adopt(key, std::move(confirmed), now, until);
    }
    void settle(const py::Object& fetched) override;

    bool may_block() const noexcept override { return local_.may_block() || !blocks_.empty(); }
    Answer<double> blocked_for(std::string_view client, double now, const py::Object&) override;
    Answer<Count> count_refusal(std::string_view client, double now,
                                const py::Object& fetched) override;

    SessionUse use_session(std::string_view id, const Fingerprint& caller, double now) override {
        return local_.use_session(id, caller, now);
    }
    void release_session(std::string_view id, double now, bool ended) override {
        local_.release_session(id, now, ended);
    }
    bool knows_session(std::string_view id) override { return local_.knows_session(id); }
    void bind_session(std::string_view id, const Fingerprint& owner, double now,
                      bool stream) override {
        local_.bind_session(id, owner, now, stream);
    }
    void forget_session(std::string_view id) override { local_.forget_session(id); }

    Sizes sizes(double now) override;
    bool sharing() const noexcept override { return !outage_; }
    std::pair<long long, long long> outages() const override {
        return {outages_, served_alone_};
    }
    py::Object close() override;
    void close_when_collected() override { made_.close_when_collected(); }
    int traverse(visitproc visit, void* arg) override;
    void clear() override;

  private:
    struct Names {
        std::string first, second;
    };
    // The script's reply to `op` on two entries (named once the hash key is known, by
    // `names`), with `args` after its own: at hand, NULL when Redis could not answer (the
    // process then answers alone), or later.
    template <class NamesOf>
    Answer<py::Object> run(const char* op, NamesOf names, py::Object args,
                           const py::Object& fetched);
    py::Object client_for_running_loop();
    std::string entry(char kind, char sort, std::string_view subject) const;
    // A verdict's entry as read: a confirmation to adopt, a refusal (kept here), or nothing.
    Verdict read_verdict(const Fingerprint& key, const py::Object& value, const py::Object& ttl,
                         double now);
    py::Object keep(std::string_view key_text, const py::Object& value, double ttl);
    void learn_block(std::string_view client, double now, const py::Object& milliseconds);
    bool may_ask();
    double patience() const;
    // Redis's hash key, from its reply: false (an outage) when it is not one.
    bool take_hash_key(const py::Object& reply);
    void failed(const py::Object& error, double sent);  // a command sent then failed
    void trouble(const py::Object& detail);  // an outage, unless one goes on
    void answered();

    MemoryStore local_;
    double cache_ttl_, negative_ttl_;
    long limit_;
    double window_;
    RedisOptions options_;
    loop_client::LoopClient made_;  // the gate's own client per loop, for a URL
    bounded::Bounded<std::string, double, std::hash<std::string>> blocks_;  // until when
    fingerprint::Hmac names_;  // under the hash key
    std::string hash_key_;     // the one in use (empty: not known yet)
    std::string candidate_;    // what this process offers when Redis holds none
    std::string holder_;       // this process, as a flight's holder
    bool outage_ = false;
    double ask_again_ = 0;  // in an outage: when Redis is tried again (monotonic)
    std::shared_ptr<Pulse> pulse_ = std::make_shared<Pulse>();
    long long outages_ = 0, served_alone_ = 0, served_alone_now_ = 0;
};

}  // namespace store
