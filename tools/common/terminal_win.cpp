// Windows implementation of the console questions.
#include "terminal.h"

#include <io.h>
#include <stdio.h>

namespace doip_tools {

bool stdout_is_terminal() {
    return _isatty(_fileno(stdout)) != 0;
}

}  // namespace doip_tools
