#include "transfer/file_checks.h"

#include <filesystem>
#include <system_error>

// Only a regular file has an end that a read reaches in its own time. A
// FIFO would make the open itself wait for a writer that may never come, a
// device may never end, and a directory reads as an error on some systems
// and as nothing on others. The check looks before the open; a path swapped
// for something else between the two is beyond what it guards against.
const char* irregular_file_kind(const char* path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (error) return nullptr;
  switch (status.type()) {
    case std::filesystem::file_type::regular:
    case std::filesystem::file_type::not_found:
    case std::filesystem::file_type::none:
      return nullptr;
    case std::filesystem::file_type::directory:
      return "a directory";
    case std::filesystem::file_type::fifo:
      return "a FIFO";
    case std::filesystem::file_type::character:
      return "a character device";
    case std::filesystem::file_type::block:
      return "a block device";
    case std::filesystem::file_type::socket:
      return "a socket";
    default:
      return "not a file of a known kind";
  }
}

std::optional<std::int64_t> stream_length(std::FILE* file) {
#ifdef _WIN32
  if (_fseeki64(file, 0, SEEK_END) != 0) return std::nullopt;
  const std::int64_t length = _ftelli64(file);
  if (_fseeki64(file, 0, SEEK_SET) != 0) return std::nullopt;
#else
  if (fseeko(file, 0, SEEK_END) != 0) return std::nullopt;
  const std::int64_t length = ftello(file);
  if (fseeko(file, 0, SEEK_SET) != 0) return std::nullopt;
#endif
  if (length < 0) return std::nullopt;
  return length;
}
