// The external program that turns a security access seed into its key: run with the shell, the seed on its
// standard input. key_command_posix.cpp and key_command_win.cpp implement it.
#ifndef DOIP_TOOLS_TESTER_KEY_COMMAND_H
#define DOIP_TOOLS_TESTER_KEY_COMMAND_H

#include <string>

namespace doip_tools {

struct KeyCommandRun {
    int exit_status = -1;  // -1: it did not end by itself (a signal, or killed after the time limit)
    std::string out;       // its standard output
    std::string err;       // its standard error
};

// How long a key command may run before it is stopped.
constexpr int kKeyCommandLimitMs = 30000;

// Runs `command` through the system's shell with `input` on its standard input and collects what it
// prints. False with `error` when it could not be started at all. Blocks the caller's thread until it ends.
bool run_key_command(const std::string& command, const std::string& input, KeyCommandRun* run,
                     std::string* error);

}  // namespace doip_tools

#endif
