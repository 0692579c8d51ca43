// Gives the calling thread a name the operating system shows (debuggers, top, /proc).
#ifndef UILITYLIB_THREAD_NAME_H
#define UILITYLIB_THREAD_NAME_H

#include <string>

namespace uilitylib::detail {

// Best effort: names longer than the platform allows are cut (15 bytes on Linux); failures are ignored.
void setCurrentThreadName(const std::string& name);

}  // namespace uilitylib::detail

#endif
