// quarnbench: how close quarnprog comes to the serial line's own limits, and
// what it costs the host. One run of each, figures on standard output.
//
//   quarnbench QUARNPROG QUARNSIM OUT_DIR
//
// Every throughput figure is taken on the board's side: quarnsim --times
// reports when the virtual board took the first and the last frame of the
// upload and packet of the feed (the arrival of each one's last byte), so
// the span between them holds whole exchanges only, each made of the host's
// turn-around, the bytes on the line and the board's answer. The same
// measure serves the minimal loop that the unpaced figure compares against.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/minimal_feed.h"
#include "support/child_process.h"

namespace {

using namespace std::chrono_literals;
using support::ChildProcess;
using support::ChildResult;

constexpr double kBaud = 38400;
constexpr double kByteSeconds = 10 / kBaud;  // start bit, 8 data bits, stop bit
constexpr std::size_t kPacketWire = 67 + 1;  // packet and its ACK
constexpr std::size_t kFrameWire = 133 + 1;  // frame and its ACK
constexpr double kFramePause = 0.150;        // after each frame, before its answer

std::string out_dir;
int board_cpu = -1, host_cpu = -1;

std::vector<std::uint8_t> pseudo_random(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t state = seed;
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}

std::string write_sample(const std::string& name, std::size_t size, std::uint32_t seed) {
  const std::string path = out_dir + "/" + name;
  const std::vector<std::uint8_t> bytes = pseudo_random(size, seed);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    throw std::runtime_error("cannot write " + path);
  }
  std::fclose(file);
  return path;
}

std::vector<std::uint8_t> read_bytes(const std::string& path) {
  const std::string bytes = support::read_file(path);
  return {bytes.begin(), bytes.end()};
}

struct Taken {
  std::uint64_t count = 0;
  double first_s = 0, last_s = 0;
  double median_gap_s = 0;
  double span() const { return last_s - first_s; }
  double mean_gap_s() const { return span() / static_cast<double>(count - 1); }
};

struct BoardTimes {
  Taken frames, packets;
};

BoardTimes parse_times(const std::string& path) {
  BoardTimes times;
  std::istringstream in(support::read_file(path));
  std::string name;
  std::uint64_t count = 0, first = 0, last = 0, median = 0;
  while (in >> name >> count >> first >> last >> median) {
    Taken& taken = name == "frames" ? times.frames : times.packets;
    taken = {count, static_cast<double>(first) / 1e6, static_cast<double>(last) / 1e6,
             static_cast<double>(median) / 1e6};
  }
  return times;
}

// A virtual board on its own pseudo-terminal, until it is done.
class Board {
 public:
  Board(const std::string& quarnsim, const std::string& name, std::vector<std::string> options)
      : name_(name),
        port_file_(out_dir + "/" + name + ".port"),
        times_file_(out_dir + "/" + name + ".times") {
    std::remove(port_file_.c_str());
    std::vector<std::string> argv = {quarnsim, "--port-file", port_file_, "--times", times_file_,
                                     // time enough for the host to be listening at power-up
                                     "--power-up-ms", "1000"};
    argv.insert(argv.end(), options.begin(), options.end());
    sim_ = std::make_unique<ChildProcess>(
        argv,
        support::ChildOptions{.stdout_path = out_dir + "/" + name + ".board", .cpu = board_cpu});
    if (!support::wait_for_file(port_file_, 10s)) fail("the virtual board did not start");
    std::string path = support::read_file(port_file_);
    port_ = path.substr(0, path.find('\n'));
  }

  const std::string& port() const { return port_; }

  // Waits for the board to end (or ends it) and reads its figures.
  BoardTimes finish(bool stop) {
    if (stop) sim_->signal(SIGTERM);
    const ChildResult ended = sim_->finish(60s);
    if (!ended.exited) fail("the virtual board did not end");
    matches_ = support::read_file(out_dir + "/" + name_ + ".board").find("flash matches image") !=
               std::string::npos;
    return parse_times(times_file_);
  }
  bool flash_matches() const { return matches_; }

  // Ends the benchmark; on the way out every child still running is killed.
  [[noreturn]] void fail(const std::string& why) const {
    throw std::runtime_error(name_ + ": " + why);
  }

 private:
  std::string name_, port_file_, times_file_, port_;
  std::unique_ptr<ChildProcess> sim_;
  bool matches_ = false;
};

