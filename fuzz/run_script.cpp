#include "fuzz/run_script.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <vector>

#include "driver/quarnprog.h"
#include "serial/serial_port.h"
#include "transfer/transfer.h"

extern "C" {
std::FILE* __real_fopen(const char* path, const char* mode);
int __real_fclose(std::FILE* stream);

std::FILE* __wrap_fopen(const char* path, const char* mode);
int __wrap_fclose(std::FILE* stream);
}

namespace fuzz {

namespace {

constexpr DWORD kEio = 5;

void write_bytes(const std::string& path, std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }
}

// A flash writer path whose upload header (path, NUL, length digits, NUL)
// fills the 128 data bytes exactly, plus `extra` bytes.
std::string path_at_header_limit(std::size_t length, std::size_t extra) {
  const std::string prefix = scratch_directory() + "/";
  const std::size_t fits = 128 - 2 - std::to_string(length).size() + extra;
  return prefix + std::string(fits - prefix.size(), 'w');
}

void set_fault(const Script& script) {
  sim::VirtualLine& line = sim::virtual_line();
  const std::uint64_t at = script.fault_at;
  switch (script.fault) {
    case Fault::create:
      line.create_error = 2;
      break;
    case Fault::get_state:
      line.get_state_error = 31;
      break;
    case Fault::set_state:
      line.set_state_error = 87;
      break;
    case Fault::get_timeouts:
      line.get_timeouts_error = 1;
      break;
    case Fault::set_timeouts:
      line.set_timeouts_error = 87;
      break;
    case Fault::read_aborted:
      line.read_faults[at] = {ERROR_OPERATION_ABORTED, false};
      break;
    case Fault::read_error:
      line.read_faults[at] = {kEio, false};
      break;
    case Fault::read_error_and_byte:
      line.read_faults[at] = {kEio, true};
      break;
    case Fault::write_error:
      line.write_faults[at] = {kEio, -1};
      break;
    case Fault::write_short:
      line.write_faults[at] = {0, static_cast<std::int64_t>(script.seed % 67)};
      break;
    case Fault::none:
    case Fault::count:
      break;
  }
}

// The program keeps the image open until its process ends, as it should; the
// fuzzer runs it many times in one process, so the streams a run leaves open
// are closed after it, or a long campaign would run out of descriptors and
// memory (and every run would look like a leak). The fuzz build links the
// program with --wrap=fopen,fclose, so its opens and closes come here.
std::set<std::FILE*>& open_streams() {
  static std::set<std::FILE*> streams;
  return streams;
}

void close_leftover_streams() {
  for (std::FILE* stream : open_streams()) __real_fclose(stream);
  open_streams().clear();
}

}  // namespace

const std::string& scratch_directory() {
  // Never destroyed: the clean-up at exit still needs it.
  static const std::string* const path = [] {
    std::string dir = (std::filesystem::temp_directory_path() / "quarnprog-fuzz-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) std::abort();
    std::filesystem::create_directory(dir + "/adir");
    mkfifo((dir + "/fifo").c_str(), 0600);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(scratch_directory(), ignored);
    });
    return new std::string(dir);
  }();
  return *path;
}

RunOutcome run_script(const Script& script, sim::Board* board) {
  const std::string& dir = scratch_directory();
  std::string pel = dir + "/qflash.bin";
  std::string image = dir + "/bios.img";
  if (script.shape & 0x40) pel = path_at_header_limit(script.pel_size(), 0);
  if (script.shape & 0x80) pel = path_at_header_limit(script.pel_size(), 1);
  write_bytes(pel, script.pel_size(), script.seed);
  write_bytes(image, script.image_size(), script.seed + 1u);
  if (script.shape & 0x04) pel = dir + "/missing.bin";
  if (script.shape & 0x08) image = dir + "/missing.img";
  if (script.shape & 0x10) pel = dir + "/adir";
  // Opening a FIFO blocks until a writer comes, and none ever does here:
  // a program that opens it blindly hangs, which the fuzzer reports.
  if (script.shape & 0x20) image = dir + "/fifo";

  std::vector<std::string> args = {"quarnprog", pel, image};
  if ((script.shape & 0x03) == 1) args.pop_back();
  if ((script.shape & 0x03) == 2) args.push_back(image);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  sim::reset_virtual_line();
  serial_counter = 0;
  mycount = 0;
  port_handle = INVALID_HANDLE_VALUE;
  set_fault(script);
  Peer peer(script);
  if (board != nullptr) {
    sim::virtual_line().attach(board);
    board->power_up(sim::millis(300));
  } else {
    peer.attach();
  }

  RunOutcome outcome;
  outcome.status = quarnprog_main(static_cast<int>(args.size()), argv.data());
  sim::VirtualLine& line = sim::virtual_line();
  outcome.ended_at = line.now;
  outcome.last_release = peer.last_release();
  outcome.writes = line.writes.size();
  for (const sim::RecordedWrite& write : line.writes) {
    outcome.largest_write = std::max(outcome.largest_write, write.bytes.size());
  }
  std::fflush(stdout);
  close_leftover_streams();
  return outcome;
}

}  // namespace fuzz

extern "C" std::FILE* __wrap_fopen(const char* path, const char* mode) {
  std::FILE* stream = __real_fopen(path, mode);
  if (stream != nullptr) fuzz::open_streams().insert(stream);
  return stream;
}

extern "C" int __wrap_fclose(std::FILE* stream) {
  fuzz::open_streams().erase(stream);
  return __real_fclose(stream);
}
