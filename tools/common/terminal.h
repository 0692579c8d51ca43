// What the tools ask of the console. terminal_posix.cpp and terminal_win.cpp implement it.
#ifndef DOIP_TOOLS_COMMON_TERMINAL_H
#define DOIP_TOOLS_COMMON_TERMINAL_H

namespace doip_tools {

// True when standard output is a terminal (not a file or a pipe): a line redrawn with '\r' makes sense.
bool stdout_is_terminal();

}  // namespace doip_tools

#endif