struct ProgramRun {
  ChildResult ended;
  BoardTimes times;
  bool flash_matches = false;
};

// quarnprog against a board that ends by itself once the link is back at
// 9600 baud and quiet; its console goes to NAME.log.
ProgramRun run_program(const std::string& quarnprog, const std::string& quarnsim,
                       const std::string& name, std::vector<std::string> board_options,
                       const std::string& pel, const std::string& image) {
  board_options.insert(board_options.end(), {"--exit-after-flash", "--image", image});
  Board board(quarnsim, name, board_options);
  ChildProcess program({quarnprog, pel, image}, {.env = {{"QUARNPROG_PORT", board.port()}},
                                                 .stdout_path = out_dir + "/" + name + ".log",
                                                 .cpu = host_cpu});
  ProgramRun run;
  run.ended = program.finish(1h);
  if (!run.ended.exited) board.fail("quarnprog did not end");
  // A run that failed may never bring the link back to 9600 baud, and the
  // board would wait for that.
  run.times = board.finish(run.ended.status != 0);
  run.flash_matches = board.flash_matches();
  if (run.ended.status != 0 || !run.flash_matches) {
    board.fail("quarnprog exited with " + std::to_string(run.ended.status) +
               (run.flash_matches ? "" : ", and the flash does not hold the image") + "; see " +
               out_dir + "/" + name + ".log");
  }
  return run;
}

const char* verdict(bool met) {
  return met ? "met" : "MISSED";
}

ChildResult paced(const std::string& quarnprog, const std::string& quarnsim, const std::string& pel,
                  const std::string& image) {
  std::printf(
      "1. Paced link: every byte takes 10 bit times on the line, both ways;\n"
      "   the board answers at once (quarnsim --pace --answer-latency-us 0)\n");
  const ProgramRun run =
      run_program(quarnprog, quarnsim, "paced", {"--pace", "--answer-latency-us", "0"}, pel, image);

  const Taken& feed = run.times.packets;
  const double feed_rate = static_cast<double>(feed.count - 1) * 64 / feed.span();
  const double wire_rate = 64 / (kPacketWire * kByteSeconds);
  const double feed_ratio = feed_rate / wire_rate;
  std::printf("   feed:   %llu packets; %llu exchanges in %.3f s = %.1f image bytes/s\n",
              static_cast<unsigned long long>(feed.count),
              static_cast<unsigned long long>(feed.count - 1), feed.span(), feed_rate);
  std::printf("           wire limit %.1f B/s (64 image bytes per 67 + 1 bytes at 38400 baud)\n",
              wire_rate);
  std::printf("           ratio %.4f of the wire limit   [goal >= 0.97: %s]\n", feed_ratio,
              verdict(feed_ratio >= 0.97));

  const Taken& upload = run.times.frames;
  const double floor =
      static_cast<double>(upload.count - 1) * (kFramePause + kFrameWire * kByteSeconds);
  const double upload_ratio = floor / upload.span();
  std::printf(
      "   upload: %llu frames; %llu exchanges in %.3f s; floor %.3f s\n"
      "           (150 ms pause + 133 + 1 bytes of wire per frame)\n",
      static_cast<unsigned long long>(upload.count),
      static_cast<unsigned long long>(upload.count - 1), upload.span(), floor);
  std::printf("           ratio floor/measured %.4f   [goal >= 0.97: %s]\n", upload_ratio,
              verdict(upload_ratio >= 0.97));

  return run.ended;
}

