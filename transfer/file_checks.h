// Checks on the two input files that the program makes before it commits the
// target to a transfer, so that a bad path fails with a plain message rather
// than half-way through a conversation with the board, or in an open that
// never returns.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

// What `path` names when that is anything but a regular file ("a directory",
// "a FIFO", "a character device", ...), for the refusal message; nullptr for
// a regular file (also through a symbolic link) and for a path that cannot
// be examined at all, such as one that does not exist, which the open then
// reports in its own words.
const char* irregular_file_kind(const char* path);

// The length of an open stream, found by seeking to its end; the stream is left
// at its start. Nothing when the stream cannot seek (a pipe, say).
std::optional<std::int64_t> stream_length(std::FILE* file);
