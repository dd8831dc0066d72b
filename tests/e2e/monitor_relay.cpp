#include "monitor_relay.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace e2e {

namespace {

constexpr char kSoh = 0x01;
constexpr char kEot = 0x04;
constexpr char kAck = 0x06;
constexpr std::size_t kFrameSize = 133;

// Writes all of it, waiting at most a second for room: the far side of a
// pseudo-terminal always drains, so more means something is wrong.
void write_all(int fd, const char* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t done = write(fd, bytes, count);
    if (done > 0) {
      bytes += done;
      count -= static_cast<std::size_t>(done);
      continue;
    }
    if (done < 0 && errno != EAGAIN && errno != EINTR) return;
    pollfd pfd{fd, POLLOUT, 0};
    if (poll(&pfd, 1, 1000) <= 0) return;
  }
}

}  // namespace

MonitorRelay::MonitorRelay(int program_side, int receiver_side)
    : program_side_(program_side), receiver_side_(receiver_side), thread_([this] { run(); }) {}

MonitorRelay::~MonitorRelay() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  thread_.join();
}

RelayState MonitorRelay::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

bool MonitorRelay::wait_for(const std::function<bool(const RelayState&)>& done,
                            std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return done(state_); });
}

void MonitorRelay::run() {
  pollfd fds[2] = {{program_side_, POLLIN, 0}, {receiver_side_, POLLIN, 0}};
  char chunk[4096];
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
    }
    // Short polls, so that a stop request is seen soon.
    if (poll(fds, 2, 50) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      const ssize_t got = read(program_side_, chunk, sizeof chunk);
      if (got > 0) from_program(chunk, static_cast<std::size_t>(got));
    }
    if (fds[1].revents & POLLIN) {
      const ssize_t got = read(receiver_side_, chunk, sizeof chunk);
      if (got > 0) from_receiver(chunk, static_cast<std::size_t>(got));
    }
  }
}

void MonitorRelay::from_program(const char* bytes, std::size_t count) {
  std::size_t start = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The monitor takes the command line up to its "\n\r"; the loader then
    // gets all that follows.
    while (!state_.relaying && start < count) {
      state_.command += bytes[start++];
      state_.relaying = state_.command.ends_with("\n\r");
    }
    for (std::size_t i = start; i < count; ++i) {
      if (frame_left_ > 0) {
        --frame_left_;
      } else if (bytes[i] == kSoh) {
        frame_left_ = kFrameSize - 1;
        if (!state_.eot_sent) ++state_.frames;
      } else if (bytes[i] == kEot) {
        state_.eot_sent = true;
      }
    }
  }
  changed_.notify_all();
  write_all(receiver_side_, bytes + start, count - start);
}

void MonitorRelay::from_receiver(const char* bytes, std::size_t count) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < count; ++i) {
      if (bytes[i] == 'C') {
        state_.receiver_asked = true;
      } else if (!state_.eot_sent) {
        ++(bytes[i] == kAck ? state_.acks : state_.refusals);
      }
    }
  }
  changed_.notify_all();
  write_all(program_side_, bytes, count);
}

}  // namespace e2e
