// The verification budget: a token bucket of backend requests, `rate` per second on average
// with bursts of a second's worth.  A request beyond it waits for its turn, unless that turn
// is further off than `longest_wait`.
#pragma once

#include <algorithm>

namespace budget {

class Budget {
  public:
    Budget(double rate, double longest_wait)
        : rate_(rate), longest_wait_(longest_wait), tokens_(std::max(1.0, rate)) {}

    // A backend request's turn at time `now`: 0 at once, else the seconds to wait for it; < 0
    // when the wait would be longer than `longest_wait` (nothing is taken then).  A rate of 0
    // is no budget: always 0.
    double turn(double now) {
        if (rate_ <= 0) return 0;
        double burst = std::max(1.0, rate_);
        if (refilled_at_ >= 0 && now > refilled_at_)
            tokens_ = std::min(burst, tokens_ + (now - refilled_at_) * rate_);
        refilled_at_ = now;
        double wait = tokens_ >= 1 ? 0 : (1 - tokens_) / rate_;
        if (wait > longest_wait_) return -1;
        tokens_ -= 1;
        return wait;
    }

  private:
    double rate_, longest_wait_, tokens_, refilled_at_ = -1;
};

}  // namespace budget
