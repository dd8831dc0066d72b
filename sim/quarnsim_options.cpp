#include "sim/quarnsim_options.h"

#include <cctype>
#include <cstdlib>
#include <functional>
#include <map>

namespace quarnsim {

namespace {

bool parse_number(const std::string& text, std::uint64_t& value, int base = 10) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtoull(text.c_str(), &end, base);
  return *end == '\0' && text[0] != '-';
}

// "K" or "K:M" (M defaults to 1).
bool parse_index_times(const std::string& text, sim::AnswerFault& fault) {
  const std::size_t colon = text.find(':');
  std::uint64_t times = 1;
  if (!parse_number(text.substr(0, colon), fault.index)) return false;
  if (colon != std::string::npos && !parse_number(text.substr(colon + 1), times)) return false;
  fault.times = static_cast<unsigned>(times);
  return true;
}

std::string first_answer(const std::string& text) {
  if (text == "ack") return std::string(1, sim::kAck);
  if (text == "nak") return std::string(1, sim::kNak);
  if (text == "esc") return std::string(1, sim::kEsc);
  if (text == "none") return "";
  return unescape(text);
}

}  // namespace

std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    switch (c) {
      case 'r':
        out += '\r';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'e':
        out += '\x1b';
        break;
      case 'x': {
        std::string hex;
        while (hex.size() < 2 && i + 1 < text.size() &&
               std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
          hex += text[++i];
        }
        out += hex.empty() ? 'x' : static_cast<char>(std::strtoul(hex.c_str(), nullptr, 16));
        break;
      }
      default:
        out += c;
        break;
    }
  }
  return out;
}

std::string usage() {
  return R"USAGE(Usage: quarnsim [OPTIONS] [--run PROGRAM ARGS...]

Puts a virtual Quarn board (monitor, YMODEM loader, flash writer) on a
pseudo-terminal. The port's path goes to stdout as QUARNPROG_PORT=/dev/pts/N
(or to --port-file). Without --run it runs until SIGINT/SIGTERM or, with
--exit-after-flash, until the run is over.

Where things go:
  --port-file FILE      write the port's path into FILE instead of stdout
  --pel-out FILE        at exit, write the file the YMODEM loader stored
  --flash-out FILE      at exit, write what the flash writer took: all packet
                        data, so the zero fill of the last packet is included
  --image FILE          at exit, compare the flash with FILE (zero fill
                        allowed) and print "flash matches image (N bytes)" or
                        "flash DIFFERS from image"; without --run a difference
                        makes the exit status 3
  --transcript FILE     at exit, write each monitor command line taken as
                        "<host speed> <text>"
  --times FILE          at exit, write when the board took the first and the
                        last frame of the upload and packet of the feed, and
                        the median time between two: "frames N FIRST_US
                        LAST_US MEDIAN_US", "packets N FIRST_US LAST_US
                        MEDIAN_US" (board time: microseconds since start, each
                        at the arrival of the frame's or packet's last byte)
How it ends:
  --run PROGRAM ARGS... run PROGRAM with QUARNPROG_PORT set to the port, then
                        exit with its exit status (all later words are its own)
  --exit-after-flash    exit once the board has gone back to 9600 baud after
                        running faster, all its output is out, and the host has
                        sent nothing for 2 s
Timing:
  --power-up-ms N       switch the board on N ms after start (default 300)
  --pace                deliver host bytes to the board 10 bit-times apart
  --unpaced-output      the board sends its bytes at once instead of 10
                        bit-times apart
  --answer-latency-us N the board's time from a complete command, frame or
                        packet to its answer (default 1000)
Faults:
  --silent              the board is never switched on
  --no-startup-prompt   start-up text without its ':'
  --no-prompt           answers without the closing ':'
  --ignore-speed        the monitor ignores speed commands
  --segment HEX         the download segment (default 8000)
  --dls-answer TEXT     what follows the ':' of the dls answer
  --garbage TEXT        sent before every monitor answer
  --nak-frame K[:M]     NAK YMODEM frame K (0 = header) M times
  --silent-from-frame K the loader says nothing from frame K on
  --first-answer A      flash writer's first answer: ack, nak, esc, none, or TEXT
  --no-ready-ack        the flash writer never signals ready
  --nak-packet K[:M]    NAK flash packet K (from 1) M times
  --esc-at-packet K     answer packet K with ESC (the writer abandons)
  --silent-from-packet K  the flash writer says nothing from packet K on
