#pragma once

#include <algorithm>
#include <chrono>
#include <climits>

namespace qelto::reach {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// One limit for a piece of work, carried down to every call that can block: each asks it how
// long it may still wait instead of holding a time limit of its own.
class Deadline {
  public:
    Deadline() = default;  // never
    explicit Deadline(Clock::time_point at) : at_(at) {}
    static Deadline in(Milliseconds from) { return Deadline(Clock::now() + from); }

    Clock::time_point at() const { return at_; }
    bool passed() const { return Clock::now() >= at_; }
    // What is left, never negative.
    Milliseconds left() const {
        const auto d = std::chrono::ceil<Milliseconds>(at_ - Clock::now());
        return std::max(d, Milliseconds(0));
    }
    // A timeout for poll(): what is left in whole milliseconds (rounded up), at most `cap`.
    int pollTimeout(int cap = INT_MAX) const {
        const auto left_ = left().count();
        return int(std::min<long long>(left_, cap));
    }
    Deadline earlier(Deadline other) const { return Deadline(std::min(at_, other.at_)); }

  private:
    Clock::time_point at_ = Clock::time_point::max();
};

}  // namespace qelto::reach
