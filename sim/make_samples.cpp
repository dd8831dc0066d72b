// Writes the demo's sample files: a stand-in flash writer and a stand-in BIOS
// image, a few KiB of reproducible bytes each, so the demo needs no binaries
// in the repository.
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

bool write_sample(const std::string& path, const std::string& banner, std::size_t size,
                  std::uint32_t seed) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  std::string bytes = banner;
  std::uint32_t state = seed;
  while (bytes.size() < size) {
    state = state * 1664525u + 1013904223u;  // a plain LCG: reproducible everywhere
    bytes += static_cast<char>(state >> 24);
  }
  const bool ok = std::fwrite(bytes.data(), 1, size, file) == size;
  return std::fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_samples FLASH_WRITER_OUT IMAGE_OUT\n");
    return 2;
  }
  const bool ok = write_sample(argv[1], "Quarn PEL flash writer (demo)\r\n", 4096, 1) &&
                  write_sample(argv[2], "Quarn BIOS image (demo)\r\n", 12 * 1024 + 37, 2);
  if (!ok) std::perror("make_samples");
  return ok ? 0 : 1;
}
