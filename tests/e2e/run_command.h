// Runs a shell command and collects what it printed (POSIX).
#ifndef DOIP_TESTS_E2E_RUN_COMMAND_H
#define DOIP_TESTS_E2E_RUN_COMMAND_H

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "e2e_support.h"

namespace doip_e2e {

// What `command` printed (standard output and error), and its exit status (-1: ended by a signal).
inline RunResult run(const std::string& command) {
    RunResult r;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return r;
    }
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        r.output.append(buffer, n);
    }
    const int status = pclose(pipe);
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

}  // namespace doip_e2e

#endif
