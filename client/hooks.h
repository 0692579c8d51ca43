// The application's process-wide hooks: the socket table and the logger.
#ifndef DOIP_CLIENT_HOOKS_H
#define DOIP_CLIENT_HOOKS_H

#include <cstdarg>
#include <cstddef>

#include "doip.h"

namespace doip::detail {

// Size of the buffer a log line is formatted into; a line keeps at most kLogLineSize - 1 bytes.
constexpr size_t kLogLineSize = 1024;

// A copy of the current socket table, taken under its lock, so no lock is held while a hook runs.
doip_socket_ops_s socket_ops();

// Formats into `buf` with vsnprintf semantics (cut at kLogLineSize - 1 bytes, always NUL-terminated)
// and returns the length in bytes without the NUL.
size_t format_log_line(char (&buf)[kLogLineSize], const char* format, va_list args);

// Formats one line and hands it to the logger hook with level 2; does nothing without a hook.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void log_line(const char* format, ...);

}  // namespace doip::detail

#endif
