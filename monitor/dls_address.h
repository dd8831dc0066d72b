// The download-address query: asks the monitor with "dls" where programs are
// loaded, and parses the hexadecimal segment that follows its ':'.
#pragma once

#include <cstdint>
#include <optional>

// Returns 1 with *dls_segment set, or 0 leaving it untouched: no answer, no
// bytes after the ':', or text that is not a 32-bit hexadecimal number (that
// last case prints "Unable to convert Quarn dls address: ...").
int get_dls_address(std::uint32_t* dls_segment);

// The leading hexadecimal number of `text`, read as the C library's "%x"
// conversion reads it (blanks, optional sign, optional 0x), or nothing when
// there is none or it does not fit 32 bits.
std::optional<std::uint32_t> parse_segment(const char* text);
