// Writes the fuzzer's seed corpus: whole runs of the program against the
// virtual board, healthy and faulty, each turned into the script of what
// the board sent and when (see peer_script.h). Each seed is played back
// once as a check that it leads to the same exit status as the run it was
// taken from.
//
//   make_seeds OUT_DIR
#include <fcntl.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include "fuzz/run_script.h"
#include "sim/board.h"

namespace {

struct Seed {
  const char* name;
  fuzz::Script header;
  std::function<void(sim::BoardConfig&)> configure;
};

fuzz::Script header(std::uint8_t pel_units, std::uint8_t image_units,
                    fuzz::Fault fault = fuzz::Fault::none, std::uint16_t at = 0,
                    std::uint8_t shape = 0) {
  fuzz::Script script;
  script.shape = shape;
  script.pel_units = pel_units;
  script.image_units = image_units;
  script.seed = 1;
  script.fault = fault;
  script.fault_at = at;
  return script;
}

// What the host received, as chunks: a new chunk at each host write that
// came before the byte, or after a gap in the board's output. Delays are
// rounded down to the table, each from the release the script really makes,
// so the replay never brings a byte later than the board did.
std::vector<fuzz::Chunk> chunks_of_run() {
  const sim::VirtualLine& line = sim::virtual_line();
  std::vector<fuzz::Chunk> chunks;
  std::size_t writes_before = 0;   // host writes before the byte at hand
  std::size_t trigger_writes = 0;  // ... before the last write-triggered chunk
  sim::Micros release = 0, previous_arrival = 0;
  for (const sim::LineByte& byte : line.received) {
    std::size_t writes = writes_before;
    // A write at the very moment a byte arrived came after it: the host
    // wrote in answer to what it had just read.
    while (writes < line.writes.size() && line.writes[writes].at < byte.at) ++writes;
    const bool new_write = writes != writes_before && writes - trigger_writes <= 7;
    if (new_write || chunks.empty() || byte.at > previous_arrival + 5000 ||
        chunks.back().bytes.size() == 255) {
      fuzz::Chunk chunk;
      if (new_write) {
        chunk.trigger = static_cast<std::uint8_t>(writes - trigger_writes);
        const sim::Micros write_at = line.writes[writes - 1].at;
        chunk.delay_code = fuzz::delay_code_at_most(byte.at - write_at);
        release = std::max(release, write_at + fuzz::delay_table[chunk.delay_code]);
        trigger_writes = writes;
      } else {
        chunk.delay_code = fuzz::delay_code_at_most(byte.at - release);
        release += fuzz::delay_table[chunk.delay_code];
      }
      chunks.push_back(chunk);
    }
    writes_before = writes;
    chunks.back().bytes += static_cast<char>(byte.value);
    previous_arrival = byte.at;
  }
  return chunks;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds OUT_DIR\n");
    return 2;
  }
  const std::string out = argv[1];
  using sim::BoardConfig;
  const Seed seeds[] = {
      {"healthy", header(38, 140), [](BoardConfig&) {}},
      {"big-writer", header(255, 30), [](BoardConfig&) {}},
      {"empty-image", header(10, 0), [](BoardConfig&) {}},
      {"naks", header(38, 140),
       [](BoardConfig& c) {
         c.loader_answers = {{1, 2, std::string(1, sim::kNak)}, {0, 1, "x"}};
         c.flash_answers = {{2, 1, std::string(1, sim::kNak)}, {4, 1, "zz"}};
         c.loader_nak_first_eot = true;
       }},
      {"esc-first-answer", header(20, 100),
       [](BoardConfig& c) { c.flash_first_answer = std::string(1, sim::kEsc); }},
      {"esc-at-packet", header(20, 100),
       [](BoardConfig& c) {
         c.flash_answers = {{3, 1, std::string(1, sim::kEsc)}};
       }},
      {"no-ready-ack", header(20, 30), [](BoardConfig& c) { c.flash_ready_ack = false; }},
      {"silent-writer", header(20, 60), [](BoardConfig& c) { c.flash_silent_from_packet = 2; }},
      {"silent-loader", header(40, 30), [](BoardConfig& c) { c.loader_silent_from_frame = 2; }},
      {"garbage", header(20, 30), [](BoardConfig& c) { c.garbage_before_answers = "\x80?\x06"; }},
      {"bad-dls", header(20, 30), [](BoardConfig& c) { c.dls_answer = " zz\r\n:"; }},
      {"ignores-speed", header(20, 30), [](BoardConfig& c) { c.ignore_speed = true; }},
      {"aborted-read", header(20, 30, fuzz::Fault::read_aborted, 300), [](BoardConfig&) {}},
      {"short-write", header(20, 30, fuzz::Fault::write_short, 12), [](BoardConfig&) {}},
      {"long-path", header(20, 30, fuzz::Fault::none, 0, 0x40), [](BoardConfig&) {}},
  };

  int failures = 0;
  for (const Seed& seed : seeds) {
    BoardConfig config;
    seed.configure(config);
    sim::Board board(config);
    fuzz::Script script = seed.header;
    std::FILE* real_stdout = stdout;
    // Not fopen: the runs close what fopen opened during them (run_script.cpp).
    stdout = fdopen(open("/dev/null", O_WRONLY | O_CLOEXEC), "w");
    const fuzz::RunOutcome original = fuzz::run_script(script, &board);
    script.chunks = chunks_of_run();
    const fuzz::RunOutcome replay = fuzz::run_script(script);
    std::fclose(stdout);
    stdout = real_stdout;

    std::ofstream(out + "/" + seed.name + ".bin", std::ios::binary) << fuzz::encode(script);
    const bool same = original.status == replay.status;
    if (!same) ++failures;
    std::printf("%-17s %2zu chunks, status %d, replayed %d%s\n", seed.name, script.chunks.size(),
                original.status, replay.status, same ? "" : "  DIFFERS");
  }
  return failures == 0 ? 0 : 1;
}
