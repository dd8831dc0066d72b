// Millisecond deadlines on the monotonic clock, for the time-outs of reads
// and writes. A deadline may also be "never", for a call without time-out.
#pragma once

#include <cstdint>
#include <ctime>

namespace quarnprog::platform {

class Deadline {
 public:
  static Deadline never() { return Deadline(); }
  // Beyond about 30 years a time-out is as good as none, and the sum in
  // nanoseconds could overflow.
  static Deadline after_ms(std::uint64_t ms) {
    return ms > 1000000000000u ? never() : Deadline(now_ns() + ms * 1000000u);
  }

  bool is_never() const { return never_; }
  bool passed() const { return !never_ && now_ns() >= at_ns_; }

  // Time left as a poll() time-out: -1 for never, otherwise whole
  // milliseconds rounded up, so that a wait never ends before the deadline.
  int poll_timeout() const {
    if (never_) return -1;
    const std::uint64_t now = now_ns();
    if (now >= at_ns_) return 0;
    const std::uint64_t ms = (at_ns_ - now + 999999u) / 1000000u;
    return ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
  }

  Deadline earlier(const Deadline& other) const {
    if (never_) return other;
    if (other.never_) return *this;
    return at_ns_ <= other.at_ns_ ? *this : other;
  }

  static std::uint64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
  }

 private:
  Deadline() = default;
  explicit Deadline(std::uint64_t at_ns) : never_(false), at_ns_(at_ns) {}

  bool never_ = true;
  std::uint64_t at_ns_ = 0;
};

}  // namespace quarnprog::platform
