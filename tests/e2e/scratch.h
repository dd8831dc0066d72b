// Files for the end-to-end tests: a scratch directory of the test's own and
// whole-file reads and writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace e2e {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory under $TMPDIR (or /tmp), removed with all it holds when
// the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// `size` bytes from a generator seeded with `seed`, so a failure repeats.
Bytes random_bytes(std::size_t size, unsigned seed);

void write_file(const std::string& path, const Bytes& bytes);
// The file's bytes; empty when it cannot be read.
Bytes read_file(const std::string& path);
std::string read_text(const std::string& path);
bool file_exists(const std::string& path);

}  // namespace e2e
