// POSIX implementation of the console questions.
#include "terminal.h"

#include <unistd.h>

namespace doip_tools {

bool stdout_is_terminal() {
    return isatty(STDOUT_FILENO) == 1;
}

}  // namespace doip_tools
