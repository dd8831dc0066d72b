#include "sim/quarnsim_report.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace quarnsim {

namespace {

bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (out) return true;
  std::fprintf(stderr, "quarnsim: cannot write %s\n", path.c_str());
  return false;
}

bool write_transcript(const std::string& path, const sim::Board& board) {
  std::ofstream out(path, std::ios::binary);
  for (const sim::Board::Command& command : board.commands()) {
    out << command.host_baud << ' ' << command.text << '\n';
  }
  if (out) return true;
  std::fprintf(stderr, "quarnsim: cannot write %s\n", path.c_str());
  return false;
}

bool compare_image(const std::string& path, const sim::Board& board) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "quarnsim: cannot read %s\n", path.c_str());
    return false;
  }
  const std::vector<std::uint8_t> image{std::istreambuf_iterator<char>(in),
                                        std::istreambuf_iterator<char>()};
  if (board.flash_image_equals(image)) {
    // The host's transcript usually ends mid-line, on the prompt.
    std::printf("\nquarnsim: flash matches image (%zu bytes)\n", image.size());
    return true;
  }
  std::printf("\nquarnsim: flash DIFFERS from image\n");
  return false;
}

}  // namespace

bool write_report(const sim::Board& board, const Options& options) {
  bool ok = true;
  if (!options.pel_out.empty()) ok = write_file(options.pel_out, board.loaded_file()) && ok;
  if (!options.flash_out.empty()) ok = write_file(options.flash_out, board.flash()) && ok;
  if (!options.transcript.empty()) ok = write_transcript(options.transcript, board) && ok;
  if (!options.image.empty()) ok = compare_image(options.image, board) && ok;
  std::fflush(stdout);
  return ok;
}

bool write_times(const std::string& path, const LoopResult& result) {
  std::ofstream out(path);
  for (const auto& [name, taken] :
       {std::pair{"frames", &result.frames}, {"packets", &result.packets}}) {
    // The median gap shrugs off the odd exchange that another process on
    // the machine held up; the mean follows from first, last and count.
    std::vector<sim::Micros> gaps = taken->gaps;
    const auto middle = gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2);
    std::nth_element(gaps.begin(), middle, gaps.end());
    out << name << ' ' << taken->count << ' ' << taken->first_at << ' ' << taken->last_at << ' '
        << (gaps.empty() ? 0 : *middle) << '\n';
  }
  if (out) return true;
  std::fprintf(stderr, "quarnsim: cannot write %s\n", path.c_str());
  return false;
}

}  // namespace quarnsim
