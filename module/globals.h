// Access to the library's process-wide objects, built when the library is loaded and destroyed in
// reverse order when it is unloaded.
#ifndef DOIP_MODULE_GLOBALS_H
#define DOIP_MODULE_GLOBALS_H

#include "client/error_text.h"

namespace doip::detail {

// The error text table; complete before any exported function can run, never changed afterwards.
const ErrorTextMap& err_str_map();

}  // namespace doip::detail

#endif
