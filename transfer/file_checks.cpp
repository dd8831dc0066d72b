#include "transfer/file_checks.h"

#include <filesystem>
#include <system_error>

bool is_directory(const char* path) {
  std::error_code error;
  return std::filesystem::is_directory(path, error);
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