TEXT may hold \r \n \t \e \\ and \xHH.
)USAGE";
}

bool parse_options(int argc, char** argv, Options& options, std::string& error) {
  sim::BoardConfig& board = options.board;
  const std::map<std::string, std::function<void()>> flags = {
      {"--help", [&] { options.help = true; }},
      {"--exit-after-flash", [&] { options.exit_after_flash = true; }},
      {"--pace", [&] { options.pace_host = true; }},
      {"--unpaced-output", [&] { board.pace_output = false; }},
      {"--silent", [&] { board.silent = true; }},
      {"--no-startup-prompt", [&] { board.startup_prompt = false; }},
      {"--no-prompt", [&] { board.prompts = false; }},
      {"--ignore-speed", [&] { board.ignore_speed = true; }},
      {"--no-ready-ack", [&] { board.flash_ready_ack = false; }},
  };
  // Options with a value; each returns false when the value is no good.
  const std::map<std::string, std::function<bool(const std::string&)>> valued = {
      {"--port-file",
       [&](const std::string& v) {
         options.port_file = v;
         return true;
       }},
      {"--pel-out",
       [&](const std::string& v) {
         options.pel_out = v;
         return true;
       }},
      {"--flash-out",
       [&](const std::string& v) {
         options.flash_out = v;
         return true;
       }},
      {"--image",
       [&](const std::string& v) {
         options.image = v;
         return true;
       }},
      {"--transcript",
       [&](const std::string& v) {
         options.transcript = v;
         return true;
       }},
      {"--times",
       [&](const std::string& v) {
         options.times = v;
         return true;
       }},
      {"--answer-latency-us",
       [&](const std::string& v) { return parse_number(v, board.answer_latency); }},
      {"--power-up-ms",
       [&](const std::string& v) {
         std::uint64_t n = 0;
         if (!parse_number(v, n)) return false;
         options.power_up_ms = static_cast<unsigned>(n);
         return true;
       }},
      {"--segment",
       [&](const std::string& v) {
         std::uint64_t n = 0;
         if (!parse_number(v, n, 16) || n > 0xFFFFFFFFu) return false;
         board.dls_segment = static_cast<std::uint32_t>(n);
         return true;
       }},
      {"--dls-answer",
       [&](const std::string& v) {
         board.dls_answer = unescape(v);
         return true;
       }},
      {"--garbage",
       [&](const std::string& v) {
         board.garbage_before_answers = unescape(v);
         return true;
       }},
      {"--first-answer",
       [&](const std::string& v) {
         board.flash_first_answer = first_answer(v);
         return true;
       }},
      {"--nak-frame",
       [&](const std::string& v) {
         sim::AnswerFault fault;
         if (!parse_index_times(v, fault)) return false;
         board.loader_answers.push_back(fault);
         return true;
       }},
      {"--nak-packet",
       [&](const std::string& v) {
         sim::AnswerFault fault;
         if (!parse_index_times(v, fault)) return false;
         board.flash_answers.push_back(fault);
         return true;
       }},
      {"--esc-at-packet",
       [&](const std::string& v) {
         sim::AnswerFault fault{0, 1, std::string(1, sim::kEsc)};
         if (!parse_number(v, fault.index)) return false;
         board.flash_answers.push_back(fault);
         return true;
       }},
      {"--silent-from-frame",
       [&](const std::string& v) { return parse_number(v, board.loader_silent_from_frame); }},
      {"--silent-from-packet",
       [&](const std::string& v) { return parse_number(v, board.flash_silent_from_packet); }},
  };

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--run") {
      if (i + 1 == argc) {
        error = "--run needs a program";
        return false;
      }
      options.run.assign(argv + i + 1, argv + argc);
      return true;
    }
    if (auto flag = flags.find(arg); flag != flags.end()) {
      flag->second();
      continue;
    }
    auto option = valued.find(arg);
    if (option == valued.end()) {
      error = "unknown option " + arg;
      return false;
    }
    if (i + 1 == argc) {
      error = arg + " needs a value";
      return false;
    }
    if (!option->second(argv[++i])) {
      error = "bad value for " + arg + ": " + argv[i];
      return false;
    }
  }
  return true;
}

}  // namespace quarnsim
