// The process-wide objects, defined in one translation unit so that they are constructed in this order
// when the library is loaded and destroyed in the reverse order when it is unloaded. The message cache
// is built on first use and therefore destroyed before all of them.
#include "module/globals.h"

#include "client/state_registry.h"

namespace doip::detail {
namespace {

// 1. The error text table.
const ErrorTextMap doip_err_str_map = make_error_text_map();
// 2. The connection state registry.
StateRegistry doip_state_registry;

}  // namespace

const ErrorTextMap& err_str_map() { return doip_err_str_map; }
StateRegistry& state_registry() { return doip_state_registry; }

}  // namespace doip::detail
