// uilitylib: monotonic time points, timers, an event loop, named threads and a loop thread.
#ifndef UILITYLIB_H
#define UILITYLIB_H

#include "doip_export.h"

namespace uilitylib {}

#endif
