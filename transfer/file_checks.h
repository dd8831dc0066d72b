// Checks on the two input files that the program makes before it commits the
// target to a transfer, so that a bad path fails with a plain message rather
// than half-way through a conversation with the board.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

// True when `path` names a directory (which some C libraries open as a stream).
bool is_directory(const char* path);

// The length of an open stream, found by seeking to its end; the stream is left
// at its start. Nothing when the stream cannot seek (a pipe, say).
std::optional<std::int64_t> stream_length(std::FILE* file);
