// libFuzzer target: the whole program, arguments and files included, on the
// virtual line and clock, against a board whose every byte, and when it
// comes, is taken from the fuzzer's input (see peer_script.h).
//
// Beyond what AddressSanitizer and UndefinedBehaviorSanitizer catch (every
// write of the program stays within its buffer, in memory and on the line),
// each run must:
//  - end with one of the program's exit statuses;
//  - end within a bounded virtual time after the board's last byte: every
//    wait of the program is bounded by silence or by a count, so once the
//    line falls silent, what is left of a run is at most the sum of all its
//    waits (kSilentTail below);
//  - print a bounded amount: each board byte is echoed or marked at most
//    once (at most 11 characters, "0xffffffXX "), plus marks and messages
//    that are bounded per read, frame and packet;
//  - never write more than a YMODEM frame in one write.
// A hang that takes no virtual time (a loop that neither reads nor pauses),
// or an open that blocks for good, is caught by libFuzzer's -timeout.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/quarnprog.h"
#include "fuzz/run_script.h"

namespace {

// The longest a run can take on a line that has fallen silent, summed over
// every step it may still have ahead (one empty read: 10 ms): the start-up
// wait (3000 reads), the speed raise (2 s and a prompt wait of at most 3000
// reads once bytes came), the dls query (a prompt wait, 50 ms), the upload
// (1 s, then at most 19 frames of 5 attempts with 150 ms and ten reads each,
// the EOT handshake's 100 reads), 1 s and a prompt wait, 640 polls of
// 200 ms and a read, a prompt wait after ESC or the feed (101 reads, then
// per packet at most ten reads with 2 ms pauses, the EOT handshake), the
// closing commands (2 x 1 s) and the restore (1 s): about 320 s. An aborted
// read adds 1 s.
constexpr sim::Micros kSilentTail = 400'000'000;
constexpr sim::Micros kAbortedReadPause = 1'000'000;
constexpr std::size_t kFixedOutput = 64 * 1024;
constexpr std::size_t kOutputPerInputByte = 16;
constexpr std::size_t kLargestWrite = 133;

std::size_t printed = 0;
std::size_t output_limit = 0;
bool echo_output = false;

[[noreturn]] void fail(const char* what, unsigned long long a, unsigned long long b) {
  std::fprintf(stderr, "\nquarnprog_fuzz: %s (%llu > %llu)\n", what, a, b);
  std::abort();
}

// The program's standard output: counted, and thrown away unless
// QUARNPROG_FUZZ_ECHO is set (for looking at a single input).
ssize_t count_output(void*, const char* bytes, size_t size) {
  printed += size;
  if (echo_output) std::fwrite(bytes, 1, size, stderr);
  if (printed > output_limit) fail("output beyond its bound", printed, output_limit);
  return static_cast<ssize_t>(size);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  echo_output = std::getenv("QUARNPROG_FUZZ_ECHO") != nullptr;
  cookie_io_functions_t io{};
  io.write = count_output;
  stdout = fopencookie(nullptr, "w", io);
  setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  fuzz::scratch_directory();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::Script script = fuzz::decode(data, size);
  printed = 0;
  output_limit = kFixedOutput + kOutputPerInputByte * size;
  const fuzz::RunOutcome run = fuzz::run_script(script);

  if (run.status != exit_flashed && run.status != exit_not_started &&
      run.status != exit_flash_incomplete) {
    fail("exit status out of range", static_cast<unsigned long long>(run.status), 2);
  }
  const sim::Micros bound = run.last_release + kSilentTail +
                            (script.fault == fuzz::Fault::read_aborted ? kAbortedReadPause : 0);
  if (run.ended_at > bound) fail("run outlasted its virtual time bound (us)", run.ended_at, bound);
  if (run.largest_write > kLargestWrite) fail("write too large", run.largest_write, kLargestWrite);
  if (echo_output) {
    std::fprintf(stderr, "\n[status %d, ended at %.3f s, %llu writes, %zu bytes printed]\n",
                 run.status, static_cast<double>(run.ended_at) / 1e6,
                 static_cast<unsigned long long>(run.writes), printed);
  }
  return 0;
}
