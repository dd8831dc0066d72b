#include "sim/quarnsim_loop.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <string>

namespace quarnsim {

namespace {

constexpr sim::Micros kQuietEnd = 2'000'000;

class Clock {
 public:
  sim::Micros now() const {
    return static_cast<sim::Micros>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now() - start_)
                                        .count());
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

class Loop {
 public:
  Loop(sim::Board& board, const Pty& pty, int signal_fd, const LoopSettings& settings)
      : board_(board), pty_(pty), signal_fd_(signal_fd), settings_(settings) {}

  LoopResult run() {
    std::optional<sim::Micros> power_up = sim::Micros{settings_.power_up_ms} * 1000;
    for (;;) {
      const sim::Micros now = clock_.now();
      if (power_up && *power_up <= now) {
        board_.power_up(*power_up);
        power_up.reset();
      }
      take_due_output(now);
      flush();
      if (stop_ || (settings_.exit_after_flash && run_over(now))) break;

      std::optional<sim::Micros> wake = power_up;
      if (const sim::LineByte* next = board_.peek_output()) wake = earliest(wake, next->at);
      if (settings_.exit_after_flash && restored_)
        wake = earliest(wake, last_activity_ + kQuietEnd);
      wait(now, wake);
    }
    result_.run_over = settings_.exit_after_flash && run_over(clock_.now());
    return result_;
  }

 private:
  static std::optional<sim::Micros> earliest(std::optional<sim::Micros> a, sim::Micros b) {
    return a ? std::min(*a, b) : b;
  }

  // Moves the board's due bytes into the write buffer, garbled where the
  // host listens at another speed than the board sent at.
  void take_due_output(sim::Micros now) {
    const unsigned host_baud = host_speed(pty_);
    while (const sim::LineByte* next = board_.peek_output()) {
      if (next->at > now) break;
      out_ += static_cast<char>(next->baud == host_baud ? next->value : sim::garble(next->value));
      board_.pop_output();
      last_activity_ = now;
    }
  }

  void flush() {
    while (!out_.empty()) {
      const ssize_t n = write(pty_.master, out_.data(), out_.size());
      if (n > 0) {
        out_.erase(0, static_cast<std::size_t>(n));
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        break;  // EAGAIN: the host's input queue is full; POLLOUT tells us when
      }
    }
  }

  void wait(sim::Micros now, std::optional<sim::Micros> wake) {
    pollfd fds[2] = {{pty_.master, static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0},
                     {signal_fd_, POLLIN, 0}};
    timespec timeout{};
    timespec* limit = nullptr;
    if (wake) {
      const sim::Micros delay = *wake > now ? *wake - now : 0;
      timeout.tv_sec = static_cast<time_t>(delay / 1'000'000);
      timeout.tv_nsec = static_cast<long>(delay % 1'000'000) * 1000;
      limit = &timeout;
    }
    if (ppoll(fds, 2, limit, nullptr) < 0) return;  // EINTR: just go round
    if (fds[1].revents & POLLIN) take_signals();
    if (fds[0].revents & POLLIN) take_host_bytes();
  }

  void take_host_bytes() {
    std::uint8_t buffer[4096];
    const ssize_t n = read(pty_.master, buffer, sizeof buffer);
    if (n <= 0) return;
    const sim::Micros now = clock_.now();
    // Whatever the board has sent by now reached the host before these bytes.
    take_due_output(now);
    const unsigned host_baud = host_speed(pty_);
    for (ssize_t i = 0; i < n; ++i) {
      sim::Micros at = now;
      // A paced byte has fully arrived one byte time after the line was
      // free for it, as on a UART: the first byte of a burst too.
      if (settings_.pace_host) at = std::max(now, last_host_at_) + sim::byte_time(host_baud);
      last_host_at_ = at;
      board_.receive(buffer[i], host_baud, at);
      note_taken(board_.frames_taken(), result_.frames, at);
      note_taken(board_.packets_taken(), result_.packets, at);
    }
    last_activity_ = std::max(now, last_host_at_);
    if (board_.speed() > 9600) ran_fast_ = true;
    if (ran_fast_ && board_.speed() == 9600) restored_ = true;
  }

  // A count that starts again from 0 (a new upload or feed) starts afresh.
  static void note_taken(std::uint64_t count, TakenTimes& times, sim::Micros at) {
    if (count == times.count) return;
    if (count == 1 || count < times.count) {
      times.first_at = at;
      times.gaps.clear();
    } else {
      times.gaps.push_back(at - times.last_at);
    }
    times.count = count;
    times.last_at = at;
  }

  void take_signals() {
    signalfd_siginfo info{};
    while (read(signal_fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      if (info.ssi_signo != SIGCHLD) {
        stop_ = true;
        continue;
      }
      int status = 0;
      if (settings_.child > 0 && waitpid(settings_.child, &status, WNOHANG) == settings_.child) {
        result_.child_exited = true;
        result_.child_status = status;
        stop_ = true;
      }
    }
  }

  bool run_over(sim::Micros now) const {
    return restored_ && out_.empty() && board_.peek_output() == nullptr &&
           now >= last_activity_ + kQuietEnd;
  }

  sim::Board& board_;
  const Pty& pty_;
  const int signal_fd_;
  const LoopSettings settings_;
  Clock clock_;
  std::string out_;
  sim::Micros last_host_at_ = 0;
  sim::Micros last_activity_ = 0;
  bool ran_fast_ = false;
  bool restored_ = false;
  bool stop_ = false;
  LoopResult result_;
};

}  // namespace

LoopResult run_loop(sim::Board& board, const Pty& pty, int signal_fd,
                    const LoopSettings& settings) {
  return Loop(board, pty, signal_fd, settings).run();
}

}  // namespace quarnsim