void unpaced(const std::string& quarnprog, const std::string& quarnsim, const std::string& pel,
             const std::string& image) {
  std::printf(
      "2. Unpaced link: bytes pass at once, the board answers at once\n"
      "   (quarnsim --unpaced-output --answer-latency-us 0)\n");
  const std::vector<std::string> options = {"--unpaced-output", "--answer-latency-us", "0"};
  const ProgramRun run = run_program(quarnprog, quarnsim, "unpaced", options, pel, image);
  const Taken& feed = run.times.packets;

  std::vector<std::string> loop_options = options;
  loop_options.insert(loop_options.end(), {"--image", image});
  Board board(quarnsim, "minimal", loop_options);
  support::run_on_cpu(host_cpu);
  const bench::MinimalFeedResult loop = bench::run_minimal_feed(board.port(), read_bytes(image));
  support::run_on_cpu(-1);
  const BoardTimes loop_times = board.finish(true);
  if (!loop.ok) board.fail(loop.error);
  const Taken& loop_feed = loop_times.packets;

  // The median is the figure: on a machine that other work shares, the mean
  // also counts the exchanges that work held up.
  const double ratio = feed.median_gap_s / loop_feed.median_gap_s;
  std::printf("   per packet:   median     mean   (%llu packets each)\n",
              static_cast<unsigned long long>(feed.count));
  std::printf("   quarnprog    %6.2f us  %6.2f us\n", feed.median_gap_s * 1e6,
              feed.mean_gap_s() * 1e6);
  std::printf("   minimal loop %6.2f us  %6.2f us  (its own clock: %.2f us mean)\n",
              loop_feed.median_gap_s * 1e6, loop_feed.mean_gap_s() * 1e6,
              loop.seconds / static_cast<double>(loop.packets) * 1e6);
  std::printf("   ratio of the medians %.3f (of the means %.3f)   [goal <= 1.25: %s]\n", ratio,
              feed.mean_gap_s() / loop_feed.mean_gap_s(), verdict(ratio <= 1.25));
  if (!board.flash_matches()) board.fail("the minimal loop's flash does not hold the image");
}

void cost(const ChildResult& paced_run, const std::string& quarnprog, const std::string& quarnsim,
          const std::string& pel) {
  const double cpu_share = paced_run.cpu_s / paced_run.wall_s;
  std::printf(
      "3. Cost: the paced run of 1. took %.3f s CPU (user + system) in %.1f s wall\n"
      "   = %.3f%%   [goal <= 2%%: %s]; peak resident memory %ld KiB\n",
      paced_run.cpu_s, paced_run.wall_s, cpu_share * 100, verdict(cpu_share <= 0.02),
      paced_run.max_rss_kib);
  std::printf("   peak resident memory by image size (unpaced runs):\n");
  const std::vector<std::string> options = {"--unpaced-output", "--answer-latency-us", "0"};
  for (const auto& [name, size] :
       {std::pair{"64k", std::size_t{64} << 10}, std::pair{"16m", std::size_t{16} << 20}}) {
    const std::string image = write_sample(std::string("image-") + name + ".bin", size, 7);
    const ProgramRun run =
        run_program(quarnprog, quarnsim, std::string("memory-") + name, options, pel, image);
    std::printf("   %8zu-byte image: %ld KiB peak resident, %.2f s wall, %.2f s CPU\n", size,
                run.ended.max_rss_kib, run.ended.wall_s, run.ended.cpu_s);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: quarnbench QUARNPROG QUARNSIM OUT_DIR [paced|unpaced|cost]...\n");
    return 2;
  }
  const std::string quarnprog = argv[1], quarnsim = argv[2];
  out_dir = argv[3];
  mkdir(out_dir.c_str(), 0755);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // QUARNBENCH_CPUS=B,H keeps the boards to CPU B and the hosts (quarnprog,
  // the minimal loop) to CPU H, to study how placement moves the figures;
  // by default the scheduler places them.
  if (const char* cpus = std::getenv("QUARNBENCH_CPUS"))
    std::sscanf(cpus, "%d,%d", &board_cpu, &host_cpu);
  // Without a choice, every part (the cost part reports on the paced run).
  std::vector<std::string> parts(argv + 4, argv + argc);
  if (parts.empty()) parts = {"paced", "unpaced", "cost"};
  auto wanted = [&parts](const char* part) {
    return std::find(parts.begin(), parts.end(), part) != parts.end();
  };

  try {
    const std::string pel32k = write_sample("writer-32k.bin", 32 << 10, 1);
    const std::string pel1k = write_sample("writer-1k.bin", 1 << 10, 1);
    const std::string image256k = write_sample("image-256k.bin", 256 << 10, 2);

    std::printf("quarnbench: %s against quarnsim, one run each; logs in %s\n\n", quarnprog.c_str(),
                out_dir.c_str());
    ChildResult paced_run;
    if (wanted("paced") || wanted("cost")) {
      paced_run = paced(quarnprog, quarnsim, pel32k, image256k);
      std::printf("\n");
    }
    if (wanted("unpaced")) {
      unpaced(quarnprog, quarnsim, pel1k, image256k);
      std::printf("\n");
    }
    if (wanted("cost")) cost(paced_run, quarnprog, quarnsim, pel1k);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "quarnbench: %s\n", error.what());
    return 1;
  }
  return 0;
}
