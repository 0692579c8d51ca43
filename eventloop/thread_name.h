// The calling thread's name and id as the operating system shows them (debuggers, top, /proc, Task
// Manager).
#ifndef UILITYLIB_THREAD_NAME_H
#define UILITYLIB_THREAD_NAME_H

#include <string>

namespace uilitylib::detail {

// Best effort: names longer than the platform allows are cut (15 bytes on Linux); failures are ignored.
void setCurrentThreadName(const std::string& name);

// Decimal id of the calling thread: on Windows the system's thread id (GetCurrentThreadId), which every
// module of the process and every tool agrees on; elsewhere the text of std::this_thread::get_id().
std::string currentThreadIdText();

}  // namespace uilitylib::detail

#endif
