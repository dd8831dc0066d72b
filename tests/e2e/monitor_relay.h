// Stands in for the monitor between the program's port and a YMODEM receiver
// on a second pseudo-terminal: it takes the program's first command line
// ("yload ...\n\r") itself, as the monitor would, and from then on copies
// every byte from the program to the receiver and every answer back. On the
// way it keeps count of what passed, so a test can tell when the data frames
// are over and how the receiver answered them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace e2e {

struct RelayState {
  std::string command;  // what the program sent before the relaying began
  bool relaying = false;
  bool receiver_asked = false;  // the receiver's 'C', asking for a CRC batch
  // Counted up to the program's first EOT, i.e. the header and data frames.
  int frames = 0;    // 133-byte frames passed on to the receiver
  int acks = 0;      // ACKs from the receiver
  int refusals = 0;  // any other answer byte ('C' excepted)
  bool eot_sent = false;
};

class MonitorRelay {
 public:
  // Both file descriptors are pseudo-terminal masters in non-blocking mode.
  MonitorRelay(int program_side, int receiver_side);
  ~MonitorRelay();
  MonitorRelay(const MonitorRelay&) = delete;
  MonitorRelay& operator=(const MonitorRelay&) = delete;

  RelayState state() const;
  // True once `done` holds for the state; false when `limit` passes first.
  bool wait_for(const std::function<bool(const RelayState&)>& done,
                std::chrono::milliseconds limit) const;

 private:
  void run();
  void from_program(const char* bytes, std::size_t count);
  void from_receiver(const char* bytes, std::size_t count);

  const int program_side_;
  const int receiver_side_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  RelayState state_;
  std::size_t frame_left_ = 0;  // bytes of the current frame still to come
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace e2e
