#include "monitor/dls_address.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "monitor/monitor_commands.h"
#include "serial/serial_port.h"

namespace {
constexpr int answer_capacity = 100;
}

std::optional<std::uint32_t> parse_segment(const char* text) {
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  // strtoull would accept a second sign or more blanks; "%x" does not.
  if (!std::isxdigit(static_cast<unsigned char>(*p))) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const unsigned long long magnitude = std::strtoull(p, &end, 16);
  if (end == p) return std::nullopt;
  // A longer number would be cut to its low bits: refuse it rather than load
  // the flash writer at a segment the monitor never named.
  if (errno == ERANGE || magnitude > 0xFFFFFFFFull) return std::nullopt;
  const auto value = static_cast<std::uint32_t>(magnitude);
  return negative ? static_cast<std::uint32_t>(0u - value) : value;
}

int get_dls_address(std::uint32_t* dls_segment) {
  read_echo(nullptr, 0);
  send_command(MONITOR_DLS);
  if (!wait_prompt(1500)) return 0;
  Sleep(50);

  // One byte more than the answer may hold, for the terminator of the text.
  std::uint8_t answer[answer_capacity + 1];
  const int count = read_echo(answer, answer_capacity);
  if (count == 0) return 0;
  answer[count] = '\0';
  const char* text = reinterpret_cast<const char*>(answer);

  const std::optional<std::uint32_t> segment = parse_segment(text);
  if (!segment) {
    std::printf("Unable to convert Quarn dls address: %s\n", text);
    return 0;
  }
  *dls_segment = *segment;
  return 1;
}
