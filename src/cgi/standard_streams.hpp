// The CGI process's own input and output: the body comes on standard input,
// the response goes to standard output. A web server may hand over either
// in non-blocking mode, so both wait for the descriptor instead of failing.
#pragma once

#include <cstddef>
#include <string_view>
#include <sys/types.h>

// A relay_sink write function for standard output: writes both pieces
// whole, retrying short writes. The target is not used.
bool write_stdout(void *target, std::string_view first, std::string_view second);

// A body_source read function for standard input. The source is not used.
ssize_t read_stdin(void *from, char *buffer, std::size_t n);
