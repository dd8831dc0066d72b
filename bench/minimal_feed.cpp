#include "bench/minimal_feed.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "sim/checksums.h"

namespace bench {

namespace {

constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kAck = 0x06;
constexpr int kSetupMs = 10'000;

void on_alarm(int) {}

class Port {
 public:
  explicit Port(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (fd_ < 0 || tcgetattr(fd_, &tio) != 0) return;
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetspeed(&tio, B9600);  // the board's speed after power-up; never changed here
    if (tcsetattr(fd_, TCSANOW, &tio) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Port() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  bool send(const void* bytes, std::size_t size) const {
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    while (size > 0) {
      const ssize_t n = write(fd_, p, size);
      if (n <= 0) return false;
      p += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }
  bool send(const std::string& text) const { return send(text.data(), text.size()); }

  // Reads until `count` bytes equal to `wanted` have come; false after the
  // set-up time limit.
  bool await(std::uint8_t wanted, int count = 1) const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSetupMs);
    while (count > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            until - std::chrono::steady_clock::now())
                            .count();
      pollfd pfd{fd_, POLLIN, 0};
      if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0) return false;
      std::uint8_t byte = 0;
      if (read(fd_, &byte, 1) != 1) return false;
      if (byte == wanted) --count;
    }
    return true;
  }

 private:
  int fd_ = -1;
};

std::array<std::uint8_t, 133> frame(std::uint8_t block, const std::uint8_t* data) {
  std::array<std::uint8_t, 133> f{};
  f[0] = kSoh;
  f[1] = block;
  f[2] = static_cast<std::uint8_t>(255 - block);
  std::memcpy(f.data() + 3, data, 128);
  const std::uint16_t crc = sim::crc16_xmodem(f.data() + 3, 128);
  f[131] = static_cast<std::uint8_t>(crc >> 8);
  f[132] = static_cast<std::uint8_t>(crc);
  return f;
}

// Monitor prompt, a one-frame flash writer through the loader, "g", and the
// flash writer's two ACKs (its first answer, then ready).
bool bring_up_flash_writer(const Port& port, std::string& error) {
  auto fail = [&error](const char* what) {
    error = what;
    return false;
  };
  if (!port.await(':')) return fail("no start-up prompt");
  if (!port.send("yload 8000:0\n\r") || !port.await('C')) return fail("no loader");
  std::uint8_t data[128] = {};
  std::memcpy(data,
              "w\0"
              "128",
              6);
  const auto header = frame(0, data);
  if (!port.send(header.data(), header.size()) || !port.await(kAck)) return fail("header");
  std::memset(data, 0x90, sizeof data);
  const auto block = frame(1, data);
  if (!port.send(block.data(), block.size()) || !port.await(kAck)) return fail("data frame");
  if (!port.send(&kEot, 1) || !port.await(kAck)) return fail("EOT");
  std::memset(data, 0, sizeof data);
  const auto end = frame(0, data);
  if (!port.send(end.data(), end.size()) || !port.await(':')) return fail("end frame");
  if (!port.send("g 8000:0\n\r") || !port.await(kAck, 2)) return fail("flash writer");
  return true;
}

}  // namespace

MinimalFeedResult run_minimal_feed(const std::string& path,
                                   const std::vector<std::uint8_t>& image) {
  MinimalFeedResult result;
  const Port port(path);
  if (!port.ok()) {
    result.error = "cannot open " + path + ": " + std::strerror(errno);
    return result;
  }
  if (!bring_up_flash_writer(port, result.error)) return result;

  // All packets are made before the clock starts.
  const std::size_t count = (image.size() + 63) / 64;
  std::vector<std::array<std::uint8_t, 67>> packets(count);
  for (std::size_t i = 0; i < count; ++i) {
    auto& p = packets[i];
    p.fill(0);
    p[0] = kSoh;
    p[1] = static_cast<std::uint8_t>(i + 1);
    const std::size_t size = std::min<std::size_t>(64, image.size() - i * 64);
    std::memcpy(p.data() + 2, image.data() + i * 64, size);
    p[66] = sim::sum8(p.data() + 2, 64);
  }

  // A wedged board interrupts the blocking read instead of hanging us.
  struct sigaction action {};
  action.sa_handler = on_alarm;
  sigaction(SIGALRM, &action, nullptr);
  alarm(60);
  const auto start = std::chrono::steady_clock::now();
  for (const auto& p : packets) {
    std::uint8_t answer = 0;
    if (write(port.fd(), p.data(), p.size()) != static_cast<ssize_t>(p.size()) ||
        read(port.fd(), &answer, 1) != 1 || answer != kAck) {
      alarm(0);
      result.error = "packet " + std::to_string(result.packets + 1) + " not acknowledged";
      return result;
    }
    ++result.packets;
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  alarm(0);
  if (!port.send(&kEot, 1) || !port.await(kAck)) {
    result.error = "no ACK for the closing EOT";
    return result;
  }
  result.ok = true;
  return result;
}

}  // namespace bench
